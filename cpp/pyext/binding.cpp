#include "pyext/binding.hpp"

#include <cstring>
#include <string>
#include <utility>

namespace quelmar::py {

const char* const kMsgNotBuffer = "data must be a buffer-protocol object (mmap, bytearray, memoryview)";
const char* const kMsgNotDocument = "data must be bytes, str, or a buffer-protocol object (mmap, bytearray)";
const char* const kMsgNotContiguous = "buffer must be C-contiguous";

namespace {

std::string quoted_names(const char* const* names, const std::size_t* idx, std::size_t n) {
    std::string s;
    for (std::size_t i = 0; i < n; ++i) {
        if (i > 0) s += n == 2 ? " and " : (i + 1 == n ? ", and " : ", ");
        s += "'";
        s += names[idx[i]];
        s += "'";
    }
    return s;
}

}  // namespace

bool SignalCheck::stop(void* self) noexcept {
    auto* c = static_cast<SignalCheck*>(self);
    if (c->released_ == nullptr) {
        // Code inside the call that released the lock by itself (the record
        // splitter, a frame's feed) scans on: its caller loops in Python and
        // sees the signal between calls.
#if PY_VERSION_HEX >= 0x030D0000
        if (PyThreadState_GetUnchecked() == nullptr) return false;
#else
        if (_PyThreadState_UncheckedGet() == nullptr) return false;
#endif
    } else {
        PyEval_RestoreThread(c->released_);
    }
    // Handlers do not run over an exception the call has already set.
    const bool raised = PyErr_Occurred() == nullptr && PyErr_CheckSignals() != 0;
#if PY_VERSION_HEX >= 0x030C0000
    if (raised) c->exc_value_ = PyErr_GetRaisedException();
#else
    if (raised) PyErr_Fetch(&c->exc_type_, &c->exc_value_, &c->exc_tb_);
#endif
    if (c->released_ != nullptr) c->released_ = PyEval_SaveThread();
    return raised;
}

PyObject* SignalCheck::finish(PyObject* r) noexcept {
    if (exc_type_ == nullptr && exc_value_ == nullptr) return r;
    Py_XDECREF(r);
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(std::exchange(exc_value_, nullptr));
#else
    PyErr_Restore(std::exchange(exc_type_, nullptr), std::exchange(exc_value_, nullptr),
                  std::exchange(exc_tb_, nullptr));
#endif
    return nullptr;
}

SignalCheck::~SignalCheck() {
    Py_XDECREF(exc_type_);
    Py_XDECREF(exc_value_);
    Py_XDECREF(exc_tb_);
}

bool parse_args(const char* fname, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                const char* const* names, std::size_t count, PyObject** out) {
    const auto npos = static_cast<std::size_t>(nargs);
    if (npos > count) {
        PyErr_Format(PyExc_TypeError, "%s() takes %zu positional argument%s but %zd %s given", fname, count,
                     count == 1 ? "" : "s", nargs, nargs == 1 ? "was" : "were");
        return false;
    }
    for (std::size_t i = 0; i < count; ++i) out[i] = i < npos ? args[i] : nullptr;
    if (kwnames != nullptr) {
        const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            PyObject* key = PyTuple_GET_ITEM(kwnames, k);
            std::size_t found = count;
            for (std::size_t i = 0; i < count; ++i) {
                if (PyUnicode_CompareWithASCIIString(key, names[i]) == 0) {
                    found = i;
                    break;
                }
            }
            if (found == count) {
                PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%S'", fname, key);
                return false;
            }
            if (out[found] != nullptr) {
                PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", fname, names[found]);
                return false;
            }
            out[found] = args[nargs + k];
        }
    }
    std::size_t missing[16];
    std::size_t nmissing = 0;
    for (std::size_t i = 0; i < count && nmissing < 16; ++i)
        if (out[i] == nullptr) missing[nmissing++] = i;
    if (nmissing > 0) {
        std::string list = quoted_names(names, missing, nmissing);
        PyErr_Format(PyExc_TypeError, "%s() missing %zu required positional argument%s: %s", fname, nmissing,
                     nmissing == 1 ? "" : "s", list.c_str());
        return false;
    }
    return true;
}

