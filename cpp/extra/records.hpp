// The record splitter's Python type, added to quelmar._extra.
#pragma once

#include <Python.h>

namespace quelmar::py {

int add_record_splitter(PyObject* module);

}  // namespace quelmar::py
