// Byte search primitives of the XML reader. Every scan over text, tag
// bodies and skipped subtrees goes through this file, so the vector code
// lives in one place.
//
// Contract of every find_*: search [p, end) and return a pointer to the first
// match, or `end` when there is none. p <= end always; p == end is allowed.
// Nothing here reads a byte outside [p, end): a block shorter than the
// vector width is copied into a zeroed buffer first (the last block of a
// document, and the blocks of a short fragment).
//
// The vector width is chosen once, at run time (`isa()`): AVX2 where the CPU
// has it, else SSE2 on x86-64, else eight bytes in a 64-bit word. The same
// kernel source (scan_kernels.inc) is compiled once per width; nothing is
// built with -mavx2, the AVX2 copy carries a target attribute instead.
// The searches the event reader makes per event test their first 16 bytes
// inline (most end there: the '>' of a short tag, the '<' after a short
// text) and only a longer one pays for the call to the chosen width; the
// skip loop of read_to_end runs whole in the chosen width.
#pragma once

#include <atomic>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "common/bytes.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if (defined(__x86_64__) || defined(__i386__)) && (defined(__GNUC__) || defined(__clang__))
#include <immintrin.h>
#define QUELMAR_SCAN_AVX2 1
#endif

namespace quelmar::xml_scan {

// Character classes, one bit per class (a 256-entry table as below).
enum : std::uint8_t {
    kWs = 1,         // space, tab, CR, LF: the white space of tag names and attribute syntax
    kQuote = 2,      // '"' and '\''
    kKeyStop = 4,    // ends an attribute key: white space, '=', quotes
    kHex = 8,        // 0-9 a-f A-F
    kDoctypeStop = 16,  // outside the internal subset: '>', '[', quotes
    kSubsetStop = 32,   // inside the internal subset: ']', '<', quotes
    kValueStop = 64,    // what an attribute value is rewritten at: '&', tab, CR, LF
    kRefEnd = 128,      // ends a reference name: ';', '&', '<', white space
};

struct CharTable {
    std::uint8_t c[256] = {};
    constexpr CharTable() {
        for (char w : {' ', '\t', '\r', '\n'}) c[static_cast<unsigned char>(w)] |= kWs | kKeyStop;
        for (char q : {'"', '\''}) c[static_cast<unsigned char>(q)] |= kQuote | kKeyStop | kDoctypeStop | kSubsetStop;
        c[static_cast<unsigned char>('=')] |= kKeyStop;
        for (int d = '0'; d <= '9'; ++d) c[d] |= kHex;
        for (int d = 'a'; d <= 'f'; ++d) c[d] |= kHex;
        for (int d = 'A'; d <= 'F'; ++d) c[d] |= kHex;
        c[static_cast<unsigned char>('>')] |= kDoctypeStop;
        c[static_cast<unsigned char>('[')] |= kDoctypeStop;
        c[static_cast<unsigned char>(']')] |= kSubsetStop;
        c[static_cast<unsigned char>('<')] |= kSubsetStop;
        for (char v : {'&', '\t', '\r', '\n'}) c[static_cast<unsigned char>(v)] |= kValueStop;
        for (char v : {';', '&', '<', ' ', '\t', '\r', '\n'}) c[static_cast<unsigned char>(v)] |= kRefEnd;
    }
};
inline constexpr CharTable kChars{};

inline bool has_class(char ch, std::uint8_t cls) noexcept {
    return (kChars.c[static_cast<unsigned char>(ch)] & cls) != 0;
}
inline bool is_ws(char ch) noexcept { return has_class(ch, kWs); }

// ---------------------------------------------------------------------------
// Run-time choice of the vector width

enum class Isa : std::uint8_t { Unknown, Word, Sse2, Avx2 };

namespace detail {
inline std::atomic<Isa> g_isa{Isa::Unknown};
inline std::atomic<Isa> g_isa_limit{Isa::Avx2};

inline Isa best_isa() noexcept {
#if defined(QUELMAR_SCAN_AVX2)
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx2")) return Isa::Avx2;
#endif
#if defined(__SSE2__)
    return Isa::Sse2;
#else
    return Isa::Word;
#endif
}
}  // namespace detail

// The width the kernels use, decided at the first call.
inline Isa isa() noexcept {
    Isa i = detail::g_isa.load(std::memory_order_relaxed);
    if (i == Isa::Unknown) [[unlikely]] {
        i = detail::best_isa();
        const Isa limit = detail::g_isa_limit.load(std::memory_order_relaxed);
        if (i > limit) i = limit;
        detail::g_isa.store(i, std::memory_order_relaxed);
    }
    return i;
}

// Caps the width (the tests run every width the CPU has against a byte-loop
// reader) and returns the width now in use. Not while another thread reads.
inline Isa limit_isa(Isa limit) noexcept {
    detail::g_isa_limit.store(limit, std::memory_order_relaxed);
    detail::g_isa.store(Isa::Unknown, std::memory_order_relaxed);
    return isa();
}

// ---------------------------------------------------------------------------
// Tag bodies: the logic over bit masks, shared by every width

// Where a start or empty-element tag ends, and where its name does.
struct TagScan {
    const char* gt;        // the '>' ending the tag (not one inside a quoted value), or end
    const char* name_end;  // the first space, tab, CR or LF before gt, else gt
};

// Tag scan state carried from one block to the next.
struct TagState {
    char quote = 0;                  // the open quote, or 0 outside values
    const char* name_end = nullptr;  // the first white space so far (null: none yet)
};

// Bit i set when an odd number of bits 0..i of x are set: over the quote
// bits of a block, the bytes inside quoted values (opening quote included).
inline std::uint64_t prefix_xor(std::uint64_t x) noexcept {
    x ^= x << 1;
    x ^= x << 2;
    x ^= x << 4;
    x ^= x << 8;
    x ^= x << 16;
    x ^= x << 32;
    return x;
}

// The quote logic of one block of tag body at q, as bit masks over its
// bytes (bit i: byte q[i]; only bits of bytes that exist): '>', '"' and
// '\''. `quote` is the value open at the block's start (0: none) and is
// updated to the one open at its end. Returns the bit of the '>' that ends
// the tag, or -1 when the tag goes on past the block.
inline int tag_quotes(const char* q, std::uint64_t m_gt, std::uint64_t m_dq, std::uint64_t m_sq, char& quote) noexcept {
    if (m_dq == 0 || m_sq == 0) {
        // Quotes of one kind (or none): the bytes inside values are the
        // prefix XOR of the quote bits, inverted when the block starts
        // inside a value. A value of the other kind open at the start does
        // not close in this block: the whole block is inside it.
        const std::uint64_t k = m_dq | m_sq;
        const char kind = m_dq ? '"' : '\'';
        if (quote != 0 && (k == 0 || kind != quote)) return -1;
        std::uint64_t inside = prefix_xor(k);
        if (quote) inside = ~inside;
        const std::uint64_t out_gt = m_gt & ~inside;
        if (out_gt) {
            quote = 0;
            return std::countr_zero(out_gt);
        }
        if ((std::popcount(k) & 1)) quote = quote ? 0 : kind;
        return -1;
    }
    // Both kinds: the structural bytes in order. Outside a value the first
    // '>' ends the tag and a quote opens a value; inside one only its own
    // quote counts. Each step clears the bits up to the byte just handled.
    std::uint64_t m_any = m_gt | m_dq | m_sq;
    while (true) {
        const std::uint64_t cand = quote == 0 ? m_any : (quote == '"' ? m_dq : m_sq);
        if (!cand) return -1;
        const int i = std::countr_zero(cand);
        const std::uint64_t upto = (std::uint64_t{2} << i) - 1;  // bits 0..i (i < 64)
        m_any &= ~upto;
        m_dq &= ~upto;
        m_sq &= ~upto;
        if (quote) {
            quote = 0;
        } else if (q[i] == '>') {
            return i;
        } else {
            quote = q[i];
        }
    }
}

// One block of tag body for scan_tag: tag_quotes, and the name's end among
// the white-space candidates (bytes <= 0x20, confirmed through the table)
// before the tag's end. True, with `gt` set, when the tag ends here.
inline bool tag_block(const char* q, std::uint64_t m_gt, std::uint64_t m_dq, std::uint64_t m_sq, std::uint64_t m_low,
                      TagState& st, const char*& gt) noexcept {
    const int i = tag_quotes(q, m_gt, m_dq, m_sq, st.quote);
    if (!st.name_end) {
        if (i >= 0) m_low &= (std::uint64_t{1} << i) - 1;
        for (; m_low; m_low &= m_low - 1) {
            const int j = std::countr_zero(m_low);
            if (is_ws(q[j])) {
                st.name_end = q + j;
                break;
            }
        }
    }
    if (i < 0) return false;
    gt = q + i;
    return true;
}

// True when the first '>' of a block (m_gt != 0) ends the tag, the block
// starting outside any quoted value, without walking the quotes: no quote
// before that '>', or quotes of one kind only, an even number of them (each
// value closed again). Most tags are settled here; the others take the walk.
inline bool first_gt_ends_tag(std::uint64_t m_gt, std::uint64_t m_dq, std::uint64_t m_sq) noexcept {
    const std::uint64_t before = (m_gt & (~m_gt + 1)) - 1;
    const std::uint64_t dq = m_dq & before, sq = m_sq & before;
    if ((dq | sq) == 0) return true;
    return (dq == 0 || sq == 0) && (std::popcount(dq | sq) & 1) == 0;
}

inline TagScan tag_result(const TagState& st, const char* gt) noexcept {
    return {gt, st.name_end && st.name_end < gt ? st.name_end : gt};
}

// ---------------------------------------------------------------------------
// The skip loop's interface (read_to_end, the record splitter; the loop is
// in scan_kernels.inc)

// Why a skip returned.
enum class SkipStop : std::uint8_t {
    Closed,      // the end tag that closes the skip was read; p is past its '>'
    Markup,      // p is at a '<' the reader must read itself: a comment, CDATA,
                 // DOCTYPE, declaration or PI, an unclosed tag, or an end tag
                 // with no open element (reported unless allowed)
    EndOfInput,  // no '<' left; p is the end
};

struct SkipRun {
    const char* p;      // in: where to go on; out: see SkipStop
    std::size_t depth;  // open elements inside the skipped one (named like it, for the record splitter)
    std::size_t open;   // open elements of the reader (its depth)
};

// The name a skip counts, compared in place against tag names. Made once
// per skip, so it costs a few instructions: its first 8 bytes are read as
// one word (straight from the input when the name lies in it, as a name
// taken from an event does).
class SkipName {
public:
    SkipName(Bytes name, Bytes input) noexcept : p_(name.data()), n_(name.size()) {
        const std::size_t h = n_ < 8 ? n_ : 8;
        const auto at = reinterpret_cast<std::uintptr_t>(p_);
        const auto in = reinterpret_cast<std::uintptr_t>(input.data());
        if (at >= in && at - in + 8 <= input.size()) {
            std::memcpy(&head_, p_, 8);
        } else {
            char buf[8] = {};
            for (std::size_t i = 0; i < h; ++i) buf[i] = p_[i];
            std::memcpy(&head_, buf, 8);
        }
        // The bytes of the first h characters, wherever memcpy put them.
        if (h == 8) mask_ = ~std::uint64_t{0};
        else if (std::endian::native == std::endian::little) mask_ = (std::uint64_t{1} << (8 * h)) - 1;
        else mask_ = ~(~std::uint64_t{0} >> (8 * h));
        head_ &= mask_;
        ends_in_ws_ = n_ > 0 && is_ws(p_[n_ - 1]);
    }

