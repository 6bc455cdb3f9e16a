// The path compiler: compiled structure, every error message with its echo
// and caret, name matching, the per-thread cache, and the rows a batch of
// paths compiles to.
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "check.hpp"
#include "common/hash.hpp"
#include "common/text.hpp"
#include "common/utf8.hpp"
#include "engine/batch.hpp"
#include "path/compile.hpp"

using namespace quelmar;

namespace {

// ---------------------------------------------------------------- rendering
// A compact text form of a Program so structure tables read at a glance:
//   name[selector] / **name[each] / @attr / #text  mods:first,count hint=N
// Glob names carry a "~" prefix; filters render as {left op value attr=..}.

std::string describe_steps(const std::vector<Step>& steps);

std::string describe_op(CompareOp op) {
    static const char* names[] = {"==", "!=", "<", "<=", ">", ">=", "%", "!%"};
    return names[static_cast<int>(op)];
}

std::string describe_filter(const Filter& f) {
    std::string s = "{" + describe_steps(f.path) + " " + describe_op(f.op) + " ";
    switch (f.value.kind) {
        case FilterValue::Kind::Number: s += "num:" + format_number(f.value.number); break;
        case FilterValue::Kind::String: s += "str:'" + f.value.string + "'"; break;
        case FilterValue::Kind::Bool: s += f.value.boolean ? "bool:true" : "bool:false"; break;
    }
    if (f.attribute) s += " attr=" + *f.attribute;
    return s + "}";
}

std::string describe_steps(const std::vector<Step>& steps) {
    std::string out;
    for (const Step& st : steps) {
        if (!out.empty()) out += " / ";
        switch (st.kind) {
            case Step::Kind::Attribute: out += "@" + st.attribute; continue;
            case Step::Kind::Text: out += "#text"; continue;
            case Step::Kind::Element: break;
        }
        if (st.descendant) out += "**";
        if (st.matcher.kind() == NameMatcher::Kind::Glob) out += "~";
        out += st.matcher.text();
        switch (st.selector.kind) {
            case Selector::Kind::None: break;
            case Selector::Kind::Index: out += "[" + std::to_string(st.selector.index) + "]"; break;
            case Selector::Kind::Count: out += "[count]"; break;
            case Selector::Kind::Each: out += "[each]"; break;
            case Selector::Kind::Filter: out += "[filter " + describe_filter(*st.selector.filter) + "]"; break;
            case Selector::Kind::FilterAll:
                out += "[filterall " + describe_filter(*st.selector.filter) + "]";
                break;
        }
    }
    return out;
}

std::string describe(const Program& p) {
    static const char* names[] = {"reverse", "first", "last", "count", "sort", "sort_n", "uniq",
                                  "flatten", "tostr", "sum", "avg", "min", "max"};
    std::string out = describe_steps(p.steps);
    if (!p.modifiers.empty()) {
        out += "  mods:";
        for (std::size_t i = 0; i < p.modifiers.size(); ++i) {
            if (i) out += ",";
            out += names[static_cast<int>(p.modifiers[i])];
        }
    }
    return out + " hint=" + std::to_string(static_cast<int>(p.result_hint));
}

std::string compiled(Bytes text) {
    auto r = compile_path_uncached(text);
    if (!r) return "ERROR: " + r.error();
    return describe(*r.value());
}

std::string failure(Bytes text) {
    auto r = compile_path_uncached(text);
    if (r) return "compiled: " + describe(*r.value());
    return r.error();
}

// The expected message: display, echo, and the caret at byte P (or none).
std::string message(const std::string& display, const std::string& echo, int caret) {
    std::string m = display + "\n  in path: " + echo;
    if (caret >= 0) m += "\n" + std::string(static_cast<std::size_t>(caret) + 12, ' ') + "^";
    return m;
}

}  // namespace

// ===========================================================================
// Compiled structure
// ===========================================================================

