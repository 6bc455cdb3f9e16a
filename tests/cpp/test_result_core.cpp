// Core helpers of the Result layer: direct children, the child-element test,
// scalar classification and the lenient number rule.
#include <cmath>
#include <cstdio>
#include <iterator>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "check.hpp"
#include "engine/children.hpp"
#include "engine/engine.hpp"
#include "engine/scalar.hpp"

using namespace quelmar;

namespace {

std::string show_refs(Bytes element, const ChildRefs& refs) {
    std::string s;
    for (const ChildRef& c : refs)
        s += std::string(c.name(element)) + "[" + std::to_string(c.start) + "," + std::to_string(c.end) + ")";
    return s;
}

std::string children_of(Bytes element) {
    ChildRefs refs;
    collect_child_refs(element, refs);
    return show_refs(element, refs);
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
    for (const Row& row : rows) CHECK_EQ(children_of(row.element), std::string(row.spans));
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
    ChildRefs refs;
    collect_child_refs(doc, refs);
    CHECK_EQ(refs.size(), std::size_t{2});
    if (refs.size() == 2) {
        CHECK_EQ(refs[0].end, 3 + depth * 7);
        CHECK_EQ(std::string(refs[1].name(doc)), std::string("b"));
    }
    CHECK(element_has_child_elements(doc));
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

// ---- the one-pass scan against the separate operations

namespace {

// Random element-like byte strings: well-formed pieces, broken ones and
// bytes of several encodings, nested a few levels.
struct Gen {
    std::mt19937 rng{20240817};

    std::size_t pick(std::size_t n) { return std::uniform_int_distribution<std::size_t>(0, n - 1)(rng); }

    std::string piece() {
        static const char* const pieces[] = {
            "text", " ", "\n  ", "&amp;", "&lt;&gt;", "&#65;", "&#x263A;", "&bogus;", "&amp", "&#xD800;",
            "<![CDATA[ raw <b/> & ]]>", "<![CDATA[\xe9]]>", "<!-- c -->", "<!-- <x/> -->", "<?pi data?>",
            "<?xml version=\"1.0\" encoding=\"windows-1252\"?>", "<?xml version=\"1.0\" encoding=\"UTF-8\"?>",
            "<!DOCTYPE r>", "<", "</", "<!", "<!-", "<![CDATA[", "<?", "&", "]]>", ">", "\"", "'",
            "caf\xc3\xa9", "caf\xe9", "\xff\xfe", "\xe3\x80\x80", "\x82\xa0", "\xa4\xa2", "<p:x/>", "<x/>",
            "<x a=\"1\"/>", "</x>", "</r>", "<x>", "<x a='&lt;'>", "<x a=\"1\" a=\"2\">", "<\xc3\xa9/>",
            "<\xe9>t</\xe9>",
        };
        return pieces[pick(std::size(pieces))];
    }

    std::string content(int depth) {
        std::string s;
        const std::size_t n = pick(6);
        for (std::size_t i = 0; i < n; ++i) {
            if (depth > 0 && pick(4) == 0) s += element(depth - 1);
            else s += piece();
        }
        return s;
    }

    std::string element(int depth) {
        static const char* const names[] = {"r", "a", "b", "p:a", "x"};
        const std::string name = names[pick(std::size(names))];
        switch (pick(8)) {
            case 0: return "<" + name + "/>";
            case 1: return "<" + name + " k=\"v\">" + content(depth);  // unclosed
            case 2: return "<" + name + ">" + content(depth) + "</other>";
            default: return "<" + name + ">" + content(depth) + "</" + name + ">";
        }
    }

    std::string document() {
        std::string s;
        if (pick(4) == 0) s += piece();  // something before the element
        s += element(3);
        if (pick(4) == 0) s += piece();
        if (pick(10) == 0) s = s.substr(0, pick(s.size() + 1));  // truncated
        return s;
    }
};

}  // namespace

TEST(scan_element_equals_the_separate_operations) {
    const Encoding modes[] = {
        Encoding::Utf8, Encoding::Windows1252, Encoding::ShiftJis, Encoding::Iso8859_5, Encoding::EucKr,
    };
    Gen gen;
    int children_seen = 0, texts_seen = 0;
    for (int round = 0; round < 4000; ++round) {
        const std::string doc = gen.document();
        const bool has = element_has_child_elements(doc);
        const std::string expected_children = children_of(doc);
        for (const Encoding m : modes) {
            const ElementScan plain = scan_element(doc, m);
            ChildRefs found;
            const ElementScan full = scan_element(doc, m, &found);
            CHECK_EQ(plain.has_children, has);
            CHECK_EQ(full.has_children, has);
            CHECK_EQ(show_refs(doc, found), expected_children);
            if (has) {
                ++children_seen;
                continue;
            }
            ++texts_seen;
            const std::string text = extract_element_text(doc, m);
            CHECK_EQ(std::string(plain.text()), text);
            CHECK_EQ(std::string(full.text()), text);
            if (plain.text() != text) std::fprintf(stderr, "  document: %s\n", doc.c_str());
        }
    }
    // The generator reaches both outcomes often.
    CHECK(children_seen > 2000);
    CHECK(texts_seen > 2000);
}

TEST(scan_element_table) {
    struct Row {
        const char* element;
        bool has_children;
        const char* text;
    };
    const Row rows[] = {
        {"<a> 42 </a>", false, " 42 "},
        {"<a>x<!--c--><?p?>y</a>", false, "xy"},
        {"<a>1 &lt; 2<![CDATA[ & ]]></a>", false, "1 < 2 & "},
        {"<a/>", false, ""},
        {"<a>t<b>1</b></a>", true, ""},
        {"<a><b/></a>", true, ""},
        {"</z><a>x</a>", false, "x"},  // a stray end tag first is a reader error, passed over
        {"</z><a>x<b>y</b></a>", true, ""},
        {"<?xml version=\"1.0\"?><!-- c --><root>t</root>", false, "t"},
        {"<a>unclosed", false, "unclosed"},
        {"not xml", false, ""},
        {"", false, ""},
    };
    for (const Row& row : rows) {
        const ElementScan s = scan_element(row.element, Encoding::Utf8);
        CHECK_EQ(s.has_children, row.has_children);
        CHECK_EQ(std::string(s.text()), std::string(row.text));
    }
    // A legacy document's text is decoded; the same bytes read as UTF-8 are
    // kept as they stand (the Result layer rejects them when it decodes).
    CHECK_EQ(std::string(scan_element("<a>caf\xe9</a>", Encoding::Windows1252).text()), std::string("caf\xc3\xa9"));
    CHECK_EQ(std::string(scan_element("<a>caf\xe9</a>", Encoding::Utf8).text()), std::string("caf\xe9"));
}

TEST(group_child_names_table) {
    auto show = [](const ChildGrouping& g) {
        std::string s;
        for (std::size_t k = 0; k < g.size(); ++k) {
            s += std::to_string(g.first[k]) + ":";
            for (std::size_t i = g.offsets[k]; i < g.offsets[k + 1]; ++i) s += std::to_string(g.members[i]) + ",";
            s += ";";
        }
        return s;
    };
    CHECK_EQ(show(group_child_names(nullptr, 0)), std::string());
    const Bytes few[] = {"a", "b", "a", "c", "b"};
    CHECK_EQ(show(group_child_names(few, 5)), std::string("0:0,2,;1:1,4,;3:3,;"));
    // Past the linear search: 40 distinct names, each twice, interleaved.
    std::vector<std::string> storage;
    for (int i = 0; i < 40; ++i) storage.push_back("n" + std::to_string(i));
    std::vector<Bytes> names;
    for (int round = 0; round < 2; ++round)
        for (const std::string& n : storage) names.push_back(n);
    const ChildGrouping g = group_child_names(names.data(), names.size());
    CHECK_EQ(g.size(), std::size_t{40});
    bool ok = g.offsets.back() == 80;
    for (std::size_t k = 0; k < g.size() && ok; ++k)
        ok = g.first[k] == k && g.offsets[k] == 2 * k && g.members[2 * k] == k && g.members[2 * k + 1] == k + 40;
    CHECK(ok);
}

TEST(inline_vec_moves_and_grows) {
    // In place up to N, on the heap beyond; moves keep every value.
    for (std::size_t n : {std::size_t{0}, std::size_t{3}, std::size_t{4}, std::size_t{5}, std::size_t{40}}) {
        InlineVec<std::size_t, 4> v;
        for (std::size_t i = 0; i < n; ++i) v.push_back(i * 7);
        InlineVec<std::size_t, 4> copy(v);
        InlineVec<std::size_t, 4> moved(std::move(v));
        InlineVec<std::size_t, 4> assigned;
        assigned.push_back(99);
        assigned = std::move(moved);
        bool ok = copy.size() == n && assigned.size() == n && v.empty() && moved.empty();
        for (std::size_t i = 0; i < n && ok; ++i) ok = copy[i] == i * 7 && assigned[i] == i * 7;
        CHECK(ok);
    }
}

TEST(items_are_three_words_and_keep_large_offsets) {
    // Spans beyond 4 GiB keep their offsets in the 56-bit fields.
    const Item span = Item::span(5'000'000'000ULL, 5'000'000'123ULL, Encoding::Windows1252);
    CHECK_EQ(std::uint64_t{span.start}, 5'000'000'000ULL);
    CHECK_EQ(std::uint64_t{span.end}, 5'000'000'123ULL);
    CHECK(span.kind == Item::Kind::ElementSpan && span.encoding == Encoding::Windows1252);
    CHECK(span.bytes.empty() && span.bytes.c_str()[0] == '\0');
    // Copies share the bytes; they read like the string they were made from.
    const Item text = Item::text("caf\xc3\xa9");
    const Item copy = text;
    CHECK(copy.bytes.data() == text.bytes.data());
    CHECK_EQ(std::string(copy.bytes), std::string("caf\xc3\xa9"));
    CHECK(copy.bytes == Bytes("caf\xc3\xa9") && copy.bytes.size() == 5 && !copy.is_element());
}
