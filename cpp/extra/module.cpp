// quelmar._extra: functions beyond the main module's surface, built from
// the same core. `check(data)` reports the first well-formedness error of a
// document as a NotWellFormed instance (returned, not raised);
// `to_python(result)` turns a quelmar._quelmar.Result into plain data.
#include <cstring>
#include <optional>
#include <mutex>

#include "extra/to_python.hpp"
#include "pyext/binding.hpp"
#include "xml/wellformed.hpp"
#include "extra/records.hpp"
#include "extra/frame.hpp"

namespace quelmar::py {
namespace {

struct ExtraState {
    PyObject* not_well_formed;
    PyObject* result_type;  // quelmar._quelmar.Result, as imported at our exec
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

// Below this size check keeps the interpreter lock: releasing and taking it
// back costs about as much as checking 100 bytes, a few per cent of a 4 KB
// check (bench/threads.py shows the calls on either side).
constexpr std::size_t kCheckReleaseAbove = 4 * 1024;

// The check runs without the interpreter lock past kCheckReleaseAbove: it
// reads only the document and its own state (see docs/api.md, "Threads").
// The bytes stay put meanwhile: a bytes object is immutable, a str's UTF-8
// form is cached in the object, and a held buffer cannot be resized (its
// bytes can still be written by another thread: the answer may then be
// either, but every read stays inside the buffer).
PyObject* check_impl(PyObject* module, PyObject* data) {
    HeldBuffer holder;
    auto bytes = document_bytes(data, holder, kMsgNotDocument);
    if (!bytes) return nullptr;
    const bool text = PyUnicode_Check(data) != 0;
    std::optional<WfError> err;
    SignalCheck signals;
    if (bytes->size() > kCheckReleaseAbove) {
        signals.release();
        try {
            err = check_well_formed(*bytes, text);
        } catch (...) {
            signals.reacquire();
            throw;
        }
        signals.reacquire();
    } else {
        err = check_well_formed(*bytes, text);
    }
    holder.release();
    if (!err) return signals.finish(Py_NewRef(Py_None));
    return signals.finish(error_object(state(module)->not_well_formed, *err));
}

PyObject* py_check(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"data"};
    PyObject* a[1];
    if (!parse_args("check", args, nargs, kwnames, names, a)) return nullptr;
    return guarded([&] { return check_impl(module, a[0]); });
}

// Whether `obj` is a Result of quelmar._quelmar: of the Result type we
// imported, or of the Result type of another module object of the same
// binary (an import after the first was dropped from sys.modules, a
// subinterpreter), which has the same layout and the same deallocator.
bool is_result(const ExtraState& st, PyObject* obj) noexcept {
    PyTypeObject* t = Py_TYPE(obj);
    auto* ours = reinterpret_cast<PyTypeObject*>(st.result_type);
    if (ours == nullptr) return false;
    if (t == ours) return true;
    return t->tp_dealloc == ours->tp_dealloc && t->tp_basicsize == ours->tp_basicsize &&
           t->tp_itemsize == ours->tp_itemsize && std::strcmp(t->tp_name, ours->tp_name) == 0;
}

PyObject* py_to_python(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"result"};
    PyObject* a[1];
    if (!parse_args("to_python", args, nargs, kwnames, names, a)) return nullptr;
    if (!is_result(*state(module), a[0])) {
        PyErr_Format(PyExc_TypeError, "to_python() argument must be a quelmar.Result, not %.200s",
                     Py_TYPE(a[0])->tp_name);
        return nullptr;
    }
    return guarded([&] { return to_python(a[0]); });
}

const char kToPythonDoc[] =
    "to_python(result)\n--\n\n"
    "The Result as plain data, ready for json.dumps: None for no match, the\n"
    "value of its one item, or a list of the values of its items. A text is\n"
    "a str, or an int or float when it is that number's canonical spelling\n"
    "(10, -3, 32.5, 0.5; not 2.10, 004, +7, 1e2, -0, nan, inf). An element\n"
    "with attributes or child elements is a dict: '@name' keys for the\n"
    "attributes (their values as str), one key per child name (a list where the name repeats) and\n"
    "'#text' for its own text beside them; any other element is its trimmed\n"
    "text, or None when it has none.";

const char kCheckDoc[] =
    "check(data)\n--\n\n"
    "None when data is a well-formed XML document, else a NotWellFormed\n"
    "(a ValueError) describing the first error: message, line, column\n"
    "(1-based, in characters) and offset (bytes into data; for a str, into\n"
    "its UTF-8 form). It is returned, not raised.";

// ---------------------------------------------------------------- documented functions
//
// The main module's functions carry only their text signatures. The package
// re-exports these twins instead: each calls the same C function with the
// same module as `self` (same arguments, messages and speed), with a
// paragraph that help() can show.

struct Documented {
    const char* name;
    const char* doc;
};

constexpr Documented kDocumented[] = {
    {"get",
     "get(data, path)\n--\n\n"
     "Answer a dotted path over an XML document held in a str, in one forward\n"
     "pass, and return a Result: empty when nothing matches, one item (a text\n"
     "or an element) or several. The Result reads the document lazily: .value\n"
     "gives None, a number, a str, a list or a dict; .to_str(), len(), r[i],\n"
     "r['name'] and r.get(path) go on from it. Raises ValueError for a path\n"
     "that does not compile or a selector-less step that matches twice."},
    {"get_bytes",
     "get_bytes(data, path)\n--\n\n"
     "As get, over a document held in bytes: read as they are, in the encoding\n"
     "that its byte-order mark or XML declaration names (UTF-8 by default),\n"
     "without decoding it to str first."},
    {"get_buffer",
     "get_buffer(data, path)\n--\n\n"
     "As get_bytes, over any object exporting a contiguous byte buffer: a\n"
     "bytearray, a memoryview, an mmap of a file (only the matches are\n"
     "copied). The buffer must not be resized while the call runs."},
    {"get_many",
     "get_many(data, paths)\n--\n\n"
     "Answer several paths over one str document in a single pass: paths is a\n"
     "list of path strings or compiled Paths, and the result a list with one\n"
     "Result per path, in the same order, each as get would give it."},
    {"get_many_bytes",
     "get_many_bytes(data, paths)\n--\n\n"
     "As get_many, over a document held in bytes (its declared encoding is\n"
     "honoured, as in get_bytes)."},
    {"get_many_buffer",
     "get_many_buffer(data, paths)\n--\n\n"
     "As get_many, over any object exporting a contiguous byte buffer (a\n"
     "bytearray, a memoryview, an mmap), as in get_buffer."},
    {"parse",
     "parse(data)\n--\n\n"
     "The whole document (a str, bytes or a buffer) as a Result, read only as\n"
     "far as it is used: r['child'], r.get(path), .value and the views answer\n"
     "from the document's root element."},
    {"compile",
     "compile(path)\n--\n\n"
     "Compile a path once, for queries over many documents: the Path's get,\n"
     "get_bytes and get_buffer methods answer it, and get_many accepts it in\n"
     "its list. Paths pickle by their text. Raises ValueError for a path that\n"
     "does not compile (an empty path included)."},
    {"validate",
     "validate(data)\n--\n\n"
     "True if data (a str, bytes or a buffer) is a well-formed XML document,\n"
     "namespaces included, else False. check(data) says where and why it is\n"
     "not."},
};

constexpr std::size_t kDocumentedCount = sizeof(kDocumented) / sizeof(kDocumented[0]);

// Filled at the first exec from the main module's own definitions: the
// functions are those of one binary, the same in every interpreter, and
// interpreters with their own GIL may run their exec steps at once.
PyMethodDef documented_defs[kDocumentedCount];
std::once_flag documented_once;

int add_documented(PyObject* module, PyObject* main) {
    PyRef functions[kDocumentedCount];
    const PyMethodDef* defs[kDocumentedCount];
    for (std::size_t i = 0; i < kDocumentedCount; ++i) {
        functions[i] = PyRef::steal(PyObject_GetAttrString(main, kDocumented[i].name));
        if (!functions[i]) return -1;
        if (!PyCFunction_Check(functions[i].get())) {
            PyErr_Format(PyExc_ImportError, "quelmar._quelmar.%s is not a built-in function", kDocumented[i].name);
            return -1;
        }
        defs[i] = reinterpret_cast<PyCFunctionObject*>(functions[i].get())->m_ml;
    }
    std::call_once(documented_once, [&] {
        for (std::size_t i = 0; i < kDocumentedCount; ++i)
            documented_defs[i] = PyMethodDef{kDocumented[i].name, defs[i]->ml_meth, defs[i]->ml_flags, kDocumented[i].doc};
    });
    PyRef package_name = PyRef::steal(PyUnicode_FromString("quelmar"));
    if (!package_name) return -1;
    for (std::size_t i = 0; i < kDocumentedCount; ++i) {
        if (documented_defs[i].ml_meth != defs[i]->ml_meth || documented_defs[i].ml_flags != defs[i]->ml_flags) {
            PyErr_Format(PyExc_ImportError, "quelmar._quelmar.%s changed between imports", kDocumented[i].name);
            return -1;
        }
        PyRef twin = PyRef::steal(
            PyCMethod_New(&documented_defs[i], PyCFunction_GET_SELF(functions[i].get()), package_name.get(), nullptr));
        if (!twin) return -1;
        if (PyModule_AddObjectRef(module, kDocumented[i].name, twin.get()) < 0) return -1;
    }
    return 0;
}

PyMethodDef extra_functions[] = {
    {"check", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(py_check)), METH_FASTCALL | METH_KEYWORDS,
     kCheckDoc},
    {"to_python", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(py_to_python)),
     METH_FASTCALL | METH_KEYWORDS, kToPythonDoc},
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
    // to_python reads Results: their type comes from the main module.
    PyRef main = PyRef::steal(PyImport_ImportModule("quelmar._quelmar"));
    if (!main) return -1;
    PyObject* result = PyObject_GetAttrString(main.get(), "Result");
    if (result == nullptr) return -1;
    if (!PyType_Check(result)) {
        Py_DECREF(result);
        PyErr_SetString(PyExc_ImportError, "quelmar._quelmar.Result is not a type");
        return -1;
    }
    state(module)->result_type = result;
    if (add_documented(module, main.get()) < 0) return -1;
    if (add_record_splitter(module) < 0) return -1;
    if (add_gzip_stream(module) < 0) return -1;
    return add_frame_types(module);
}

int extra_traverse(PyObject* module, visitproc visit, void* arg) {
    Py_VISIT(state(module)->not_well_formed);
    Py_VISIT(state(module)->result_type);
    return 0;
}

int extra_clear(PyObject* module) {
    Py_CLEAR(state(module)->not_well_formed);
    Py_CLEAR(state(module)->result_type);
    return 0;
}

PyModuleDef_Slot extra_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(extra_exec)},
#if PY_VERSION_HEX >= 0x030C0000
    // As quelmar._quelmar: what the module keeps is in its state (its
    // exception class, the Result type of that interpreter's main module),
    // and the core shares nothing mutable, so each interpreter may have its
    // own GIL. Without this the package cannot be imported there at all.
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
#endif
#if defined(Py_mod_gil)
    // Free-threaded interpreters: check reads only the document and its own
    // state and is safe without the lock, but the record splitters and frame
    // builders are objects with state that calls change, and to_python reads
    // Results of the main module, which relies on the lock: importing keeps
    // the lock on.
    {Py_mod_gil, Py_MOD_GIL_USED},
#endif
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
