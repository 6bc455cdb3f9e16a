// Core helpers of the Result layer: direct children, the child-element test,
// scalar classification and the lenient number rule.
#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "check.hpp"
#include "engine/children.hpp"
#include "engine/scalar.hpp"

using namespace quelmar;

namespace {

std::string show_spans(const std::vector<ChildSpan>& spans) {
    std::string s;
    for (const ChildSpan& c : spans) s += c.name + "[" + std::to_string(c.start) + "," + std::to_string(c.end) + ")";
    return s;
}

}  // namespace

TEST(children_spans_table) {
    struct Row {
        const char* element;
        const char* spans;
    };
    const Row rows[] = {
        {"<r><a>1</a>text<b/><a>2</a></r>", "a[3,11)b[15,19)a[19,27)"},
        {"<r/>", ""},
        {"<r></r>", ""},
        {"<r>text only</r>", ""},
        {"<r><p:a/></r>", "p:a[3,9)"},
        {"<?xml version=\"1.0\"?><!-- c --><root><x/></root>", "x[37,41)"},
        {"<r><a><a>x</a></a><b>y</b></r>", "a[3,18)b[18,26)"},            // same-named grandchild
        {"<r><a>unclosed</r>", "a[3,18)"},                               // child runs to the end of input
        {"<r><a/><!-- <b/> --><![CDATA[<c/>]]><d/></r>", "a[3,7)d[36,40)"},  // markup inside comments / CDATA is not a child
        {"<r><a/></r><s/>", "a[3,7)"},                                   // stops at the element's end
        {"", ""},
        {"<", ""},
        {"<r><a", ""},
    };
    for (const Row& row : rows) CHECK_EQ(show_spans(collect_direct_children(row.element)), std::string(row.spans));
}

TEST(has_child_elements_table) {
    struct Row {
        const char* element;
        bool expected;
    };
    const Row rows[] = {
        {"<a>text</a>", false},
        {"<a/>", false},
        {"<a>x<!--c--><?p?></a>", false},
        {"<a><b/></a>", true},
        {"<a>t<b>1</b></a>", true},
        {"<?xml version=\"1.0\"?><!-- c --><root><x/></root>", true},
        {"not xml", false},
        {"", false},
        {"<a></a><b/>", false},  // a sibling after the end is not a child
        {"<a><![CDATA[<b/>]]></a>", false},
    };
    for (const Row& row : rows) CHECK_EQ(element_has_child_elements(row.element), row.expected);
}

TEST(children_deep_nesting_is_iterative) {
    // 1,000,000 levels: the child skip must count depth, not recurse.
    const std::size_t depth = 1000000;
    std::string doc;
    doc.reserve(depth * 7 + 8);
    doc += "<r>";
    for (std::size_t i = 0; i < depth; ++i) doc += "<a>";
    for (std::size_t i = 0; i < depth; ++i) doc += "</a>";
    doc += "<b/></r>";
    const auto spans = collect_direct_children(doc);
    CHECK_EQ(spans.size(), std::size_t{2});
    if (spans.size() == 2) {
        CHECK_EQ(spans[0].end, 3 + depth * 7);
        CHECK_EQ(spans[1].name, std::string("b"));
    }
    CHECK(element_has_child_elements(doc));
}

TEST(unique_names_and_groups) {
    const auto spans = collect_direct_children("<r><a/><b/><a/><c/><b/></r>");
    CHECK_EQ(unique_child_names(spans), (std::vector<std::string>{"a", "b", "c"}));
    const ChildGroups g = group_children(spans);
    CHECK_EQ(g.names, (std::vector<std::string>{"a", "b", "c"}));
    CHECK(g.members == (std::vector<std::vector<std::size_t>>{{0, 2}, {1, 4}, {3}}));
}

TEST(classify_scalar_table) {
    using K = ScalarKind::Kind;
    struct Row {
        const char* text;
        K kind;
        double value;
    };
    const double inf = std::numeric_limits<double>::infinity();
    const Row rows[] = {
        {"42", K::Int, 42},   {"+5", K::Int, 5},         {"007", K::Int, 7},     {"-0", K::Int, 0},
        {"42.0", K::Float, 42}, {"1e3", K::Float, 1000}, {".5", K::Float, 0.5}, {"1.", K::Float, 1},
        {"inf", K::Float, inf}, {"-Infinity", K::Float, -inf},
        {"9223372036854775807", K::Int, 9223372036854775807.0},
        {"9223372036854775808", K::Float, 9223372036854775808.0}, {"1e400", K::Float, inf},
        {"", K::Str, 0},      {"+", K::Str, 0},          {"-", K::Str, 0},       {".", K::Str, 0},
        {"0x10", K::Str, 0},  {"1_000", K::Str, 0},      {"1 2", K::Str, 0},     {"e5", K::Str, 0},
    };
    for (const Row& row : rows) {
        const ScalarKind k = classify_scalar(row.text);
        CHECK_EQ(static_cast<int>(k.kind), static_cast<int>(row.kind));
        if (k.kind == K::Int) CHECK_EQ(static_cast<double>(k.int_value), row.value);
        if (k.kind == K::Float) CHECK_EQ(k.float_value, row.value);
    }
    CHECK(std::isnan(classify_scalar("nan").float_value));
}

TEST(lenient_numbers_table) {
    struct Row {
        const char* raw;
        long long as_int;
        double as_float;
    };
    const long long max = std::numeric_limits<long long>::max();
    const long long min = std::numeric_limits<long long>::min();
    const Row rows[] = {
        {" 42 ", 42, 42},          {"3.9", 3, 3.9},       {"-3.9", -3, -3.9},     {"abc", 0, 0},
        {"", 0, 0},                {"1e999", max, HUGE_VAL}, {"-inf", min, -HUGE_VAL},
        {"\xe3\x80\x80 7\n", 7, 7},  // ideographic space is trimmed
        {"7\xff", 0, 0},           // not UTF-8: counts as empty
        {"1_000", 0, 0},           {"0.9", 0, 0.9},
    };
    for (const Row& row : rows) {
        CHECK_EQ(lenient_int(row.raw), row.as_int);
        CHECK_EQ(lenient_float(row.raw), row.as_float);
    }
    CHECK_EQ(lenient_int("nan"), 0LL);
}

TEST(bool_keyword_table) {
    struct Row {
        const char* text;
        int expected;  // 1 true, 0 false, -1 not in the table
    };
    const Row rows[] = {
        {"1", 1},       {"true", 1},      {"\"t\"", 1},     {"\"T\"", 1},      {"\"1\"", 1},
        {"\"true\"", 1}, {"\"True\"", 1}, {"\"TRUE\"", 1},   {"0", 0},          {"false", 0},
        {"\"f\"", 0},   {"\"F\"", 0},     {"\"0\"", 0},     {"\"false\"", 0},  {"\"False\"", 0},
        {"\"FALSE\"", 0}, {"True", -1},   {" true", -1},    {"yes", -1},       {"\"tRUE\"", -1},
    };
    for (const Row& row : rows) {
        const auto k = bool_keyword(row.text);
        CHECK_EQ(k ? (*k ? 1 : 0) : -1, row.expected);
    }
}
