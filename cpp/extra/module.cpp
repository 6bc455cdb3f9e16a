// quelmar._extra: functions beyond the main module's surface, built from
// the same core. `check(data)` reports the first well-formedness error of a
// document as a NotWellFormed instance (returned, not raised);
// `to_python(result)` turns a quelmar._quelmar.Result into plain data.
#include <array>
#include <cstdio>
#include <cstring>
#include <optional>
#include <mutex>
#include <string_view>
#include <utility>

#include "extra/to_python.hpp"
#include "pyext/binding.hpp"
#include "xml/encoding.hpp"
#include "xml/wellformed.hpp"
#include "extra/records.hpp"
#include "extra/frame.hpp"
#include "extra/check_stream.hpp"

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

// Whether `data`, a document that is not well-formed, is a str without
// markup that names an existing file: check("books.xml") instead of the
// file's bytes. Asked only of documents that failed.
bool looks_like_filename(PyObject* data) {
#if PY_VERSION_HEX >= 0x030B0000
    if (!PyUnicode_Check(data) || PyUnicode_GET_LENGTH(data) > 4096 || PyUnicode_FindChar(data, '<', 0, PyUnicode_GET_LENGTH(data), 1) != -1)
        return false;
    PyRef path = PyRef::steal(PyImport_ImportModule("os.path"));
    PyRef found = path ? PyRef::steal(PyObject_CallMethod(path.get(), "isfile", "O", data)) : PyRef();
    const bool yes = found && PyObject_IsTrue(found.get()) == 1;
    PyErr_Clear();
    return yes;
#else
    (void)data;
    return false;
#endif
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
    PyRef error = PyRef::steal(signals.finish(error_object(state(module)->not_well_formed, *err)));
    if (error && looks_like_filename(data)) {
        PyRef r = PyRef::steal(PyObject_CallMethod(error.get(), "add_note", "s",
                                                   "hint: this str is the name of a file, not XML: check the "
                                                   "file as pathlib.Path(name), or its bytes"));
        if (!r) PyErr_Clear();
    }
    return error.release();
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

// to_python(result, *, numbers=False, whitespace="trim")
PyObject* py_to_python(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    if (nargs > 1) {
        PyErr_Format(PyExc_TypeError, "to_python() takes 1 positional argument but %zd were given", nargs);
        return nullptr;
    }
    PyObject* result = nargs == 1 ? args[0] : nullptr;
    PyObject* numbers = nullptr;
    PyObject* whitespace = nullptr;
    const Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        PyObject* value = args[nargs + k];
        PyObject** slot = nullptr;
        if (PyUnicode_CompareWithASCIIString(key, "result") == 0) slot = &result;
        else if (PyUnicode_CompareWithASCIIString(key, "numbers") == 0) slot = &numbers;
        else if (PyUnicode_CompareWithASCIIString(key, "whitespace") == 0) slot = &whitespace;
        if (slot == nullptr) {
            PyErr_Format(PyExc_TypeError, "to_python() got an unexpected keyword argument '%U'", key);
            return nullptr;
        }
        if (*slot != nullptr) {
            PyErr_Format(PyExc_TypeError, "to_python() got multiple values for argument '%U'", key);
            return nullptr;
        }
        *slot = value;
    }
    if (result == nullptr) {
        PyErr_SetString(PyExc_TypeError, "to_python() missing required argument 'result'");
        return nullptr;
    }
    if (!is_result(*state(module), result)) {
        PyErr_Format(PyExc_TypeError, "to_python() argument must be a quelmar.Result, not %.200s",
                     Py_TYPE(result)->tp_name);
        return nullptr;
    }
    const int as_numbers = numbers == nullptr ? 0 : PyObject_IsTrue(numbers);
    if (as_numbers < 0) return nullptr;
    bool keep = false;
    if (whitespace != nullptr) {
        const bool trim = PyUnicode_Check(whitespace) && PyUnicode_CompareWithASCIIString(whitespace, "trim") == 0;
        keep = PyUnicode_Check(whitespace) && PyUnicode_CompareWithASCIIString(whitespace, "keep") == 0;
        if (!trim && !keep) {
            PyErr_Format(PyExc_ValueError, "whitespace must be 'trim' or 'keep', not %R", whitespace);
            return nullptr;
        }
    }
    return guarded([&] { return to_python(result, as_numbers == 1, keep); });
}

