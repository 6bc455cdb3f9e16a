// quelmar._extra.SplitStream: the core's record stream (it holds the input,
// decodes, splits, checks the records and the text around them), which
// quelmar._records drives; RecordSplitter: the bare splitter (the records
// inside a broken record are searched with one); record_ranges and
// find_doctype: the same machinery over a whole document in memory (a
// mapped file), for reading its records in parallel.
#include "extra/records.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "pyext/binding.hpp"
#include "xml/encoding.hpp"
#include "xml/reader.hpp"
#include "records/record_stream.hpp"
#include "xml/record_splitter.hpp"
#include "xml/wellformed.hpp"

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
    PyObject* t = PyTuple_New(2);
    if (t == nullptr) return nullptr;
    PyObject* a = PyLong_FromSize_t(s.start);
    PyObject* b = a != nullptr ? PyLong_FromSize_t(s.end) : nullptr;
    if (b == nullptr) {
        Py_XDECREF(a);
        Py_DECREF(t);
        return nullptr;
    }
    PyTuple_SET_ITEM(t, 0, a);
    PyTuple_SET_ITEM(t, 1, b);
    return t;
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
        PyObject* t = span_tuple(spans[i]);
        if (t == nullptr) {
            Py_DECREF(list);
            return nullptr;
        }
        PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), t);
    }
    RecordSpan dt{0, 0};
    PyObject* doctype = nullptr;
    if (self->splitter->take_doctype(dt)) {
        doctype = span_tuple(dt);
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

PyObject* position_tuple(std::uint64_t line, std::uint64_t column, std::uint64_t offset) {
    return Py_BuildValue("(KKK)", static_cast<unsigned long long>(line), static_cast<unsigned long long>(column),
                         static_cast<unsigned long long>(offset));
}

PyObject* text_object(const std::string& s) {
    return PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "replace");
}

// error(): None, or (message, line, column, offset, record) for the break
// that failed the splitter, record the offset of the record then open (or
// None).
PyObject* splitter_error(PyObject* self, PyObject*) {
    const RecordSplitter& sp = *reinterpret_cast<SplitterObject*>(self)->splitter;
    if (!sp.failed()) Py_RETURN_NONE;
    PyRef message = PyRef::steal(text_object(sp.error_message()));
    if (!message) return nullptr;
    PyRef record = sp.error_record() == RecordSplitter::kNoRecord
                       ? PyRef::borrow(Py_None)
                       : PyRef::steal(PyLong_FromUnsignedLongLong(sp.error_record()));
    if (!record) return nullptr;
    return Py_BuildValue("(OKKKO)", message.get(), static_cast<unsigned long long>(sp.error_line()),
                         static_cast<unsigned long long>(sp.error_column()),
                         static_cast<unsigned long long>(sp.error_offset()), record.get());
}

// end_problem(rest): None when the input may end here, else (message,
// line, column, offset) at its end; rest is what the last feed did not
// drop.
PyObject* splitter_end_problem(PyObject* self, PyObject* data) {
    const RecordSplitter& sp = *reinterpret_cast<SplitterObject*>(self)->splitter;
    if (sp.failed()) return splitter_error(self, nullptr);
    const std::string why = sp.end_problem();
    if (why.empty()) Py_RETURN_NONE;
    HeldBuffer holder;
    if (!holder.acquire_or_raise(data, kMsgNotBuffer)) return nullptr;
    const Bytes rest = holder.bytes();
    const RecordSplitter::Position p = sp.locate_end(rest.data(), std::min(sp.open_construct(rest.size()), rest.size()));
    PyRef message = PyRef::steal(text_object(why));
    if (!message) return nullptr;
    PyRef record = sp.open_record() == RecordSplitter::kNoRecord
                       ? PyRef::borrow(Py_None)
                       : PyRef::steal(PyLong_FromUnsignedLongLong(sp.open_record()));
    if (!record) return nullptr;
    return Py_BuildValue("(OKKKO)", message.get(), static_cast<unsigned long long>(p.line),
                         static_cast<unsigned long long>(p.column), static_cast<unsigned long long>(p.offset),
                         record.get());
}

// locate(buffer, offset): (line, column, offset) of a byte of the buffer
// given to the last feed.
PyObject* splitter_locate(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 2 && nargs != 3) {
        PyErr_SetString(PyExc_TypeError, "locate(buffer, offset, rest=False)");
        return nullptr;
    }
    const int rest = nargs == 3 ? PyObject_IsTrue(args[2]) : 0;
    if (rest < 0) return nullptr;
    const Py_ssize_t off = PyLong_AsSsize_t(args[1]);
    if (off == -1 && PyErr_Occurred()) return nullptr;
    HeldBuffer holder;
    if (!holder.acquire_or_raise(args[0], kMsgNotBuffer)) return nullptr;
    const Bytes buf = holder.bytes();
    if (off < 0 || static_cast<std::size_t>(off) > buf.size()) {
        PyErr_SetString(PyExc_ValueError, "offset lies outside the buffer");
        return nullptr;
    }
    const RecordSplitter& sp = *reinterpret_cast<SplitterObject*>(self)->splitter;
    const RecordSplitter::Position p = rest ? sp.locate_end(buf.data(), static_cast<std::size_t>(off))
                                            : sp.locate(buf.data(), static_cast<std::size_t>(off));
    return position_tuple(p.line, p.column, p.offset);
}

