// What the engine returns: Items and EngineErrors.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "common/bytes.hpp"
#include "xml/encoding.hpp"

namespace quelmar {

struct Item {
    enum class Kind : std::uint8_t {
        OwnedElement,  // `bytes`: the raw XML of one element
        ElementSpan,   // [start, end) into the caller's source document
        Text,          // `bytes`: UTF-8 text (text, attribute value, count, computed value)
    };
    Kind kind = Kind::Text;
    // The encoding of the document an element came from: its bytes are
    // re-read later (element text, children) and must be decoded the same way.
    Encoding encoding = Encoding::Utf8;
    // Spans are 64-bit: documents of 4 GiB and more are addressed whole.
    std::uint64_t start = 0;
    std::uint64_t end = 0;
    std::string bytes;

    static Item text(std::string s) {
        Item it;
        it.kind = Kind::Text;
        it.bytes = std::move(s);
        return it;
    }
    static Item owned(std::string s, Encoding e) {
        Item it;
        it.kind = Kind::OwnedElement;
        it.encoding = e;
        it.bytes = std::move(s);
        return it;
    }
    static Item span(std::uint64_t s, std::uint64_t e, Encoding enc) {
        Item it;
        it.kind = Kind::ElementSpan;
        it.encoding = enc;
        it.start = s;
        it.end = e;
        return it;
    }
    bool is_element() const noexcept { return kind != Kind::Text; }
};

using Items = std::vector<Item>;

struct EngineError {
    enum class Kind : std::uint8_t {
        Ambiguous,  // `name`: the step's element-name text
        TooDeep,    // filters nested inside filtered fragments beyond the supported depth
    };
    Kind kind = Kind::Ambiguous;
    std::string name;

    // The message the Python layer raises as ValueError.
    std::string message() const;
};

}  // namespace quelmar