TEST(path_structure_table) {
    struct Case {
        std::string path;
        std::string expect;
    };
    const Case cases[] = {
        // dots: leading, trailing and repeated ones are ignored
        {"a.b", "a / b hint=0"},
        {"a..b", "a / b hint=0"},
        {".a.b.", "a / b hint=0"},
        // selectors
        {"a.0", "a[0] hint=0"},
        {"a.007", "a[7] hint=0"},
        {"a.18446744073709551615", "a[18446744073709551615] hint=0"},
        {"a.#", "a[count] hint=0"},
        {"a.#.b", "a[each] / b hint=0"},
        {"a.#(x=1)", "a[filter {x == num:1}] hint=0"},
        {"a.#(x=1)#", "a[filterall {x == num:1}] hint=0"},
        {"items#(x==1)", "items[filter {x == num:1}] hint=0"},
        {"a.#(x=1)b", "a[filter {x == num:1}] / b hint=0"},
        {"a.#(x=1)#.b.0", "a[filterall {x == num:1}] / b[0] hint=0"},
        // descendants
        {"**.a.b", "**a[each] / b hint=0"},
        {"**a", "**a[each] hint=0"},
        {"x.**.y", "x / **y[each] hint=0"},
        {"a**", "~a** hint=0"},
        {"***b", "**~*b[each] hint=0"},
        // last-only steps
        {"#text", "#text hint=0"},
        {"@id", "@id hint=0"},
        {"a.@id", "a / @id hint=0"},
        {"a.@i\\.d", "a / @i.d hint=0"},
        {"a.@*", "a / @* hint=0"},
        {"a.#text", "a / #text hint=0"},
        // escapes: an escaped character is never special
        {"a\\.b", "a.b hint=0"},
        {"a.\\5", "a / 5 hint=0"},
        {"\\#text", "#text hint=0"},  // a name, not a Text step (see below)
        {"\\@id", "@id hint=0"},
        {"a\\*b", "a*b hint=0"},
        {"a\\*b*", "~a\\*b* hint=0"},
        {"a\\", "a hint=0"},
        {"a\\#(x=1)", "a#(x=1) hint=0"},
        // the navigation text is never trimmed
        {"a. b", "a /  b hint=0"},
        {"it*.i?em", "~it* / ~i?em hint=0"},
        // modifiers and result_hint
        {"a|@first|@count", "a  mods:first,count hint=0"},
        {"a| @first ", "a  mods:first hint=1"},
        {"a|@first\t", "a  mods:first hint=1"},
        {"a|\xe2\x80\x83@first", "a  mods:first hint=1"},  // U+2003 em space is trimmed
        {"a|@reverse|@last|@sort|@sort_n|@sortn|@uniq|@unique",
         "a  mods:reverse,last,sort,sort_n,sort_n,uniq,uniq hint=1"},
        {"a|@flatten|@tostr|@sum|@avg|@mean|@min|@max",
         "a  mods:flatten,tostr,sum,avg,avg,min,max hint=1"},
        {"a.b|@count", "a / b  mods:count hint=2"},
        {"a.#|@count", "a[count]  mods:count hint=2"},
        {"a.0|@count", "a[0]  mods:count hint=2"},
        {"a.@id|@count", "a / @id  mods:count hint=0"},
        {"a.#text|@sort", "a / #text  mods:sort hint=0"},
        {"a|@count|@count", "a  mods:count,count hint=0"},
        {"a|@sort|@count", "a  mods:sort,count hint=0"},
        {"a.0|@first", "a[0]  mods:first hint=0"},
        {"a.#|@first", "a[count]  mods:first hint=0"},
        {"a.#.b|@sort", "a[each] / b  mods:sort hint=1"},
        {"a.#(x=1)#|@sum", "a[filterall {x == num:1}]  mods:sum hint=1"},
        {"**.a|@uniq", "**a[each]  mods:uniq hint=1"},
        // '|' inside quotes or parentheses does not split
        {"a.#(x=='p|q')", "a[filter {x == str:'p|q'}] hint=0"},
        {"a.#(x==p|q)", "a[filter {x == str:'p|q'}] hint=0"},
        {"a.#(x==\"p|q\")|@first", "a[filter {x == str:'p|q'}]  mods:first hint=1"},
    };
    for (const Case& c : cases) {
        const std::string got = compiled(c.path);
        if (got != c.expect) check::fail(__FILE__, __LINE__, c.path + " -> " + got + " (expected " + c.expect + ")");
    }
    // "\#text" is an element named "#text", not a Text step.
    auto p = compile_path_uncached("\\#text");
    CHECK(p.ok() && p.value()->steps[0].kind == Step::Kind::Element);
    auto q = compile_path_uncached("\\5");
    CHECK(q.ok() && q.value()->steps[0].kind == Step::Kind::Element);
}