PyObject* splitter_resync(PyObject* self, PyObject*) {
    return PyBool_FromLong(reinterpret_cast<SplitterObject*>(self)->splitter->resync());
}

PyObject* splitter_search(PyObject* self, PyObject* args) {
    Py_ssize_t ancestors = 0;
    unsigned long long offset = 0, line = 0, column = 0;
    if (!PyArg_ParseTuple(args, "nKKK:search", &ancestors, &offset, &line, &column)) return nullptr;
    if (ancestors < 0) {
        PyErr_SetString(PyExc_ValueError, "ancestors must not be negative");
        return nullptr;
    }
    return PyBool_FromLong(reinterpret_cast<SplitterObject*>(self)->splitter->search(
        static_cast<std::size_t>(ancestors), offset, line, column));
}

PyObject* splitter_root_name(PyObject* self, PyObject*) {
    const std::string& name = reinterpret_cast<SplitterObject*>(self)->splitter->root_name();
    return PyBytes_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size()));
}

PyMethodDef splitter_methods[] = {
    {"error", splitter_error, METH_NOARGS,
     "error()\n--\n\n"
     "None, or (message, line, column, offset, record) for the break that\n"
     "ended the splitting (record: the offset of the record open then, or None)."},
    {"end_problem", splitter_end_problem, METH_O,
     "end_problem(rest)\n--\n\n"
     "None when the document may end after the bytes fed, else (message,\n"
     "line, column, offset, record); rest is what the last feed did not drop,\n"
     "record the offset of the record open at the end (or None)."},
    {"locate", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(splitter_locate)), METH_FASTCALL,
     "locate(buffer, offset, rest=False)\n--\n\n"
     "(line, column, offset) of a byte of the buffer given to the last feed\n"
     "(rest: of what it did not drop)."},
    {"resync", splitter_resync, METH_NOARGS,
     "resync()\n--\n\n"
     "After a break: look for the next record start from the record open at\n"
     "the break (or the break) and split on from there; False when it cannot."},
    {"search", splitter_search, METH_VARARGS,
     "search(ancestors, offset, line, column)\n--\n\n"
     "Before the first feed: the buffer starts at that place of a document,\n"
     "inside ancestors open elements; records are found from the first start\n"
     "tag named like them on. False when the records' name is '*'."},
    {"root_name", splitter_root_name, METH_NOARGS,
     "root_name()\n--\n\nThe root element's name as bytes (empty before it is met)."},
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

// quelmar._extra.SplitStream: the core's record stream. Its layout starts
// as a RecordSplitter object's does (the splitter it owns), so that the
// splitter's methods (positions, the break, the root's name) serve it as
// they are. The object exports the bytes the next step() scans
// (and the last one scanned) as a read-only buffer; while a view is
// exported, nothing may move them (take, end, extend and advance raise
// BufferError).
struct StreamObject {
    PyObject_HEAD
    RecordSplitter* splitter;  // the stream's own
    RecordStream* stream;
    HeldBuffer* borrowed;      // the document read in place (over())
    Py_ssize_t exports;
};

StreamObject* as_stream(PyObject* self) { return reinterpret_cast<StreamObject*>(self); }

// Runs f without the interpreter lock; a std::bad_alloc it throws is thrown
// again once the lock is back (guarded turns it into MemoryError then).
template <class F>
void without_lock(F&& f) {
    bool no_memory = false;
    Py_BEGIN_ALLOW_THREADS
    try {
        f();
    } catch (const std::bad_alloc&) {
        no_memory = true;
    }
    Py_END_ALLOW_THREADS
    if (no_memory) throw std::bad_alloc();
}

void stream_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    StreamObject* o = as_stream(self);
    delete o->stream;
    delete o->borrowed;
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* stream_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    PyObject* seq = nullptr;
    int any_depth = 0;
    const char* label = nullptr;
    Py_ssize_t skip = 0;
    static const char* kw[] = {"segments", "any_depth", "decode", "skip", nullptr};
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "Op|zn:SplitStream", const_cast<char**>(kw), &seq, &any_depth,
                                     &label, &skip))
        return nullptr;
    std::vector<std::string> segments;
    if (!read_segments(seq, any_depth != 0, segments)) return nullptr;
    std::optional<Encoding> decode;
    if (label != nullptr) {
        decode = encoding_for_label(Bytes(label));
        if (!decode) {
            PyErr_Format(PyExc_ValueError, "unknown encoding %s", label);
            return nullptr;
        }
    }
    if (skip < 0) {
        PyErr_SetString(PyExc_ValueError, "skip must not be negative");
        return nullptr;
    }
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) return nullptr;
    try {
        StreamObject* o = as_stream(self);
        o->stream = new RecordStream(std::move(segments), any_depth != 0, decode, static_cast<std::size_t>(skip));
        o->splitter = &o->stream->splitter();
    } catch (const std::bad_alloc&) {
        Py_DECREF(self);
        return PyErr_NoMemory();
    }
    return self;
}

bool unexported(StreamObject* o) {
    if (o->exports == 0) return true;
    PyErr_SetString(PyExc_BufferError, "the record stream's bytes are exported: release the view first");
    return false;
}

