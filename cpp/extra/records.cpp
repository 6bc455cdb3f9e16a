// quelmar._extra.RecordSplitter: the incremental record splitter over a
// buffer the Python side grows and trims (quelmar._records drives it).
#include "extra/records.hpp"

#include <new>
#include <string>
#include <vector>

#include "pyext/binding.hpp"
#include "xml/record_splitter.hpp"

namespace quelmar::py {
namespace {

struct SplitterObject {
    PyObject_HEAD
    RecordSplitter* splitter;
};

void splitter_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    delete reinterpret_cast<SplitterObject*>(self)->splitter;
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* splitter_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    PyObject* seq = nullptr;
    int any_depth = 0;
    static const char* kw[] = {"segments", "any_depth", nullptr};
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "Op:RecordSplitter", const_cast<char**>(kw), &seq, &any_depth))
        return nullptr;
    PyObject* fast = PySequence_Fast(seq, "segments must be a sequence of bytes");
    if (fast == nullptr) return nullptr;
    std::vector<std::string> segments;
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(fast);
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* item = PySequence_Fast_GET_ITEM(fast, i);
        if (!PyBytes_Check(item)) {
            Py_DECREF(fast);
            PyErr_SetString(PyExc_TypeError, "segments must be a sequence of bytes");
            return nullptr;
        }
        segments.emplace_back(PyBytes_AS_STRING(item), static_cast<std::size_t>(PyBytes_GET_SIZE(item)));
    }
    Py_DECREF(fast);
    if (segments.empty() || (any_depth && segments.size() != 1)) {
        PyErr_SetString(PyExc_ValueError, "a record path needs one name after ** and at least one name otherwise");
        return nullptr;
    }
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) return nullptr;
    try {
        reinterpret_cast<SplitterObject*>(self)->splitter = new RecordSplitter(std::move(segments), any_depth != 0);
    } catch (const std::bad_alloc&) {
        Py_DECREF(self);
        return PyErr_NoMemory();
    }
    return self;
}

PyObject* splitter_feed_impl(SplitterObject* self, PyObject* data) {
    Py_buffer view;
    if (PyObject_GetBuffer(data, &view, PyBUF_SIMPLE) < 0) return nullptr;
    std::vector<RecordSpan> spans;
    const std::size_t drop =
        self->splitter->feed(static_cast<const char*>(view.buf), static_cast<std::size_t>(view.len), spans);
    PyBuffer_Release(&view);
    PyObject* list = PyList_New(static_cast<Py_ssize_t>(spans.size()));
    if (list == nullptr) return nullptr;
    for (std::size_t i = 0; i < spans.size(); ++i) {
        PyObject* t = Py_BuildValue("(nn)", static_cast<Py_ssize_t>(spans[i].start),
                                    static_cast<Py_ssize_t>(spans[i].end));
        if (t == nullptr) {
            Py_DECREF(list);
            return nullptr;
        }
        PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), t);
    }
    RecordSpan dt{0, 0};
    PyObject* doctype = nullptr;
    if (self->splitter->take_doctype(dt)) {
        doctype = Py_BuildValue("(nn)", static_cast<Py_ssize_t>(dt.start), static_cast<Py_ssize_t>(dt.end));
    } else {
        doctype = Py_NewRef(Py_None);
    }
    if (doctype == nullptr) {
        Py_DECREF(list);
        return nullptr;
    }
    return Py_BuildValue("(NnNO)", list, static_cast<Py_ssize_t>(drop), doctype,
                         self->splitter->finished() ? Py_True : Py_False);
}

PyObject* splitter_feed(PyObject* self, PyObject* data) {
    return guarded([&] { return splitter_feed_impl(reinterpret_cast<SplitterObject*>(self), data); });
}

PyMethodDef splitter_methods[] = {
    {"feed", splitter_feed, METH_O,
     "feed(buffer)\n--\n\n"
     "Scans buffer from where the last call stopped: (records as (start, end)\n"
     "offsets, bytes to drop from the front, DOCTYPE span or None, finished)."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot splitter_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(splitter_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(splitter_dealloc)},
    {Py_tp_methods, splitter_methods},
    {Py_tp_doc, const_cast<char*>("RecordSplitter(segments, any_depth)\n--\n\n"
                                  "Finds the records at a path in a document fed chunk after chunk.")},
    {0, nullptr},
};

PyType_Spec splitter_spec = {
    "quelmar._extra.RecordSplitter",
    sizeof(SplitterObject),
    0,
    Py_TPFLAGS_DEFAULT,
    splitter_slots,
};

}  // namespace

int add_record_splitter(PyObject* module) {
    PyObject* type = PyType_FromSpec(&splitter_spec);
    if (type == nullptr) return -1;
    if (PyModule_AddObject(module, "RecordSplitter", type) < 0) {
        Py_DECREF(type);
        return -1;
    }
    return 0;
}

}  // namespace quelmar::py