    // The name of the start tag whose body [cb, gt) is (up to the first
    // white space) this one. gt < end, the input's end. The word compare
    // comes first: it rejects nearly every tag of a skip.
    bool is_start_name(const char* cb, const char* gt, const char* end) const noexcept {
        if (static_cast<std::size_t>(gt - cb) < n_ || !same(cb, end)) return false;
        // A tag name stops at white space: a name holding some never
        // matches (looked at only after the bytes matched, which is rare).
        return (cb + n_ == gt || is_ws(cb[n_])) && !has_ws();
    }

    // The name of the end tag whose body [nb, gt) is (with trailing white
    // space removed when `trim`) this one. gt < end, the input's end.
    bool is_end_name(const char* nb, const char* gt, const char* end, bool trim) const noexcept {
        const std::size_t len = static_cast<std::size_t>(gt - nb);
        if (len < n_ || !same(nb, end)) return false;
        // A trimmed name never ends in white space.
        if (len == n_) return !(trim && ends_in_ws_);
        if (!trim || ends_in_ws_) return false;
        for (const char* q = nb + n_; q < gt; ++q)
            if (!is_ws(*q)) return false;
        return true;
    }

    // lt (a '<' or end) starts "</" + this name + ">": an end tag with this
    // name and no white space before its '>'. (A name holding '>' never
    // matches: the end tag would end at that '>'.)
    bool is_plain_end_tag_at(const char* lt, const char* end, bool trim) const noexcept {
        if (static_cast<std::size_t>(end - lt) < n_ + 3 || lt[1] != '/' || lt[2 + n_] != '>') return false;
        if (!same(lt + 2, end) || (trim && ends_in_ws_)) return false;
        for (std::size_t i = 0; i < n_; ++i)
            if (p_[i] == '>') return false;
        return true;
    }