PyObject* stream_take(PyObject* self, PyObject* data) {
    StreamObject* o = as_stream(self);
    if (!unexported(o)) return nullptr;
    if (o->stream->borrowing()) {
        PyErr_SetString(PyExc_ValueError, "a stream over a document in memory takes no chunks");
        return nullptr;
    }
    return guarded([&]() -> PyObject* {
        HeldBuffer holder;
        if (!holder.acquire_or_raise(data, kMsgNotBuffer)) return nullptr;
        const Bytes chunk = holder.bytes();
        if (chunk.size() >= (std::size_t{1} << 16)) {
            without_lock([&] { o->stream->take(chunk); });
        } else {
            o->stream->take(chunk);
        }
        Py_RETURN_NONE;
    });
}

PyObject* stream_end(PyObject* self, PyObject*) {
    StreamObject* o = as_stream(self);
    if (!unexported(o)) return nullptr;
    return guarded([&]() -> PyObject* {
        o->stream->end();
        Py_RETURN_NONE;
    });
}

PyObject* stream_over(PyObject* self, PyObject* data) {
    StreamObject* o = as_stream(self);
    if (!unexported(o)) return nullptr;
    if (o->borrowed != nullptr || o->stream->held() != 0) {
        PyErr_SetString(PyExc_ValueError, "over() comes first, once");
        return nullptr;
    }
    return guarded([&]() -> PyObject* {
        auto holder = std::make_unique<HeldBuffer>();
        if (!holder->acquire_or_raise(data, kMsgNotBuffer)) return nullptr;
        o->stream->borrow(holder->bytes());
        o->borrowed = holder.release();
        Py_RETURN_NONE;
    });
}

PyObject* stream_extend(PyObject* self, PyObject* arg) {
    StreamObject* o = as_stream(self);
    if (!unexported(o)) return nullptr;
    const Py_ssize_t n = PyLong_AsSsize_t(arg);
    if (n == -1 && PyErr_Occurred()) return nullptr;
    if (n <= 0) {
        PyErr_SetString(PyExc_ValueError, "window must be positive");
        return nullptr;
    }
    return PyBool_FromLong(o->stream->extend(static_cast<std::size_t>(n)));
}

PyObject* stream_step(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        StreamObject* o = as_stream(self);
        const RecordStream::Step* st = nullptr;
        if (o->stream->held() >= (std::size_t{1} << 16)) {
            without_lock([&] { st = &o->stream->step(); });
        } else {
            st = &o->stream->step();
        }
        PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(st->spans.size())));
        if (!list) return nullptr;
        for (std::size_t i = 0; i < st->spans.size(); ++i) {
            PyObject* t = span_tuple(st->spans[i]);
            if (t == nullptr) return nullptr;
            PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), t);
        }
        PyRef doctype = st->has_doctype ? PyRef::steal(span_tuple(st->doctype)) : PyRef::borrow(Py_None);
        if (!doctype) return nullptr;
        PyRef verdict;
        if (!st->checked) {
            verdict = PyRef::borrow(Py_None);
        } else if (!st->error) {
            verdict = PyRef::steal(Py_BuildValue("(nO)", static_cast<Py_ssize_t>(st->good), Py_None));
        } else {
            PyRef message = PyRef::steal(text_object(st->error->message));
            if (!message) return nullptr;
            verdict = PyRef::steal(Py_BuildValue("(n(nOnnn))", static_cast<Py_ssize_t>(st->good),
                                                 static_cast<Py_ssize_t>(st->good), message.get(),
                                                 static_cast<Py_ssize_t>(st->error->line),
                                                 static_cast<Py_ssize_t>(st->error->column),
                                                 static_cast<Py_ssize_t>(st->error->offset)));
        }
        if (!verdict) return nullptr;
        return Py_BuildValue("(OnOOO)", list.get(), static_cast<Py_ssize_t>(st->drop), doctype.get(),
                             st->finished ? Py_True : Py_False, verdict.get());
    });
}

PyObject* stream_set_prolog(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 2 || !PyBytes_Check(args[0])) {
        PyErr_SetString(PyExc_TypeError, "set_prolog(declaration: bytes, transcoded: bool)");
        return nullptr;
    }
    const int transcoded = PyObject_IsTrue(args[1]);
    if (transcoded < 0) return nullptr;
    return guarded([&]() -> PyObject* {
        as_stream(self)->stream->set_prolog(
            std::string(PyBytes_AS_STRING(args[0]), static_cast<std::size_t>(PyBytes_GET_SIZE(args[0]))),
            transcoded != 0);
        Py_RETURN_NONE;
    });
}

PyObject* stream_set_doctype(PyObject* self, PyObject* data) {
    HeldBuffer holder;
    if (!holder.acquire_or_raise(data, kMsgNotBuffer)) return nullptr;
    as_stream(self)->stream->prolog().set_doctype(holder.bytes());
    Py_RETURN_NONE;
}

PyObject* stream_bind_any(PyObject* self, PyObject*) {
    as_stream(self)->stream->bind_any();
    Py_RETURN_NONE;
}

PyObject* stream_set_checking(PyObject* self, PyObject* arg) {
    const int on = PyObject_IsTrue(arg);
    if (on < 0) return nullptr;
    as_stream(self)->stream->set_checking(on != 0);
    Py_RETURN_NONE;
}

PyObject* bytes_of(const std::string& s) {
    return PyBytes_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size()));
}

