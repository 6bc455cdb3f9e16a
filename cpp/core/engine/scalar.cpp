#include "engine/scalar.hpp"

#include <cmath>
#include <limits>

#include "common/text.hpp"
#include "common/utf8.hpp"

namespace quelmar {

ScalarKind classify_scalar(Bytes text) noexcept {
    ScalarKind k;
    if (auto i = parse_decimal_int(text)) {
        k.kind = ScalarKind::Kind::Int;
        k.int_value = *i;
    } else if (auto f = parse_decimal_float(text)) {
        k.kind = ScalarKind::Kind::Float;
        k.float_value = *f;
    }
    return k;
}

namespace {

// Raw text as the number rule sees it: valid UTF-8 trimmed, anything else empty.
Bytes number_text(Bytes raw) noexcept { return utf8_valid(raw) ? trim_unicode_ws(raw) : Bytes(); }

long long saturate(double d) noexcept {
    if (std::isnan(d)) return 0;
    // 2^63 is exactly representable; anything at or beyond it saturates.
    constexpr double two63 = 9223372036854775808.0;
    if (d >= two63) return std::numeric_limits<long long>::max();
    if (d <= -two63) return std::numeric_limits<long long>::min();
    return static_cast<long long>(d);  // truncates toward zero
}

}  // namespace

long long lenient_int(Bytes raw) noexcept {
    Bytes text = number_text(raw);
    if (text.empty()) return 0;
    if (auto i = parse_decimal_int(text)) return *i;
    if (auto f = parse_decimal_float(text)) return saturate(*f);
    return 0;
}

double lenient_float(Bytes raw) noexcept {
    if (auto f = parse_decimal_float(number_text(raw))) return *f;
    return 0.0;
}

std::optional<bool> bool_keyword(Bytes text) noexcept {
    static constexpr Bytes kTrue[] = {"1", "true", "\"t\"", "\"T\"", "\"1\"", "\"true\"", "\"True\"", "\"TRUE\""};
    static constexpr Bytes kFalse[] = {"0", "false", "\"f\"", "\"F\"", "\"0\"", "\"false\"", "\"False\"", "\"FALSE\""};
    for (Bytes t : kTrue)
        if (text == t) return true;
    for (Bytes f : kFalse)
        if (text == f) return false;
    return std::nullopt;
}

}  // namespace quelmar
