// quelmar._extra.RecordSplitter: the incremental record splitter over a
// buffer the Python side grows and trims (quelmar._records drives it);
// record_ranges and find_doctype: the same machinery over a whole document
// in memory (a mapped file), for reading its records in parallel.
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

// The record path's element names (bytes); false with an exception set.
bool read_segments(PyObject* seq, bool any_depth, std::vector<std::string>& segments) {
    PyRef fast = PyRef::steal(PySequence_Fast(seq, "segments must be a sequence of bytes"));
    if (!fast) return false;
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(fast.get());
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* item = PySequence_Fast_GET_ITEM(fast.get(), i);
        if (!PyBytes_Check(item)) {
            PyErr_SetString(PyExc_TypeError, "segments must be a sequence of bytes");
            return false;
        }
        segments.emplace_back(PyBytes_AS_STRING(item), static_cast<std::size_t>(PyBytes_GET_SIZE(item)));
    }
    if (segments.empty() || (any_depth && segments.size() != 1)) {
        PyErr_SetString(PyExc_ValueError, "a record path needs one name after ** and at least one name otherwise");
        return false;
    }
    return true;
}

PyObject* span_tuple(const RecordSpan& s) {
    return Py_BuildValue("(nn)", static_cast<Py_ssize_t>(s.start), static_cast<Py_ssize_t>(s.end));
}

PyObject* splitter_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    PyObject* seq = nullptr;
    int any_depth = 0;
    static const char* kw[] = {"segments", "any_depth", nullptr};
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "Op:RecordSplitter", const_cast<char**>(kw), &seq, &any_depth))
        return nullptr;
    std::vector<std::string> segments;
    if (!read_segments(seq, any_depth != 0, segments)) return nullptr;
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

PyObject* splitter_start_inside(PyObject* self, PyObject* arg) {
    const Py_ssize_t n = PyLong_AsSsize_t(arg);
    if (n == -1 && PyErr_Occurred()) return nullptr;
    if (n < 0) {
        PyErr_SetString(PyExc_ValueError, "ancestors must not be negative");
        return nullptr;
    }
    reinterpret_cast<SplitterObject*>(self)->splitter->start_inside(static_cast<std::size_t>(n));
    Py_RETURN_NONE;
}

PyMethodDef splitter_methods[] = {
    {"start_inside", splitter_start_inside, METH_O,
     "start_inside(ancestors)\n--\n\n"
     "Before the first feed: the buffer starts at a record inside `ancestors`\n"
     "open elements that match the path (for ** records: any large count)."},
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

// record_ranges(buffer, segments, any_depth, step): the scan runs without
// the interpreter lock (the buffer stays exported meanwhile), so that other
// threads, a Dask worker's among them, go on.
PyObject* record_ranges_impl(PyObject* data, PyObject* seq, int any_depth, Py_ssize_t step) {
    if (step <= 0) {
        PyErr_SetString(PyExc_ValueError, "step must be positive");
        return nullptr;
    }
    std::vector<std::string> segments;
    if (!read_segments(seq, any_depth != 0, segments)) return nullptr;
    HeldBuffer holder;
    if (!holder.acquire_or_raise(data, kMsgNotBuffer)) return nullptr;
    const Bytes doc = holder.bytes();
    std::vector<RecordSpan> ranges;
    bool no_memory = false;
    Py_BEGIN_ALLOW_THREADS
    try {
        ranges = record_ranges(doc.data(), doc.size(), std::move(segments), any_depth != 0,
                               static_cast<std::size_t>(step));
    } catch (const std::bad_alloc&) {
        no_memory = true;
    }
    Py_END_ALLOW_THREADS
    holder.release();
    if (no_memory) return PyErr_NoMemory();
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(ranges.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < ranges.size(); ++i) {
        PyObject* t = span_tuple(ranges[i]);
        if (t == nullptr) return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), t);
    }
    return list.release();
}

PyObject* py_record_ranges(PyObject*, PyObject* args) {
    PyObject* data = nullptr;
    PyObject* seq = nullptr;
    int any_depth = 0;
    Py_ssize_t step = 0;
    if (!PyArg_ParseTuple(args, "OOpn:record_ranges", &data, &seq, &any_depth, &step)) return nullptr;
    return guarded([&] { return record_ranges_impl(data, seq, any_depth, step); });
}

PyObject* find_doctype_impl(PyObject* data) {
    HeldBuffer holder;
    if (!holder.acquire_or_raise(data, kMsgNotBuffer)) return nullptr;
    const Bytes doc = holder.bytes();
    RecordSpan span{0, 0};
    if (!find_doctype(doc.data(), doc.size(), span)) Py_RETURN_NONE;
    return span_tuple(span);
}

PyObject* py_find_doctype(PyObject*, PyObject* data) {
    return guarded([&] { return find_doctype_impl(data); });
}

PyMethodDef record_functions[] = {
    {"record_ranges", py_record_ranges, METH_VARARGS,
     "record_ranges(buffer, segments, any_depth, step)\n--\n\n"
     "(start, end) byte ranges of a whole document that hold its records:\n"
     "each starts at the first record at or after a multiple of step and runs\n"
     "to the next one; the last ends after the last record."},
    {"find_doctype", py_find_doctype, METH_O,
     "find_doctype(buffer)\n--\n\n"
     "(start, end) of the document's DOCTYPE declaration, or None."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

int add_record_splitter(PyObject* module) {
    PyObject* type = PyType_FromSpec(&splitter_spec);
    if (type == nullptr) return -1;
    if (PyModule_AddObject(module, "RecordSplitter", type) < 0) {
        Py_DECREF(type);
        return -1;
    }
    return PyModule_AddFunctions(module, record_functions);
}

}  // namespace quelmar::py
