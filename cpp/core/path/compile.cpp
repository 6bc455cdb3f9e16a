// Path text -> Program: the top-level split at '|', tokenizing into
// components, building steps, the modifier pieces, result_hint and the error
// message with its path echo and caret line.
//
// Every scanner here walks bytes. The characters that mean something in a
// path ('.', '*', '#', '(', ')', '@', '\\', quotes, '|') are ASCII and never
// occur inside a multi-byte UTF-8 sequence, so a byte walk sees the same
// structure as a walk by code point, and it stays in bounds on any input.
#include "path/compile.hpp"

#include <utility>

#include "common/text.hpp"

namespace quelmar {

namespace {

Unexpected<ParseError> fail(ParseError::Kind kind, std::string payload = {}) {
    return unexpected(ParseError{kind, std::move(payload)});
}

bool is_ascii_digit(char c) noexcept { return c >= '0' && c <= '9'; }

}  // namespace

// ===========================================================================
// Errors
// ===========================================================================

std::string ParseError::display() const {
    switch (kind) {
        case Kind::EmptyPath: return "empty path";
        case Kind::BadIndex: return "bad index: " + payload;
        case Kind::IndexWithoutName: return "index without preceding name";
        case Kind::EachWithoutName: return "# without preceding name";
        case Kind::AttributeNotLast: return "@attr must be the last component";
        case Kind::TextNotLast: return "#text must be the last component";
        case Kind::EmptyAttributeName: return "@ must be followed by an attribute name";
        case Kind::UnmatchedParen: return "unmatched ( in filter";
        case Kind::MissingOperator: return "filter expression missing operator: " + payload;
        case Kind::UnknownModifier: return "unknown modifier: @" + payload;
        case Kind::EmptyModifierName: return "modifier name is empty";
        case Kind::DescendantWithoutName: return "** must be followed by an element name";
        case Kind::DescendantWithSelector:
            return "** does not accept an explicit selector (no index/#/filter)";
    }
    return "invalid path";
}

// ===========================================================================
// Segments and components
// ===========================================================================

std::string unescape_simple(Bytes text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\\') {
            if (++i == text.size()) break;  // a trailing backslash is dropped
        }
        out.push_back(text[i]);
    }
    return out;
}

// The tests look at the raw segment, so an escaped character is never
// special: "\#text", "\@id" and "\5" are names.
Expected<Component, ParseError> parse_component(Bytes segment) {
    Component c;
    if (segment == "#text") {
        c.kind = Component::Kind::Text;
        return c;
    }
    if (segment == "@") return fail(ParseError::Kind::EmptyAttributeName);
    if (segment == "#") {
        c.kind = Component::Kind::Each;
        return c;
    }
    if (!segment.empty() && segment[0] == '@') {
        c.kind = Component::Kind::Attribute;
        c.attribute = unescape_simple(segment.substr(1));
        return c;
    }
    bool digits = !segment.empty();
    for (char ch : segment) {
        if (!is_ascii_digit(ch)) {
            digits = false;
            break;
        }
    }
    if (digits) {
        std::uint64_t value = 0;
        for (char ch : segment) {
            const auto d = static_cast<std::uint64_t>(ch - '0');
            if (value > (UINT64_MAX - d) / 10)
                return fail(ParseError::Kind::BadIndex, std::string(segment));
            value = value * 10 + d;
        }
        c.kind = Component::Kind::Index;
        c.index = value;
        return c;
    }
    c.kind = Component::Kind::Name;
    c.matcher = NameMatcher::parse(segment);
    return c;
}