TEST(path_filter_table) {
    struct Case {
        std::string path;
        std::string expect;
    };
    const Case cases[] = {
        {"a.#(price>10)", "a[filter {price > num:10}] hint=0"},
        {"a.#(@id==\"a1\")", "a[filter {@id == str:'a1' attr=id}] hint=0"},
        {"a.#(@id='a1')", "a[filter {@id == str:'a1' attr=id}] hint=0"},
        {"a.#(@id=a1)", "a[filter {@id == str:'a1' attr=id}] hint=0"},
        {"a.#(b.@id=a1)", "a[filter {b / @id == str:'a1'}] hint=0"},
        {"a.#(x!=true)", "a[filter {x != bool:true}] hint=0"},
        {"a.#(x==false)", "a[filter {x == bool:false}] hint=0"},
        {"a.#(x==True)", "a[filter {x == str:'True'}] hint=0"},
        {"a.#(x=='it\\'s')", "a[filter {x == str:'it's'}] hint=0"},
        {"a.#(x==it\\'s)", "a[filter {x == str:'it\\'s'}] hint=0"},
        {"a.#(x==\"a\\\\b\")", "a[filter {x == str:'a\\b'}] hint=0"},
        {"a.#(x>1e3)", "a[filter {x > num:1000}] hint=0"},
        {"a.#(x>=-.5)", "a[filter {x >= num:-0.5}] hint=0"},
        {"a.#(x<1.)", "a[filter {x < num:1}] hint=0"},
        {"a.#(x==0x10)", "a[filter {x == str:'0x10'}] hint=0"},
        {"a.#(x==1_000)", "a[filter {x == str:'1_000'}] hint=0"},
        {"a.#(x==nan)", "a[filter {x == num:nan}] hint=0"},
        {"a.#(x==-Infinity)", "a[filter {x == num:-inf}] hint=0"},
        {"a.#(x==1e999)", "a[filter {x == num:inf}] hint=0"},
        {"a.#(x=)", "a[filter {x == str:''}] hint=0"},
        {"a.#(x=='')", "a[filter {x == str:''}] hint=0"},
        {"a.#(x==\\')", "a[filter {x == str:'\\''}] hint=0"},
        {"a.#(x=='a'b)", "a[filter {x == str:''a'b'}] hint=0"},
        {"a.#(x == 'y' )", "a[filter {x == str:'y'}] hint=0"},
        {"a.#( x.y <= 2 )", "a[filter {x / y <= num:2}] hint=0"},
        {"a.#(b<=2)", "a[filter {b <= num:2}] hint=0"},
        {"a.#(b=>2)", "a[filter {b == str:'>2'}] hint=0"},
        {"a.#(b<2)", "a[filter {b < num:2}] hint=0"},
        {"a.#(b>=2)", "a[filter {b >= num:2}] hint=0"},
        {"a.#(b%'x*')", "a[filter {b % str:'x*'}] hint=0"},
        {"a.#(b!%x*)", "a[filter {b !% str:'x*'}] hint=0"},
        {"a.#(#text%'ab*')", "a[filter {#text % str:'ab*'}] hint=0"},
        {"a.#(b=%)", "a[filter {b == str:'%'}] hint=0"},
        {"a.#(note=='a=b')", "a[filter {note == str:'a=b'}] hint=0"},
        {"a.#('x=y'=1)", "a[filter {'x=y' == num:1}] hint=0"},
        {"a.#(b\\=c=1)", "a[filter {b=c == num:1}] hint=0"},
        {"a.#(..=1)", "a[filter { == num:1}] hint=0"},
        {"a.#(b.(c)=1)", "a[filter {b / (c) == num:1}] hint=0"},
        {"a.#(**.b=1)", "a[filter {**b[each] == num:1}] hint=0"},
        {"a.#(b|@x=1)", "a[filter {b|@x == num:1}] hint=0"},
        // A left side meets "#(" only where the operator scan saw it inside
        // quotes; with two quote characters this nests three filters deep.
        {"a.#('#(b=1)'==5)", "a[filter {'[filter {b == num:1}] / ' == num:5}] hint=0"},
        {"a.#('#(\"#(b=1)\"=2)'==5)",
         "a[filter {'[filter {\"[filter {b == num:1}] / \" == num:2}] / ' == num:5}] hint=0"},
    };
    for (const Case& c : cases) {
        const std::string got = compiled(c.path);
        if (got != c.expect) check::fail(__FILE__, __LINE__, c.path + " -> " + got + " (expected " + c.expect + ")");
    }
}

TEST(path_filter_direct) {
    // CompareOp codes are part of the data model.
    CHECK_EQ(static_cast<int>(CompareOp::NotMatch), 7);
    auto f = parse_filter_expr("@id==\"a1\"");
    CHECK(f.ok());
    CHECK(f->attribute.has_value() && *f->attribute == "id");
    CHECK(f->value.kind == FilterValue::Kind::String && f->value.string == "a1");
    auto g = parse_filter_expr("x ! y");
    CHECK(!g.ok() && g.error().kind == ParseError::Kind::MissingOperator && g.error().payload == "! y");
    auto h = parse_filter_expr("\xe3\x80\x80x\xe3\x80\x80>\xc2\xa0" "5\xc2\xa0");  // U+3000, U+00A0
    CHECK(h.ok() && h->value.kind == FilterValue::Kind::Number && h->value.number == 5.0);
    CHECK(h.ok() && describe_steps(h->path) == "x");
}

// ===========================================================================
// Errors: the full message with echo and caret
// ===========================================================================

