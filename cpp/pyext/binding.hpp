// Shared pieces of the binding: argument shims with the interpreter's
// wording, the argument type-mismatch message, document input (str, bytes,
// held buffers) and the guard that turns out-of-memory into MemoryError.
#pragma once

#include <cstddef>
#include <new>
#include <optional>
#include <string>
#include <string_view>

#include "common/bytes.hpp"
#include "common/interrupt.hpp"
#include "pyext/pyref.hpp"

namespace quelmar::py {

// Parses the positional-or-keyword arguments of a METH_FASTCALL |
// METH_KEYWORDS callable into `out` (borrowed). All arguments are required.
bool parse_args(const char* fname, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                const char* const* names, std::size_t count, PyObject** out);

template <std::size_t N>
bool parse_args(const char* fname, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                const char* const (&names)[N], PyObject* (&out)[N]) {
    return parse_args(fname, args, nargs, kwnames, names, N, out);
}

// Rejects any argument at all (methods without parameters).
bool parse_no_args(const char* fname, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// TypeError "argument 'NAME': 'T' object is not an instance of 'EXPECTED'".
void raise_arg_type(const char* name, PyObject* value, const char* expected);

// UTF-8 view of a str (the interpreter caches it in the object); nothing
// with the interpreter's exception set on failure.
std::optional<Bytes> str_utf8(PyObject* s);
inline Bytes bytes_view(PyObject* b) {
    return Bytes(PyBytes_AS_STRING(b), static_cast<std::size_t>(PyBytes_GET_SIZE(b)));
}

// A buffer held for the duration of one call, released on every path.
class HeldBuffer {
public:
    HeldBuffer() noexcept = default;
    HeldBuffer(const HeldBuffer&) = delete;
    HeldBuffer& operator=(const HeldBuffer&) = delete;
    ~HeldBuffer() { release(); }
    void release() noexcept {
        if (held_) {
            PyBuffer_Release(&view_);
            held_ = false;
        }
    }
    Bytes bytes() const noexcept {
        return Bytes(static_cast<const char*>(view_.buf), static_cast<std::size_t>(view_.len));
    }

    enum class Status { Ok, NotABuffer, NotContiguous };
    // Requests a read-only buffer of single unsigned bytes. The interpreter's
    // own exception is cleared: callers raise their own message.
    Status acquire(PyObject* obj);
    // The same, raising ValueError (`not_buffer_msg`, or the C-contiguity
    // message) on failure; false then.
    bool acquire_or_raise(PyObject* obj, const char* not_buffer_msg);

private:
    Py_buffer view_{};
    bool held_ = false;
};

extern const char* const kMsgNotBuffer;        // get_buffer family
extern const char* const kMsgNotDocument;      // parse / validate
extern const char* const kMsgNotContiguous;

// Bytes of a document object for parse/validate-style acceptance (bytes,
// then str, then buffer); nothing with a Python exception set.
std::optional<Bytes> document_bytes(PyObject* data, HeldBuffer& holder, const char* not_buffer_msg);

// The interrupt hook of the scans of one call: the interpreter's signal
// handlers run (on the main thread; Ctrl-C raises KeyboardInterrupt), and
// an exception one raises stops the scans and is kept until the call ends:
// whatever the call made of its cut-short scan is thrown away then.
// Between release() and reacquire() the call runs without the interpreter
// lock, and the hook takes it back for the moment it runs the handlers.
class SignalCheck {
public:
    SignalCheck() noexcept : scope_(InterruptHook{&SignalCheck::stop, this}) {}
    ~SignalCheck();
    SignalCheck(const SignalCheck&) = delete;
    SignalCheck& operator=(const SignalCheck&) = delete;

    // `r` (the call's answer, nullptr with an exception set), or nullptr
    // with the handler's exception when one stopped the scans.
    PyObject* finish(PyObject* r) noexcept;
    void release() noexcept { released_ = PyEval_SaveThread(); }
    void reacquire() noexcept {
        PyEval_RestoreThread(released_);
        released_ = nullptr;
    }

private:
    static bool stop(void* self) noexcept;
    PyThreadState* released_ = nullptr;
    PyObject* exc_type_ = nullptr;  // what the handler raised (type, value, traceback)
    PyObject* exc_value_ = nullptr;
    PyObject* exc_tb_ = nullptr;
    InterruptScope scope_;
};

// Runs `f` and turns std::bad_alloc into MemoryError (returns nullptr).
// Its scans stop for a signal handler that raises (SignalCheck).
template <class F>
PyObject* guarded(F&& f) noexcept {
    SignalCheck signals;
    try {
        return signals.finish(f());
    } catch (const std::bad_alloc&) {
        return signals.finish(PyErr_NoMemory());
    }
}

PyObject* new_str(std::string_view s);

// A module state's type, or nullptr with RuntimeError once the module has
// been cleared (only at interpreter shutdown can code of ours still run then).
inline PyTypeObject* live_type(PyTypeObject* tp) noexcept {
    if (tp == nullptr) PyErr_SetString(PyExc_RuntimeError, "the quelmar._quelmar module has been cleared");
    return tp;
}

// Raises `type` with a message built from the core: by length, so that a NUL
// inside it (a path may hold one) does not cut the text short. Bytes that are
// not UTF-8 are replaced rather than turning the error into another one.
// Always returns nullptr.
PyObject* raise_message(PyObject* type, std::string_view msg);

}  // namespace quelmar::py
