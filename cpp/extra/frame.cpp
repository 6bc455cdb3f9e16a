// quelmar._extra.FrameBuilder: records into columns, without a Python object
// per cell.
//
// quelmar._frame drives it: the record splitter finds the records of a
// chunk, feed() answers every column's path over each record in one pass of
// the engine and appends the values to per-column builders; finish() hands
// each column's memory out as NativeBuffer objects (the buffer protocol
// over our vectors, no copy), which pyarrow wraps as Arrow arrays.
//
// A column's type follows its values, as the dataframe world's CSV readers
// (Arrow's, Polars') decide it per column (classify_cell): int64 while
// every value is an integer without a leading zero, float64 once a decimal
// literal in any spelling appears (the integers seen must be exact in a
// double), bool while the values are `true`/`false`, and string as soon as
// any value is none of these: an integer with a leading zero (`004`) or a
// plus sign (`+7`), or a word such as `nan`, keeps its column's texts. Each value's text is kept
// beside its number until the column's type is known, so a column that
// turns into strings has every value as it was written.
//
// Cells: a path that matches nothing in a record is a missing cell; one
// that matches several items makes the whole column a list column (each
// row the list of its values). An element's value is its trimmed text
// (none when empty; not trimmed inside xml:space="preserve", its own or an
// enclosing element's in the record, or with keep); an element with child elements keeps its markup as
// written, so nothing beneath it is lost. Attribute values and other text
// items are taken as they are.
#include "extra/frame.hpp"
#include "extra/records.hpp"

#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <memory>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "common/text.hpp"
#include "common/utf8.hpp"
#include "engine/children.hpp"
#include "engine/engine.hpp"
#include "path/compile.hpp"
#include "pyext/binding.hpp"
#include "xml/encoding.hpp"
#include "xml/reader.hpp"
#include "xml/scan.hpp"

namespace quelmar::py {
namespace {

// ---------------------------------------------------------------- native buffers

// Memory handed to Python: any vector, moved in, exposed read-only through
// the buffer protocol. pyarrow keeps the object alive as the base of its
// buffer, so the column lives exactly as long as the arrays over it.
struct Storage {
    virtual ~Storage() = default;
    const void* data = nullptr;
    std::size_t size = 0;
};

template <class V>
struct VectorStorage final : Storage {
    explicit VectorStorage(V&& v) : vec(std::move(v)) {
        data = vec.data();
        size = vec.size() * sizeof(typename V::value_type);
    }
    V vec;
};

struct BufferObject {
    PyObject_HEAD
    Storage* storage;
};

void buffer_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    delete reinterpret_cast<BufferObject*>(self)->storage;  // null when filling it failed
    type->tp_free(self);
    Py_DECREF(type);
}

int buffer_get(PyObject* self, Py_buffer* view, int flags) {
    Storage* s = reinterpret_cast<BufferObject*>(self)->storage;
    if (s == nullptr) {
        PyErr_SetString(PyExc_BufferError, "a NativeBuffer without memory");
        return -1;
    }
    // An empty vector may have no data pointer; the protocol wants one.
    static const char empty = 0;
    void* data = const_cast<void*>(s->data != nullptr ? s->data : &empty);
    return PyBuffer_FillInfo(view, self, data, static_cast<Py_ssize_t>(s->size), 1, flags);
}

PyType_Slot buffer_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(buffer_dealloc)},
    {Py_bf_getbuffer, reinterpret_cast<void*>(buffer_get)},
    {Py_tp_doc, const_cast<char*>("Read-only memory of a column built natively (the buffer protocol).")},
    {0, nullptr},
};

