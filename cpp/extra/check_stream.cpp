// quelmar._extra.CheckStream: the well-formedness check of a document fed
// in pieces (quelmar.check of a file, --validate of a stream), in the
// memory of the piece not checked yet. The NotWellFormed itself is made on
// the Python side from the (message, line, column, offset) it answers.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>
#include <new>

#include "extra/check_stream.hpp"
#include "pyext/binding.hpp"
#include "xml/wellformed.hpp"

namespace quelmar::py {
namespace {

struct CheckStreamObject {
    PyObject_HEAD
    WellFormedStream* stream;
    std::atomic<bool> busy;  // a call runs without the interpreter lock
    // The document fed in place: held (its exporter cannot let it go)
    // until close() or the object's end.
    Py_buffer view;
    bool holding;
    bool closed;
};

void let_go(CheckStreamObject* obj) {
    if (obj->holding) {
        PyBuffer_Release(&obj->view);
        obj->holding = false;
    }
}

// Pieces past this size are checked without the interpreter lock.
constexpr std::size_t kReleaseAbove = 4 * 1024;

void stream_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    let_go(reinterpret_cast<CheckStreamObject*>(self));
    delete reinterpret_cast<CheckStreamObject*>(self)->stream;
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* stream_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    if (PyTuple_GET_SIZE(args) != 0 || (kwargs != nullptr && PyDict_GET_SIZE(kwargs) != 0)) {
        PyErr_SetString(PyExc_TypeError, "CheckStream() takes no arguments");
        return nullptr;
    }
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) return nullptr;
    auto* obj = reinterpret_cast<CheckStreamObject*>(self);
    new (&obj->busy) std::atomic<bool>(false);
    obj->holding = false;
    obj->closed = false;
    try {
        obj->stream = new WellFormedStream();
    } catch (const std::bad_alloc&) {
        Py_DECREF(self);
        return PyErr_NoMemory();
    }
    return self;
}

PyObject* answer(const std::optional<WfError>& e) {
    if (!e) Py_RETURN_NONE;
    return Py_BuildValue("(s#nnn)", e->message.data(), static_cast<Py_ssize_t>(e->message.size()),
                         static_cast<Py_ssize_t>(e->line), static_cast<Py_ssize_t>(e->column),
                         static_cast<Py_ssize_t>(e->offset));
}

// Runs `f` on the stream, alone (one call at a time) and, for `size`
// bytes past kReleaseAbove, without the interpreter lock.
template <class F>
PyObject* with_stream(PyObject* self, std::size_t size, F&& f) {
    auto* obj = reinterpret_cast<CheckStreamObject*>(self);
    if (obj->closed) {
        PyErr_SetString(PyExc_ValueError, "CheckStream is closed");
        return nullptr;
    }
    if (obj->busy.exchange(true)) {
        PyErr_SetString(PyExc_RuntimeError, "CheckStream used by two threads at once");
        return nullptr;
    }
    PyObject* r = guarded([&]() -> PyObject* {
        bool ok = true;
        if (size > kReleaseAbove) {
            Py_BEGIN_ALLOW_THREADS
            try {
                f(*obj->stream);
            } catch (const std::bad_alloc&) {
                ok = false;
            }
            Py_END_ALLOW_THREADS
        } else {
            f(*obj->stream);
        }
        if (!ok) throw std::bad_alloc();
        return answer(obj->stream->error());
    });
    obj->busy.store(false);
    return r;
}

PyObject* stream_feed(PyObject* self, PyObject* data) {
    HeldBuffer holder;
    if (!holder.acquire_or_raise(data, kMsgNotBuffer)) return nullptr;
    const Bytes piece = holder.bytes();
    return with_stream(self, piece.size(), [&](WellFormedStream& s) { s.feed(piece); });
}

