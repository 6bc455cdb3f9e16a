// quelmar._extra.to_python: a Result as plain Python data.
#pragma once

#include "pyext/pyref.hpp"

namespace quelmar::py {

// The plain value of `result`, which must be a quelmar._quelmar.Result
// (the caller checks its type); nullptr with a Python error.
PyObject* to_python(PyObject* result);

}  // namespace quelmar::py
