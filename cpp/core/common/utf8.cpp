#include "common/utf8.hpp"

#include <cstring>

namespace quelmar {

std::optional<Utf8Error> utf8_check(Bytes text) noexcept {
    const unsigned char* s = ubegin(text);
    const std::size_t n = text.size();
    std::size_t i = 0;
    while (i < n) {
        // ASCII runs dominate real documents: test eight bytes at a time.
        while (i + 8 <= n) {
            std::uint64_t w;
            std::memcpy(&w, s + i, 8);
            if (w & 0x8080808080808080ull) break;
            i += 8;
        }
        if (i + 8 > n) {
            // A short tail (a number, a name): one test for all of it.
            unsigned char any = 0;
            for (std::size_t j = i; j < n; ++j) any |= s[j];
            if (any < 0x80) break;
        }
        if (i >= n) break;
        const unsigned char c = s[i];
        if (c < 0x80) {
            ++i;
            continue;
        }
        const std::size_t start = i;
        auto need = [&](std::size_t k) { return start + k < n; };
        auto cont = [&](std::size_t k) { return (s[start + k] & 0xC0) == 0x80; };
        if (c >= 0xC2 && c <= 0xDF) {
            if (!need(1)) return Utf8Error{start, 0};
            if (!cont(1)) return Utf8Error{start, 1};
            i += 2;
        } else if (c >= 0xE0 && c <= 0xEF) {
            if (!need(1)) return Utf8Error{start, 0};
            const unsigned char b = s[start + 1];
            const bool ok = c == 0xE0 ? (b >= 0xA0 && b <= 0xBF)
                          : c == 0xED ? (b >= 0x80 && b <= 0x9F)
                                      : (b >= 0x80 && b <= 0xBF);
            if (!ok) return Utf8Error{start, 1};
            if (!need(2)) return Utf8Error{start, 0};
            if (!cont(2)) return Utf8Error{start, 2};
            i += 3;
        } else if (c >= 0xF0 && c <= 0xF4) {
            if (!need(1)) return Utf8Error{start, 0};
            const unsigned char b = s[start + 1];
            const bool ok = c == 0xF0 ? (b >= 0x90 && b <= 0xBF)
                          : c == 0xF4 ? (b >= 0x80 && b <= 0x8F)
                                      : (b >= 0x80 && b <= 0xBF);
            if (!ok) return Utf8Error{start, 1};
            if (!need(2)) return Utf8Error{start, 0};
            if (!cont(2)) return Utf8Error{start, 2};
            if (!need(3)) return Utf8Error{start, 0};
            if (!cont(3)) return Utf8Error{start, 3};
            i += 4;
        } else {
            return Utf8Error{start, 1};
        }
    }
    return std::nullopt;
}

std::string utf8_error_message(const Utf8Error& e, std::size_t base) {
    if (e.error_len == 0)
        return "incomplete utf-8 byte sequence from index " + std::to_string(e.valid_up_to + base);
    return "invalid utf-8 sequence of " + std::to_string(e.error_len) + " bytes from index " +
           std::to_string(e.valid_up_to + base);
}

char32_t utf8_next(Bytes text, std::size_t& pos) noexcept {
    const unsigned char* s = ubegin(text);
    const unsigned char c = s[pos];
    if (c < 0x80) {
        ++pos;
        return c;
    }
    if (c < 0xE0) {
        char32_t cp = (char32_t(c & 0x1F) << 6) | (s[pos + 1] & 0x3F);
        pos += 2;
        return cp;
    }
    if (c < 0xF0) {
        char32_t cp = (char32_t(c & 0x0F) << 12) | (char32_t(s[pos + 1] & 0x3F) << 6) | (s[pos + 2] & 0x3F);
        pos += 3;
        return cp;
    }
    char32_t cp = (char32_t(c & 0x07) << 18) | (char32_t(s[pos + 1] & 0x3F) << 12) |
                  (char32_t(s[pos + 2] & 0x3F) << 6) | (s[pos + 3] & 0x3F);
    pos += 4;
    return cp;
}

void utf8_append(std::string& out, char32_t cp) {
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

std::string utf8_lossy(Bytes text) {
    std::string out;
    out.reserve(text.size());
    while (!text.empty()) {
        auto err = utf8_check(text);
        if (!err) {
            out.append(text);
            break;
        }
        out.append(text.substr(0, err->valid_up_to));
        out.append("\xEF\xBF\xBD");
        const std::size_t skip = err->error_len == 0 ? text.size() - err->valid_up_to
                                                     : static_cast<std::size_t>(err->error_len);
        text.remove_prefix(err->valid_up_to + skip);
    }
    return out;
}

}  // namespace quelmar
