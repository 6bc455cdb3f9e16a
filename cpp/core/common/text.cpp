#include "common/text.hpp"

#include <charconv>
#include <clocale>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <locale.h>

#include "common/utf8.hpp"

namespace quelmar {

namespace {

#include "common/unicode_tables.inc"

bool is_unicode_ws(char32_t c) noexcept {
    return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
           (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F ||
           c == 0x205F || c == 0x3000;
}

// The UTF-8 encodings of the non-ASCII White_Space characters. Trimming
// matches these whole byte sequences instead of decoding, so it never reads
// past either end, whatever the bytes are.
constexpr Bytes kMultiByteWs[] = {
    "\xC2\x85", "\xC2\xA0", "\xE1\x9A\x80",
    "\xE2\x80\x80", "\xE2\x80\x81", "\xE2\x80\x82", "\xE2\x80\x83", "\xE2\x80\x84", "\xE2\x80\x85",
    "\xE2\x80\x86", "\xE2\x80\x87", "\xE2\x80\x88", "\xE2\x80\x89", "\xE2\x80\x8A",
    "\xE2\x80\xA8", "\xE2\x80\xA9", "\xE2\x80\xAF", "\xE2\x81\x9F", "\xE3\x80\x80",
};

// Length of the white-space character that starts the text, or 0.
std::size_t leading_ws_len(Bytes text) noexcept {
    const unsigned char c = static_cast<unsigned char>(text[0]);
    if (c < 0x80) return is_unicode_ws(c) ? 1 : 0;
    for (Bytes ws : kMultiByteWs)
        if (text.starts_with(ws)) return ws.size();
    return 0;
}

// Length of the white-space character that ends the text, or 0.
std::size_t trailing_ws_len(Bytes text) noexcept {
    const unsigned char c = static_cast<unsigned char>(text.back());
    if (c < 0x80) return is_unicode_ws(c) ? 1 : 0;
    for (Bytes ws : kMultiByteWs)
        if (text.ends_with(ws)) return ws.size();
    return 0;
}

bool needs_escape(char32_t cp) noexcept {
    std::size_t lo = 0, hi = sizeof(kEscapeRanges) / sizeof(kEscapeRanges[0]);
    while (lo < hi) {
        std::size_t mid = (lo + hi) / 2;
        if (cp < kEscapeRanges[mid][0]) hi = mid;
        else if (cp > kEscapeRanges[mid][1]) lo = mid + 1;
        else return true;
    }
    return false;
}

bool ascii_ieq(Bytes a, const char* lower) noexcept {
    std::size_t n = std::strlen(lower);
    if (a.size() != n) return false;
    for (std::size_t i = 0; i < n; ++i) {
        char c = a[i];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (c != lower[i]) return false;
    }
    return true;
}

}  // namespace

Bytes trim_unicode_ws(Bytes text) noexcept {
    while (!text.empty()) {
        const std::size_t n = leading_ws_len(text);
        if (n == 0) break;
        text.remove_prefix(n);
    }
    while (!text.empty()) {
        const std::size_t n = trailing_ws_len(text);
        if (n == 0) break;
        text.remove_suffix(n);
    }
    return text;
}

std::optional<double> parse_decimal_float(Bytes text) noexcept {
    if (text.empty()) return std::nullopt;
    bool negative = false;
    Bytes body = text;
    if (body[0] == '+' || body[0] == '-') {
        negative = body[0] == '-';
        body.remove_prefix(1);
    }
    if (ascii_ieq(body, "inf") || ascii_ieq(body, "infinity"))
        return negative ? -HUGE_VAL : HUGE_VAL;
    if (ascii_ieq(body, "nan")) return negative ? -std::nan("") : std::nan("");

    // Validate the grammar first: from_chars is more permissive in places.
    // The digits are gathered on the way for the exact fast path below.
    std::size_t i = 0, digits = 0, fraction = 0;
    std::uint64_t mantissa = 0;
    while (i < body.size() && body[i] >= '0' && body[i] <= '9') {
        mantissa = mantissa * 10 + static_cast<unsigned>(body[i] - '0');
        ++i, ++digits;
    }
    if (i < body.size() && body[i] == '.') {
        ++i;
        while (i < body.size() && body[i] >= '0' && body[i] <= '9') {
            mantissa = mantissa * 10 + static_cast<unsigned>(body[i] - '0');
            ++i, ++digits, ++fraction;
        }
    }
    if (digits == 0) return std::nullopt;
    bool has_exponent = false;
    if (i < body.size() && (body[i] == 'e' || body[i] == 'E')) {
        has_exponent = true;
        ++i;
        if (i < body.size() && (body[i] == '+' || body[i] == '-')) ++i;
        std::size_t exp_digits = 0;
        while (i < body.size() && body[i] >= '0' && body[i] <= '9') ++i, ++exp_digits;
        if (exp_digits == 0) return std::nullopt;
    }
    if (i != body.size()) return std::nullopt;

    // Few digits and no exponent: the mantissa and the power of ten are both
    // exact doubles, so one division is correctly rounded.
    static constexpr double kPow10[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
                                        1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
    if (!has_exponent && digits <= 15 && fraction <= 22) {
        const double v = static_cast<double>(mantissa) / kPow10[fraction];
        return negative ? -v : v;
    }

    double value = 0;
    auto [ptr, ec] = std::from_chars(body.data(), body.data() + body.size(), value,
                                     std::chars_format::general);
    if (ec == std::errc() && ptr == body.data() + body.size()) return negative ? -value : value;
    // Out of range (overflow to infinity or underflow towards zero): let
    // strtod pick the correctly rounded result in the C locale.
    static locale_t c_locale = newlocale(LC_ALL_MASK, "C", nullptr);
    std::string copy(body);
    double v = strtod_l(copy.c_str(), nullptr, c_locale);
    return negative ? -v : v;
}

std::optional<long long> parse_decimal_int(Bytes text) noexcept {
    if (text.empty()) return std::nullopt;
    std::size_t i = 0;
    bool negative = false;
    if (text[0] == '+' || text[0] == '-') {
        negative = text[0] == '-';
        i = 1;
    }
    if (i == text.size()) return std::nullopt;
    unsigned long long mag = 0;
    for (; i < text.size(); ++i) {
        char c = text[i];
        if (c < '0' || c > '9') return std::nullopt;
        unsigned d = static_cast<unsigned>(c - '0');
        if (mag > (18446744073709551615ull - d) / 10) return std::nullopt;
        mag = mag * 10 + d;
    }
    if (negative) {
        if (mag > 9223372036854775808ull) return std::nullopt;
        return mag == 9223372036854775808ull ? static_cast<long long>(-9223372036854775807ll - 1)
                                             : -static_cast<long long>(mag);
    }
    if (mag > 9223372036854775807ull) return std::nullopt;
    return static_cast<long long>(mag);
}

std::string format_number(double x) {
    if (std::isnan(x)) return "nan";
    if (std::isinf(x)) return x > 0 ? "inf" : "-inf";
    char buf[32];
    if (std::fabs(x) < 1e15 && x == std::trunc(x)) {
        // Exact in a long long; negative zero converts to 0.
        auto res = std::to_chars(buf, buf + sizeof buf, static_cast<long long>(x));
        return std::string(buf, res.ptr);
    }
    // The shortest digits that read back as x, spelled out without exponent.
    // to_chars(fixed) is not used: for large values it prints the exact
    // binary value (1e23 as 99999999999999991611392) instead of the shortest
    // digits followed by zeros (100000000000000000000000).
    auto res = std::to_chars(buf, buf + sizeof buf, x, std::chars_format::scientific);
    Bytes sci(buf, static_cast<std::size_t>(res.ptr - buf));  // [-]d[.ddd]e(+|-)dd[d]
    std::size_t e_pos = sci.find('e');
    bool negative = sci[0] == '-';
    std::string digits;
    for (std::size_t i = negative ? 1 : 0; i < e_pos; ++i)
        if (sci[i] != '.') digits.push_back(sci[i]);
    std::size_t exp_begin = e_pos + 1;
    if (sci[exp_begin] == '+') ++exp_begin;
    int exponent = 0;
    std::from_chars(sci.data() + exp_begin, sci.data() + sci.size(), exponent);

    // The decimal point falls `point` digits after the first digit.
    long point = static_cast<long>(exponent) + 1;
    long ndigits = static_cast<long>(digits.size());
    std::string out;
    if (negative) out.push_back('-');
    if (point <= 0) {
        out += "0.";
        out.append(static_cast<std::size_t>(-point), '0');
        out += digits;
    } else if (point >= ndigits) {
        out += digits;
        out.append(static_cast<std::size_t>(point - ndigits), '0');
    } else {
        out.append(digits, 0, static_cast<std::size_t>(point));
        out.push_back('.');
        out.append(digits, static_cast<std::size_t>(point));
    }
    return out;
}

std::string quoted_form(Bytes raw) {
    // Callers pass UTF-8; anything else is shown with replacement characters.
    std::string repaired;
    Bytes text = raw;
    if (!utf8_valid(raw)) {
        repaired = utf8_lossy(raw);
        text = repaired;
    }
    std::string out;
    out.reserve(text.size() + 2);
    out.push_back('"');
    std::size_t pos = 0;
    while (pos < text.size()) {
        char32_t cp = utf8_next(text, pos);
        switch (cp) {
            case '"': out += "\\\""; continue;
            case '\\': out += "\\\\"; continue;
            case '\t': out += "\\t"; continue;
            case '\r': out += "\\r"; continue;
            case '\n': out += "\\n"; continue;
            case 0: out += "\\0"; continue;
            default: break;
        }
        if (needs_escape(cp)) {
            char hex[16];
            auto r = std::to_chars(hex, hex + sizeof hex, static_cast<unsigned long>(cp), 16);
            out += "\\u{";
            out.append(hex, r.ptr);
            out += "}";
        } else {
            utf8_append(out, cp);
        }
    }
    out.push_back('"');
    return out;
}

}  // namespace quelmar
