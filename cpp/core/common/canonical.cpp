#include "common/canonical.hpp"

#include <cmath>
#include <limits>

#include "common/text.hpp"

namespace quelmar {
namespace {

// Where a text spelled as a number stops being one: its parts.
struct NumberShape {
    bool number = false;
    bool negative = false;
    Bytes integer;   // digits before the point
    Bytes fraction;  // digits after it (empty for an integer)
};

// -?(0|[1-9][0-9]*)(\.[0-9]+)?, nothing around it.
NumberShape number_shape(Bytes t) noexcept {
    NumberShape s;
    std::size_t i = 0;
    if (i < t.size() && t[i] == '-') {
        s.negative = true;
        ++i;
    }
    const std::size_t int_start = i;
    if (i >= t.size() || t[i] < '0' || t[i] > '9') return s;
    if (t[i] == '0') {
        ++i;
    } else {
        while (i < t.size() && t[i] >= '0' && t[i] <= '9') ++i;
    }
    s.integer = t.substr(int_start, i - int_start);
    if (i < t.size()) {
        if (t[i] != '.') return s;
        const std::size_t frac_start = ++i;
        while (i < t.size() && t[i] >= '0' && t[i] <= '9') ++i;
        if (i != t.size() || i == frac_start) return s;
        s.fraction = t.substr(frac_start);
    }
    s.number = true;
    return s;
}

bool all_zeros(Bytes digits) noexcept { return digits.find_first_not_of('0') == Bytes::npos; }

// The magnitude of at most 19 digits, or false past int64's (the most
// negative value is reachable: its magnitude is one more than the maximum).
bool magnitude(Bytes digits, bool negative, std::int64_t& out) noexcept {
    if (digits.size() > 19) return false;
    std::uint64_t n = 0;
    for (char c : digits) n = n * 10 + static_cast<std::uint64_t>(c - '0');  // 19 digits fit uint64
    const std::uint64_t max = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
    if (n <= max) {
        out = negative ? -static_cast<std::int64_t>(n) : static_cast<std::int64_t>(n);
        return true;
    }
    if (negative && n == max + 1) {
        out = std::numeric_limits<std::int64_t>::min();
        return true;
    }
    return false;
}

// Longer than any double's shortest spelling without exponent (the smallest
// subnormal takes 327 characters): such a text is no float's.
constexpr std::size_t kMaxFloatText = 400;

}  // namespace

CanonicalNumber classify_number(Bytes t) noexcept {
    CanonicalNumber out;
    if (t.empty() || (t[0] != '-' && (t[0] < '0' || t[0] > '9'))) return out;
    const NumberShape s = number_shape(t);
    if (!s.number) return out;
    if (s.negative && all_zeros(s.integer) && all_zeros(s.fraction)) return out;  // -0, -0.0
    if (s.fraction.empty()) {
        out.kind = magnitude(s.integer, s.negative, out.integer) ? CanonicalNumber::Kind::Int
                                                                 : CanonicalNumber::Kind::BigInt;
        return out;
    }
    if (s.fraction == "0") {
        // An integral float as repr writes it: below 1e16, exact.
        std::int64_t n = 0;
        if (s.integer.size() > 16 || !magnitude(s.integer, false, n)) return out;
        const double x = static_cast<double>(n);
        if (static_cast<std::int64_t>(x) != n || x >= 1e16) return out;
        out.kind = CanonicalNumber::Kind::Float;
        out.real = s.negative ? -x : x;
        return out;
    }
    if (t.size() > kMaxFloatText) return out;
    const auto x = parse_decimal_float(t);
    if (!x || !std::isfinite(*x) || *x == std::trunc(*x)) return out;
    // Not integral: format_number gives the shortest digits that read back,
    // spelled out, which is also repr's spelling from 1e-4 up.
    try {
        if (format_number(*x) != t) return out;
    } catch (...) {  // out of memory formatting a short number: call it a text
        return out;
    }
    out.kind = CanonicalNumber::Kind::Float;
    out.real = *x;
    return out;
}

}  // namespace quelmar
