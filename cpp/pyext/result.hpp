// What a Result holds (PyItem) and the entry points the module functions use
// to wrap engine output: lift / lift_with_source and result_new.
#pragma once

#include <cstdint>
#include <utility>

#include "engine/item.hpp"
#include "pyext/binding.hpp"

namespace quelmar::py {

struct ModuleState;  // module.hpp

// One matched item, three words. An element's bytes come from one of three
// sources:
//   Shared  [start, end) of an immutable shared block (atomic count): an
//           engine copy, or a child's range of its parent's block;
//   Whole   a Python object (bytes, str or buffer) whose entire content is
//           the element: parse() only; the bytes are fetched again on every
//           use and a held buffer is released after the operation;
//   Slice   a str or bytes object and a [start, end) byte range into it.
// Text items hold their bytes in a shared block too (the engine's own, taken
// over when lifting; copies share it, since nothing ever writes to it).
// The item owns one reference to its block or object, as a PyRef would; the
// pointer is a bare word so that either kind fits in it.
class PyItem {
public:
    enum class Kind : std::uint8_t { Text, Shared, Whole, Slice };

    PyItem() noexcept = default;  // an empty text
    PyItem(PyItem&& o) noexcept
        : ptr_(std::exchange(o.ptr_, nullptr)), start_(o.start_), tag_(o.tag_), end_(o.end_),
          encoding_(o.encoding_) {
        o.tag_ = 0;
    }
    PyItem& operator=(PyItem&& o) noexcept {
        if (this != &o) {
            PyItem moved(std::move(o));
            swap(moved);
        }
        return *this;
    }
    PyItem(const PyItem&) = delete;
    PyItem& operator=(const PyItem&) = delete;
    ~PyItem() { drop(); }

    static PyItem make_text(SharedString bytes) noexcept {
        PyItem it;
        it.set_block(bytes.release(), Kind::Text, Encoding::Utf8);
        return it;
    }
    static PyItem make_shared(SharedString bytes, Encoding e) noexcept {
        PyItem it;
        it.set_block(bytes.release(), Kind::Shared, e);
        return it;
    }
    // The range [s, e) of `block`, which gets one more reference.
    static PyItem make_shared_part(SharedBlock* block, std::size_t s, std::size_t e, Encoding enc) noexcept {
        PyItem it;
        it.set_kind(Kind::Shared);
        it.encoding_ = enc;
        it.ptr_ = block;
        block->retain();
        it.start_ = s & Item::kOffsetMask;
        it.end_ = e & Item::kOffsetMask;
        return it;
    }
    static PyItem make_whole(PyObject* obj) noexcept {
        PyItem it;
        it.set_kind(Kind::Whole);
        it.ptr_ = Py_NewRef(obj);
        return it;
    }
    static PyItem make_slice(PyObject* obj, std::uint64_t s, std::uint64_t e, Encoding enc) noexcept {
        PyItem it;
        it.set_kind(Kind::Slice);
        it.encoding_ = enc;
        it.ptr_ = Py_NewRef(obj);
        it.start_ = s & Item::kOffsetMask;
        it.end_ = e & Item::kOffsetMask;
        return it;
    }

    Kind kind() const noexcept { return static_cast<Kind>(tag_ & kKindBits); }
    Encoding encoding() const noexcept { return encoding_; }
    bool is_element() const noexcept { return kind() != Kind::Text; }
    bool has_source() const noexcept { return kind() == Kind::Whole || kind() == Kind::Slice; }

    // Inside an xml:space="preserve" scope (Item::preserve): for an element
    // the scope around it, for a text the one it was read in.
    bool preserve() const noexcept { return (tag_ & kPreserveBit) != 0; }
    PyItem&& in_scope(bool preserve) && noexcept {
        tag_ = static_cast<std::uint8_t>(preserve ? tag_ | kPreserveBit : tag_ & ~kPreserveBit);
        return std::move(*this);
    }

    // A mark the Result keeps on its first item: whether the Result is one
    // the garbage collector must see (see result_is_gc). Never copied.
    bool marked() const noexcept { return (tag_ & kMarkBit) != 0; }
    void set_mark() noexcept { tag_ = static_cast<std::uint8_t>(tag_ | kMarkBit); }

