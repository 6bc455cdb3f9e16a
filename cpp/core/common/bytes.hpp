// Byte views: the core sees documents, names and texts as read-only byte
// ranges into memory it does not own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace quelmar {

using Bytes = std::string_view;

inline Bytes as_bytes(const std::string& s) noexcept { return Bytes(s.data(), s.size()); }

inline const unsigned char* ubegin(Bytes b) noexcept {
    return reinterpret_cast<const unsigned char*>(b.data());
}

}  // namespace quelmar
