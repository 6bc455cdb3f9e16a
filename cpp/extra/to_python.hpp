// quelmar._extra.to_python: a Result as plain Python data.
#pragma once

#include "pyext/pyref.hpp"

namespace quelmar::py {

// The plain value of `result`, which must be a quelmar._quelmar.Result
// (the caller checks its type); nullptr with a Python error. numbers: texts
// that spell a number canonically become int or float (else every text is
// a str); keep: no text is trimmed (else texts outside an
// xml:space="preserve" scope are).
PyObject* to_python(PyObject* result, bool numbers, bool keep);

}  // namespace quelmar::py