PyType_Spec buffer_spec = {
    "quelmar._extra.NativeBuffer",
    sizeof(BufferObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,  // made by FrameBuilder.finish only
    buffer_slots,
};

// ---------------------------------------------------------------- columns

enum class ColumnKind : std::uint8_t { Null, Int, Float, Bool, String };

const char* kind_name(ColumnKind k) noexcept {
    switch (k) {
        case ColumnKind::Null: return "null";
        case ColumnKind::Int: return "int64";
        case ColumnKind::Float: return "float64";
        case ColumnKind::Bool: return "bool";
        case ColumnKind::String: return "string";
    }
    return "null";
}

// Integers beyond 2**53 have no exact double: a column holding one and a
// float stays a string column rather than round them.
constexpr std::int64_t kExactInDouble = std::int64_t{1} << 53;

bool is_digit(char c) noexcept { return c >= '0' && c <= '9'; }

// What one cell's text says of its column's type, as the dataframe world's
// CSV readers decide: an integer (optional minus, no leading zero) that fits
// int64; a decimal literal in any spelling (`35.90`, `1e-05`, `.5`, `7.`),
// finite in a double; `true` or `false`; else a text. An integer written
// with a leading zero (`004`, a ZIP code, an id) is a text, and so are the
// words `nan` and `inf`.
struct Cell {
    ColumnKind kind = ColumnKind::String;
    std::int64_t integer = 0;
    double real = 0;
};

Cell classify_cell(Bytes t) noexcept {
    Cell c;
    const std::size_t n = t.size();
    if (t == "true" || t == "false") {
        c.kind = ColumnKind::Bool;
        c.integer = t[0] == 't';
        return c;
    }
    std::size_t i = 0;
    if (n != 0 && (t[0] == '+' || t[0] == '-')) ++i;
    const std::size_t int_start = i;
    while (i < n && is_digit(t[i])) ++i;
    const std::size_t int_digits = i - int_start;
    std::size_t frac_digits = 0;
    bool decimal = false;
    if (i < n && t[i] == '.') {
        decimal = true;
        const std::size_t f = ++i;
        while (i < n && is_digit(t[i])) ++i;
        frac_digits = i - f;
    }
    if (int_digits + frac_digits == 0) return c;
    if (i < n && (t[i] == 'e' || t[i] == 'E')) {
        decimal = true;
        ++i;
        if (i < n && (t[i] == '+' || t[i] == '-')) ++i;
        const std::size_t e = i;
        while (i < n && is_digit(t[i])) ++i;
        if (i == e) return c;
    }
    if (i != n) return c;
    // from_chars takes no '+'.
    const char* first = t.data() + (t[0] == '+' ? 1 : 0);
    const char* last = t.data() + n;
    if (!decimal) {
        // `004` keeps its zeros, `+7` its sign (Arrow's CSV reader makes
        // the latter a float, Polars' a text: a text loses nothing).
        if ((int_digits > 1 && t[int_start] == '0') || t[0] == '+') return c;
        std::int64_t v = 0;
        const auto r = std::from_chars(first, last, v);
        if (r.ec != std::errc() || r.ptr != last) return c;  // beyond int64: a text
        c.kind = ColumnKind::Int;
        c.integer = v;
        return c;
    }
    double d = 0;
    const auto r = std::from_chars(first, last, d);
    if (r.ec != std::errc() || r.ptr != last || !std::isfinite(d)) return c;
    c.kind = ColumnKind::Float;
    c.real = d;
    return c;
}

class Column {
public:
    explicit Column(bool strings) : kind_(strings ? ColumnKind::String : ColumnKind::Null) {
        offsets_.push_back(0);
    }

    void add_null() {
        valid_.push_back(kNull);
        offsets_.push_back(static_cast<std::int64_t>(data_.size()));
        if (kind_ != ColumnKind::String) nums_.push_back(0);
    }

    // Every value's text is kept, also while the column holds numbers: one
    // that turns into strings keeps the values as they were written.
    void add(Bytes text) {
        if (kind_ != ColumnKind::String) add_number(text);
        valid_.push_back(kValue);
        data_.append(text);
        offsets_.push_back(static_cast<std::int64_t>(data_.size()));
    }

    // Ends a row: the values added since the last end are its cells.
    void end_row() {
        if (row_ends_.empty()) {
            // Rows of one value each: row r ends at r + 1, nothing to keep.
            if (valid_.size() == single_rows_ + 1) {
                ++single_rows_;
                max_per_row_ = 1;
                return;
            }
            row_ends_.reserve(single_rows_ + 2);
            for (std::size_t r = 0; r <= single_rows_; ++r) row_ends_.push_back(static_cast<std::int64_t>(r));
        }
        const std::size_t n = valid_.size() - static_cast<std::size_t>(row_ends_.back());
        if (n > max_per_row_) max_per_row_ = n;
        row_ends_.push_back(static_cast<std::int64_t>(valid_.size()));
    }

    std::size_t rows() const noexcept { return row_ends_.empty() ? single_rows_ : row_ends_.size() - 1; }

    // The column as a tuple for quelmar._frame:
    //   (type, rows, row_validity, row_offsets, values, nulls, validity, data, offsets)
    // row_validity and row_offsets are None for a flat column (then values
    // == rows and the value arrays are the rows); validity is None when no
    // value is null; offsets only for strings; data is None for "null".
    PyObject* finish(PyTypeObject* buffer_type) {
        const bool list = max_per_row_ > 1;
        if (!list && valid_.size() != rows()) flatten();
        const std::size_t n = valid_.size();
        const std::size_t length = list ? rows() : n;
        std::size_t nulls = 0;
        for (std::uint8_t v : valid_) nulls += v == kNull;
        PyRef row_valid = none(), row_offsets = none(), validity = none(), data = none(), offsets = none();
        if (list) {
            std::vector<std::uint8_t> present(rows());
            for (std::size_t r = 0; r < rows(); ++r) present[r] = row_ends_[r + 1] > row_ends_[r];
            row_valid = bits(buffer_type, present);
            row_offsets = wrap(buffer_type, std::move(row_ends_));
            if (!row_valid || !row_offsets) return nullptr;
        }
        if (nulls != 0 && kind_ != ColumnKind::Null) {
            validity = bits(buffer_type, valid_);
            if (!validity) return nullptr;
        }
        switch (kind_) {
            case ColumnKind::Null: break;
            case ColumnKind::Int:
            case ColumnKind::Float: data = wrap(buffer_type, std::move(nums_)); break;  // int64 or double bits
            case ColumnKind::Bool: {
                std::vector<std::uint8_t> b(nums_.size());
                for (std::size_t i = 0; i < b.size(); ++i) b[i] = nums_[i] != 0;
                data = bits(buffer_type, b);
                break;
            }
            case ColumnKind::String:
                data = wrap(buffer_type, std::move(data_));
                offsets = wrap(buffer_type, std::move(offsets_));
                if (!offsets) return nullptr;
                break;
        }
        if (!data) return nullptr;
        return Py_BuildValue("(snNNnnNNN)", kind_name(kind_), static_cast<Py_ssize_t>(length), row_valid.release(),
                             row_offsets.release(), static_cast<Py_ssize_t>(n), static_cast<Py_ssize_t>(nulls),
                             validity.release(), data.release(), offsets.release());
    }

private:
    static constexpr std::uint8_t kNull = 0, kValue = 1;

    static std::uint64_t bits_of(double d) noexcept { return std::bit_cast<std::uint64_t>(d); }

    // Adds a value's number to a column of numbers or booleans; the column
    // becomes strings when the value is none, or does not join the others.
    void add_number(Bytes text) {
        const Cell cell = classify_cell(text);
        const ColumnKind k = cell.kind;
        const bool big = k == ColumnKind::Int && (cell.integer > kExactInDouble || cell.integer < -kExactInDouble);
        ColumnKind joined = join(kind_, k);
        // Integers and floats share a float64 column only when every
        // integer is exact in a double.
        if (joined == ColumnKind::Float && (inexact_ || big)) joined = ColumnKind::String;
        if (joined == ColumnKind::String) {
            std::vector<std::uint64_t>().swap(nums_);
            kind_ = ColumnKind::String;
            return;
        }
        inexact_ = inexact_ || big;
        if (kind_ == ColumnKind::Int && joined == ColumnKind::Float)
            for (auto& v : nums_) v = bits_of(static_cast<double>(static_cast<std::int64_t>(v)));
        kind_ = joined;
        switch (k) {
            case ColumnKind::Int:
                nums_.push_back(kind_ == ColumnKind::Float ? bits_of(static_cast<double>(cell.integer))
                                                           : static_cast<std::uint64_t>(cell.integer));
                break;
            case ColumnKind::Float: nums_.push_back(bits_of(cell.real)); break;
            default: nums_.push_back(static_cast<std::uint64_t>(cell.integer)); break;  // Bool: 0 or 1
        }
    }

    static ColumnKind join(ColumnKind a, ColumnKind b) noexcept {
        if (a == ColumnKind::Null || a == b) return b;
        if ((a == ColumnKind::Int && b == ColumnKind::Float) || (a == ColumnKind::Float && b == ColumnKind::Int))
            return ColumnKind::Float;
        return ColumnKind::String;
    }

    // One value slot per row: rows without a value get a null slot. A row
    // without a value adds no text, so the string data stays as it is.
    void flatten() {
        std::vector<std::uint8_t> valid;
        std::vector<std::int64_t> offsets{0};
        std::vector<std::uint64_t> nums;
        const bool strings = kind_ == ColumnKind::String;
        valid.reserve(rows());
        offsets.reserve(rows() + 1);
        if (!strings) nums.reserve(rows());
        for (std::size_t r = 0; r < rows(); ++r) {
            const auto at = static_cast<std::size_t>(row_ends_[r]);
            const bool has = row_ends_[r + 1] > row_ends_[r];
            valid.push_back(has ? valid_[at] : kNull);
            offsets.push_back(has ? offsets_[at + 1] : offsets.back());
            if (!strings) nums.push_back(has ? nums_[at] : 0);
        }
        valid_ = std::move(valid);
        offsets_ = std::move(offsets);
        if (!strings) nums_ = std::move(nums);
    }

    static PyRef none() { return PyRef::borrow(Py_None); }

    template <class V>
    static PyRef wrap(PyTypeObject* type, V&& v) {
        PyObject* obj = type->tp_alloc(type, 0);
        if (obj == nullptr) return PyRef();
        auto* b = reinterpret_cast<BufferObject*>(obj);
        try {
            b->storage = new VectorStorage<std::decay_t<V>>(std::move(v));
        } catch (...) {
            Py_DECREF(obj);  // its storage is still null
            throw;
        }
        return PyRef::steal(obj);
    }

    // Flags (0: unset) packed into an Arrow bitmap (least significant bit first).
    static PyRef bits(PyTypeObject* type, const std::vector<std::uint8_t>& flags) {
        std::vector<std::uint8_t> out((flags.size() + 7) / 8, 0);
        for (std::size_t i = 0; i < flags.size(); ++i)
            if (flags[i]) out[i >> 3] = static_cast<std::uint8_t>(out[i >> 3] | (1u << (i & 7)));
        return wrap(type, std::move(out));
    }

    ColumnKind kind_;
    bool inexact_ = false;  // an integer seen has no exact double
    std::size_t max_per_row_ = 0;
    std::vector<std::uint8_t> valid_;     // per value slot: kNull, kValue
    std::vector<std::uint64_t> nums_;     // per value slot while numbers: int64, double bits or 0/1
    std::string data_;                    // the texts, back to back
    std::vector<std::int64_t> offsets_;   // per value slot + 1
    std::size_t single_rows_ = 0;         // rows before the first without exactly one value
    std::vector<std::int64_t> row_ends_;  // from that row on: value count after each row (Arrow list
                                          // offsets), from 0; empty until then
};

// ---------------------------------------------------------------- the builder

struct BuilderObject {
    PyObject_HEAD
    std::vector<ProgramPtr>* programs;
    std::vector<Column>* columns;
    std::vector<std::string>* names;
    PyTypeObject* buffer_type;  // strong
    bool keep;                  // texts kept untrimmed
    // Set while feed() runs without the interpreter lock: another thread
    // calling in then is refused instead of racing on the columns.
    bool busy;
};

bool claim(BuilderObject* self) {
    if (self->busy) {
        PyErr_SetString(PyExc_RuntimeError, "the FrameBuilder is in use by another thread");
        return false;
    }
    return true;
}

struct Failure {
    bool failed = false;
    std::string message;
};

// The text of `<name ...>text</name>` in UTF-8 (the fields of a record),
// found in one tag scan and one search, unescaped into `scratch` when it
// holds references, and trimmed unless `keep` or its tag says
// xml:space="preserve" (looked for only in a tag with attributes); false
// when the element is anything else (children, comments, CDATA, an
// empty-element tag), which the reader then takes. As the engine reads
// such a leaf (utf8_leaf_text). `inherited`: the element lies in a preserve
// scope, which its own xml:space="default" ends.
bool leaf_field_text(Bytes e, std::string& scratch, bool keep, bool inherited, Bytes& out) {
    if (e.size() < 2 || e[0] != '<' || e[1] == '/' || e[1] == '!' || e[1] == '?' || e[1] == '\0') return false;
    const char* b = e.data();
    const char* end = b + e.size();
    const xml_scan::TagScan t = xml_scan::scan_tag(b + 1, end);
    if (t.gt == end || t.gt[-1] == '/') return false;
    const char* lt = xml_scan::find_byte(t.gt + 1, end, '<');
    if (end - lt < 2 || lt[1] != '/') return false;
    if (!keep)
        keep = preserve_inside(inherited, Bytes(b + 1, static_cast<std::size_t>(t.gt - b - 1)),
                               static_cast<std::size_t>(t.name_end - b - 1));
    Bytes text;
    unescape_with(Bytes(t.gt + 1, static_cast<std::size_t>(lt - t.gt - 1)), scratch, text);
    out = keep ? text : trim_unicode_ws(text);
    return true;
}

// The value of one item appended to `col`; false with `fail` set for text
// that is not UTF-8 (a malformed document: the user is told, as by `value`).
// keep: texts are not trimmed (whitespace="keep"); else an element's text
// is, unless it lies in an xml:space="preserve" scope (its own tag's, or
// one the pass saw around it in the record).
bool add_item(Column& col, const Item& item, Bytes source, std::string& scratch, bool keep, Failure& fail) {
    Bytes text;
    bool trimmed_text = false;
    if (item.kind == Item::Kind::Text) {
        text = item.bytes;
    } else {
        const Bytes element = item.kind == Item::Kind::ElementSpan
                                  ? (item.end <= source.size() && item.start <= item.end
                                         ? source.substr(item.start, item.end - item.start)
                                         : Bytes())
                                  : Bytes(item.bytes);
        if (item.kind == Item::Kind::ElementSpan && item.encoding == Encoding::Utf8 &&
            leaf_field_text(element, scratch, keep, item.preserve != 0, text)) {
            trimmed_text = true;
        } else if (element_has_child_elements(element)) {
            // Markup as written, decoded to UTF-8.
            if (item.encoding != Encoding::Utf8) {
                scratch.clear();
                decode_lossy_to_utf8(item.encoding, element, scratch);
                text = scratch;
            } else {
                text = element;
            }
        } else {
            scratch = item_text(item, source);
            const XmlSpace own = element_xml_space(element);
            const bool kept = keep || own == XmlSpace::Preserve || (item.preserve != 0 && own == XmlSpace::Unset);
            text = kept ? Bytes(scratch) : trim_unicode_ws(scratch);
            trimmed_text = true;
        }
    }
    if (trimmed_text && text.empty()) {
        col.add_null();
        return true;
    }
    if (auto err = utf8_check(text)) {
        fail.failed = true;
        fail.message = utf8_error_message(*err);
        return false;
    }
    col.add(text);
    return true;
}

// Answers every path over one record (a whole document: the record, after
// the document's declaration and DOCTYPE when there is a prefix).
bool feed_record(BuilderObject* self, const std::vector<const Program*>& run, Bytes doc, std::string& scratch,
                 Failure& fail) {
    auto results = run_many(run, doc, true);
    if (!results) {
        fail.failed = true;
        fail.message = results.error().message();
        return false;
    }
    auto& columns = *self->columns;
    for (std::size_t c = 0; c < columns.size(); ++c) {
        Column& col = columns[c];
        const Items& items = results.value()[c];
        for (const Item& item : items)
            if (!add_item(col, item, doc, scratch, self->keep, fail)) {
                fail.message = "column " + (*self->names)[c] + ": " + fail.message;
                return false;
            }
        col.end_row();
    }
    return true;
}

void builder_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    auto* b = reinterpret_cast<BuilderObject*>(self);
    delete b->programs;
    delete b->columns;
    delete b->names;
    Py_XDECREF(b->buffer_type);
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* builder_new_impl(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    PyObject* paths = nullptr;
    PyObject* strings = nullptr;
    PyObject* buffer_type = nullptr;
    int keep = 0;
    static const char* kw[] = {"paths", "strings", "buffer_type", "keep", nullptr};
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O!O!O!|p:FrameBuilder", const_cast<char**>(kw), &PyList_Type,
                                     &paths, &PyList_Type, &strings, &PyType_Type, &buffer_type, &keep))
        return nullptr;
    // The columns are written into objects of this type: it must be ours.
    auto* bt = reinterpret_cast<PyTypeObject*>(buffer_type);
    if (bt->tp_dealloc != buffer_dealloc || bt->tp_basicsize != static_cast<Py_ssize_t>(sizeof(BufferObject))) {
        PyErr_SetString(PyExc_TypeError, "buffer_type must be quelmar._extra.NativeBuffer");
        return nullptr;
    }
    const Py_ssize_t n = PyList_GET_SIZE(paths);
    if (PyList_GET_SIZE(strings) != n) {
        PyErr_SetString(PyExc_ValueError, "paths and strings differ in length");
        return nullptr;
    }
    auto programs = std::make_unique<std::vector<ProgramPtr>>();
    auto columns = std::make_unique<std::vector<Column>>();
    auto names = std::make_unique<std::vector<std::string>>();
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* p = PyList_GET_ITEM(paths, i);
        if (!PyUnicode_Check(p)) {
            PyErr_SetString(PyExc_TypeError, "paths must be str");
            return nullptr;
        }
        auto text = str_utf8(p);
        if (!text) return nullptr;
        // Relative to the record: the record document's root, whatever its name.
        std::string full = "*.";
        full.append(*text);
        auto program = compile_path(full);
        if (!program) return raise_message(PyExc_ValueError, program.error());
        programs->push_back(std::move(program.value()));
        columns->emplace_back(PyObject_IsTrue(PyList_GET_ITEM(strings, i)) == 1);
        names->emplace_back(*text);
    }
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) return nullptr;
    auto* b = reinterpret_cast<BuilderObject*>(self);
    b->programs = programs.release();
    b->columns = columns.release();
    b->names = names.release();
    b->buffer_type = reinterpret_cast<PyTypeObject*>(Py_NewRef(buffer_type));
    b->busy = false;
    b->keep = keep != 0;
    return self;
}