TEST(path_error_table) {
    struct Case {
        std::string path;
        std::string display;
        std::string echo;
        int caret;  // byte offset, -1 for no caret line
    };
    const std::string E = "empty path", IDX = "index without preceding name",
                      EACH = "# without preceding name", ATTR = "@attr must be the last component",
                      TEXT = "#text must be the last component",
                      EATTR = "@ must be followed by an attribute name",
                      PAREN = "unmatched ( in filter", MOP = "filter expression missing operator: ",
                      EMOD = "modifier name is empty",
                      DNAME = "** must be followed by an element name",
                      DSEL = "** does not accept an explicit selector (no index/#/filter)";
    const Case cases[] = {
        {"", E, "\"\"", -1},
        {".", E, "\".\"", -1},
        {"...", E, "\"...\"", -1},
        {"|@count", E, "\"|@count\"", -1},
        {"a.18446744073709551616", "bad index: 18446744073709551616", "\"a.18446744073709551616\"", 2},
        {"b18446744073709551616.18446744073709551616", "bad index: 18446744073709551616",
         "\"b18446744073709551616.18446744073709551616\"", 1},  // first occurrence, anywhere
        {"0", IDX, "\"0\"", -1},
        {"a.0.1", IDX, "\"a.0.1\"", -1},
        {"a.#.0", IDX, "\"a.#.0\"", -1},
        {"#", EACH, "\"#\"", -1},
        {"#(x=1)", EACH, "\"#(x=1)\"", -1},
        {"a.0.#", EACH, "\"a.0.#\"", -1},
        {"a.#(x=1).#", EACH, "\"a.#(x=1).#\"", -1},
        {"a.@id.b", ATTR, "\"a.@id.b\"", 2},
        {"a.#text.b", TEXT, "\"a.#text.b\"", 2},
        {"a.@", EATTR, "\"a.@\"", 2},
        {"\xc3\xa9.@", EATTR, "\"\xc3\xa9.@\"", 3},  // the caret counts bytes
        {"\\\\.@", EATTR, "\"\\\\\\\\.@\"", 3},
        {"**", DNAME, "\"**\"", 0},
        {"**.0", DNAME, "\"**.0\"", 0},
        {"x.**", DNAME, "\"x.**\"", 2},
        {"**.@id", DNAME, "\"**.@id\"", 0},
        {"**.a.0", DSEL, "\"**.a.0\"", 0},
        {"**.a.#", DSEL, "\"**.a.#\"", 0},
        {"**.a.#(x=1)", DSEL, "\"**.a.#(x=1)\"", 0},
        {"a.#(x=1", PAREN, "\"a.#(x=1\"", 3},
        {"a.#(x=1\\", PAREN, "\"a.#(x=1\\\\\"", 3},
        {"a)", PAREN, "\"a)\"", 1},
        {"a)b(", PAREN, "\"a)b(\"", 1},
        {"(a)(b", PAREN, "\"(a)(b\"", 3},
        {"((a)", PAREN, "\"((a)\"", 0},
        {"a'.#(x=1'", PAREN, "\"a'.#(x=1'\"", -1},  // quotes hide the '(' from the rescan
        {"a.#(x==')", PAREN, "\"a.#(x==')\"", 3},  // the quote runs to the end
        {"a.#(x.#(y==1).z==2)", PAREN, "\"a.#(x.#(y==1).z==2)\"", 3},
        {"a|first", EMOD, "\"a|first\"", 1},
        {"a|", EMOD, "\"a|\"", 1},
        {"a|@", EMOD, "\"a|@\"", 1},
        {"a| @ ", EMOD, "\"a| @ \"", 1},
        {"a|@first|", EMOD, "\"a|@first|\"", 1},
        {"a|@frist", "unknown modifier: @frist", "\"a|@frist\"", 2},
        {"a|@First", "unknown modifier: @First", "\"a|@First\"", 2},
        {"a|@ first", "unknown modifier: @ first", "\"a|@ first\"", 2},
        {"a.@x|@x", "unknown modifier: @x", "\"a.@x|@x\"", 2},  // first occurrence
        {"a.#(x)", MOP + "x", "\"a.#(x)\"", 4},
        {"x.#(x)", MOP + "x", "\"x.#(x)\"", 0},
        {"a.#(x ! y)", MOP + "! y", "\"a.#(x ! y)\"", 6},
        {"a.#(!)", MOP + "!", "\"a.#(!)\"", 4},
        {"a.#('x==1')", MOP + "'x==1'", "\"a.#('x==1')\"", 4},
        {"a.#()", MOP, "\"a.#()\"", 0},
        {"a.#(=1)", E, "\"a.#(=1)\"", -1},
        {"a.#( =1)", E, "\"a.#( =1)\"", -1},
        {"a.#(@=1)", EATTR, "\"a.#(@=1)\"", 4},
        {"a.#(0=1)", IDX, "\"a.#(0=1)\"", -1},
        // the echo escapes quotes, backslashes, controls and NUL
        {"a\"b.0.1", IDX, "\"a\\\"b.0.1\"", -1},
        {std::string("a\0.0.1", 6), IDX, "\"a\\0.0.1\"", -1},
        {"a\t\n.0.1", IDX, "\"a\\t\\n.0.1\"", -1},
        // the order of the checks: split, tokenize, empty, steps, modifiers
        {"a.0.1|@bogus", IDX, "\"a.0.1|@bogus\"", -1},
        {"a)|@bogus", PAREN, "\"a)|@bogus\"", 1},
        {"|@bogus", E, "\"|@bogus\"", -1},
        {"a.#(x).0.1", MOP + "x", "\"a.#(x).0.1\"", 4},
        {"a.@.0.1", EATTR, "\"a.@.0.1\"", 2},
    };
    for (const Case& c : cases) {
        const std::string want = message(c.display, c.echo, c.caret);
        const std::string got = failure(c.path);
        if (got != want) check::fail(__FILE__, __LINE__, "path " + quoted_form(c.path) + ":\n" + got + "\n--- expected ---\n" + want);
    }
    // One message spelled out in full.
    CHECK_EQ(failure("a|@frist"), std::string("unknown modifier: @frist\n  in path: \"a|@frist\"\n              ^"));
    CHECK_EQ(failure(""), std::string("empty path\n  in path: \"\""));
}