// The standard's name of the encoding a label names, or None: what the
// package asks before handing a label the reader does not know to Python's
// codecs.
PyObject* py_encoding_label(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"label"};
    PyObject* a[1];
    if (!parse_args("encoding_label", args, nargs, kwnames, names, a)) return nullptr;
    if (!PyBytes_Check(a[0])) {
        raise_arg_type("label", a[0], "bytes");
        return nullptr;
    }
    const auto e = encoding_for_label(bytes_view(a[0]));
    if (!e) Py_RETURN_NONE;
    return PyUnicode_FromString(encoding_name(*e));
}

const char kToPythonDoc[] =
    "to_python(result, *, numbers=False, whitespace='trim')\n--\n\n"
    "The Result as plain data, ready for json.dumps: None for no match, the\n"
    "value of its one item, or a list of the values of its items. A text is\n"
    "a str; with numbers=True an int or float when it is that number's\n"
    "canonical spelling (10, -3, 32.5, 0.5; not 2.10, 004, +7, 1e2, -0, nan,\n"
    "inf). An element with attributes or child elements is a dict: '@name'\n"
    "keys for the attributes (their values as str), one key per child name\n"
    "(a list where the name repeats) and '#text' for its own text beside\n"
    "them; any other element is its text, or None when it has none. Texts\n"
    "are trimmed, except inside xml:space=\"preserve\" and with\n"
    "whitespace='keep'.";

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
// paragraph that help() can show, and a hint added to some failures (below).

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

// ---------------------------------------------------------------- hints
//
// A document of the wrong kind for the function called (bytes to get, a
// str to get_bytes) fails with the main module's message, unchanged; the
// twins add a note (PEP 678) naming the function that takes it. Only a
// failed call looks at its arguments: a successful one pays one test of
// the returned pointer.

using FastFunction = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

// The function that takes a document of data's kind, for the twin `name`
// of the main module's function that refused it; nullptr when the kind
// is not the problem.
const char* function_for(std::string_view name, PyObject* data) {
    if (!name.starts_with("get")) return nullptr;
    const bool many = name.find("many") != std::string_view::npos;
    if (PyUnicode_Check(data))
        return name.ends_with("bytes") || name.ends_with("buffer") ? (many ? "get_many" : "get") : nullptr;
    if (PyBytes_Check(data)) return name == "get" || name == "get_many" ? (many ? "get_many_bytes" : "get_bytes") : nullptr;
    if (PyObject_CheckBuffer(data) && !name.ends_with("buffer"))
        return many ? "get_many_buffer" : "get_buffer";
    return nullptr;
}

// Adds `note` to the exception being raised (nothing before Python 3.11,
// whose exceptions have no notes; a failure to add it is dropped).
void add_note(const char* note) {
#if PY_VERSION_HEX >= 0x030B0000
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    if (value != nullptr) {
        PyRef r = PyRef::steal(PyObject_CallMethod(value, "add_note", "s", note));
        if (!r) PyErr_Clear();
    }
    PyErr_Restore(type, value, tb);
#else
    (void)note;
#endif
}

void hint_after_failure(std::string_view name, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    if (!PyErr_ExceptionMatches(PyExc_TypeError) && !PyErr_ExceptionMatches(PyExc_ValueError)) return;
    PyObject* data = nargs > 0 ? args[0] : nullptr;
    if (data == nullptr && kwnames != nullptr) {
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(kwnames); ++i)
            if (PyUnicode_CompareWithASCIIString(PyTuple_GET_ITEM(kwnames, i), "data") == 0) data = args[nargs + i];
    }
    if (data == nullptr) return;
    const char* use = function_for(name, data);
    if (use == nullptr) return;
    char note[160];
    std::snprintf(note, sizeof note, "hint: use %s for a %.60s document", use, Py_TYPE(data)->tp_name);
    add_note(note);
}

