// General entities declared in a document's internal DTD subset, and the
// budget that bounds their expansion.
//
// Declarations are collected once, when the reader meets the DOCTYPE; a
// document without one pays nothing. What a reference expands to is decided
// when the table is built, in one pass over the declarations:
//  - an entity whose replacement text holds markup ('<') is not expanded;
//  - an entity that refers to itself, directly or through others, is not
//    expanded, nor is any entity that refers to one of these;
//  - every other entity has a cost: the number of bytes its full expansion
//    reads (its replacement text plus the cost of every reference in it).
// An expansion is all or nothing: it happens when its cost fits what is
// left of the budget of the reading pass, else the reference stays as
// written. So a document of nested entities ("billion laughs") costs at most
// its budget, and nothing ever recurses without bound.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "common/bytes.hpp"
#include "common/hash.hpp"

namespace quelmar {

class EntityTable {
public:
    struct Entity {
        std::string text;        // replacement text: character references resolved, line ends LF
        std::uint64_t cost = 0;  // bytes read by a full expansion
        bool expands = false;    // false: references to it stay as written
    };

    // The table of the general entities an internal subset (the bytes
    // between '[' and ']') declares; nullptr when it declares none. The
    // first declaration of a name wins; the five predefined names cannot
    // be redeclared; external and parameter entities are not read.
    static EntityTable* from_subset(Bytes subset);

    const Entity* find(Bytes name) const;

    void retain() const noexcept { refs_.fetch_add(1, std::memory_order_relaxed); }
    void release() const noexcept {
        if (refs_.fetch_sub(1, std::memory_order_acq_rel) == 1) delete this;
    }

private:
    EntityTable() = default;
    void settle();

    mutable std::atomic<std::size_t> refs_{1};
    std::vector<std::string> names_;
    std::vector<Entity> entities_;
    std::unordered_map<Bytes, std::size_t, CarriedKeyHash> index_;  // views into names_
};

// An owning handle to a table (or to none).
class EntityRef {
public:
    EntityRef() noexcept = default;
    static EntityRef adopt(const EntityTable* t) noexcept {
        EntityRef r;
        r.t_ = t;
        return r;
    }
    static EntityRef share(const EntityTable* t) noexcept {
        if (t != nullptr) t->retain();
        return adopt(t);
    }
    EntityRef(const EntityRef& o) noexcept : t_(o.t_) {
        if (t_ != nullptr) t_->retain();
    }
    EntityRef(EntityRef&& o) noexcept : t_(std::exchange(o.t_, nullptr)) {}
    EntityRef& operator=(EntityRef o) noexcept {
        std::swap(t_, o.t_);
        return *this;
    }
    ~EntityRef() {
        if (t_ != nullptr) t_->release();
    }
    const EntityTable* get() const noexcept { return t_; }
    explicit operator bool() const noexcept { return t_ != nullptr; }

private:
    const EntityTable* t_ = nullptr;
};

// What entity expansion may still read in one pass over a document (or one
// element of it): max(8 MiB, 100 x its size).
inline std::uint64_t expansion_budget(std::size_t input_size) noexcept {
    const std::uint64_t scaled = static_cast<std::uint64_t>(input_size) * 100;
    const std::uint64_t floor = std::uint64_t{8} << 20;
    return scaled > floor ? scaled : floor;
}

// The entities references are resolved against, with the budget left. A
// null table resolves only the predefined entities and character references.
struct EntityScope {
    const EntityTable* table = nullptr;
    std::uint64_t* budget = nullptr;
};

}  // namespace quelmar