TEST(path_error_kinds) {
    CHECK_EQ(trim_unicode_ws("\xe2\x80\x83 a\xc2\xa0\xe3\x80\x80"), Bytes("a"));
    CHECK_EQ(trim_unicode_ws("\xe2\x80"), Bytes("\xe2\x80"));  // truncated: kept, read in bounds
    CHECK_EQ(trim_unicode_ws("\x80\x83 "), Bytes("\x80\x83"));
    CHECK(parse_component("@").error().kind == ParseError::Kind::EmptyAttributeName);
    CHECK(parse_component("99999999999999999999").error().payload == "99999999999999999999");
    CHECK_EQ(unescape_simple("a\\b\\\\c\\"), std::string("ab\\c"));
    CHECK_EQ(unescape_simple("\\\xc3\xa9"), std::string("\xc3\xa9"));
    CHECK(!modifier_for_keyword("SORT").has_value());
    CHECK(modifier_for_keyword("sortn") == Modifier::SortN);
    CHECK(modifier_for_keyword("mean") == Modifier::Avg);
    // An empty component sequence builds no steps (only filters reach this).
    auto s = build_steps({});
    CHECK(s.ok() && s->empty());
}

// ===========================================================================
// Robustness: arbitrary text compiles or fails cleanly, without recursion
// on its length or nesting
// ===========================================================================

TEST(path_robustness) {
    std::string many;
    for (int i = 0; i < 100000; ++i) many += "a.";
    auto p = compile_path_uncached(many);
    CHECK(p.ok() && p.value()->steps.size() == 100000);

    std::string parens(10000, '(');
    parens += std::string(10000, ')');
    auto q = compile_path_uncached(parens);
    CHECK(q.ok() && q.value()->steps.size() == 1);

    std::string filters;
    for (int i = 0; i < 10000; ++i) filters += "#(";
    filters += "x=1";
    filters += std::string(10000, ')');
    auto r = compile_path_uncached("a." + filters);
    CHECK(!r.ok());

    // The deepest nesting of filter parses a search found: the fourth one is
    // the empty "#()", which fails before tokenizing anything.
    auto deep = compile_path_uncached(
        "a.#(\"\\'a.#(\"a'a(#('#()\"#('#(b=1)\\\"#!=))\\\"<\\)\\''=)!=))\"\\\"!=.)");
    CHECK(!deep.ok() && deep.error().rfind("filter expression missing operator: \n", 0) == 0);

    std::string open(10000, '(');
    auto u = compile_path_uncached(open);
    CHECK(!u.ok() && u.error().rfind("unmatched ( in filter", 0) == 0);

    // Lone backslashes, NULs, stray bytes (not valid UTF-8) anywhere.
    const std::string odd[] = {"\\", "a\\", "#(\\", "a.#(x=\\", std::string("\0\0", 2),
                               "\xff", "a.#(\xff=\xc3)", "\xe2\x80", "a|\xe2\x80", "a|@\xf0",
                               "a.#(x%\xc3)", "**\xff", "@\xc3"};
    for (const std::string& t : odd) {
        auto v = compile_path_uncached(t);
        if (v) CHECK(!v.value()->steps.empty());
        else CHECK(!v.error().empty());
    }
}

// ===========================================================================
// Name matching
// ===========================================================================

TEST(name_matcher_parse_table) {
    struct Case {
        std::string text;
        NameMatcher::Kind kind;
        std::string stored;
    };
    using K = NameMatcher::Kind;
    const Case cases[] = {
        {"item", K::Exact, "item"},       {"a\\*b", K::Exact, "a*b"},
        {"a\\*b*", K::Glob, "a\\*b*"},    {"ab\\", K::Exact, "ab"},
        {"", K::Exact, ""},               {"\\\\", K::Exact, "\\"},
        {"a\\\\*", K::Glob, "a\\\\*"},    {"\\\xc3\xa9", K::Exact, "\xc3\xa9"},
        {"\\?", K::Exact, "?"},           {"a?", K::Glob, "a?"},
        {"*\\", K::Glob, "*\\"},
    };
    for (const Case& c : cases) {
        NameMatcher m = NameMatcher::parse(c.text);
        CHECK(m.kind() == c.kind);
        CHECK_EQ(m.text(), c.stored);
    }
}

