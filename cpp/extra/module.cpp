// quelmar._extra: functions beyond the main module's surface, built from
// the same core. `check(data)` reports the first well-formedness error of a
// document as a NotWellFormed instance (returned, not raised).
#include "pyext/binding.hpp"
#include "xml/wellformed.hpp"
#include "extra/records.hpp"

namespace quelmar::py {
namespace {

struct ExtraState {
    PyObject* not_well_formed;
};

ExtraState* state(PyObject* module) { return static_cast<ExtraState*>(PyModule_GetState(module)); }

bool set_size_attr(PyObject* obj, const char* name, std::size_t v) {
    PyRef value = PyRef::steal(PyLong_FromSize_t(v));
    return value && PyObject_SetAttrString(obj, name, value.get()) == 0;
}

PyObject* error_object(PyObject* cls, const WfError& e) {
    PyRef message = PyRef::steal(PyUnicode_DecodeUTF8(e.message.data(), static_cast<Py_ssize_t>(e.message.size()),
                                                      "replace"));
    if (!message) return nullptr;
    PyRef text = PyRef::steal(PyUnicode_FromFormat("%zu:%zu: %U", e.line, e.column, message.get()));
    if (!text) return nullptr;
    PyRef err = PyRef::steal(PyObject_CallOneArg(cls, text.get()));
    if (!err) return nullptr;
    if (PyObject_SetAttrString(err.get(), "message", message.get()) < 0) return nullptr;
    if (!set_size_attr(err.get(), "line", e.line) || !set_size_attr(err.get(), "column", e.column) ||
        !set_size_attr(err.get(), "offset", e.offset))
        return nullptr;
    return err.release();
}

PyObject* check_impl(PyObject* module, PyObject* data) {
    HeldBuffer holder;
    auto bytes = document_bytes(data, holder, kMsgNotDocument);
    if (!bytes) return nullptr;
    const auto err = check_well_formed(*bytes, PyUnicode_Check(data) != 0);
    holder.release();
    if (!err) Py_RETURN_NONE;
    return error_object(state(module)->not_well_formed, *err);
}

PyObject* py_check(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"data"};
    PyObject* a[1];
    if (!parse_args("check", args, nargs, kwnames, names, a)) return nullptr;
    return guarded([&] { return check_impl(module, a[0]); });
}

const char kCheckDoc[] =
    "check(data)\n--\n\n"
    "None when data is a well-formed XML document, else a NotWellFormed\n"
    "(a ValueError) describing the first error: message, line, column\n"
    "(1-based, in characters) and offset (bytes into data; for a str, into\n"
    "its UTF-8 form). It is returned, not raised.";

PyMethodDef extra_functions[] = {
    {"check", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(py_check)), METH_FASTCALL | METH_KEYWORDS,
     kCheckDoc},
    {nullptr, nullptr, 0, nullptr},
};

int extra_exec(PyObject* module) {
    PyObject* cls = PyErr_NewExceptionWithDoc(
        "quelmar.NotWellFormed",
        "A document that is not well-formed XML: message, line, column (1-based,\n"
        "in characters) and offset (bytes).",
        PyExc_ValueError, nullptr);
    if (cls == nullptr) return -1;
    state(module)->not_well_formed = cls;
    Py_INCREF(cls);
    if (PyModule_AddObject(module, "NotWellFormed", cls) < 0) {
        Py_DECREF(cls);
        return -1;
    }
    return add_record_splitter(module);
}

int extra_traverse(PyObject* module, visitproc visit, void* arg) {
    Py_VISIT(state(module)->not_well_formed);
    return 0;
}

int extra_clear(PyObject* module) {
    Py_CLEAR(state(module)->not_well_formed);
    return 0;
}

PyModuleDef_Slot extra_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(extra_exec)},
    {0, nullptr},
};

PyModuleDef extra_def = {
    PyModuleDef_HEAD_INIT,
    "_extra",
    "",
    sizeof(ExtraState),
    extra_functions,
    extra_slots,
    extra_traverse,
    extra_clear,
    nullptr,
};

}  // namespace
}  // namespace quelmar::py

PyMODINIT_FUNC PyInit__extra(void) { return PyModuleDef_Init(&quelmar::py::extra_def); }