    std::size_t size() const noexcept { return n_; }

private:
    // [b, b + n_) equals the name, those bytes being part of the input
    // [.., end). Names up to 8 bytes (nearly all) cost one word compare.
    bool same(const char* b, const char* end) const noexcept {
        if (end - b >= 8) {
            std::uint64_t w;
            std::memcpy(&w, b, 8);
            if ((w & mask_) != head_) return false;
            return n_ <= 8 || std::memcmp(b + 8, p_ + 8, n_ - 8) == 0;
        }
        return n_ == 0 || std::memcmp(b, p_, n_) == 0;
    }

    bool has_ws() const noexcept {
        for (std::size_t i = 0; i < n_; ++i)
            if (is_ws(p_[i])) return true;
        return false;
    }

    const char* p_;
    std::size_t n_;
    std::uint64_t head_ = 0;  // the first (up to) 8 bytes, as memcpy lays them out
    std::uint64_t mask_ = 0;  // selects them in a word
    bool ends_in_ws_ = false;
};

// ---------------------------------------------------------------------------
// The kernels, once per width

// Eight bytes in a 64-bit word: the portable fallback. The masks are exact
// (no borrow between bytes), one bit per byte as for the vector widths.
namespace word {
struct V {
    static constexpr std::size_t kW = 8;
    using Reg = std::uint64_t;
    static constexpr Reg kOnes = 0x0101010101010101ull;
    static constexpr Reg kLow7 = 0x7F7F7F7F7F7F7F7Full;
    static constexpr Reg kHigh = 0x8080808080808080ull;
    static Reg load(const char* p) noexcept {
        Reg r = 0;
        for (std::size_t i = 0; i < 8; ++i) r |= static_cast<Reg>(static_cast<unsigned char>(p[i])) << (8 * i);
        return r;
    }
    static Reg load_partial(const char* p, std::size_t n) noexcept {
        Reg r = 0;
        for (std::size_t i = 0; i < n; ++i) r |= static_cast<Reg>(static_cast<unsigned char>(p[i])) << (8 * i);
        return r;
    }
    static Reg splat(char c) noexcept { return kOnes * static_cast<unsigned char>(c); }
    // High bit of each byte -> bit i of a byte mask.
    static std::uint64_t pack(Reg high) noexcept { return ((high >> 7) * 0x0102040810204080ull) >> 56; }
    static std::uint64_t eq(Reg r, Reg s) noexcept {
        const Reg x = r ^ s;
        return pack(~(((x & kLow7) + kLow7) | x) & kHigh);
    }
    static std::uint64_t le(Reg r, Reg s) noexcept {
        // s is a splat of one byte value b < 0x80: byte < b + 1.
        const Reg limit = (s & 0xFF) + 1;
        return pack(~(((r & kLow7) + kOnes * (0x80 - limit)) | r) & kHigh);
    }
};
#include "xml/scan_kernels.inc"
}  // namespace word

#if defined(__SSE2__)
namespace sse2 {
struct V {
    static constexpr std::size_t kW = 16;
    using Reg = __m128i;
    static Reg load(const char* p) noexcept { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); }
    static Reg load_partial(const char* p, std::size_t n) noexcept {
        alignas(16) char buf[16] = {};
        std::memcpy(buf, p, n);
        return _mm_load_si128(reinterpret_cast<const __m128i*>(buf));
    }
    static Reg splat(char c) noexcept { return _mm_set1_epi8(c); }
    static std::uint64_t mask(Reg r) noexcept { return static_cast<unsigned>(_mm_movemask_epi8(r)); }
    static std::uint64_t eq(Reg r, Reg s) noexcept { return mask(_mm_cmpeq_epi8(r, s)); }
    static std::uint64_t le(Reg r, Reg s) noexcept { return mask(_mm_cmpeq_epi8(_mm_min_epu8(r, s), r)); }
};
#include "xml/scan_kernels.inc"
}  // namespace sse2
#endif