PyObject* builder_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&] { return builder_new_impl(type, args, kwargs); });
}

PyObject* builder_feed_impl(BuilderObject* self, PyObject* data, PyObject* spans, PyObject* prefix) {
    if (!PyList_Check(spans) || !PyBytes_Check(prefix)) {
        PyErr_SetString(PyExc_TypeError, "feed(buffer, spans: list, prefix: bytes)");
        return nullptr;
    }
    if (!claim(self)) return nullptr;
    HeldBuffer buffer;
    if (!buffer.acquire_or_raise(data, kMsgNotBuffer)) return nullptr;
    const Bytes all = buffer.bytes();
    std::vector<RecordSpan> ranges;
    if (!read_spans(spans, all.size(), ranges)) return nullptr;
    const Bytes head = bytes_view(prefix);
    Failure fail;
    bool out_of_memory = false;
    self->busy = true;
    // The records are read without the interpreter lock: a reader thread
    // can decompress the next chunk meanwhile.
    Py_BEGIN_ALLOW_THREADS
    try {
        std::string doc, scratch;
        std::vector<const Program*> run;
        for (const auto& p : *self->programs) run.push_back(p.get());
        for (const RecordSpan& r : ranges) {
            Bytes record = all.substr(r.start, r.end - r.start);
            if (!head.empty()) {
                doc.assign(head);
                doc.append(record);
                record = doc;
            }
            if (!feed_record(self, run, record, scratch, fail)) break;
        }
    } catch (const std::bad_alloc&) {
        out_of_memory = true;
    }
    Py_END_ALLOW_THREADS
    self->busy = false;
    buffer.release();
    if (out_of_memory) return PyErr_NoMemory();
    if (fail.failed) return raise_message(PyExc_ValueError, fail.message);
    Py_RETURN_NONE;
}

