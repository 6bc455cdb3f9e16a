// The frame builder's Python types (FrameBuilder, NativeBuffer), added to
// quelmar._extra.
#pragma once

#include <Python.h>

namespace quelmar::py {

int add_frame_types(PyObject* module);

}  // namespace quelmar::py
