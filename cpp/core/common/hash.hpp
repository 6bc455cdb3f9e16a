// Keyed hashing for every table filled from input (attribute names, child
// names, texts compared by |@uniq, path texts in the cache).
//
// A fixed, public hash lets a document or a path list be crafted so that all
// its keys land in one bucket, turning each insertion into a scan of all the
// others (quadratic). SipHash-1-3 under a 128-bit secret drawn at random once
// per process makes such collisions unpredictable; it is the hash CPython
// itself uses for str and bytes.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/bytes.hpp"

namespace quelmar {

struct HashKey {
    std::uint64_t k0 = 0;
    std::uint64_t k1 = 0;
};

// SipHash with `C` compression and `D` finalisation rounds; the tables use
// SipHash-1-3, the tests check the round structure against SipHash-2-4's
// published vectors.
template <int C, int D>
std::uint64_t siphash(const HashKey& key, Bytes data) noexcept;

// The process's secret, drawn from the system's random source when the
// library is loaded.
const HashKey& hash_secret() noexcept;

inline std::uint64_t keyed_hash(Bytes data) noexcept { return siphash<1, 3>(hash_secret(), data); }

// For std::unordered_{map,set} over byte views or strings; transparent, so a
// lookup by view needs no copy of the key.
struct KeyedHash {
    using is_transparent = void;
    std::size_t operator()(Bytes s) const noexcept { return static_cast<std::size_t>(keyed_hash(s)); }
};

// The same for tables that travel with the data they index (a document's
// entity table, carried by the blocks of its elements): the key is taken
// when the table is made and kept in it. Each extension module links its
// own copy of the core, with its own secret, and a table made by one is
// read by the other.
struct CarriedKeyHash {
    using is_transparent = void;
    HashKey key = hash_secret();
    std::size_t operator()(Bytes s) const noexcept { return static_cast<std::size_t>(siphash<1, 3>(key, s)); }
};

}  // namespace quelmar
