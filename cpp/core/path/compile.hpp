// Path text -> Program. The pipeline: compile_path (cache lookup, split at
// top-level '|', modifiers, error text), tokenize_path, parse_component,
// unescape_simple, build_steps; filters by parse_filter_expr.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "common/bytes.hpp"
#include "common/expected.hpp"
#include "path/program.hpp"

namespace quelmar {

struct ParseError {
    enum class Kind : std::uint8_t {
        EmptyPath, BadIndex, IndexWithoutName, EachWithoutName, AttributeNotLast, TextNotLast,
        EmptyAttributeName, UnmatchedParen, MissingOperator, UnknownModifier, EmptyModifierName,
        DescendantWithoutName, DescendantWithSelector,
    };
    Kind kind;
    std::string payload;  // BadIndex, MissingOperator, UnknownModifier

    std::string display() const;
};

// One parsed path segment (internal to compilation).
struct Component {
    enum class Kind : std::uint8_t { Name, Index, Each, Attribute, Text, Filter, Descendant };
    Kind kind;
    NameMatcher matcher;        // Name
    std::uint64_t index = 0;    // Index
    std::string attribute;      // Attribute
    std::shared_ptr<const Filter> filter;  // Filter
    bool each = false;          // Filter followed by '#'
};

Expected<std::vector<Component>, ParseError> tokenize_path(Bytes text);
Expected<Component, ParseError> parse_component(Bytes segment);
std::string unescape_simple(Bytes text);
Expected<std::vector<Step>, ParseError> build_steps(std::vector<Component>&& components);
Expected<Filter, ParseError> parse_filter_expr(Bytes expression);

// The keyword table of the modifiers; nothing for an unknown name.
std::optional<Modifier> modifier_for_keyword(Bytes name) noexcept;

// Compiles without the cache. On failure the error is the complete message:
// display text, "\n  in path: ", the quoted path and an optional caret line.
Expected<ProgramPtr, std::string> compile_path_uncached(Bytes text);

// Compiles through the calling thread's path cache (at most 512 entries,
// emptied whole when full; only successes are stored; freed at thread exit).
Expected<ProgramPtr, std::string> compile_path(Bytes text);

// Number of entries in the calling thread's cache (for tests and tools).
std::size_t path_cache_size() noexcept;

}  // namespace quelmar