// The current segment is always a contiguous slice of the text, from
// `seg_start` to the scan position, so nothing is copied until a component
// is made from it.
Expected<std::vector<Component>, ParseError> tokenize_path(Bytes text) {
    std::vector<Component> out;
    const std::size_t n = text.size();
    std::size_t i = 0;
    std::size_t seg_start = 0;

    auto flush = [&](std::size_t end) -> std::optional<ParseError> {
        if (end > seg_start) {
            auto c = parse_component(text.substr(seg_start, end - seg_start));
            if (!c) return std::move(c).error();
            out.push_back(std::move(c).value());
        }
        return std::nullopt;
    };

    while (i < n) {
        const char c = text[i];
        if (c == '\\') {
            // The escape stays in the segment; parse_component resolves it.
            i += (i + 1 < n) ? 2 : 1;
            continue;
        }
        if (c == '.') {
            if (auto e = flush(i)) return unexpected(std::move(*e));
            seg_start = ++i;
            continue;
        }
        if (c == '*' && i == seg_start && i + 1 < n && text[i + 1] == '*') {
            Component d;
            d.kind = Component::Kind::Descendant;
            out.push_back(std::move(d));
            i += 2;
            seg_start = i;
            continue;
        }
        if (c == '#' && i + 1 < n && text[i + 1] == '(') {
            // "items#(x==1)" equals "items.#(x==1)".
            if (auto e = flush(i)) return unexpected(std::move(*e));
            // Find the ')' closing this '(': escapes skip a byte, parentheses
            // inside quotes do not count.
            std::size_t j = i + 2;
            std::size_t depth = 1;
            char quote = 0;
            bool closed = false;
            while (j < n) {
                const char ch = text[j];
                if (ch == '\\') {
                    j += 2;  // past the end when the text ends right after it
                    continue;
                }
                if (quote != 0) {
                    if (ch == quote) quote = 0;
                } else if (ch == '\'' || ch == '"') {
                    quote = ch;
                } else if (ch == '(') {
                    ++depth;
                } else if (ch == ')' && --depth == 0) {
                    closed = true;
                    break;
                }
                ++j;
            }
            if (!closed) return fail(ParseError::Kind::UnmatchedParen);
            auto filter = parse_filter_expr(text.substr(i + 2, j - (i + 2)));
            if (!filter) return unexpected(std::move(filter).error());
            Component f;
            f.kind = Component::Kind::Filter;
            f.filter = std::make_shared<const Filter>(std::move(filter).value());
            ++j;
            if (j < n && text[j] == '#') {
                f.each = true;
                ++j;
            }
            out.push_back(std::move(f));
            i = j;
            seg_start = i;
            continue;
        }
        ++i;
    }
    if (auto e = flush(n)) return unexpected(std::move(*e));
    return out;
}

// ===========================================================================
// Steps
// ===========================================================================

Expected<std::vector<Step>, ParseError> build_steps(std::vector<Component>&& components) {
    using CK = Component::Kind;
    std::vector<Step> steps;
    const std::size_t n = components.size();
    std::size_t i = 0;
    while (i < n) {
        Component& c = components[i];
        switch (c.kind) {
            case CK::Name: {
                Step s;
                s.kind = Step::Kind::Element;
                s.matcher = std::move(c.matcher);
                std::size_t used = 1;
                if (i + 1 < n) {
                    Component& next = components[i + 1];
                    if (next.kind == CK::Index) {
                        s.selector.kind = Selector::Kind::Index;
                        s.selector.index = next.index;
                        used = 2;
                    } else if (next.kind == CK::Each) {
                        s.selector.kind = i + 2 < n ? Selector::Kind::Each : Selector::Kind::Count;
                        used = 2;
                    } else if (next.kind == CK::Filter) {
                        s.selector.kind = next.each ? Selector::Kind::FilterAll : Selector::Kind::Filter;
                        s.selector.filter = std::move(next.filter);
                        used = 2;
                    }
                }
                steps.push_back(std::move(s));
                i += used;
                break;
            }
            case CK::Index: return fail(ParseError::Kind::IndexWithoutName);
            case CK::Each:
            case CK::Filter: return fail(ParseError::Kind::EachWithoutName);
            case CK::Attribute: {
                if (i + 1 != n) return fail(ParseError::Kind::AttributeNotLast);
                Step s;
                s.kind = Step::Kind::Attribute;
                s.attribute = std::move(c.attribute);
                steps.push_back(std::move(s));
                return steps;
            }
            case CK::Text: {
                if (i + 1 != n) return fail(ParseError::Kind::TextNotLast);
                Step s;
                s.kind = Step::Kind::Text;
                steps.push_back(std::move(s));
                return steps;
            }
            case CK::Descendant: {
                if (i + 1 >= n || components[i + 1].kind != CK::Name)
                    return fail(ParseError::Kind::DescendantWithoutName);
                if (i + 2 < n) {
                    const CK after = components[i + 2].kind;
                    if (after == CK::Index || after == CK::Each || after == CK::Filter)
                        return fail(ParseError::Kind::DescendantWithSelector);
                }
                Step s;
                s.kind = Step::Kind::Element;
                s.matcher = std::move(components[i + 1].matcher);
                s.selector.kind = Selector::Kind::Each;
                s.descendant = true;
                steps.push_back(std::move(s));
                i += 2;
                break;
            }
        }
    }
    return steps;
}

