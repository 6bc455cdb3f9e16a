// The streaming well-formedness check's Python type, added to quelmar._extra.
#pragma once

#include <Python.h>

namespace quelmar::py {

int add_check_stream(PyObject* module);

}  // namespace quelmar::py
