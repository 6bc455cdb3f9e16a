#include "path/name_matcher.hpp"

#include <string>
#include <vector>

#include "common/utf8.hpp"

namespace quelmar {

// The special characters ('*', '?', '\\', ':') are ASCII and UTF-8 never uses
// ASCII bytes inside a multi-byte sequence, so walking bytes finds exactly the
// characters a walk by code point would; an escape keeps the lead byte of the
// escaped character and its continuation bytes follow as ordinary bytes.
NameMatcher NameMatcher::parse(Bytes text) {
    NameMatcher m;
    bool glob = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '\\') {
            ++i;  // skip the escaped byte (a trailing backslash ends the walk)
        } else if (c == '*' || c == '?') {
            glob = true;
            break;
        }
    }
    if (glob) {
        m.kind_ = Kind::Glob;
        m.text_.assign(text);
    } else {
        m.kind_ = Kind::Exact;
        m.text_.reserve(text.size());
        for (std::size_t i = 0; i < text.size(); ++i) {
            if (text[i] == '\\') {
                if (++i == text.size()) break;  // a trailing backslash is dropped
            }
            m.text_.push_back(text[i]);
        }
    }
    // A Glob looks at its raw pattern, so an escaped "\:" counts too.
    m.qualified_ = m.text_.find(':') != std::string::npos;
    return m;
}

bool NameMatcher::matches_glob(Bytes name) const { return glob_match(text_, name); }

namespace {

// Anchored glob over two code point sequences. Only the most recent '*' is
// remembered: on a mismatch the star absorbs one more code point and matching
// resumes after it. At most |pattern| * |text| steps, constant extra memory.
template <class P, class T>
bool glob_core(const P& pat, std::size_t m, const T& txt, std::size_t n) {
    std::size_t p = 0, t = 0;
    std::size_t star = 0, mark = 0;
    bool have_star = false;
    while (t < n) {
        if (p < m) {
            const char32_t pc = static_cast<char32_t>(pat[p]);
            const char32_t tc = static_cast<char32_t>(txt[t]);
            if (pc == U'*') {
                have_star = true;
                star = p;
                mark = t;
                ++p;
                continue;
            }
            if (pc == U'?') {
                ++p;
                ++t;
                continue;
            }
            if (pc == U'\\' && p + 1 < m) {
                if (static_cast<char32_t>(pat[p + 1]) == tc) {
                    p += 2;
                    ++t;
                    continue;
                }
            } else if (pc == tc) {  // includes a trailing '\' matching a literal backslash
                ++p;
                ++t;
                continue;
            }
        }
        // Mismatch, or the pattern ran out before the text.
        if (!have_star) return false;
        t = ++mark;
        p = star + 1;
    }
    while (p < m && static_cast<char32_t>(pat[p]) == U'*') ++p;
    return p == m;
}

bool all_ascii(Bytes s) noexcept {
    for (char c : s)
        if (static_cast<unsigned char>(c) >= 0x80) return false;
    return true;
}

// Code points of a text; a text that is not valid UTF-8 becomes empty.
std::u32string decode_or_empty(Bytes s) {
    std::u32string out;
    if (!utf8_valid(s)) return out;
    out.reserve(s.size());
    std::size_t pos = 0;
    while (pos < s.size()) out.push_back(utf8_next(s, pos));
    return out;
}

}  // namespace

bool glob_match(Bytes pattern, Bytes text) {
    // ASCII on both sides (almost every tag name) needs no decoding: each
    // byte is one code point.
    if (all_ascii(pattern) && all_ascii(text)) {
        const unsigned char* p = ubegin(pattern);
        const unsigned char* t = ubegin(text);
        return glob_core(p, pattern.size(), t, text.size());
    }
    const std::u32string p = decode_or_empty(pattern);
    const std::u32string t = decode_or_empty(text);
    return glob_core(p, p.size(), t, t.size());
}

}  // namespace quelmar