// ===========================================================================
// Modifiers
// ===========================================================================

std::optional<Modifier> modifier_for_keyword(Bytes name) noexcept {
    struct Entry {
        Bytes keyword;
        Modifier code;
    };
    static constexpr Entry kTable[] = {
        {"reverse", Modifier::Reverse}, {"first", Modifier::First},   {"last", Modifier::Last},
        {"count", Modifier::Count},     {"sort", Modifier::Sort},     {"sort_n", Modifier::SortN},
        {"sortn", Modifier::SortN},     {"uniq", Modifier::Uniq},     {"unique", Modifier::Uniq},
        {"flatten", Modifier::Flatten}, {"tostr", Modifier::ToStr},   {"sum", Modifier::Sum},
        {"avg", Modifier::Avg},         {"mean", Modifier::Avg},      {"min", Modifier::Min},
        {"max", Modifier::Max},
    };
    for (const Entry& e : kTable)
        if (e.keyword == name) return e.code;
    return std::nullopt;
}

// ===========================================================================
// compile_path
// ===========================================================================

namespace {

// Splits at '|' outside quotes and parentheses. The first piece is the
// navigation text; the others are modifier pieces. Pieces may be empty.
Expected<std::vector<Bytes>, ParseError> split_top_level(Bytes text) {
    std::vector<Bytes> pieces;
    const std::size_t n = text.size();
    std::size_t depth = 0;
    char quote = 0;
    std::size_t start = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const char c = text[i];
        if (c == '\\' && i + 1 < n) {
            ++i;
            continue;
        }
        if (quote != 0) {
            if (c == quote) quote = 0;
            continue;
        }
        switch (c) {
            case '\'':
            case '"': quote = c; break;
            case '(': ++depth; break;
            case ')':
                if (depth == 0) return fail(ParseError::Kind::UnmatchedParen);
                --depth;
                break;
            case '|':
                if (depth == 0) {
                    pieces.push_back(text.substr(start, i - start));
                    start = i + 1;
                }
                break;
            default: break;
        }
    }
    if (depth != 0) return fail(ParseError::Kind::UnmatchedParen);
    pieces.push_back(text.substr(start));
    return pieces;
}

// The caret of an unmatched parenthesis, found by the split's own scan over
// the whole text: the ')' that drives the depth below zero, else the last '('
// opened at depth zero.
std::optional<std::size_t> unmatched_paren_position(Bytes text) {
    const std::size_t n = text.size();
    std::size_t depth = 0;
    char quote = 0;
    std::optional<std::size_t> last_open;
    for (std::size_t i = 0; i < n; ++i) {
        const char c = text[i];
        if (c == '\\' && i + 1 < n) {
            ++i;
            continue;
        }
        if (quote != 0) {
            if (c == quote) quote = 0;
            continue;
        }
        if (c == '\'' || c == '"') {
            quote = c;
        } else if (c == '(') {
            if (depth == 0) last_open = i;
            ++depth;
        } else if (c == ')') {
            if (depth == 0) return i;
            --depth;
        }
    }
    return last_open;
}

