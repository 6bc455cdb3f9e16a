// Module initialisation (multi-phase, one exec slot) and the module
// functions. Each function is a thin argument shim calling a typed impl.
#include <new>

#include "engine/validate.hpp"
#include "path/compile.hpp"
#include "pyext/module.hpp"

namespace quelmar::py {

std::optional<ProgramPtr> compile_text(Bytes text) {
    auto compiled = compile_path(text);
    if (!compiled) {
        raise_message(PyExc_ValueError, compiled.error());
        return std::nullopt;
    }
    return std::move(compiled).value();
}

namespace {

// ---------------------------------------------------------------- compile

PyObject* compile_impl(const ModuleState& st, PyObject* path) {
    if (!PyUnicode_Check(path)) {
        raise_arg_type("path", path, "str");
        return nullptr;
    }
    auto text = str_utf8(path);
    if (!text) return nullptr;
    auto program = compile_text(*text);
    if (!program) return nullptr;
    return path_new(st, *text, std::move(*program));
}

PyObject* py_compile(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"path"};
    PyObject* a[1];
    if (!parse_args("compile", args, nargs, kwnames, names, a)) return nullptr;
    return guarded([&] { return compile_impl(module_state(module), a[0]); });
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
    // The interpreter hands the state over zeroed; begin its lifetime as
    // the C++ object it is (all pointers null).
    ModuleState& st = *new (PyModule_GetState(module)) ModuleState();
    if (PyModule_AddFunctions(module, module_functions) < 0) return -1;
    if (add_type(module, make_path_type(module), &st.path) < 0) return -1;
    if (add_result_types(module, st) < 0) return -1;
    return 0;
}

// The state holds the types; each type holds the module (PyType_GetModule),
// so the two form a cycle that the collector breaks through module_clear.
// While any object of ours lives, it holds its type and so the module.
template <class F>
int each_type(ModuleState& st, F&& f) {
    for (PyTypeObject** t : {&st.path, &st.result, &st.char_iter, &st.item_iter, &st.child_key_iter,
                             &st.child_value_iter, &st.child_item_iter, &st.child_iter, &st.keys_view,
                             &st.values_view, &st.items_view, &st.children_view})
        if (int r = f(t)) return r;
    return 0;
}

int module_traverse(PyObject* module, visitproc visit, void* arg) {
    return each_type(module_state(module), [&](PyTypeObject** t) {
        Py_VISIT(*t);
        return 0;
    });
}

int module_clear(PyObject* module) {
    return each_type(module_state(module), [](PyTypeObject** t) {
        Py_CLEAR(*t);
        return 0;
    });
}

void module_free(void* module) { (void)module_clear(static_cast<PyObject*>(module)); }

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
#if PY_VERSION_HEX >= 0x030C0000
    // Everything the module keeps is in its state; the core holds no Python
    // object. What it shares between interpreters is plain C++ made for
    // threads: compiled Programs (immutable, atomically counted), the path
    // cache (one per OS thread, holding only Programs, so two interpreters
    // running on two threads use two caches, and one thread runs one
    // interpreter at a time), and once-initialised tables. Each interpreter
    // may therefore have its own GIL.
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
#endif
#if defined(Py_mod_gil)
    // Free-threaded interpreters: the module relies on the interpreter lock by
    // design (every function and Result method runs whole while holding it;
    // a Result reads its buffer again on every use), so importing it keeps
    // the lock on.
    {Py_mod_gil, Py_MOD_GIL_USED},
#endif
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "_quelmar",
    "",
    sizeof(ModuleState),
    nullptr,
    module_slots,
    module_traverse,
    module_clear,
    module_free,
};

}  // namespace

ModuleState& module_state(PyObject* module) noexcept {
    return *static_cast<ModuleState*>(PyModule_GetState(module));
}

ModuleState& state_for(PyObject* obj) noexcept {
#if PY_VERSION_HEX >= 0x030B0000
    PyObject* module = PyType_GetModuleByDef(Py_TYPE(obj), &module_def);
#else
    // 3.10 has no lookup by definition; the object's own type is the one
    // the module made, as no type of ours can be subclassed.
    PyObject* module = PyType_GetModule(Py_TYPE(obj));
#endif
    return module_state(module);
}

bool is_of_any_module(PyObject* obj, PyTypeObject* ModuleState::* which) noexcept {
    PyTypeObject* tp = Py_TYPE(obj);
    if (!PyType_HasFeature(tp, Py_TPFLAGS_HEAPTYPE)) return false;
    PyObject* module = PyType_GetModule(tp);  // a type made without a module: TypeError
    if (module == nullptr) {
        PyErr_Clear();
        return false;
    }
    return PyModule_GetDef(module) == &module_def && module_state(module).*which == tp;
}

}  // namespace quelmar::py

PyMODINIT_FUNC PyInit__quelmar(void) { return PyModuleDef_Init(&quelmar::py::module_def); }
