// Module initialisation (multi-phase, one exec slot) and the module
// functions. Each function is a thin argument shim calling a typed impl.
#include "engine/validate.hpp"
#include "path/compile.hpp"
#include "pyext/module.hpp"

namespace quelmar::py {

ModuleTypes g_types;

std::optional<ProgramPtr> compile_text(Bytes text) {
    auto compiled = compile_path(text);
    if (!compiled) {
        PyErr_SetString(PyExc_ValueError, compiled.error().c_str());
        return std::nullopt;
    }
    return std::move(compiled).value();
}

namespace {

// ---------------------------------------------------------------- compile

PyObject* compile_impl(PyObject* path) {
    if (!PyUnicode_Check(path)) {
        raise_arg_type("path", path, "str");
        return nullptr;
    }
    auto text = str_utf8(path);
    if (!text) return nullptr;
    auto program = compile_text(*text);
    if (!program) return nullptr;
    return path_new(*text, std::move(*program));
}

PyObject* py_compile(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"path"};
    PyObject* a[1];
    if (!parse_args("compile", args, nargs, kwnames, names, a)) return nullptr;
    return guarded([&] { return compile_impl(a[0]); });
}

// ---------------------------------------------------------------- validate

PyObject* validate_impl(PyObject* data) {
    HeldBuffer holder;
    auto bytes = document_bytes(data, holder, kMsgNotDocument);
    if (!bytes) return nullptr;
    const bool ok = validate(*bytes, PyUnicode_Check(data) != 0);
    holder.release();
    return PyBool_FromLong(ok);
}

PyObject* py_validate(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"data"};
    PyObject* a[1];
    if (!parse_args("validate", args, nargs, kwnames, names, a)) return nullptr;
    return guarded([&] { return validate_impl(a[0]); });
}

#define QUELMAR_FASTCALL(f) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f))

PyMethodDef module_functions[] = {
    {"get", QUELMAR_FASTCALL(py_get), METH_FASTCALL | METH_KEYWORDS, "get(data, path)\n--\n\n"},
    {"get_bytes", QUELMAR_FASTCALL(py_get_bytes), METH_FASTCALL | METH_KEYWORDS, "get_bytes(data, path)\n--\n\n"},
    {"get_buffer", QUELMAR_FASTCALL(py_get_buffer), METH_FASTCALL | METH_KEYWORDS, "get_buffer(data, path)\n--\n\n"},
    {"get_many", QUELMAR_FASTCALL(py_get_many), METH_FASTCALL | METH_KEYWORDS, "get_many(data, paths)\n--\n\n"},
    {"get_many_bytes", QUELMAR_FASTCALL(py_get_many_bytes), METH_FASTCALL | METH_KEYWORDS,
     "get_many_bytes(data, paths)\n--\n\n"},
    {"get_many_buffer", QUELMAR_FASTCALL(py_get_many_buffer), METH_FASTCALL | METH_KEYWORDS,
     "get_many_buffer(data, paths)\n--\n\n"},
    {"parse", QUELMAR_FASTCALL(py_parse), METH_FASTCALL | METH_KEYWORDS, "parse(data)\n--\n\n"},
    {"compile", QUELMAR_FASTCALL(py_compile), METH_FASTCALL | METH_KEYWORDS, "compile(path)\n--\n\n"},
    {"validate", QUELMAR_FASTCALL(py_validate), METH_FASTCALL | METH_KEYWORDS, "validate(data)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

int add_type(PyObject* module, PyTypeObject* type, PyTypeObject** slot) {
    if (type == nullptr) return -1;
    // PyModule_AddType takes its own reference; ours stays in `slot`.
    if (PyModule_AddType(module, type) < 0) {
        Py_DECREF(type);
        return -1;
    }
    PyTypeObject* old = *slot;
    *slot = type;
    Py_XDECREF(old);
    return 0;
}

namespace {

int module_exec(PyObject* module) {
    if (PyModule_AddFunctions(module, module_functions) < 0) return -1;
    if (add_type(module, make_path_type(module), &g_types.path) < 0) return -1;
    if (add_result_types(module) < 0) return -1;
    return 0;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "_quelmar",
    "",
    0,
    nullptr,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace quelmar::py

PyMODINIT_FUNC PyInit__quelmar(void) { return PyModuleDef_Init(&quelmar::py::module_def); }