std::optional<std::size_t> find_pos(Bytes text, Bytes needle) {
    const std::size_t p = text.find(needle);
    if (p == Bytes::npos) return std::nullopt;
    return p;
}

std::optional<std::size_t> caret_position(Bytes text, const ParseError& e) {
    using K = ParseError::Kind;
    switch (e.kind) {
        case K::EmptyPath:
        case K::IndexWithoutName:
        case K::EachWithoutName: return std::nullopt;
        case K::BadIndex:
        case K::MissingOperator: return find_pos(text, e.payload);
        case K::AttributeNotLast:
        case K::EmptyAttributeName: return find_pos(text, "@");
        case K::TextNotLast: return find_pos(text, "#text");
        case K::UnmatchedParen: return unmatched_paren_position(text);
        case K::UnknownModifier: return find_pos(text, "@" + e.payload);
        case K::EmptyModifierName: return find_pos(text, "|");
        case K::DescendantWithoutName:
        case K::DescendantWithSelector: return find_pos(text, "**");
    }
    return std::nullopt;
}

std::string error_message(Bytes text, const ParseError& e) {
    std::string msg = e.display();
    msg += "\n  in path: ";
    msg += quoted_form(text);
    if (auto p = caret_position(text, e)) {
        msg += '\n';
        // 12 = the width of "  in path: " plus the opening quote.
        msg.append(*p + 12, ' ');
        msg += '^';
    }
    return msg;
}

ResultHint compute_result_hint(const Program& prog) {
    const Step& last = prog.steps.back();
    if (!last.is_element()) return ResultHint::Elements;
    bool has_count = false;
    for (Modifier m : prog.modifiers)
        if (m == Modifier::Count) has_count = true;
    if (prog.modifiers.size() == 1 && has_count) return ResultHint::Placeholders;
    const Selector::Kind sel = last.selector.kind;
    if (sel != Selector::Kind::Index && sel != Selector::Kind::Count && !prog.modifiers.empty() &&
        !has_count)
        return ResultHint::Texts;
    return ResultHint::Elements;
}

Expected<ProgramPtr, ParseError> compile_program(Bytes text) {
    auto pieces = split_top_level(text);
    if (!pieces) return unexpected(std::move(pieces).error());
    const std::vector<Bytes>& parts = pieces.value();

    // The navigation text is taken untrimmed: "a. b" names " b".
    auto components = tokenize_path(parts[0]);
    if (!components) return unexpected(std::move(components).error());
    if (components->empty()) return fail(ParseError::Kind::EmptyPath);
    auto steps = build_steps(std::move(components).value());
    if (!steps) return unexpected(std::move(steps).error());

    auto prog = std::make_shared<Program>();
    prog->steps = std::move(steps).value();
    for (std::size_t k = 1; k < parts.size(); ++k) {
        const Bytes piece = trim_unicode_ws(parts[k]);
        if (piece.empty() || piece[0] != '@' || piece.size() == 1)
            return fail(ParseError::Kind::EmptyModifierName);
        const Bytes name = piece.substr(1);  // not trimmed again
        const auto code = modifier_for_keyword(name);
        if (!code) return fail(ParseError::Kind::UnknownModifier, std::string(name));
        prog->modifiers.push_back(*code);
    }
    prog->result_hint = compute_result_hint(*prog);
    return ProgramPtr(std::move(prog));
}

}  // namespace

Expected<ProgramPtr, std::string> compile_path_uncached(Bytes text) {
    auto prog = compile_program(text);
    if (!prog) return unexpected(error_message(text, prog.error()));
    return std::move(prog).value();
}

}  // namespace quelmar