TEST(name_matcher_match_table) {
    struct Case {
        std::string pattern;
        std::string tag;  // qualified name; the local name is derived
        bool expect;
    };
    const Case cases[] = {
        {"item", "item", true},       {"item", "ns:item", true},   {"item", "Item", false},
        {"item", "items", false},     {"ns:item", "ns:item", true}, {"ns:item", "other:item", false},
        {"ns:item", "item", false},   {"it*", "it", true},         {"it*", "item", true},
        {"it*", "items", true},       {"it*", "x:item", true},     {"*", "a:b", true},
        {"*", "", true},              {"i?em", "item", true},      {"i?em", "iem", false},
        {"i?em", "iteem", false},     {"*:item", "a:item", true},  {"*:item", "b:item", true},
        {"*:item", "item", false},    {"a\\*b", "a*b", true},      {"a\\*b", "axb", false},
        {"a\\*b*", "a*bc", true},     {"a\\*b*", "axbc", false},   {"*a*b", "xaybab", true},
        {"*a*b", "ab", true},         {"*a*b", "ba", false},       {"x**", "x", true},
        {"x**", "xyz", true},         {"", "", true},              {"?", "", false},
        {"a\\:b", "a:b", true},       {"a\\:b", "z:b", false},     {"\\:*", "p:q", false},
        {"?", "\xc3\xa9", true},      {"caf?", "caf\xc3\xa9", true}, {"??", "\xc3\xa9", false},
        {"*\\", "ab\\", true},        {"*\\", "ab", false},        {"a*", "\xff", false},
        {"*", "\xff", true},          {"?", "\xff", false},        {"a:b:c", "a:b:c", true},
        {"b:c", "a:b:c", false},      {"*c", "a:b:c", true},       {"a?", "ab", true},
    };
    for (const Case& c : cases) {
        NameMatcher m = NameMatcher::parse(c.pattern);
        const Bytes q = c.tag;
        const std::size_t colon = q.find(':');
        const Bytes local = colon == Bytes::npos ? q : q.substr(colon + 1);
        if (m.matches_bytes(q, local) != c.expect)
            check::fail(__FILE__, __LINE__, "pattern " + c.pattern + " vs tag " + c.tag);
    }
}

TEST(glob_match_table) {
    struct Case {
        std::string pattern, text;
        bool expect;
    };
    const Case cases[] = {
        {"*a*b", "xaybab", true}, {"a*b*c", "abbbc", true}, {"a*b*c", "acb", false},
        {"*", "", true},          {"**", "", true},         {"?*", "", false},
        {"\\?", "?", true},       {"\\?", "x", false},      {"a\\", "a\\", true},
        {"\\\\", "\\", true},     {"*x", "\xc3\xa9x", true}, {"\xc3\xa9*", "\xc3\xa9t\xc3\xa9", true},
        {"\xe2\x80", "x", false},  // an undecodable text is the empty text
        {"\xe2\x80", "\xe2\x80", true},
        {"*", "\xe2\x80", true},
    };
    for (const Case& c : cases)
        if (glob_match(c.pattern, c.text) != c.expect)
            check::fail(__FILE__, __LINE__, "glob " + c.pattern + " vs " + c.text);
    std::string text(20000, 'a');
    CHECK(!glob_match("*a*a*a*a*a*b", text));
    CHECK(glob_match("*a*a*a*a*a*", text));
    // Crafted against backtracking to the last star: 20,000 pattern atoms
    // against a 256 KiB name took pattern length times name length steps.
    const std::string name(256 * 1024, 'a');
    const std::string run(20000, 'a');
    CHECK(!glob_match("*" + run + "b", name));
    CHECK(!glob_match("*" + run + "b*", name));
    CHECK(!glob_match("*?" + run + "b*", name));
    CHECK(glob_match("*" + run + "*", name));
    CHECK(glob_match("*a?" + run + "?a*", name));
}

// The backtracking matcher (only the last star remembered), as a reference
// for the segment-by-segment one: same answers on random patterns and texts.
bool reference_glob(const std::u32string& pat, const std::u32string& txt) {
    std::size_t p = 0, t = 0, star = 0, mark = 0;
    bool have_star = false;
    while (t < txt.size()) {
        if (p < pat.size()) {
            if (pat[p] == U'*') {
                have_star = true;
                star = p++;
                mark = t;
                continue;
            }
            if (pat[p] == U'?') {
                ++p, ++t;
                continue;
            }
            if (pat[p] == U'\\' && p + 1 < pat.size()) {
                if (pat[p + 1] == txt[t]) {
                    p += 2, ++t;
                    continue;
                }
            } else if (pat[p] == txt[t]) {
                ++p, ++t;
                continue;
            }
        }
        if (!have_star) return false;
        t = ++mark;
        p = star + 1;
    }
    while (p < pat.size() && pat[p] == U'*') ++p;
    return p == pat.size();
}