#if defined(QUELMAR_SCAN_AVX2)
#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("avx2"))), apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("avx2")
#endif
namespace avx2 {
struct V {
    static constexpr std::size_t kW = 32;
    using Reg = __m256i;
    static Reg load(const char* p) noexcept { return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)); }
    static Reg load_partial(const char* p, std::size_t n) noexcept {
        alignas(32) char buf[32] = {};
        std::memcpy(buf, p, n);
        return _mm256_load_si256(reinterpret_cast<const __m256i*>(buf));
    }
    static Reg splat(char c) noexcept { return _mm256_set1_epi8(c); }
    static std::uint64_t mask(Reg r) noexcept { return static_cast<unsigned>(_mm256_movemask_epi8(r)); }
    static std::uint64_t eq(Reg r, Reg s) noexcept { return mask(_mm256_cmpeq_epi8(r, s)); }
    static std::uint64_t le(Reg r, Reg s) noexcept { return mask(_mm256_cmpeq_epi8(_mm256_min_epu8(r, s), r)); }
};
#include "xml/scan_kernels.inc"
}  // namespace avx2
#if defined(__clang__)
#pragma clang attribute pop
#else
#pragma GCC pop_options
#endif
#endif

// ---------------------------------------------------------------------------
// Entry points

// First `ch` in [p, end).
inline const char* find_byte(const char* p, const char* end, char ch) noexcept {
    if (p >= end) return end;
#if defined(__SSE2__)
    if (end - p >= 16) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        const unsigned m = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, _mm_set1_epi8(ch))));
        if (m) return p + std::countr_zero(m);
        p += 16;
    }
    switch (isa()) {
#if defined(QUELMAR_SCAN_AVX2)
        case Isa::Avx2: return avx2::find_byte(p, end, ch);
#endif
        case Isa::Sse2: return sse2::find_byte(p, end, ch);
        default: break;
    }
