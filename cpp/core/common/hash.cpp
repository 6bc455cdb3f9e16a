#include "common/hash.hpp"

#include <bit>
#include <chrono>
#include <cstring>
#include <random>

namespace quelmar {

namespace {

inline std::uint64_t load_le64(const char* p) noexcept {
    if constexpr (std::endian::native == std::endian::little) {
        std::uint64_t v;
        std::memcpy(&v, p, 8);
        return v;
    } else {
        std::uint64_t v = 0;
        for (int i = 7; i >= 0; --i) v = (v << 8) | static_cast<unsigned char>(p[i]);
        return v;
    }
}

struct SipState {
    std::uint64_t v0, v1, v2, v3;

    inline void round() noexcept {
        v0 += v1;
        v1 = std::rotl(v1, 13);
        v1 ^= v0;
        v0 = std::rotl(v0, 32);
        v2 += v3;
        v3 = std::rotl(v3, 16);
        v3 ^= v2;
        v0 += v3;
        v3 = std::rotl(v3, 21);
        v3 ^= v0;
        v2 += v1;
        v1 = std::rotl(v1, 17);
        v1 ^= v2;
        v2 = std::rotl(v2, 32);
    }
};

HashKey draw_secret() noexcept {
    HashKey key;
    try {
        std::random_device rd;  // the system's random source (getrandom, /dev/urandom)
        key.k0 = (std::uint64_t{rd()} << 32) ^ rd();
        key.k1 = (std::uint64_t{rd()} << 32) ^ rd();
    } catch (...) {
        // No random source: the clock and an address (randomised by the
        // loader) are far weaker but still differ from run to run.
        const auto t = static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
        const auto a = static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(&key));
        key.k0 = t * 0x9e3779b97f4a7c15ULL ^ a;
        key.k1 = a * 0xc2b2ae3d27d4eb4fULL ^ (t >> 17);
    }
    return key;
}

// Drawn during the library's static initialisation, before any query runs.
const HashKey g_secret = draw_secret();

}  // namespace

const HashKey& hash_secret() noexcept { return g_secret; }

template <int C, int D>
std::uint64_t siphash(const HashKey& key, Bytes data) noexcept {
    SipState s{key.k0 ^ 0x736f6d6570736575ULL, key.k1 ^ 0x646f72616e646f6dULL, key.k0 ^ 0x6c7967656e657261ULL,
               key.k1 ^ 0x7465646279746573ULL};
    const char* p = data.data();
    const std::size_t n = data.size();
    const char* const end = p + (n & ~std::size_t{7});
    for (; p != end; p += 8) {
        const std::uint64_t m = load_le64(p);
        s.v3 ^= m;
        for (int i = 0; i < C; ++i) s.round();
        s.v0 ^= m;
    }
    std::uint64_t b = static_cast<std::uint64_t>(n) << 56;
    for (std::size_t i = 0; i < (n & 7); ++i) b |= std::uint64_t{static_cast<unsigned char>(p[i])} << (8 * i);
    s.v3 ^= b;
    for (int i = 0; i < C; ++i) s.round();
    s.v0 ^= b;
    s.v2 ^= 0xff;
    for (int i = 0; i < D; ++i) s.round();
    return s.v0 ^ s.v1 ^ s.v2 ^ s.v3;
}

template std::uint64_t siphash<1, 3>(const HashKey&, Bytes) noexcept;
template std::uint64_t siphash<2, 4>(const HashKey&, Bytes) noexcept;

}  // namespace quelmar
