// Element-name patterns: a literal name or a glob with '*' and '?'.
#pragma once

#include <string>

#include "common/bytes.hpp"

namespace quelmar {

class NameMatcher {
public:
    enum class Kind : unsigned char { Exact, Glob };

    NameMatcher() = default;
    // A segment's raw text (escapes still in it). Never fails.
    static NameMatcher parse(Bytes text);

    // `qualified` is the tag name as written, `local` the part after its
    // first ':' (or the whole name). A stored string containing ':' compares
    // the qualified name, otherwise the local one.
    bool matches(Bytes qualified, Bytes local) const;
    bool matches_bytes(Bytes qualified, Bytes local) const { return matches(qualified, local); }

    Kind kind() const noexcept { return kind_; }
    // Exact: the unescaped name; Glob: the pattern as written.
    const std::string& text() const noexcept { return text_; }

private:
    Kind kind_ = Kind::Exact;
    bool qualified_ = false;  // the stored string contains ':'
    std::string text_;
};

// Anchored, case-sensitive glob over code points: '*' any run, '?' any one
// code point, '\' escapes the next one. Linear memory, no recursion.
bool glob_match(Bytes pattern, Bytes text);

}  // namespace quelmar
