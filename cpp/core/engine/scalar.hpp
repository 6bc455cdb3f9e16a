// Scalar texts of the Result layer: integer / float / string classification,
// the lenient number rule behind to_int / to_float, and to_bool's keyword
// table. Pure functions over bytes; the binding turns them into Python values.
#pragma once

#include <cstdint>
#include <optional>

#include "common/bytes.hpp"

namespace quelmar {

struct ScalarKind {
    enum class Kind : std::uint8_t { Int, Float, Str };
    Kind kind = Kind::Str;
    long long int_value = 0;  // Int
    double float_value = 0;   // Float
};

// Classifies an already trimmed text: a signed 64-bit decimal integer, else
// a decimal float literal, else a string.
ScalarKind classify_scalar(Bytes text) noexcept;

// The number rule on raw item text: text that is not valid UTF-8 counts as
// empty; the rest is trimmed. to_int: an integer, else a float literal
// truncated toward zero and saturated to 64 bits (NaN is 0), else 0.
long long lenient_int(Bytes raw) noexcept;
// to_float: the float literal's value, else 0.0.
double lenient_float(Bytes raw) noexcept;

// to_bool's keyword table, compared exactly (untrimmed, case-sensitive):
// true / false for a listed text, nothing for any other text.
std::optional<bool> bool_keyword(Bytes text) noexcept;

}  // namespace quelmar