    // Text and Shared: the bytes held.
    Bytes held_bytes() const noexcept {
        if (ptr_ == nullptr) return Bytes();
        return Bytes(static_cast<const SharedBlock*>(ptr_)->data() + start_, end_ - start_);
    }
    // Text and Shared: the block (nullptr for no bytes) and the range in it.
    SharedBlock* block() const noexcept { return static_cast<SharedBlock*>(ptr_); }
    // Whole and Slice: the Python object.
    PyObject* source() const noexcept { return static_cast<PyObject*>(ptr_); }
    // Slice: the range in the object's bytes; Shared: the range in the block.
    std::uint64_t start() const noexcept { return start_; }
    std::uint64_t end() const noexcept { return end_; }

    // A new item for the same bytes: the block or the object gets one more
    // reference; nothing is copied.
    PyItem clone_ref() const noexcept {
        PyItem it;
        it.set_kind(kind());
        it.tag_ = static_cast<std::uint8_t>(it.tag_ | (tag_ & kPreserveBit));
        it.encoding_ = encoding_;
        it.start_ = start_;
        it.end_ = end_;
        it.ptr_ = ptr_;
        if (ptr_ != nullptr) {
            if (has_source()) Py_INCREF(source());
            else block()->retain();
        }
        return it;
    }

    void swap(PyItem& o) noexcept {
        std::swap(ptr_, o.ptr_);
        const std::uint64_t s = start_, e = end_;
        start_ = o.start_ & Item::kOffsetMask;
        end_ = o.end_ & Item::kOffsetMask;
        o.start_ = s & Item::kOffsetMask;
        o.end_ = e & Item::kOffsetMask;
        std::swap(tag_, o.tag_);
        std::swap(encoding_, o.encoding_);
    }

private:
    static constexpr std::uint8_t kKindBits = 0x03;
    static constexpr std::uint8_t kPreserveBit = 0x04;
    static constexpr std::uint8_t kMarkBit = 0x80;

    void set_kind(Kind k) noexcept {
        tag_ = static_cast<std::uint8_t>((tag_ & ~kKindBits) | static_cast<std::uint8_t>(k));
    }
    void set_block(SharedBlock* block, Kind k, Encoding e) noexcept {
        set_kind(k);
        encoding_ = e;
        ptr_ = block;
        start_ = 0;
        end_ = block != nullptr ? block->size() & Item::kOffsetMask : 0;
    }
    void drop() noexcept {
        if (ptr_ == nullptr) return;
        if (has_source()) Py_DECREF(source());
        else block()->release();
        ptr_ = nullptr;
    }

    void* ptr_ = nullptr;  // SharedBlock* (Text, Shared) or PyObject* (Whole, Slice)
    std::uint64_t start_ : 56 = 0;
    std::uint8_t tag_ = 0;  // the Kind in the low bits, and the mark
    std::uint64_t end_ : 56 = 0;
    Encoding encoding_ = Encoding::Utf8;
};

static_assert(sizeof(PyItem) == 24, "a PyItem is three words");

// Engine items lifted straight into the storage of a new Result, which is
// not handed out yet (result_new does that): no intermediate vector. Holds
// nothing when the allocation failed (a Python error is then set).
class LiftedItems {
public:
    explicit LiftedItems(PyObject* result) noexcept : result_(result) {}
    LiftedItems(LiftedItems&& o) noexcept : result_(std::exchange(o.result_, nullptr)) {}
    LiftedItems& operator=(LiftedItems&&) = delete;
    ~LiftedItems() { Py_XDECREF(result_); }
    PyObject* release() noexcept { return std::exchange(result_, nullptr); }

private:
    PyObject* result_;
};

// Engine items to PyItems, in order. With a source, spans become Slices of
// `source` (one new reference per span); `lift` follows evaluations without
// span output, where a span cannot occur (it becomes an empty element).
// Texts and owned elements keep the engine's blocks; the engine's item
// storage is freed as soon as the items are lifted.
// Results are made with the Result type of the module state `st`.
LiftedItems lift_with_source(const ModuleState& st, Items&& items, PyObject* source);
LiftedItems lift(const ModuleState& st, Items&& items);

// The Result of lifted items; nullptr with a Python error.
PyObject* result_new(LiftedItems&& items);
PyObject* result_new_one(const ModuleState& st, PyItem&& item);
PyObject* result_new_empty(const ModuleState& st);

}  // namespace quelmar::py