// heads(): (declaration, base, full) of the stream's prolog.
PyObject* stream_heads(PyObject* self, PyObject*) {
    const RecordProlog& p = as_stream(self)->stream->prolog();
    PyRef a = PyRef::steal(bytes_of(p.declaration()));
    PyRef b = a ? PyRef::steal(bytes_of(p.base())) : PyRef();
    PyRef c = b ? PyRef::steal(bytes_of(p.full())) : PyRef();
    if (!c) return nullptr;
    return PyTuple_Pack(3, a.get(), b.get(), c.get());
}

// prefixes(buffer, spans): the prefix of each record at spans, one bytes
// object for all when the subset declares no general entity, else a list.
PyObject* stream_prefixes(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 2 || !PyList_Check(args[1])) {
        PyErr_SetString(PyExc_TypeError, "prefixes(buffer, spans: list)");
        return nullptr;
    }
    return guarded([&]() -> PyObject* {
        RecordProlog& prolog = as_stream(self)->stream->prolog();
        if (!prolog.per_record()) return bytes_of(prolog.base());
        HeldBuffer holder;
        if (!holder.acquire_or_raise(args[0], kMsgNotBuffer)) return nullptr;
        const Bytes buf = holder.bytes();
        std::vector<RecordSpan> spans;
        if (!read_spans(args[1], buf.size(), spans)) return nullptr;
        PyRef out = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(spans.size())));
        if (!out) return nullptr;
        // Records mostly share a few prefixes: one bytes object each.
        const std::string* last = nullptr;
        PyRef last_bytes;
        for (std::size_t i = 0; i < spans.size(); ++i) {
            const std::string& p = prolog.prefix_for(buf.substr(spans[i].start, spans[i].end - spans[i].start));
            if (&p != last || !last_bytes) {
                last_bytes = PyRef::steal(bytes_of(p));
                if (!last_bytes) return nullptr;
                last = &p;
            }
            PyList_SET_ITEM(out.get(), static_cast<Py_ssize_t>(i), Py_NewRef(last_bytes.get()));
        }
        return out.release();
    });
}

PyObject* stream_keep_around(PyObject* self, PyObject* arg) {
    const Py_ssize_t from = PyLong_AsSsize_t(arg);
    if (from == -1 && PyErr_Occurred()) return nullptr;
    if (from < 0) {
        PyErr_SetString(PyExc_ValueError, "from must not be negative");
        return nullptr;
    }
    return guarded([&]() -> PyObject* {
        as_stream(self)->stream->keep_around(static_cast<std::size_t>(from));
        Py_RETURN_NONE;
    });
}

PyObject* stream_check_around(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 4 || !PyBytes_Check(args[2]) || !PyBytes_Check(args[3])) {
        PyErr_SetString(PyExc_TypeError, "check_around(now, last, first_head: bytes, later_head: bytes)");
        return nullptr;
    }
    const int now = PyObject_IsTrue(args[0]);
    const int last = PyObject_IsTrue(args[1]);
    if (now < 0 || last < 0) return nullptr;
    const Bytes first(PyBytes_AS_STRING(args[2]), static_cast<std::size_t>(PyBytes_GET_SIZE(args[2])));
    const Bytes later(PyBytes_AS_STRING(args[3]), static_cast<std::size_t>(PyBytes_GET_SIZE(args[3])));
    return guarded([&]() -> PyObject* {
        const std::optional<RecordStream::Break> b = as_stream(self)->stream->check_around(now != 0, last != 0, first, later);
        if (!b) Py_RETURN_NONE;
        PyRef message = PyRef::steal(text_object(b->message));
        if (!message) return nullptr;
        return Py_BuildValue("(OKKK)", message.get(), static_cast<unsigned long long>(b->line),
                             static_cast<unsigned long long>(b->column), static_cast<unsigned long long>(b->offset));
    });
}

PyObject* stream_advance(PyObject* self, PyObject*) {
    StreamObject* o = as_stream(self);
    if (!unexported(o)) return nullptr;
    o->stream->advance();
    return PyLong_FromSize_t(o->stream->held());
}

int stream_getbuffer(PyObject* self, Py_buffer* view, int flags) {
    StreamObject* o = as_stream(self);
    const Bytes p = o->stream->part();
    static char empty = 0;
    if (PyBuffer_FillInfo(view, self, const_cast<char*>(p.data() != nullptr ? p.data() : &empty),
                          static_cast<Py_ssize_t>(p.size()), 1, flags) < 0)
        return -1;
    ++o->exports;
    return 0;
}

void stream_releasebuffer(PyObject* self, Py_buffer*) { --as_stream(self)->exports; }

