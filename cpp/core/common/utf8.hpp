// UTF-8 validation with the error report the Python layer needs
// ("invalid utf-8 sequence of N bytes from index I" /
//  "incomplete utf-8 byte sequence from index I").
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "common/bytes.hpp"

namespace quelmar {

struct Utf8Error {
    std::size_t valid_up_to;  // number of leading bytes that are valid UTF-8
    int error_len;            // 1..3: length of the maximal invalid subpart; 0: input ends inside a sequence
};

// First error in `text`, or nothing when the whole text is valid UTF-8.
std::optional<Utf8Error> utf8_check(Bytes text) noexcept;
inline bool utf8_valid(Bytes text) noexcept { return !utf8_check(text).has_value(); }

// The message of a decoding error, with offsets shifted by `base`.
std::string utf8_error_message(const Utf8Error& e, std::size_t base = 0);

// Decodes the code point at `pos` of valid UTF-8 text and advances `pos`.
char32_t utf8_next(Bytes text, std::size_t& pos) noexcept;
// Length in bytes of the sequence led by `lead` (1 for ASCII and for stray bytes).
inline int utf8_seq_len(unsigned char lead) noexcept {
    return lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
}
void utf8_append(std::string& out, char32_t cp);

// Replaces every invalid sequence with U+FFFD (lenient decoding).
std::string utf8_lossy(Bytes text);

}  // namespace quelmar
