// Immutable byte strings shared by reference: one allocation holding an
// atomic reference count, the size and the bytes (plus a NUL, for c_str).
// Engine items carry their bytes in one, and the Result layer takes the same
// block over when it lifts them, so bytes are never copied between the two;
// child items of an element can point into their parent's block.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstring>
#include <new>
#include <string>
#include <utility>

#include "common/bytes.hpp"
#include "xml/entities.hpp"

namespace quelmar {

class SharedBlock {
public:
    // A new block holding a copy of `bytes`, with one reference.
    // Throws std::bad_alloc.
    static SharedBlock* make(Bytes bytes) {
        SharedBlock* b = allocate(bytes.size());
        if (!bytes.empty()) std::memcpy(b->buffer(), bytes.data(), bytes.size());
        return b;
    }
    // A new block of `size` bytes to be filled through buffer() before it
    // is shared. Throws std::bad_alloc.
    static SharedBlock* allocate(std::size_t size) {
        if (size > static_cast<std::size_t>(-1) - sizeof(SharedBlock) - 1) throw std::bad_alloc();
        void* raw = ::operator new(sizeof(SharedBlock) + size + 1);
        auto* b = new (raw) SharedBlock(size);
        b->buffer()[size] = '\0';
        return b;
    }

    void retain() noexcept { refs_.fetch_add(1, std::memory_order_relaxed); }
    void release() noexcept {
        if (refs_.fetch_sub(1, std::memory_order_acq_rel) == 1) {
            this->~SharedBlock();
            ::operator delete(static_cast<void*>(this));
        }
    }

    char* buffer() noexcept { return reinterpret_cast<char*>(this + 1); }
    const char* data() const noexcept { return reinterpret_cast<const char*>(this + 1); }
    std::size_t size() const noexcept { return size_; }
    Bytes view() const noexcept { return Bytes(data(), size_); }

    // The entities of the document the bytes were cut from (an element
    // re-read later must expand them as the document does), or none. Set
    // before the block is shared.
    const EntityTable* entities() const noexcept { return entities_; }
    void set_entities(const EntityTable* t) noexcept {
        if (t != nullptr) t->retain();
        if (entities_ != nullptr) entities_->release();
        entities_ = t;
    }

private:
    explicit SharedBlock(std::size_t size) noexcept : size_(size) {}
    ~SharedBlock() {
        if (entities_ != nullptr) entities_->release();
    }

    std::atomic<std::size_t> refs_{1};
    std::size_t size_;
    const EntityTable* entities_ = nullptr;
};

static_assert(sizeof(SharedBlock) == 24 && alignof(SharedBlock) <= alignof(std::max_align_t));

// An owning handle to a SharedBlock (or to nothing: the empty string) that
// reads like a const std::string: size, data, c_str, indexing, comparison,
// and conversion to Bytes or to a std::string copy. Copies share the block.
class SharedString {
public:
    SharedString() noexcept = default;
    SharedString(Bytes bytes) : block_(bytes.empty() ? nullptr : SharedBlock::make(bytes)) {}
    SharedString(const SharedString& o) noexcept : block_(o.block_) {
        if (block_ != nullptr) block_->retain();
    }
    SharedString(SharedString&& o) noexcept : block_(std::exchange(o.block_, nullptr)) {}
    SharedString& operator=(const SharedString& o) noexcept {
        SharedString copy(o);
        swap(copy);
        return *this;
    }
    SharedString& operator=(SharedString&& o) noexcept {
        SharedString moved(std::move(o));
        swap(moved);
        return *this;
    }
    SharedString& operator=(Bytes bytes) { return *this = SharedString(bytes); }
    ~SharedString() {
        if (block_ != nullptr) block_->release();
    }

    // Takes over a block's reference (nullptr: the empty string).
    static SharedString adopt(SharedBlock* block) noexcept {
        SharedString s;
        s.block_ = block;
        return s;
    }
    // Hands the block's reference to the caller (nullptr when empty).
    SharedBlock* release() noexcept { return std::exchange(block_, nullptr); }
    SharedBlock* block() const noexcept { return block_; }

    std::size_t size() const noexcept { return block_ != nullptr ? block_->size() : 0; }
    bool empty() const noexcept { return size() == 0; }
    const char* data() const noexcept { return block_ != nullptr ? block_->data() : ""; }
    const char* c_str() const noexcept { return data(); }
    const char* begin() const noexcept { return data(); }
    const char* end() const noexcept { return data() + size(); }
    char operator[](std::size_t i) const noexcept { return data()[i]; }
    Bytes view() const noexcept { return Bytes(data(), size()); }

    operator Bytes() const noexcept { return view(); }
    operator std::string() const { return std::string(view()); }

    void swap(SharedString& o) noexcept { std::swap(block_, o.block_); }

    friend bool operator==(const SharedString& a, const SharedString& b) noexcept { return a.view() == b.view(); }
    friend bool operator==(const SharedString& a, Bytes b) noexcept { return a.view() == b; }

private:
    SharedBlock* block_ = nullptr;
};

}  // namespace quelmar