PyMethodDef stream_methods[] = {
    {"take", stream_take, METH_O, "take(chunk)\n--\n\nAppends the next piece of the input (decoded when the stream decodes)."},
    {"end", stream_end, METH_NOARGS, "end()\n--\n\nThe input ends: what a decoder holds is decoded."},
    {"over", stream_over, METH_O,
     "over(document)\n--\n\nReads a document in memory where it lies, extend() making more of it visible."},
    {"extend", stream_extend, METH_O, "extend(window)\n--\n\nwindow more bytes of the document; False when all are."},
    {"step", stream_step, METH_NOARGS,
     "step()\n--\n\n"
     "Scans the bytes held (the stream's buffer): (records as (start, end)\n"
     "offsets, bytes not needed again, DOCTYPE span or None, finished,\n"
     "verdict). verdict: None when the records were not checked, else (good,\n"
     "error): the records from the first that are well formed, and None or\n"
     "(index, message, line, column, offset) of the next, as check_records."},
    {"set_prolog", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(stream_set_prolog)), METH_FASTCALL,
     "set_prolog(declaration, transcoded)\n--\n\n"
     "The declaration every record gets (bytes: a legacy encoding's, or empty);\n"
     "transcoded: the records are the UTF-8 form of the document. The DOCTYPE\n"
     "the stream meets is added (its internal subset read once)."},
    {"set_doctype", stream_set_doctype, METH_O,
     "set_doctype(doctype)\n--\n\nThe DOCTYPE records get (its internal subset read once), when it is not met by step()."},
    {"bind_any", stream_bind_any, METH_NOARGS,
     "bind_any()\n--\n\nFrom now on a record's prefixes may be bound by any element around it."},
    {"set_checking", stream_set_checking, METH_O,
     "set_checking(on)\n--\n\nWhether each record is checked as it is split."},
    {"heads", stream_heads, METH_NOARGS,
     "heads()\n--\n\n(declaration, base prefix, declaration and whole DOCTYPE) as bytes."},
    {"prefixes", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(stream_prefixes)), METH_FASTCALL,
     "prefixes(buffer, spans)\n--\n\n"
     "The prefix of each record at spans: bytes for all, or a list of bytes."},
    {"keep_around", stream_keep_around, METH_O,
     "keep_around(from)\n--\n\n"
     "Keeps what the last step scanned outside its records, from `from` on,\n"
     "to check it as the document around the records."},
    {"check_around", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(stream_check_around)), METH_FASTCALL,
     "check_around(now, last, first_head, later_head)\n--\n\n"
     "Checks what was kept around the records when it is large enough (or now,\n"
     "or last): None, or (message, line, column, offset) of the first break."},
    {"advance", stream_advance, METH_NOARGS,
     "advance()\n--\n\nLets go of what the last step did not need again; the bytes still held."},
    {"error", splitter_error, METH_NOARGS, "error()\n--\n\nAs RecordSplitter.error."},
    {"end_problem", splitter_end_problem, METH_O, "end_problem(rest)\n--\n\nAs RecordSplitter.end_problem."},
    {"locate", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(splitter_locate)), METH_FASTCALL,
     "locate(buffer, offset, rest=False)\n--\n\nAs RecordSplitter.locate."},
    {"resync", splitter_resync, METH_NOARGS, "resync()\n--\n\nAs RecordSplitter.resync."},
    {"root_name", splitter_root_name, METH_NOARGS, "root_name()\n--\n\nAs RecordSplitter.root_name."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot stream_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(stream_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(stream_dealloc)},
    {Py_tp_methods, stream_methods},
    {Py_bf_getbuffer, reinterpret_cast<void*>(stream_getbuffer)},
    {Py_bf_releasebuffer, reinterpret_cast<void*>(stream_releasebuffer)},
    {Py_tp_doc, const_cast<char*>("SplitStream(segments, any_depth, decode=None, skip=0)\n--\n\n"
                                  "The records at a path in a document given chunk after chunk (or in\n"
                                  "memory): the bytes held, decoded to UTF-8 when decode names the\n"
                                  "input's encoding (skip: bytes at its start passed over), and split.")},
    {0, nullptr},
};

PyType_Spec stream_spec = {
    "quelmar._extra.SplitStream",
    sizeof(StreamObject),
    0,
    Py_TPFLAGS_DEFAULT,
    stream_slots,
};

