// Element-name patterns: a literal name or a glob with '*' and '?'.
#pragma once

#include <memory>
#include <string>

#include "common/bytes.hpp"

namespace quelmar {

bool glob_match(Bytes pattern, Bytes text);

// A glob compiled for matching in time linear in the text (name_matcher.cpp).
class GlobPattern;

class NameMatcher {
public:
    enum class Kind : unsigned char { Exact, Glob };

    NameMatcher() = default;
    // A segment's raw text (escapes still in it). Never fails.
    static NameMatcher parse(Bytes text);

    // `qualified` is the tag name as written, `local` the part after its
    // first ':' (or the whole name). A stored string containing ':' compares
    // the qualified name, otherwise the local one.
    // Exact names, the common case, compare bytes inline without decoding or
    // allocating; this runs for every start tag the engine tests.
    bool matches(Bytes qualified, Bytes local) const {
        const Bytes chosen = qualified_ ? qualified : local;
        if (kind_ == Kind::Exact) return chosen == Bytes(text_);
        return matches_glob(chosen);
    }
    // The same given the qualified name alone: an exact local name is
    // compared against the name's tail without looking for the ':' first.
    [[gnu::always_inline]] bool matches_name(Bytes qualified) const {
        if (kind_ != Kind::Exact) return matches_glob(qualified_ ? qualified : local_part(qualified));
        const Bytes text(text_);
        if (qualified_ || qualified.size() == text.size()) return same_bytes(qualified, text);
        // The local part (after the first ':') must be the text, which has
        // no ':'. Most names are simply longer or shorter: one branch that
        // is nearly always false decides both (a shorter name probes a
        // constant that is not ':').
        static constexpr char kNotColon = '\0';
        const bool longer = qualified.size() > text.size();
        const std::size_t colon = longer ? qualified.size() - text.size() - 1 : 0;
        const char* probe = longer ? qualified.data() + colon : &kNotColon;
        if (*probe != ':') [[likely]] return false;
        if (!same_bytes(qualified.substr(colon + 1), text)) return false;
        return qualified.substr(0, colon).find(':') == Bytes::npos;
    }
    // Byte equality without a library call for names of the usual length.
    static bool same_bytes(Bytes a, Bytes b) noexcept {
        if (a.size() != b.size()) return false;
        if (a.size() > 16) return a == b;
        for (std::size_t i = 0; i < a.size(); ++i)
            if (a[i] != b[i]) return false;
        return true;
    }
    // The same on raw document bytes; a name that is not valid UTF-8 is
    // matched by a glob as the empty text.
    bool matches_bytes(Bytes qualified, Bytes local) const { return matches(qualified, local); }
    // Matches the whole of a UTF-8 text (the filters' % operator).
    bool matches_whole(Bytes text) const { return kind_ == Kind::Exact ? text == Bytes(text_) : matches_glob(text); }

    Kind kind() const noexcept { return kind_; }
    // Exact: the unescaped name; Glob: the pattern as written.
    const std::string& text() const noexcept { return text_; }

private:
    bool matches_glob(Bytes name) const;
    static Bytes local_part(Bytes name) noexcept {
        const std::size_t colon = name.find(':');
        return colon == Bytes::npos ? name : name.substr(colon + 1);
    }

    Kind kind_ = Kind::Exact;
    bool qualified_ = false;  // the stored string contains ':'
    std::string text_;
    std::shared_ptr<const GlobPattern> glob_;  // Glob: text_ compiled (immutable, shared on copy)
};

// Anchored, case-sensitive glob over code points: '*' any run, '?' any one
// code point, '\' escapes the next one; a text (or pattern) that is not valid
// UTF-8 is the empty text. Time linear in the text for a given pattern
// (see GlobPattern), memory linear in the pattern, no recursion.
bool glob_match(Bytes pattern, Bytes text);

}  // namespace quelmar
