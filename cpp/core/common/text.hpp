// Text helpers shared by every layer: Unicode white-space trimming, the
// decimal float literal grammar, number formatting and the quoted form.
#pragma once

#include <optional>
#include <string>

#include "common/bytes.hpp"

namespace quelmar {

// Strips characters with the Unicode White_Space property from both ends.
// Safe on any bytes: only complete encodings of white space are removed.
Bytes trim_unicode_ws(Bytes text) noexcept;

// The decimal float literal: optional sign, then digits with an optional '.'
// and fraction (at least one digit overall) and an optional exponent, or
// inf / infinity / nan in any letter case. Nothing may surround it. Values
// beyond the double range become infinities.
std::optional<double> parse_decimal_float(Bytes text) noexcept;

// Optional sign and ASCII digits, fitting a signed 64-bit integer.
std::optional<long long> parse_decimal_int(Bytes text) noexcept;

// Formats a computed number: "nan"; integral values below 1e15 in magnitude
// as integers (negative zero as "0"); otherwise the shortest decimal that
// reads back exactly, without exponent; "inf" / "-inf".
std::string format_number(double x);

// The quoted form of a UTF-8 text: "..." with \" \\ \t \r \n \0 escapes and
// \u{hex} for non-printable characters and grapheme extenders.
std::string quoted_form(Bytes text);

// ASCII-only helpers.
inline bool is_ascii_ws(unsigned char c) noexcept {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f';
}

}  // namespace quelmar
