// What a Result holds (PyItem) and the entry points the module functions use
// to wrap engine output: lift / lift_with_source and result_new.
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

#include "engine/item.hpp"
#include "pyext/binding.hpp"

namespace quelmar::py {

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
class PyItem {
public:
    enum class Kind : std::uint8_t { Text, Shared, Whole, Slice };

    PyItem() noexcept = default;  // an empty text
    PyItem(PyItem&& o) noexcept
        : ptr_(std::exchange(o.ptr_, nullptr)), start_(o.start_), kind_(o.kind_), end_(o.end_),
          encoding_(o.encoding_) {
        o.kind_ = Kind::Text;
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
        it.kind_ = Kind::Shared;
        it.encoding_ = enc;
        it.ptr_ = block;
        block->retain();
        it.start_ = s & Item::kOffsetMask;
        it.end_ = e & Item::kOffsetMask;
        return it;
    }
    static PyItem make_whole(PyObject* obj) noexcept {
        PyItem it;
        it.kind_ = Kind::Whole;
        it.ptr_ = Py_NewRef(obj);
        return it;
    }
    static PyItem make_slice(PyObject* obj, std::uint64_t s, std::uint64_t e, Encoding enc) noexcept {
        PyItem it;
        it.kind_ = Kind::Slice;
        it.encoding_ = enc;
        it.ptr_ = Py_NewRef(obj);
        it.start_ = s & Item::kOffsetMask;
        it.end_ = e & Item::kOffsetMask;
        return it;
    }

    Kind kind() const noexcept { return kind_; }
    Encoding encoding() const noexcept { return encoding_; }
    bool is_element() const noexcept { return kind_ != Kind::Text; }
    bool has_source() const noexcept { return kind_ == Kind::Whole || kind_ == Kind::Slice; }

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
        it.kind_ = kind_;
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
        std::swap(kind_, o.kind_);
        std::swap(encoding_, o.encoding_);
    }

private:
    void set_block(SharedBlock* block, Kind k, Encoding e) noexcept {
        kind_ = k;
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
    Kind kind_ = Kind::Text;
    std::uint64_t end_ : 56 = 0;
    Encoding encoding_ = Encoding::Utf8;
};

static_assert(sizeof(PyItem) == 24, "a PyItem is three words");

using PyItems = std::vector<PyItem>;

// Engine items to PyItems, in order. With a source, spans become Slices of
// `source` (one new reference per span); `lift` follows evaluations without
// span output, where a span cannot occur (it becomes an empty element).
// Texts and owned elements keep the engine's blocks.
PyItems lift_with_source(Items&& items, PyObject* source);
PyItems lift(Items&& items);

// A new Result around `items` (moved in); nullptr with a Python error.
PyObject* result_new(PyItems&& items);
PyObject* result_new_one(PyItem&& item);
PyObject* result_new_empty();

}  // namespace quelmar::py
