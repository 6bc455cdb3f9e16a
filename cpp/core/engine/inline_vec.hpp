// A vector of trivially copyable values whose first N live inside the object:
// the children of a typical element (a few fields of a record) are collected
// and grouped without touching the heap.
#pragma once

#include <cstddef>
#include <cstring>
#include <new>
#include <type_traits>
#include <utility>

namespace quelmar {

template <class T, std::size_t N>
class InlineVec {
    static_assert(std::is_trivially_copyable_v<T> && std::is_trivially_destructible_v<T>);
    static_assert(N > 0);

public:
    InlineVec() noexcept = default;
    InlineVec(const InlineVec& o) { append(o.data(), o.size()); }
    InlineVec(InlineVec&& o) noexcept { take(o); }
    InlineVec& operator=(const InlineVec& o) {
        if (this != &o) {
            clear();
            append(o.data(), o.size());
        }
        return *this;
    }
    InlineVec& operator=(InlineVec&& o) noexcept {
        if (this != &o) {
            free_heap();
            take(o);
        }
        return *this;
    }
    ~InlineVec() { free_heap(); }

    std::size_t size() const noexcept { return size_; }
    bool empty() const noexcept { return size_ == 0; }
    T* data() noexcept { return heap_ != nullptr ? heap_ : reinterpret_cast<T*>(inline_); }
    const T* data() const noexcept { return heap_ != nullptr ? heap_ : reinterpret_cast<const T*>(inline_); }
    T& operator[](std::size_t i) noexcept { return data()[i]; }
    const T& operator[](std::size_t i) const noexcept { return data()[i]; }
    T* begin() noexcept { return data(); }
    T* end() noexcept { return data() + size_; }
    const T* begin() const noexcept { return data(); }
    const T* end() const noexcept { return data() + size_; }
    T& back() noexcept { return data()[size_ - 1]; }
    const T& back() const noexcept { return data()[size_ - 1]; }

    void clear() noexcept { size_ = 0; }
    void reserve(std::size_t n) {
        if (n > capacity()) grow_to(n);
    }
    void push_back(const T& v) {
        if (size_ == capacity()) grow_to(size_ < 2 * N ? 2 * N : 2 * size_);
        std::memcpy(static_cast<void*>(data() + size_), &v, sizeof(T));
        ++size_;
    }
    // Resizes to n values, each set to `v`.
    void assign(std::size_t n, const T& v) {
        clear();
        reserve(n);
        for (std::size_t i = 0; i < n; ++i) std::memcpy(static_cast<void*>(data() + i), &v, sizeof(T));
        size_ = n;
    }
    void append(const T* p, std::size_t n) {
        reserve(size_ + n);
        if (n != 0) std::memcpy(static_cast<void*>(data() + size_), p, n * sizeof(T));
        size_ += n;
    }

private:
    std::size_t capacity() const noexcept { return heap_ != nullptr ? heap_cap_ : N; }
    void grow_to(std::size_t n) {
        if (n > static_cast<std::size_t>(-1) / sizeof(T)) throw std::bad_alloc();
        T* p = static_cast<T*>(::operator new(n * sizeof(T)));
        if (size_ != 0) std::memcpy(static_cast<void*>(p), data(), size_ * sizeof(T));
        free_heap();
        heap_ = p;
        heap_cap_ = n;
    }
    void free_heap() noexcept {
        if (heap_ != nullptr) ::operator delete(static_cast<void*>(heap_));
        heap_ = nullptr;
        heap_cap_ = 0;
    }
    void take(InlineVec& o) noexcept {
        size_ = o.size_;
        if (o.heap_ != nullptr) {
            heap_ = std::exchange(o.heap_, nullptr);
            heap_cap_ = std::exchange(o.heap_cap_, 0);
        } else if (size_ != 0) {
            std::memcpy(inline_, o.inline_, size_ * sizeof(T));
        }
        o.size_ = 0;
    }

    T* heap_ = nullptr;
    std::size_t heap_cap_ = 0;
    std::size_t size_ = 0;
    // Raw storage: values are copied in as they come (no N constructions).
    alignas(T) unsigned char inline_[N * sizeof(T)];
};

}  // namespace quelmar