// record_ranges(buffer, segments, any_depth, step): the scan runs without
// the interpreter lock (the buffer stays exported meanwhile), so that other
// threads, a Dask worker's among them, go on.
PyObject* record_ranges_impl(PyObject* data, PyObject* seq, int any_depth, Py_ssize_t step, int report) {
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
    StreamProblem problem;
    bool no_memory = false;
    Py_BEGIN_ALLOW_THREADS
    try {
        ranges = record_ranges(doc.data(), doc.size(), std::move(segments), any_depth != 0,
                               static_cast<std::size_t>(step), &problem);
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
    if (!report) return list.release();
    if (problem.message.empty()) return Py_BuildValue("(OO)", list.get(), Py_None);
    PyRef message = PyRef::steal(text_object(problem.message));
    if (!message) return nullptr;
    return Py_BuildValue("(O(OKKK))", list.get(), message.get(), static_cast<unsigned long long>(problem.line),
                         static_cast<unsigned long long>(problem.column),
                         static_cast<unsigned long long>(problem.offset));
}

PyObject* py_record_ranges(PyObject*, PyObject* args) {
    PyObject* data = nullptr;
    PyObject* seq = nullptr;
    int any_depth = 0;
    Py_ssize_t step = 0;
    int report = 0;
    if (!PyArg_ParseTuple(args, "OOpn|p:record_ranges", &data, &seq, &any_depth, &step, &report)) return nullptr;
    return guarded([&] { return record_ranges_impl(data, seq, any_depth, step, report); });
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

// answer_records(buffer, spans, prefix, query_for): the answer to each
// record at spans (a list of (start, end) offsets into buffer), the record
// made a document of its own with prefix (the declaration of a legacy
// encoding, the DOCTYPE) before it. query_for(record) gives how to answer a
// record of that record's name: (query, paths, opening), called as
// query(document) or query(document, paths) when paths is not None;
// opening is the bytes that start every record of that name. Records mostly
// share one name, so query_for is called again only when a record does not
// start with the last opening followed by a byte that ends a name.
// The prefix of each of n records: one bytes object for all, or a list of
// n bytes objects (copied: the check runs without the interpreter lock).
bool read_prefixes(PyObject* prefix, Py_ssize_t n, std::vector<std::string>& out) {
    if (PyBytes_Check(prefix)) {
        out.assign(1, std::string(PyBytes_AS_STRING(prefix), static_cast<std::size_t>(PyBytes_GET_SIZE(prefix))));
        return true;
    }
    if (!PyList_Check(prefix) || PyList_GET_SIZE(prefix) != n) {
        PyErr_SetString(PyExc_TypeError, "prefix must be bytes or a list of bytes, one per span");
        return false;
    }
    out.reserve(static_cast<std::size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* p = PyList_GET_ITEM(prefix, i);
        if (!PyBytes_Check(p)) {
            PyErr_SetString(PyExc_TypeError, "prefix must be bytes or a list of bytes, one per span");
            return false;
        }
        out.emplace_back(PyBytes_AS_STRING(p), static_cast<std::size_t>(PyBytes_GET_SIZE(p)));
    }
    return true;
}

bool ends_name(char c) noexcept { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '/' || c == '>'; }

PyObject* answer_records_impl(PyObject* data, PyObject* spans, PyObject* prefix, PyObject* query_for) {
    if (!PyList_Check(spans)) {
        raise_arg_type("spans", spans, "list");
        return nullptr;
    }
    const Py_ssize_t n = PyList_GET_SIZE(spans);
    std::vector<std::string> prefixes;
    if (!read_prefixes(prefix, n, prefixes)) return nullptr;
    HeldBuffer holder;
    if (!holder.acquire_or_raise(data, kMsgNotBuffer)) return nullptr;
    PyRef answers = PyRef::steal(PyList_New(n));
    if (!answers) return nullptr;
    PyRef query;
    PyRef paths;
    PyRef opening;
    // An exported buffer cannot be resized: it stays where it is while
    // query_for and the queries run.
    const Bytes buf = holder.bytes();
    std::vector<RecordSpan> ranges;
    if (!read_spans(spans, buf.size(), ranges)) return nullptr;
    for (Py_ssize_t i = 0; i < n; ++i) {
        const char* rec = buf.data() + ranges[static_cast<std::size_t>(i)].start;
        const std::size_t len = ranges[static_cast<std::size_t>(i)].end - ranges[static_cast<std::size_t>(i)].start;
        if (len == 0) {
            PyErr_SetString(PyExc_ValueError, "a record span is empty");
            return nullptr;
        }
        const std::string& pre = prefixes[prefixes.size() == 1 ? 0 : static_cast<std::size_t>(i)];
        const std::size_t plen = pre.size();
        PyRef doc = PyRef::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(plen + len)));
        if (!doc) return nullptr;
        char* out = PyBytes_AS_STRING(doc.get());
        std::memcpy(out, pre.data(), plen);
        std::memcpy(out + plen, rec, len);
        bool same = false;
        if (opening) {
            const std::size_t olen = static_cast<std::size_t>(PyBytes_GET_SIZE(opening.get()));
            same = len > olen && std::memcmp(rec, PyBytes_AS_STRING(opening.get()), olen) == 0 && ends_name(rec[olen]);
        }
        if (!same) {
            // query_for reads the record's name: its start tag up to the
            // name's end is enough (a record may be large).
            std::size_t head = 1;
            while (head < len && !ends_name(rec[head])) ++head;
            head = std::min(len, head + 1);
            PyRef record = PyRef::steal(PyBytes_FromStringAndSize(rec, static_cast<Py_ssize_t>(head)));
            if (!record) return nullptr;
            PyRef how = PyRef::steal(PyObject_CallOneArg(query_for, record.get()));
            if (!how) return nullptr;
            if (!PyTuple_Check(how.get()) || PyTuple_GET_SIZE(how.get()) != 3 ||
                !PyBytes_Check(PyTuple_GET_ITEM(how.get(), 2))) {
                PyErr_SetString(PyExc_TypeError, "query_for must return (query, paths, opening bytes)");
                return nullptr;
            }
            query = PyRef::borrow(PyTuple_GET_ITEM(how.get(), 0));
            PyObject* p = PyTuple_GET_ITEM(how.get(), 1);
            paths = p == Py_None ? PyRef() : PyRef::borrow(p);
            opening = PyRef::borrow(PyTuple_GET_ITEM(how.get(), 2));
        }
        PyObject* args[] = {doc.get(), paths.get()};
        PyObject* answer = PyObject_Vectorcall(query.get(), args, paths ? 2 : 1, nullptr);
        if (answer == nullptr) return nullptr;
        PyList_SET_ITEM(answers.get(), i, answer);
    }
    return answers.release();
}

PyObject* py_answer_records(PyObject*, PyObject* args) {
    PyObject* data = nullptr;
    PyObject* spans = nullptr;
    PyObject* prefix = nullptr;
    PyObject* query_for = nullptr;
    if (!PyArg_ParseTuple(args, "OOOO:answer_records", &data, &spans, &prefix, &query_for)) return nullptr;
    return guarded([&] { return answer_records_impl(data, spans, prefix, query_for); });
}

