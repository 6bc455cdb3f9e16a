// The compiled form of a path: an immutable Program of Steps, shared by the
// path cache, Path objects and running evaluations through an atomically
// counted reference (std::shared_ptr).
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "path/name_matcher.hpp"

namespace quelmar {

struct Step;

enum class CompareOp : std::uint8_t { Eq, Ne, Lt, Le, Gt, Ge, Match, NotMatch };

// Right-hand side of a filter comparison.
struct FilterValue {
    enum class Kind : std::uint8_t { Number, String, Bool };
    Kind kind = Kind::String;
    double number = 0;
    std::string string;
    bool boolean = false;
    NameMatcher pattern;  // String under % and !%: the string as a name pattern, compiled once
};

struct Filter {
    std::vector<Step> path;                // left side, relative to the filtered element
    std::optional<std::string> attribute;  // set when `path` is exactly one Attribute step
    FilterValue value;
    CompareOp op = CompareOp::Eq;
};

struct Selector {
    enum class Kind : std::uint8_t { None, Index, Count, Each, Filter, FilterAll };
    Kind kind = Kind::None;
    std::uint64_t index = 0;        // Index
    std::shared_ptr<const Filter> filter;  // Filter / FilterAll (immutable, shared on copy)
};

struct Step {
    enum class Kind : std::uint8_t { Element, Attribute, Text };
    Kind kind = Kind::Element;
    // Element
    NameMatcher matcher;
    Selector selector;
    bool descendant = false;
    // Attribute: the attribute name, escapes removed
    std::string attribute;

    bool is_element() const noexcept { return kind == Kind::Element; }
};

enum class Modifier : std::uint8_t {
    Reverse = 0, First = 1, Last = 2, Count = 3, Sort = 4, SortN = 5, Uniq = 6,
    Flatten = 7, ToStr = 8, Sum = 9, Avg = 10, Min = 11, Max = 12,
};

// How the multi-path pass stores a program's captured elements, as the
// modifiers will read them: whole elements, their texts (the modifiers only
// look at texts), or empty placeholders (a lone count only counts them).
enum class ResultHint : std::uint8_t { Elements = 0, Texts = 1, Placeholders = 2 };

struct Program {
    std::vector<Step> steps;
    std::vector<Modifier> modifiers;
    ResultHint result_hint = ResultHint::Elements;
};

using ProgramPtr = std::shared_ptr<const Program>;

}  // namespace quelmar