// feed_in_place(document, end): the document's first `end` bytes, where
// the same buffer holds them at every call.
PyObject* stream_feed_in_place(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    auto* obj = reinterpret_cast<CheckStreamObject*>(self);
    if (nargs != 2) {
        PyErr_SetString(PyExc_TypeError, "feed_in_place(document, end)");
        return nullptr;
    }
    const Py_ssize_t end = PyLong_AsSsize_t(args[1]);
    if (end == -1 && PyErr_Occurred()) return nullptr;
    if (obj->closed) {
        PyErr_SetString(PyExc_ValueError, "CheckStream is closed");
        return nullptr;
    }
    if (!obj->holding) {
        if (PyObject_GetBuffer(args[0], &obj->view, PyBUF_SIMPLE) < 0) return nullptr;
        obj->holding = true;
    } else if (obj->view.obj != args[0]) {
        PyErr_SetString(PyExc_ValueError, "feed_in_place takes the same document at every call");
        return nullptr;
    }
    if (end < 0 || end > obj->view.len) {
        PyErr_SetString(PyExc_ValueError, "end lies outside the document");
        return nullptr;
    }
    const Bytes doc(static_cast<const char*>(obj->view.buf), static_cast<std::size_t>(end));
    return with_stream(self, static_cast<std::size_t>(end), [&](WellFormedStream& s) { s.feed_in_place(doc); });
}

PyObject* stream_close(PyObject* self, PyObject*) {
    auto* obj = reinterpret_cast<CheckStreamObject*>(self);
    if (obj->busy.load()) {
        PyErr_SetString(PyExc_RuntimeError, "CheckStream used by two threads at once");
        return nullptr;
    }
    let_go(obj);
    obj->closed = true;
    Py_RETURN_NONE;
}

PyObject* stream_checked(PyObject* self, void*) {
    return PyLong_FromSize_t(reinterpret_cast<CheckStreamObject*>(self)->stream->checked());
}

PyObject* stream_finish(PyObject* self, PyObject*) {
    const std::size_t held = reinterpret_cast<CheckStreamObject*>(self)->stream->held();
    return with_stream(self, held, [&](WellFormedStream& s) { s.finish(); });
}

PyObject* stream_held(PyObject* self, void*) {
    return PyLong_FromSize_t(reinterpret_cast<CheckStreamObject*>(self)->stream->held());
}

PyObject* stream_whole(PyObject* self, void*) {
    return PyBool_FromLong(reinterpret_cast<CheckStreamObject*>(self)->stream->whole());
}

PyMethodDef stream_methods[] = {
    {"feed", stream_feed, METH_O,
     "feed(data)\n--\n\n"
     "Checks the next bytes of the document. None while no error is known,\n"
     "else (message, line, column, offset) of the first one."},
    {"feed_in_place", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(stream_feed_in_place)), METH_FASTCALL,
     "feed_in_place(document, end)\n--\n\n"
     "Checks the document's bytes up to end, where document (a buffer, the\n"
     "same at every call, held until close()) keeps them: nothing is copied.\n"
     "Not to be mixed with feed()."},
    {"close", stream_close, METH_NOARGS,
     "close()\n--\n\n"
     "Lets the document fed in place go; the stream takes nothing more."},
    {"finish", stream_finish, METH_NOARGS,
     "finish()\n--\n\n"
     "The end of the document: None when it is well formed, else\n"
     "(message, line, column, offset) of its first error."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef stream_getset[] = {
    {"held", stream_held, nullptr, "The bytes held: the piece of the document not checked yet.", nullptr},
    {"checked", stream_checked, nullptr, "The bytes of the document checked so far.", nullptr},
    {"whole", stream_whole, nullptr,
     "True when the document is held whole to be checked at its end (UTF-16, or\n"
     "declared in an encoding other than UTF-8).",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot stream_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(stream_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(stream_dealloc)},
    {Py_tp_methods, stream_methods},
    {Py_tp_getset, stream_getset},
    {Py_tp_doc, const_cast<char*>("CheckStream()\n--\n\n"
                                  "The well-formedness check of a document fed in pieces of any size:\n"
                                  "the same answer as quelmar.check of the whole document.")},
    {0, nullptr},
};

PyType_Spec stream_spec = {
    "quelmar._extra.CheckStream",
    sizeof(CheckStreamObject),
    0,
    Py_TPFLAGS_DEFAULT,
    stream_slots,
};

}  // namespace

int add_check_stream(PyObject* module) {
    PyObject* type = PyType_FromSpec(&stream_spec);
    if (type == nullptr) return -1;
    if (PyModule_AddObject(module, "CheckStream", type) < 0) {
        Py_DECREF(type);
        return -1;
    }
    return 0;
}

}  // namespace quelmar::py