#endif
    return word::find_byte(p, end, ch);
}

// First `a` or `b` in [p, end).
inline const char* find_either(const char* p, const char* end, char a, char b) noexcept {
    if (p >= end) return end;
#if defined(__SSE2__)
    if (end - p >= 16) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        const unsigned m = static_cast<unsigned>(
            _mm_movemask_epi8(_mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8(a)), _mm_cmpeq_epi8(v, _mm_set1_epi8(b)))));
        if (m) return p + __builtin_ctz(m);
        p += 16;
    }
    switch (isa()) {
#if defined(QUELMAR_SCAN_AVX2)
        case Isa::Avx2: return avx2::find_either(p, end, a, b);
#endif
        case Isa::Sse2: return sse2::find_either(p, end, a, b);
        default: break;
    }
#endif
    return word::find_either(p, end, a, b);
}

namespace detail {
// Past the first block, in the chosen width (out of line: the inline part
// of scan_tag stays small enough to be inlined into the reader's loop).
[[gnu::noinline]] inline TagScan scan_tag_wide(const char* p, const char* end) noexcept {
    switch (isa()) {
#if defined(QUELMAR_SCAN_AVX2)
        case Isa::Avx2: return avx2::scan_tag_from(p, end, TagState{});
#endif
#if defined(__SSE2__)
        case Isa::Sse2: return sse2::scan_tag_from(p, end, TagState{});
#endif
        default: return word::scan_tag_from(p, end, TagState{});
    }
}
}  // namespace detail

// The end of the tag body starting at p (just after '<'): the first '>'
// outside quoted values, and the end of the name (the first white space,
// quoted or not). One pass finds both.
[[gnu::always_inline]] inline TagScan scan_tag(const char* p, const char* end) noexcept {
#if defined(__SSE2__)
    if (end - p >= 16) {
        // The first 16 bytes inline: most tags end there with no quote, or
        // with closed values of one kind, before the '>'. The others start
        // again in the chosen width.
        const sse2::V::Reg v = sse2::V::load(p);
        const std::uint64_t m_gt = sse2::V::eq(v, sse2::V::splat('>'));
        if (m_gt && first_gt_ends_tag(m_gt, sse2::V::eq(v, sse2::V::splat('"')),
                                      sse2::V::eq(v, sse2::V::splat('\'')))) {
            const int i = std::countr_zero(m_gt);
            const std::uint64_t low = sse2::V::le(v, sse2::V::splat(0x20)) & ((std::uint64_t{1} << i) - 1);
            for (std::uint64_t m = low; m; m &= m - 1) {
                const int j = std::countr_zero(m);
                if (is_ws(p[j])) return {p + i, p + j};
            }
            return {p + i, p + i};
        }
    }
#endif
    return detail::scan_tag_wide(p, end);
}