// check_records(buffer, spans, prefix, bound=None): None when every record
// at spans, made a document with prefix before it, is well formed (its
// prefixes may be bound by the elements around it: any, those of the
// sequence `bound`, or when `bound` is a SplitStream those it saw declared
// around its records); else (index, message, line, column, offset) of the
// first error, the position in that document. Without the interpreter lock.
PyObject* check_records_impl(PyObject* data, PyObject* spans, PyObject* prefix, PyObject* bound) {
    if (!PyList_Check(spans)) {
        raise_arg_type("spans", spans, "list");
        return nullptr;
    }
    PrefixSet outer;
    const PrefixSet* outer_prefixes = nullptr;
    if (bound != nullptr && Py_TYPE(bound)->tp_dealloc == stream_dealloc) {
        // A record stream: the prefixes it saw declared around its records.
        outer_prefixes = as_stream(bound)->stream->bound();
    } else if (bound != nullptr && bound != Py_None) {
        outer_prefixes = &outer;
        PyRef fast = PyRef::steal(PySequence_Fast(bound, "bound must be a sequence of bytes"));
        if (!fast) return nullptr;
        for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(fast.get()); ++i) {
            PyObject* item = PySequence_Fast_GET_ITEM(fast.get(), i);
            if (!PyBytes_Check(item)) {
                PyErr_SetString(PyExc_TypeError, "bound must be a sequence of bytes");
                return nullptr;
            }
            outer.emplace(bytes_view(item));
        }
    }
    std::vector<std::string> prefixes;
    if (!read_prefixes(prefix, PyList_GET_SIZE(spans), prefixes)) return nullptr;
    HeldBuffer holder;
    if (!holder.acquire_or_raise(data, kMsgNotBuffer)) return nullptr;
    const Bytes buf = holder.bytes();
    std::vector<RecordSpan> ranges;
    if (!read_spans(spans, buf.size(), ranges)) return nullptr;
    std::size_t bad = ranges.size();
    std::optional<WfError> err;
    bool no_memory = false;
    Py_BEGIN_ALLOW_THREADS
    try {
        std::string doc;
        for (std::size_t i = 0; i < ranges.size() && !err; ++i) {
            const Bytes rec = buf.substr(ranges[i].start, ranges[i].end - ranges[i].start);
            const std::string& pre = prefixes[prefixes.size() == 1 ? 0 : i];
            if (pre.empty()) {
                err = check_well_formed(rec, false, true, outer_prefixes);
            } else {
                doc.assign(pre);
                doc.append(rec.data(), rec.size());
                err = check_well_formed(doc, false, true, outer_prefixes);
            }
            if (err) bad = i;
        }
    } catch (const std::bad_alloc&) {
        no_memory = true;
    }
    Py_END_ALLOW_THREADS
    holder.release();
    if (no_memory) return PyErr_NoMemory();
    if (!err) Py_RETURN_NONE;
    PyRef message = PyRef::steal(text_object(err->message));
    if (!message) return nullptr;
    return Py_BuildValue("(nOnnn)", static_cast<Py_ssize_t>(bad), message.get(), static_cast<Py_ssize_t>(err->line),
                         static_cast<Py_ssize_t>(err->column), static_cast<Py_ssize_t>(err->offset));
}

PyObject* py_check_records(PyObject*, PyObject* args) {
    PyObject* data = nullptr;
    PyObject* spans = nullptr;
    PyObject* prefix = nullptr;
    PyObject* bound = nullptr;
    if (!PyArg_ParseTuple(args, "OOO|O:check_records", &data, &spans, &prefix, &bound)) return nullptr;
    return guarded([&] { return check_records_impl(data, spans, prefix, bound); });
}

// stream_coding(head): (encoding name, byte-order mark length, end of the
// declaration or 0, transcode) for a document starting with head, as the
// reader reads it (labels from the encoding standard's table).
PyObject* py_stream_coding(PyObject*, PyObject* data) {
    return guarded([&]() -> PyObject* {
        HeldBuffer holder;
        if (!holder.acquire_or_raise(data, kMsgNotBuffer)) return nullptr;
        const StreamCoding c = stream_coding(holder.bytes());
        return Py_BuildValue("(snnO)", encoding_name(c.encoding), static_cast<Py_ssize_t>(c.skip),
                             static_cast<Py_ssize_t>(c.declaration_end), c.transcode ? Py_True : Py_False);
    });
}