PyObject* builder_feed(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 3) {
        PyErr_SetString(PyExc_TypeError, "feed() takes 3 arguments (buffer, spans, prefix)");
        return nullptr;
    }
    return guarded(
        [&] { return builder_feed_impl(reinterpret_cast<BuilderObject*>(self), args[0], args[1], args[2]); });
}

PyObject* builder_finish_impl(BuilderObject* self) {
    if (!claim(self)) return nullptr;
    auto& columns = *self->columns;
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(columns.size())));
    if (!list) return nullptr;
    for (std::size_t c = 0; c < columns.size(); ++c) {
        PyObject* t = columns[c].finish(self->buffer_type);
        if (t == nullptr) return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(c), t);
    }
    // The memory now belongs to the buffers handed out.
    columns.clear();
    return list.release();
}

PyObject* builder_finish(PyObject* self, PyObject*) {
    return guarded([&] { return builder_finish_impl(reinterpret_cast<BuilderObject*>(self)); });
}

PyObject* builder_rows(PyObject* self, PyObject*) {
    if (!claim(reinterpret_cast<BuilderObject*>(self))) return nullptr;
    auto& columns = *reinterpret_cast<BuilderObject*>(self)->columns;
    return PyLong_FromSize_t(columns.empty() ? 0 : columns[0].rows());
}