// Skips plain markup from run.p on, counting only the tags named like the
// record being skipped (the record splitter's skip): start and end tags with
// the open-element bookkeeping of a reader that does not check end names, up
// to the end tag that closes the skip, the end of the input, or the first
// markup the reader must read itself (SkipStop).
inline SkipStop skip_plain_markup(SkipRun& run, const char* end, const SkipName& name, bool trim_end_names,
                                  bool allow_unmatched_ends) noexcept {
    // Most skipped elements are leaves: text, then their own end tag. That
    // takes one search, not a block of masks.
    if (run.depth == 0 && (run.open > 0 || allow_unmatched_ends)) {
        const char* lt = find_byte(run.p, end, '<');
        if (name.is_plain_end_tag_at(lt, end, trim_end_names)) {
            run.p = lt + name.size() + 3;
            if (run.open) --run.open;
            return SkipStop::Closed;
        }
    }
    switch (isa()) {
#if defined(QUELMAR_SCAN_AVX2)
        case Isa::Avx2: return avx2::skip_plain<true>(run, end, &name, trim_end_names, allow_unmatched_ends);
#endif
#if defined(__SSE2__)
        case Isa::Sse2: return sse2::skip_plain<true>(run, end, &name, trim_end_names, allow_unmatched_ends);
#endif
        default: return word::skip_plain<true>(run, end, &name, trim_end_names, allow_unmatched_ends);
    }
}

// Skips plain markup from run.p on as Reader::read_to_end reads an element:
// every start tag opens a level (run.depth counts those open inside the
// skipped element), every end tag closes the innermost one whatever its
// name, and the first end tag with none open inside closes the element
// itself. Stops there, at the end of the input, or at the first markup the
// reader must read itself (SkipStop).
inline SkipStop skip_element_markup(SkipRun& run, const char* end, bool allow_unmatched_ends) noexcept {
    // Most skipped elements are leaves: text, then an end tag. That takes
    // two searches, not a block of masks.
    if (run.depth == 0 && (run.open > 0 || allow_unmatched_ends)) {
        const char* lt = find_byte(run.p, end, '<');
        if (lt == end) {
            run.p = end;
            return SkipStop::EndOfInput;
        }
        if (end - lt > 2 && lt[1] == '/') {
            const char* gt = find_byte(lt + 2, end, '>');
            if (gt != end) {
                run.p = gt + 1;
                if (run.open) --run.open;
                return SkipStop::Closed;
            }
        }
        run.p = lt;
    }
    switch (isa()) {
#if defined(QUELMAR_SCAN_AVX2)
        case Isa::Avx2: return avx2::skip_plain<false>(run, end, nullptr, false, allow_unmatched_ends);
#endif
#if defined(__SSE2__)
        case Isa::Sse2: return sse2::skip_plain<false>(run, end, nullptr, false, allow_unmatched_ends);
#endif
        default: return word::skip_plain<false>(run, end, nullptr, false, allow_unmatched_ends);
    }
}

// ---------------------------------------------------------------------------
// Short runs and terminators

// First byte of class `cls`. Byte at a time: used only over short runs
// (attribute keys) and over DOCTYPE bodies, which are rare.
inline const char* find_class(const char* p, const char* end, std::uint8_t cls) noexcept {
    while (p < end && !has_class(*p, cls)) ++p;
    return p;
}
inline const char* skip_ws(const char* p, const char* end) noexcept {
    while (p < end && is_ws(*p)) ++p;
    return p;
}

// First position of the two-byte terminator `a b` followed by '>' (as in
// "-->", "]]>") or of `a` followed by '>' when b == 0 (as in "?>"), with the
// terminator starting at or after p. Jumps from '>' to '>' with find_byte,
// so runs of text inside comments and CDATA are searched wide. Returns the
// terminator's first byte, or end.
inline const char* find_terminator(const char* p, const char* end, char a, char b) noexcept {
    const std::ptrdiff_t need = b ? 2 : 1;  // bytes before the '>'
    if (end - p <= need) return end;
    const char* gt = p + need;
    while (true) {
        gt = find_byte(gt, end, '>');
        if (gt >= end) return end;
        const char* t = gt - need;
        if (t[0] == a && (!b || t[1] == b)) return t;
        ++gt;
    }
}

}  // namespace quelmar::xml_scan