bool parse_no_args(const char* fname, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
    if (kwnames != nullptr && PyTuple_GET_SIZE(kwnames) > 0) {
        PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%S'", fname,
                     PyTuple_GET_ITEM(kwnames, 0));
        return false;
    }
    if (nargs > 0) {
        PyErr_Format(PyExc_TypeError, "%s() takes 0 positional arguments but %zd %s given", fname, nargs,
                     nargs == 1 ? "was" : "were");
        return false;
    }
    return true;
}

void raise_arg_type(const char* name, PyObject* value, const char* expected) {
    if (value == Py_None) {
        PyErr_Format(PyExc_TypeError, "argument '%s': 'None' is not an instance of '%s'", name, expected);
        return;
    }
    PyRef qualname = PyRef::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(value)), "__qualname__"));
    if (!qualname || !PyUnicode_Check(qualname.get())) {
        PyErr_Clear();
        PyErr_Format(PyExc_TypeError, "argument '%s': '%s' object is not an instance of '%s'", name,
                     Py_TYPE(value)->tp_name, expected);
        return;
    }
    PyErr_Format(PyExc_TypeError, "argument '%s': '%U' object is not an instance of '%s'", name, qualname.get(),
                 expected);
}

std::optional<Bytes> str_utf8(PyObject* s) {
    Py_ssize_t n = 0;
    const char* p = PyUnicode_AsUTF8AndSize(s, &n);
    if (p == nullptr) return std::nullopt;
    return Bytes(p, static_cast<std::size_t>(n));
}

HeldBuffer::Status HeldBuffer::acquire(PyObject* obj) {
    release();
    if (PyObject_GetBuffer(obj, &view_, PyBUF_FULL_RO) != 0) {
        PyErr_Clear();
        return Status::NotABuffer;
    }
    held_ = true;
    bool byte_items = view_.itemsize == 1;
    if (byte_items && view_.format != nullptr) {
        const char* f = view_.format;
        if (*f == '@' || *f == '=' || *f == '<' || *f == '>' || *f == '!') ++f;
        byte_items = (f[0] == 'B' || f[0] == 'c') && f[1] == '\0';
    }
    if (!byte_items) {
        release();
        return Status::NotABuffer;
    }
    if (!PyBuffer_IsContiguous(&view_, 'C')) {
        release();
        return Status::NotContiguous;
    }
    return Status::Ok;
}

bool HeldBuffer::acquire_or_raise(PyObject* obj, const char* not_buffer_msg) {
    switch (acquire(obj)) {
        case Status::Ok: return true;
        case Status::NotABuffer: PyErr_SetString(PyExc_ValueError, not_buffer_msg); return false;
        case Status::NotContiguous: PyErr_SetString(PyExc_ValueError, kMsgNotContiguous); return false;
    }
    return false;
}

std::optional<Bytes> document_bytes(PyObject* data, HeldBuffer& holder, const char* not_buffer_msg) {
    if (PyBytes_Check(data)) return bytes_view(data);
    if (PyUnicode_Check(data)) return str_utf8(data);
    if (!holder.acquire_or_raise(data, not_buffer_msg)) return std::nullopt;
    return holder.bytes();
}

PyObject* new_str(std::string_view s) {
    return PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size()));
}

PyObject* raise_message(PyObject* type, std::string_view msg) {
    PyRef text = PyRef::steal(PyUnicode_DecodeUTF8(msg.data(), static_cast<Py_ssize_t>(msg.size()), "replace"));
    if (text) PyErr_SetObject(type, text.get());
    return nullptr;
}

}  // namespace quelmar::py