PyMethodDef builder_methods[] = {
    {"feed", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(builder_feed)), METH_FASTCALL,
     "feed(buffer, spans, prefix)\n--\n\n"
     "Appends one row per record span (start, end) of buffer; prefix (the\n"
     "document's declaration and DOCTYPE, or b'') goes before each record."},
    {"finish", builder_finish, METH_NOARGS,
     "finish()\n--\n\n"
     "The columns, one tuple each: (type, rows, row_validity, row_offsets,\n"
     "values, nulls, validity, data, offsets). The builder is empty after."},
    {"rows", builder_rows, METH_NOARGS, "rows()\n--\n\nThe number of rows so far."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot builder_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(builder_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(builder_dealloc)},
    {Py_tp_methods, builder_methods},
    {Py_tp_doc, const_cast<char*>("FrameBuilder(paths, strings, buffer_type, keep=False)\n--\n\n"
                                  "Columns built from records, one path per column; keep: texts\n"
                                  "are not trimmed (else trimmed outside xml:space=\"preserve\").")},
    {0, nullptr},
};

PyType_Spec builder_spec = {
    "quelmar._extra.FrameBuilder",
    sizeof(BuilderObject),
    0,
    Py_TPFLAGS_DEFAULT,
    builder_slots,
};

}  // namespace

int add_frame_types(PyObject* module) {
    PyObject* buffer = PyType_FromSpec(&buffer_spec);
    if (buffer == nullptr) return -1;
    if (PyModule_AddObject(module, "NativeBuffer", buffer) < 0) {
        Py_DECREF(buffer);
        return -1;
    }
    PyObject* builder = PyType_FromSpec(&builder_spec);
    if (builder == nullptr) return -1;
    if (PyModule_AddObject(module, "FrameBuilder", builder) < 0) {
        Py_DECREF(builder);
        return -1;
    }
    return 0;
}

}  // namespace quelmar::py
