// The Path class: an immutable compiled path (text + shared Program).
#include <new>
#include <string>

#include "common/text.hpp"
#include "pyext/module.hpp"

namespace quelmar::py {

namespace {

struct PathObject {
    PyObject_HEAD
    std::string text;
    ProgramPtr program;
};

void path_dealloc(PyObject* self) {
    PyTypeObject* tp = Py_TYPE(self);
    auto* p = reinterpret_cast<PathObject*>(self);
    p->text.~basic_string();
    p->program.~ProgramPtr();
    tp->tp_free(self);
    Py_DECREF(tp);
}

PyObject* path_repr(PyObject* self) {
    return guarded([&]() -> PyObject* {
        auto* p = reinterpret_cast<PathObject*>(self);
        std::string s = "Path(" + quoted_form(p->text) + ")";
        return new_str(s);
    });
}

template <int Kind>
PyObject* path_get(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const fnames[] = {"Path.get", "Path.get_bytes", "Path.get_buffer"};
    static const char* const names[] = {"data"};
    PyObject* a[1];
    if (!parse_args(fnames[Kind], args, nargs, kwnames, names, a)) return nullptr;
    // Hold the Path: its Program must outlive the query.
    PyRef keep = PyRef::borrow(self);
    const ProgramPtr program = reinterpret_cast<PathObject*>(self)->program;
    return guarded([&] { return path_query(state_for(self), *program, a[0], Kind); });
}

// Pickling: a Path travels as its text and is compiled again where it lands
// (process pools, Dask), through the compile function of its own module.
PyObject* path_reduce(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        PyObject* module = PyType_GetModule(Py_TYPE(self));  // borrowed
        if (module == nullptr) return nullptr;
        PyRef compile = PyRef::steal(PyObject_GetAttrString(module, "compile"));
        if (!compile) return nullptr;
        PyRef text = PyRef::steal(new_str(reinterpret_cast<PathObject*>(self)->text));
        if (!text) return nullptr;
        return Py_BuildValue("O(O)", compile.get(), text.get());
    });
}

#define QUELMAR_METHOD(f) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f))

PyMethodDef path_methods[] = {
    {"get", QUELMAR_METHOD(path_get<0>), METH_FASTCALL | METH_KEYWORDS, "get($self, data)\n--\n\n"},
    {"get_bytes", QUELMAR_METHOD(path_get<1>), METH_FASTCALL | METH_KEYWORDS, "get_bytes($self, data)\n--\n\n"},
    {"get_buffer", QUELMAR_METHOD(path_get<2>), METH_FASTCALL | METH_KEYWORDS, "get_buffer($self, data)\n--\n\n"},
    {"__reduce__", path_reduce, METH_NOARGS, "__reduce__($self, /)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot path_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(path_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(path_repr)},
    {Py_tp_methods, path_methods},
    {0, nullptr},
};

PyType_Spec path_spec = {
    "quelmar._quelmar.Path",
    sizeof(PathObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    path_slots,
};

}  // namespace

PyTypeObject* make_path_type(PyObject* module) {
    return reinterpret_cast<PyTypeObject*>(PyType_FromModuleAndSpec(module, &path_spec, nullptr));
}

PyObject* path_new(const ModuleState& st, Bytes text, ProgramPtr program) {
    PyTypeObject* tp = live_type(st.path);
    if (tp == nullptr) return nullptr;
    PyObject* self = tp->tp_alloc(tp, 0);
    if (self == nullptr) return nullptr;
    auto* p = reinterpret_cast<PathObject*>(self);
    new (&p->program) ProgramPtr(std::move(program));
    try {
        new (&p->text) std::string(text);
    } catch (...) {
        new (&p->text) std::string();
        Py_DECREF(self);
        throw;
    }
    return self;
}

const ProgramPtr* path_program(const ModuleState& st, PyObject* obj) {
    if (!Py_IS_TYPE(obj, st.path) && !is_of_any_module(obj, &ModuleState::path)) return nullptr;
    return &reinterpret_cast<PathObject*>(obj)->program;
}

}  // namespace quelmar::py
