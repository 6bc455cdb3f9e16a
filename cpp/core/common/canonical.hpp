// The canonical spelling of numbers: a text stands for a number only when it
// is the way that number is written back (`10`, `-3`, `32.5`, `0.5`), so
// turning it into the number and back loses nothing. `2.10`, `004`, `+7`,
// `1e2`, `.5`, `-0`, `nan` and `inf` stay texts. to_python and the frame
// builder both decide through this one function.
#pragma once

#include <cstdint>

#include "common/bytes.hpp"

namespace quelmar {

struct CanonicalNumber {
    enum class Kind : std::uint8_t {
        None,    // not a canonical spelling: a text
        Int,     // an integer that fits int64: `integer`
        BigInt,  // an integer beyond int64, spelled canonically (the text itself)
        Float,   // a non-integral or `N.0` float: `real`
    };
    Kind kind = Kind::None;
    std::int64_t integer = 0;
    double real = 0;
};

// Classifies `t` (not trimmed: white space around makes it a text).
// Integral floats are canonical as `N.0` below 1e16 (repr's spelling);
// other floats when `t` is the shortest decimal that reads back, without
// exponent.
CanonicalNumber classify_number(Bytes t) noexcept;

}  // namespace quelmar