TEST(glob_match_differential) {
    std::uint64_t state = 0x9e3779b97f4a7c15ULL;
    auto next = [&](std::uint64_t bound) {
        state ^= state << 13, state ^= state >> 7, state ^= state << 17;
        return state % bound;
    };
    // Short texts over a few code points (one of them two bytes long), and
    // long runs that need several words of the bit-parallel search.
    const char32_t pat_alphabet[] = {U'a', U'b', U'*', U'?', U'\\', U'\u00e9', U'a', U'?'};
    const char32_t txt_alphabet[] = {U'a', U'b', U'\u00e9', U'*', U'?', U'\\', U'a', U'a'};
    auto utf8 = [](const std::u32string& s) {
        std::string out;
        for (char32_t c : s) utf8_append(out, c);
        return out;
    };
    int mismatches = 0;
    for (int round = 0; round < 40000; ++round) {
        const bool long_case = round % 8 == 0;
        std::u32string pat, txt;
        const std::uint64_t plen = long_case ? next(200) : next(9);
        const std::uint64_t tlen = long_case ? next(400) : next(12);
        for (std::uint64_t i = 0; i < plen; ++i)
            pat.push_back(long_case ? (next(40) == 0 ? U'*' : next(4) == 0 ? U'?' : U'a' + static_cast<char32_t>(next(2)))
                                    : pat_alphabet[next(8)]);
        for (std::uint64_t i = 0; i < tlen; ++i)
            txt.push_back(long_case ? U'a' + static_cast<char32_t>(next(2) * next(2)) : txt_alphabet[next(8)]);
        if (long_case && next(2) == 0) {
            // A pattern cut from the text (so it may match), perhaps with one atom changed.
            pat.clear();
            for (std::size_t i = 0; i < txt.size(); ++i) {
                if (next(30) == 0) {
                    pat.push_back(U'*');
                    i += next(10);
                } else {
                    pat.push_back(next(5) == 0 ? U'?' : txt[i]);
                }
            }
            if (!pat.empty() && next(2) == 0) pat[next(pat.size())] = U'b';
        }
        if (glob_match(utf8(pat), utf8(txt)) != reference_glob(pat, txt) && ++mismatches <= 5)
            check::fail(__FILE__, __LINE__, "glob " + utf8(pat) + " vs " + utf8(txt));
    }
    CHECK_EQ(mismatches, 0);
}

// ===========================================================================
// The per-thread cache
// ===========================================================================

TEST(keyed_hash_rounds) {
    // SipHash-2-4's published vectors (key 00..0f, message 00..len-1) check
    // the round structure that SipHash-1-3 shares.
    const HashKey key{0x0706050403020100ULL, 0x0f0e0d0c0b0a0908ULL};
    const char msg[] = "\x00\x01\x02\x03\x04\x05\x06\x07\x08\x09\x0a\x0b\x0c\x0d\x0e";
    auto sip24 = [&](std::size_t len) { return siphash<2, 4>(key, Bytes(msg, len)); };
    CHECK_EQ(sip24(0), 0x726fdb47dd0e0e31ULL);
    CHECK_EQ(sip24(1), 0x74f839c593dc67fdULL);
    CHECK_EQ(sip24(15), 0xa129ca6149be45e5ULL);
    // The tables' key is drawn at random, not left zero.
    CHECK(hash_secret().k0 != 0 || hash_secret().k1 != 0);
    const std::uint64_t unkeyed = siphash<1, 3>(HashKey{}, "abc");
    CHECK(keyed_hash("abc") != unkeyed);
}

TEST(path_cache_behaviour) {
    // A fresh thread starts with an empty cache and frees it when it ends.
    std::weak_ptr<const Program> survivor;
    std::vector<std::size_t> sizes;
    bool same = false, fresh_after_clear = false, failures_stored = true;
    std::thread worker([&] {
        sizes.push_back(path_cache_size());
        auto a = compile_path("x.y");
        auto b = compile_path("x.y");
        same = a.ok() && b.ok() && a.value() == b.value();
        auto c = compile_path(" x.y");  // different bytes, different entry
        sizes.push_back(path_cache_size());

        const std::size_t before = path_cache_size();
        auto bad1 = compile_path("a.0.1");
        auto bad2 = compile_path("a.0.1");
        failures_stored = path_cache_size() != before || bad1.ok() || bad1.error() != bad2.error();

        for (int i = 0; path_cache_size() < 512; ++i) (void)compile_path("n" + std::to_string(i));
        sizes.push_back(path_cache_size());
        auto last = compile_path("one.more");
        sizes.push_back(path_cache_size());
        auto again = compile_path("x.y");  // recompiled after the clearing
        fresh_after_clear = again.ok() && again.value() != a.value();
        sizes.push_back(path_cache_size());
        survivor = again.value();
    });
    worker.join();
    CHECK(same);
    CHECK(!failures_stored);
    CHECK(fresh_after_clear);
    const std::vector<std::size_t> want = {0, 2, 512, 1, 2};
    CHECK(sizes == want);
    CHECK(survivor.expired());  // released at thread exit
}

// ---------------------------------------------------------------- batch rows
// A row rendered as "acts | fixed | answers": an act is p<program>.<step>
// with "?" for a search, "#" when it keeps a selector slot; the fixed
// children and answers are positions p<program>.<step>, "~" when
// single-valued is off.

struct Batch {
    std::vector<ProgramPtr> owned;
    std::vector<const Program*> programs;
    explicit Batch(std::vector<std::string> paths) {
        for (const std::string& p : paths) {
            owned.push_back(compile_path_uncached(p).value());
            programs.push_back(owned.back().get());
        }
    }
};

std::string describe_position(const detail::BatchAutomaton& a, std::uint32_t id) {
    const auto& p = a.position(id);
    return "p" + std::to_string(p.program) + "." + std::to_string(p.step) + (p.sv ? "" : "~");
}

std::string describe_row(const detail::BatchAutomaton& a, const detail::BatchAutomaton::Row& row) {
    std::string out;
    for (const auto& act : row.acts)
        out += describe_position(a, act.pos) + (act.search ? "?" : "") + (act.slot >= 0 ? "#" : "") + " ";
    out += "|";
    for (const std::uint32_t id : row.fixed) out += " " + describe_position(a, id);
    out += " |";
    for (const std::uint32_t id : row.fixed_answers) out += " " + describe_position(a, id);
    return out;
}