PyMethodDef record_functions[] = {
    {"check_records", py_check_records, METH_VARARGS,
     "check_records(buffer, spans, prefix, bound=None)\n--\n\n"
     "None when every record at spans (with prefix before it: bytes, or a\n"
     "list of bytes, one per span) is well formed, its prefixes bound by\n"
     "the elements around it (any; those bound names, a sequence of bytes; or\n"
     "those a SplitStream saw declared around its records),\n"
     "else (index, message, line, column, offset) of the first error."},
    {"stream_coding", py_stream_coding, METH_O,
     "stream_coding(head)\n--\n\n"
     "(encoding, byte-order mark length, declaration end, transcode) of a\n"
     "document that starts with head."},
    {"record_ranges", py_record_ranges, METH_VARARGS,
     "record_ranges(buffer, segments, any_depth, step)\n--\n\n"
     "(start, end) byte ranges of a whole document that hold its records:\n"
     "each starts at the first record at or after a multiple of step and runs\n"
     "to the next one; the last ends after the last record."},
    {"answer_records", py_answer_records, METH_VARARGS,
     "answer_records(buffer, spans, prefix, query_for)\n--\n\n"
     "(prefix: bytes, or a list of bytes, one per span)\n"
     "The answers to the records at spans of buffer, each made a document\n"
     "with prefix before it; query_for(record) gives (query, paths, opening)\n"
     "for the records of that record's name."},
    {"find_doctype", py_find_doctype, METH_O,
     "find_doctype(buffer)\n--\n\n"
     "(start, end) of the document's DOCTYPE declaration, or None."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

bool read_spans(PyObject* spans, std::size_t size, std::vector<RecordSpan>& out) {
    const Py_ssize_t n = PyList_GET_SIZE(spans);
    out.reserve(static_cast<std::size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* t = PyList_GET_ITEM(spans, i);
        if (!PyTuple_Check(t) || PyTuple_GET_SIZE(t) != 2) {
            PyErr_SetString(PyExc_TypeError, "spans must be (start, end) tuples");
            return false;
        }
        const Py_ssize_t s = PyLong_AsSsize_t(PyTuple_GET_ITEM(t, 0));
        const Py_ssize_t e = PyLong_AsSsize_t(PyTuple_GET_ITEM(t, 1));
        if ((s == -1 || e == -1) && PyErr_Occurred()) return false;
        if (s < 0 || e < s || static_cast<std::size_t>(e) > size) {
            PyErr_SetString(PyExc_ValueError, "a record span lies outside the buffer");
            return false;
        }
        out.push_back({static_cast<std::size_t>(s), static_cast<std::size_t>(e)});
    }
    return true;
}

namespace {

struct DecoderObject {
    PyObject_HEAD
    LossyStreamDecoder* decoder;
};

void decoder_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    delete reinterpret_cast<DecoderObject*>(self)->decoder;
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* decoder_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    const char* label = nullptr;
    static const char* kw[] = {"encoding", nullptr};
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "s:StreamDecoder", const_cast<char**>(kw), &label)) return nullptr;
    const auto e = encoding_for_label(Bytes(label));
    if (!e) {
        PyErr_Format(PyExc_ValueError, "unknown encoding %s", label);
        return nullptr;
    }
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) return nullptr;
    try {
        reinterpret_cast<DecoderObject*>(self)->decoder = new LossyStreamDecoder(*e);
    } catch (const std::bad_alloc&) {
        Py_DECREF(self);
        return PyErr_NoMemory();
    }
    return self;
}

PyObject* decoder_decode(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs < 1 || nargs > 2) {
        PyErr_SetString(PyExc_TypeError, "decode(data, last=False)");
        return nullptr;
    }
    const int last = nargs == 2 ? PyObject_IsTrue(args[1]) : 0;
    if (last < 0) return nullptr;
    return guarded([&]() -> PyObject* {
        HeldBuffer holder;
        if (!holder.acquire_or_raise(args[0], kMsgNotBuffer)) return nullptr;
        std::string out;
        LossyStreamDecoder* d = reinterpret_cast<DecoderObject*>(self)->decoder;
        const Bytes in = holder.bytes();
        out.reserve(in.size() + in.size() / 2);
        without_lock([&] { d->decode(in, last != 0, out); });
        return PyBytes_FromStringAndSize(out.data(), static_cast<Py_ssize_t>(out.size()));
    });
}

PyMethodDef decoder_methods[] = {
    {"decode", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(decoder_decode)), METH_FASTCALL,
     "decode(data, last=False)\n--\n\n"
     "The UTF-8 form of the next piece of the text (each malformed sequence\n"
     "a U+FFFD); last: no piece follows."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot decoder_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(decoder_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(decoder_dealloc)},
    {Py_tp_methods, decoder_methods},
    {Py_tp_doc, const_cast<char*>("StreamDecoder(encoding)\n--\n\n"
                                  "Decodes a text that comes in pieces to UTF-8, with the engine's decoders.")},
    {0, nullptr},
};

PyType_Spec decoder_spec = {
    "quelmar._extra.StreamDecoder",
    sizeof(DecoderObject),
    0,
    Py_TPFLAGS_DEFAULT,
    decoder_slots,
};

}  // namespace

int add_record_splitter(PyObject* module) {
    PyObject* type = PyType_FromSpec(&splitter_spec);
    if (type == nullptr) return -1;
    if (PyModule_AddObject(module, "RecordSplitter", type) < 0) {
        Py_DECREF(type);
        return -1;
    }
    PyObject* stype = PyType_FromSpec(&stream_spec);
    if (stype == nullptr) return -1;
    if (PyModule_AddObject(module, "SplitStream", stype) < 0) {
        Py_DECREF(stype);
        return -1;
    }
    PyObject* dtype = PyType_FromSpec(&decoder_spec);
    if (dtype == nullptr) return -1;
    if (PyModule_AddObject(module, "StreamDecoder", dtype) < 0) {
        Py_DECREF(dtype);
        return -1;
    }
    return PyModule_AddFunctions(module, record_functions);
}

}  // namespace quelmar::py
