// Filter expressions: "left op value", the text strictly between "#(" and
// its closing ')'.
//
// Nesting: the left side goes back through tokenize_path, which can meet
// another "#(" only where this scan saw it inside quotes (an operator byte
// outside quotes would have ended the left side). Scans that start at
// different points of one text and are both inside the same quote character
// agree from then on, so each further level needs its operator hidden by a
// quote character different from every enclosing level's. With two quote
// characters at most three nested filter parses reach tokenize_path again; a
// fourth can start, but its expression has no operator outside quotes and it
// fails at once. No recursion depends on the length of the path.
#include <utility>

#include "common/text.hpp"
#include "path/compile.hpp"

namespace quelmar {

namespace {

bool is_operator_byte(char c) noexcept {
    return c == '!' || c == '%' || c == '<' || c == '=' || c == '>';
}

}  // namespace

Expected<Filter, ParseError> parse_filter_expr(Bytes expression) {
    const std::size_t n = expression.size();

    // 1. The first operator byte outside quotes; parentheses play no part.
    std::size_t i = 0;
    char quote = 0;
    bool found = false;
    while (i < n) {
        const char c = expression[i];
        if (c == '\\' && i + 1 < n) {
            i += 2;
            continue;
        }
        if (quote != 0) {
            if (c == quote) quote = 0;
        } else if (c == '\'' || c == '"') {
            quote = c;
        } else if (is_operator_byte(c)) {
            found = true;
            break;
        }
        ++i;
    }
    if (!found)
        return unexpected(ParseError{ParseError::Kind::MissingOperator, std::string(expression)});

    // 2. Two-byte operators first, in this order; then the single byte.
    struct OpSpelling {
        Bytes text;
        CompareOp op;
    };
    static constexpr OpSpelling kTwo[] = {
        {"==", CompareOp::Eq}, {"!=", CompareOp::Ne},       {"<=", CompareOp::Le},
        {">=", CompareOp::Ge}, {"!%", CompareOp::NotMatch},
    };
    Filter f;
    std::size_t op_len = 0;
    if (i + 2 <= n) {
        const Bytes two = expression.substr(i, 2);
        for (const OpSpelling& s : kTwo) {
            if (two == s.text) {
                f.op = s.op;
                op_len = 2;
                break;
            }
        }
    }
    if (op_len == 0) {
        switch (expression[i]) {
            case '%': f.op = CompareOp::Match; break;
            case '<': f.op = CompareOp::Lt; break;
            case '=': f.op = CompareOp::Eq; break;
            case '>': f.op = CompareOp::Gt; break;
            default:  // a '!' that starts neither "!=" nor "!%"
                return unexpected(
                    ParseError{ParseError::Kind::MissingOperator, std::string(expression.substr(i))});
        }
        op_len = 1;
    }

    // 3. Split and trim.
    const Bytes left = trim_unicode_ws(expression.substr(0, i));
    const Bytes right = trim_unicode_ws(expression.substr(i + op_len));

    // 4. The left side: a path without modifiers (not split at '|'). Only
    // dots gives an empty path.
    if (left.empty()) return unexpected(ParseError{ParseError::Kind::EmptyPath, {}});
    auto components = tokenize_path(left);
    if (!components) return unexpected(std::move(components).error());
    auto steps = build_steps(std::move(components).value());
    if (!steps) return unexpected(std::move(steps).error());
    f.path = std::move(steps).value();

    // 5. The value, first rule that applies.
    FilterValue& v = f.value;
    if (right.size() >= 2 && (right.front() == '\'' || right.front() == '"') &&
        right.back() == right.front()) {
        v.kind = FilterValue::Kind::String;
        v.string = unescape_simple(right.substr(1, right.size() - 2));
    } else if (right == "true" || right == "false") {
        v.kind = FilterValue::Kind::Bool;
        v.boolean = right == "true";
    } else if (auto num = parse_decimal_float(right)) {
        v.kind = FilterValue::Kind::Number;
        v.number = *num;
    } else {
        v.kind = FilterValue::Kind::String;
        v.string.assign(right);  // as written: quotes and backslashes kept
    }

    if (v.kind == FilterValue::Kind::String && (f.op == CompareOp::Match || f.op == CompareOp::NotMatch))
        v.pattern = NameMatcher::parse(v.string);

    // 6. A lone attribute step lets the evaluator skip running a path.
    if (f.path.size() == 1 && f.path[0].kind == Step::Kind::Attribute)
        f.attribute = f.path[0].attribute;
    return f;
}

}  // namespace quelmar
