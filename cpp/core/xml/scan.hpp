// Byte search primitives of the XML reader. Every scan over text, tag
// bodies and skipped subtrees goes through these few functions, so a wider
// search (AVX2 with runtime dispatch) can replace them in one place.
//
// Contract of every find_*: search [p, end) and return a pointer to the first
// match, or `end` when there is none. p <= end always; p == end is allowed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#if defined(__SSE2__)
#include <emmintrin.h>
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
    }
};
inline constexpr CharTable kChars{};

inline bool has_class(char ch, std::uint8_t cls) noexcept {
    return (kChars.c[static_cast<unsigned char>(ch)] & cls) != 0;
}
inline bool is_ws(char ch) noexcept { return has_class(ch, kWs); }

// The one vectorisable primitive: first occurrence of one byte. glibc's
// memchr is already SIMD; this is where an AVX2 kernel would be dispatched.
inline const char* find_byte(const char* p, const char* end, char ch) noexcept {
    if (p >= end) return end;
#if defined(__SSE2__)
    // Most searches over markup end within a few bytes (the '>' of a short
    // tag, the '<' after a short text): the first 16 bytes are tested
    // inline, and only a longer search pays for the call.
    if (end - p >= 16) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        const unsigned m = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, _mm_set1_epi8(ch))));
        if (m) return p + __builtin_ctz(m);
        p += 16;
    }
#endif
    const void* r = std::memchr(p, static_cast<unsigned char>(ch), static_cast<std::size_t>(end - p));
    return r ? static_cast<const char*>(r) : end;
}

// First byte of class `cls`. Byte at a time: used only over short runs
// (tag names, attribute keys) and over DOCTYPE bodies, which are rare.
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
