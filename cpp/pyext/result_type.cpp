// Placeholder until the Result class lands.
#include "pyext/module.hpp"

namespace quelmar::py {

int add_result_types(PyObject*) { return 0; }

PyObject* py_parse(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) {
    PyErr_SetString(PyExc_NotImplementedError, "parse");
    return nullptr;
}

}  // namespace quelmar::py