TEST(batch_rows_table) {
    // p0 a.b   p1 a.#.c   p2 **.d   p3 a.0.e   p4 a.#.@k   p5 x:a.f
    Batch b({"a.b", "a.#.c", "**.d", "a.0.e", "a.#.@k", "x:a.f"});
    detail::BatchAutomaton a(b.programs);
    std::vector<std::uint32_t> top;
    for (std::uint32_t i = 0; i < b.programs.size(); ++i) top.push_back(a.start(i));
    const std::uint32_t s = a.intern(top);
    struct Row {
        const char* name;
        const char* want;
    };
    const Row rows[] = {
        // a None step going on keeps its ambiguity slot; an index stops, so
        // it is decided at the tag; an each step descends unconditionally.
        {"a", "p0.0# p3.0# | p1.1~ p2.0~ | p4.1~"},
        {"y:a", "p0.0# p3.0# | p1.1~ p2.0~ | p4.1~"},  // a prefix: the local name
        {"x:a", "p0.0# p3.0# p5.0# | p1.1~ p2.0~ | p4.1~"},
        {"d", "p2.0 | |"},                          // the capture of a search
        {"zz", "| p2.0~ |"},                        // only the search looks inside
    };
    for (const Row& r : rows) CHECK_EQ(describe_row(a, a.row(s, a.key(s, r.name), r.name)), std::string(r.want));
    // Names with the same key share one row, built once.
    const std::size_t built = a.row_count();
    CHECK(&a.row(s, a.key(s, "q"), "q") == &a.row(s, a.key(s, "zz"), "zz"));
    CHECK(&a.row(s, a.key(s, "b:a"), "b:a") == &a.row(s, a.key(s, "a"), "a"));
    CHECK_EQ(a.row_count(), built);
    CHECK(a.row(s, a.key(s, "zz"), "zz").searches_only);
    CHECK(a.row(s, a.key(s, "zz"), "zz").kids.empty());
    // The child state when no act descends: the fixed children alone,
    // memoised by which acts were taken.
    auto& row = a.row(s, a.key(s, "a"), "a");
    std::vector<std::uint32_t> none;
    const std::uint32_t child = a.child(row, 0, none);
    CHECK_EQ(a.state(child).pos.size(), std::size_t{2});  // p1.1, p2.0~
    std::vector<std::uint32_t> again;
    CHECK_EQ(a.child(row, 0, again), child);
    CHECK(again.empty());  // answered by the memo, nothing interned
}

TEST(batch_caps_keep_answers_and_bound_the_tables) {
    // Globs make the name tables global; past the caps rows are worked out
    // for the tag at hand and kept nowhere, and states past theirs live only
    // as long as their level.
    std::vector<std::string> paths;
    for (int i = 0; i < 8; ++i) paths.push_back("**.n" + std::to_string(i) + "*");
    Batch b(paths);
    detail::BatchAutomaton a(b.programs);
    a.max_names = 4;
    a.max_rows = 3;
    a.max_states = 2;
    std::vector<std::uint32_t> top;
    for (std::uint32_t i = 0; i < b.programs.size(); ++i) top.push_back(a.start(i));
    const std::uint32_t s = a.intern(top);
    for (int i = 0; i < 100; ++i) {
        const std::string name = "n" + std::to_string(i % 8) + "x" + std::to_string(i);
        const auto& row = a.row(s, a.key(s, name), name);
        CHECK_EQ(row.acts.size(), std::size_t{1});  // its own glob's capture
        CHECK_EQ(row.fixed.size(), std::size_t{7});  // the others search inside
    }
    CHECK(a.symbol_count() <= 5);
    CHECK(a.row_count() <= 3);
    std::vector<std::uint32_t> one = {a.start(0)}, two = {a.start(1)}, three = {a.start(2)};
    (void)a.intern(one);
    const std::uint32_t t = a.intern(two);
    const std::uint32_t u = a.intern(three);
    CHECK(a.state(u).transient);
    CHECK_EQ(a.state_count(), std::size_t{u} + 1);
    a.release(u);
    CHECK_EQ(a.state_count(), std::size_t{u});
    (void)t;
}

TEST(batch_symbols_see_every_glob) {
    // However many glob steps a batch has, each one decides its names' rows.
    std::vector<std::string> paths;
    for (int i = 0; i < 5000; ++i) paths.push_back("*q" + std::to_string(i) + "z*");
    Batch b(paths);
    detail::BatchAutomaton a(b.programs);
    std::vector<std::uint32_t> top;
    for (std::uint32_t i = 0; i < b.programs.size(); ++i) top.push_back(a.start(i));
    const std::uint32_t s = a.intern(top);
    CHECK(a.symbol("zzz") != a.symbol("q4999z"));
    CHECK_EQ(a.row(s, a.key(s, "zzz"), "zzz").acts.size(), std::size_t{0});
    CHECK_EQ(a.row(s, a.key(s, "q4999z"), "q4999z").acts.size(), std::size_t{1});
}