// Paths that compile but cannot mean what they say. `name.#` at the end is
// already a count, so `name.#|@count` is always 1. A filter holds one
// comparison: in `#(a>1 and b<2)` the value is the text "1 and b<2". Only
// compile() looks (once per call, over the path's text; the cached path
// itself is not touched), never the query functions: their paths are not
// read twice.
const char* suspicious_path(std::string_view path) {
    for (std::size_t i = path.find(".#"); i != std::string_view::npos; i = path.find(".#", i + 2)) {
        std::size_t j = i + 2;
        while (j < path.size() && path[j] == ' ') ++j;
        if (j < path.size() && path[j] == '|') {
            ++j;
            while (j < path.size() && path[j] == ' ') ++j;
            if (path.substr(j, 6) == "@count" && (j + 6 == path.size() || path[j + 6] == ' ' || path[j + 6] == '|'))
                return "name.#|@count is always 1: name.# is already the count (write name.# or name|@count)";
        }
    }
    // Unquoted ' and ', ' or ', '&&', '||' followed by a comparison inside #( ).
    for (std::size_t i = path.find("#("); i != std::string_view::npos; i = path.find("#(", i + 2)) {
        char quote = 0;
        std::size_t depth = 1, joint = std::string_view::npos;
        for (std::size_t j = i + 2; j < path.size() && depth > 0; ++j) {
            const char c = path[j];
            if (quote) {
                if (c == '\\') ++j;
                else if (c == quote) quote = 0;
            } else if (c == '\'' || c == '"') {
                quote = c;
            } else if (c == '(') {
                ++depth;
            } else if (c == ')') {
                --depth;
            } else if (joint == std::string_view::npos) {
                const std::string_view rest = path.substr(j);
                if (rest.starts_with(" and ") || rest.starts_with(" or ") || rest.starts_with("&&") ||
                    rest.starts_with("||"))
                    joint = j;
            } else if (c == '=' || c == '<' || c == '>' || c == '%') {
                return "a filter holds one comparison: 'and'/'or' and what follows are part of the compared "
                       "value (chain the conditions in Python, or query the parts with get_many)";
            }
        }
    }
    return nullptr;
}

FastFunction original_functions[kDocumentedCount];

constexpr std::size_t documented_index(std::string_view name) {
    for (std::size_t i = 0; i < kDocumentedCount; ++i)
        if (name == kDocumented[i].name) return i;
    return kDocumentedCount;
}

template <std::size_t I>
PyObject* hinted(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* r = original_functions[I](self, args, nargs, kwnames);
    if (r == nullptr) {
        hint_after_failure(kDocumented[I].name, args, nargs, kwnames);
        return r;
    }
    if constexpr (I == documented_index("compile")) {
        // compiled: the one argument is a str
        PyObject* path = nargs > 0 ? args[0] : args[nargs];
        Py_ssize_t n = 0;
        const char* text = PyUnicode_AsUTF8AndSize(path, &n);
        if (text == nullptr) {
            Py_DECREF(r);
            return nullptr;
        }
        if (const char* why = suspicious_path(std::string_view(text, static_cast<std::size_t>(n)))) {
            if (PyErr_WarnFormat(PyExc_UserWarning, 1, "path %R: %s", path, why) < 0) {
                Py_DECREF(r);
                return nullptr;
            }
        }
    }
    return r;
}

template <std::size_t... I>
constexpr std::array<FastFunction, sizeof...(I)> make_hinted(std::index_sequence<I...>) {
    return {hinted<I>...};
}

constexpr auto kHinted = make_hinted(std::make_index_sequence<kDocumentedCount>{});

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
    for (std::size_t i = 0; i < kDocumentedCount; ++i) {
        if (defs[i]->ml_flags != (METH_FASTCALL | METH_KEYWORDS)) {
            PyErr_Format(PyExc_ImportError, "quelmar._quelmar.%s has an unexpected calling convention", kDocumented[i].name);
            return -1;
        }
    }
    std::call_once(documented_once, [&] {
        for (std::size_t i = 0; i < kDocumentedCount; ++i) {
            original_functions[i] = reinterpret_cast<FastFunction>(reinterpret_cast<void (*)()>(defs[i]->ml_meth));
            documented_defs[i] = PyMethodDef{kDocumented[i].name,
                                             reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(kHinted[i])),
                                             defs[i]->ml_flags, kDocumented[i].doc};
        }
    });
    PyRef package_name = PyRef::steal(PyUnicode_FromString("quelmar"));
    if (!package_name) return -1;
    for (std::size_t i = 0; i < kDocumentedCount; ++i) {
        if (reinterpret_cast<FastFunction>(reinterpret_cast<void (*)()>(defs[i]->ml_meth)) != original_functions[i] ||
            documented_defs[i].ml_flags != defs[i]->ml_flags) {
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
    {"encoding_label", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(py_encoding_label)),
     METH_FASTCALL | METH_KEYWORDS,
     "encoding_label(label)\n--\n\n"
     "The Encoding Standard's name for the encoding label (bytes) names\n"
     "(b'latin1' -> 'windows-1252'), or None for a label it does not define."},
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
    if (add_check_stream(module) < 0) return -1;
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
