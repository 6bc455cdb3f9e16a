// apply_modifiers and format_number: orderings, tie-breaks, aggregates,
// composition, and sort_n's behaviour when NaN makes its comparison
// inconsistent.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "check.hpp"
#include "common/text.hpp"
#include "engine/engine.hpp"

using namespace quelmar;

namespace {

using M = Modifier;
using Texts = std::vector<std::string>;

Items text_items(const Texts& texts) {
    Items items;
    for (const auto& t : texts) items.push_back(Item::text(t));
    return items;
}

Texts texts_of(const Items& items, Bytes source = {}) {
    Texts out;
    for (const auto& it : items) out.push_back(item_text(it, source));
    return out;
}

Texts run(const std::vector<M>& mods, const Texts& in) {
    Items items = text_items(in);
    apply_modifiers(mods, items, {});
    return texts_of(items);
}

std::string show(const Texts& t) {
    std::string s = "[";
    for (const auto& x : t) s += "\"" + x + "\" ";
    return s + "]";
}

}  // namespace

TEST(modifiers_over_text_items) {
    struct Case {
        std::vector<M> mods;
        Texts in;
        Texts out;
    };
    const Case cases[] = {
        // orderings
        {{M::Sort}, {"b", "a", "ab", "B"}, {"B", "a", "ab", "b"}},
        {{M::Sort}, {"\xC3\xA9", "z", "", "\x01"}, {"", "\x01", "z", "\xC3\xA9"}},  // unsigned bytes
        {{M::SortN}, {"10", "9", "x", " 2 ", "1e1"}, {" 2 ", "9", "10", "1e1", "x"}},
        {{M::SortN}, {"b", "-inf", "a", "INF", "-0.5", "+.5"}, {"-inf", "-0.5", "+.5", "INF", "a", "b"}},
        {{M::SortN}, {"1,5", "1.5.", "\xFF" "1", "0x1", "2"}, {"2", "0x1", "1,5", "1.5.", "\xFF" "1"}},
        {{M::SortN}, {"\xE2\x80\x83" "3\xC2\xA0", "1"}, {"1", "\xE2\x80\x83" "3\xC2\xA0"}},  // Unicode white space
        {{M::Reverse}, {"a", "b", "c"}, {"c", "b", "a"}},
        {{M::Reverse}, {}, {}},
        // selection
        {{M::First}, {"a", "b", "c"}, {"a"}},
        {{M::First}, {}, {}},
        {{M::Last}, {"a", "b", "c"}, {"c"}},
        {{M::Last}, {}, {}},
        {{M::Last}, {"a"}, {"a"}},
        {{M::Reverse, M::First}, {"a", "b", "c"}, {"c"}},
        // uniq
        {{M::Uniq}, {"a", "b", "a", "A"}, {"a", "b", "A"}},
        {{M::Uniq}, {"", "", "a "}, {"", "a "}},
        {{M::Uniq}, {}, {}},
        // count
        {{M::Count}, {}, {"0"}},
        {{M::Count}, {"x", "y", "z"}, {"3"}},
        {{M::Count, M::Sum}, {"x", "y", "z"}, {"3"}},
        {{M::Count, M::Count}, {"x", "y"}, {"1"}},
        // aggregates
        {{M::Sum}, {"1", "2.5", "x"}, {"3.5"}},
        {{M::Sum}, {"1", "2"}, {"3"}},
        {{M::Sum}, {"x", "y"}, {"0"}},
        {{M::Sum}, {}, {"0"}},
        {{M::Sum}, {"-0"}, {"0"}},
        {{M::Sum}, {"1e15"}, {"1000000000000000"}},
        {{M::Sum}, {"0.1", "0.2"}, {"0.30000000000000004"}},
        {{M::Sum}, {" 4 ", "\t1\n"}, {"5"}},
        {{M::Sum}, {"1", "nan"}, {"nan"}},
        {{M::Sum}, {"inf", "-inf"}, {"nan"}},
        {{M::Sum}, {"1e308", "1e308"}, {"inf"}},
        {{M::Avg}, {"1", "2"}, {"1.5"}},
        {{M::Avg}, {}, {"nan"}},
        {{M::Avg}, {"a"}, {"nan"}},
        {{M::Min}, {}, {"inf"}},
        {{M::Min}, {"1", "nan"}, {"1"}},
        {{M::Min}, {"NaN"}, {"inf"}},
        {{M::Min}, {"3", "x", "-2", "5"}, {"-2"}},
        {{M::Max}, {"-3", "-7"}, {"-3"}},
        {{M::Max}, {"1", "nan"}, {"1"}},
        {{M::Max}, {}, {"-inf"}},
        {{M::Max}, {"nan", "NAN"}, {"-inf"}},
        // no-ops
        {{M::Flatten}, {"b", "a", "b"}, {"b", "a", "b"}},
        {{M::ToStr}, {"b", "a", "b"}, {"b", "a", "b"}},
        {{M::Flatten, M::ToStr}, {}, {}},
        // order of application
        {{M::Sort, M::First}, {"b", "c", "a"}, {"a"}},
        {{M::First, M::Sort}, {"b", "c", "a"}, {"b"}},
        {{M::Uniq, M::Count}, {"a", "b", "a"}, {"2"}},
        {{M::Sum, M::Count}, {"1", "2"}, {"1"}},
        {{M::Sort, M::Reverse, M::Last}, {"b", "c", "a"}, {"a"}},
        {{M::SortN, M::Uniq, M::Reverse}, {"2", "1", "2", "b"}, {"b", "2", "1"}},
    };
    for (const auto& c : cases) {
        Texts got = run(c.mods, c.in);
        if (got != c.out) check::fail(__FILE__, __LINE__, "input " + show(c.in) + ": got " + show(got) + " want " + show(c.out));
    }
}

TEST(format_number_cases) {
    struct Case {
        double x;
        std::string text;
    };
    const Case cases[] = {
        {0.1 + 0.2, "0.30000000000000004"},
        {1e15, "1000000000000000"},
        {-1e15, "-1000000000000000"},
        {1e-7, "0.0000001"},
        {std::nan(""), "nan"},
        {-std::nan(""), "nan"},
        {HUGE_VAL, "inf"},
        {-HUGE_VAL, "-inf"},
        {-0.0, "0"},
        {2.5, "2.5"},
        {3.0, "3"},
        {-3.0, "-3"},
        {999999999999999.0, "999999999999999"},
        {1e15 + 2, "1000000000000002"},
        {1e15 + 0.5, "1000000000000000.5"},
        {123456.125, "123456.125"},
        {-0.5, "-0.5"},
        // shortest digits spelled out, not the exact binary value
        {1e23, "100000000000000000000000"},
        {1152921504606846976.0, "1152921504606847000"},
        {1.5e300, "15" + std::string(299, '0')},
        {5e-324, "0." + std::string(323, '0') + "5"},
    };
    for (const auto& c : cases) CHECK_EQ(format_number(c.x), c.text);
}

TEST(modifiers_over_element_items) {
    // Owned elements: the text is the element's text content, untrimmed.
    {
        Items items;
        items.push_back(Item::owned("<a> 2 </a>", Encoding::Utf8));
        items.push_back(Item::owned("<a>1<b>0</b></a>", Encoding::Utf8));
        items.push_back(Item::text("x"));
        items.push_back(Item::owned("<c/>", Encoding::Utf8));
        Items copy = items;
        apply_modifiers({M::SortN}, copy, {});
        CHECK_EQ(texts_of(copy), (Texts{" 2 ", "10", "", "x"}));
        copy = items;
        apply_modifiers({M::Sum}, copy, {});
        CHECK_EQ(texts_of(copy), (Texts{"12"}));
        copy = items;
        apply_modifiers({M::Max}, copy, {});
        CHECK_EQ(texts_of(copy), (Texts{"10"}));
    }
    // Spans into the source: different elements with the same text are
    // duplicates; sort keeps equal texts in order (the bytes tell them apart).
    {
        std::string source = "<r><a>k</a><b>k</b><c>j</c><d>k</d></r>";
        auto span_of = [&](const char* tag) {
            auto s = source.find(tag);
            return Item::span(s, s + 8, Encoding::Utf8);
        };
        Items items{span_of("<a>"), span_of("<b>"), span_of("<c>"), span_of("<d>")};
        Items copy = items;
        apply_modifiers({M::Uniq}, copy, source);
        CHECK_EQ(copy.size(), std::size_t{2});
        if (copy.size() == 2) {
            CHECK_EQ(std::uint64_t{copy[0].start}, std::uint64_t{items[0].start});  // offsets are bit-fields
            CHECK_EQ(std::uint64_t{copy[1].start}, std::uint64_t{items[2].start});
        }
        copy = items;
        apply_modifiers({M::Sort}, copy, source);
        std::vector<std::uint64_t> starts;
        for (const auto& it : copy) starts.push_back(it.start);
        CHECK(starts == (std::vector<std::uint64_t>{items[2].start, items[0].start, items[1].start, items[3].start}));
    }
}

// sort_n sorts by value and keeps equal values in order, past the small-block
// insertion sort: equal values are spelled differently so order is visible.
TEST(sort_n_large_is_stable_and_ordered) {
    std::mt19937 rng(7);
    const char* spellings[] = {"%d", "%d.0", " %d", "%d.", "%d.00", "%de0"};
    Texts in;
    std::vector<std::pair<int, std::size_t>> expected;  // value, input position
    for (std::size_t i = 0; i < 5000; ++i) {
        int v = static_cast<int>(rng() % 200) - 100;
        char buf[32];
        std::snprintf(buf, sizeof buf, spellings[rng() % 6], v);
        in.push_back(buf);
        expected.push_back({v, i});
    }
    std::stable_sort(expected.begin(), expected.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    Texts got = run({M::SortN}, in);
    bool same = got.size() == in.size();
    for (std::size_t i = 0; same && i < got.size(); ++i) same = got[i] == in[expected[i].second];
    CHECK(same);
    // And sort, by bytes, agrees with std::stable_sort on the same strings.
    Texts sorted = in;
    std::stable_sort(sorted.begin(), sorted.end());
    CHECK(run({M::Sort}, in) == sorted);
}

// NaN is neither less nor greater than any number, so sort_n's comparison is
// not a strict weak ordering. The sort must still terminate without reading
// out of bounds, give the same answer every time, put every numeric item
// (NaN included) before every other one, and order the others by text.
TEST(sort_n_with_nan_is_safe_and_deterministic) {
    for (unsigned seed = 1; seed <= 3; ++seed) {
        std::mt19937 rng(seed);
        Texts in;
        for (int i = 0; i < 10000; ++i) {
            auto r = rng() % 10;
            if (r < 3) in.push_back(r == 0 ? "nan" : r == 1 ? "NaN" : " -nan ");
            else if (r < 5) in.push_back("w" + std::to_string(rng() % 500));
            else in.push_back(std::to_string(static_cast<int>(rng() % 2000) - 1000));
        }
        Texts first = run({M::SortN}, in);
        CHECK(first == run({M::SortN}, in));
        // A permutation of the input.
        Texts a = first, b = in;
        std::sort(a.begin(), a.end());
        std::sort(b.begin(), b.end());
        CHECK(a == b);
        std::size_t k = 0;
        while (k < first.size() && first[k][0] != 'w') ++k;
        bool partitioned = true;
        for (std::size_t i = k; i < first.size(); ++i) partitioned = partitioned && first[i][0] == 'w';
        CHECK(partitioned);
        CHECK(std::is_sorted(first.begin() + static_cast<std::ptrdiff_t>(k), first.end()));
    }
}

TEST(uniq_over_thousands) {
    // Short texts (stored inline) and long ones (heap), many repeats.
    Texts in, expected;
    for (int i = 0; i < 6000; ++i) {
        int k = (i * 7919) % 1500;
        std::string t = (k % 2 ? "long text that does not fit inline #" : "s") + std::to_string(k);
        in.push_back(t);
    }
    {
        std::vector<std::string> seen;
        for (const auto& t : in)
            if (std::find(seen.begin(), seen.end(), t) == seen.end()) seen.push_back(t);
        expected = seen;
    }
    Texts got = run({M::Uniq}, in);
    CHECK_EQ(got.size(), std::size_t{1500});
    CHECK(got == expected);
}

// Texts that share their first bytes, differ only past them, or end early or
// with NUL bytes, both below and above the insertion-sort block size.
TEST(sort_texts_with_shared_prefixes) {
    using namespace std::string_literals;
    Texts small{"abcdefghZ", "abcdefgh", "abcdefgh\0"s, "abcdefg", "abcdefg\0"s, "abcdefghA", "\xFF"s, ""};
    Texts expected = small;
    std::stable_sort(expected.begin(), expected.end());
    CHECK(run({M::Sort}, small) == expected);
    CHECK(run({M::SortN}, small) == expected);  // nothing numeric: by text

    std::mt19937 rng(11);
    Texts large;
    for (int i = 0; i < 3000; ++i) {
        std::string t = i % 3 ? "shared-prefix-" : "shared-pre";
        for (auto k = rng() % 4; k > 0; --k) t.push_back(static_cast<char>('a' + rng() % 3));
        if (i % 7 == 0) t.push_back('\0');
        large.push_back(t);
    }
    expected = large;
    std::stable_sort(expected.begin(), expected.end());
    CHECK(run({M::Sort}, large) == expected);
    CHECK(run({M::SortN}, large) == expected);
}

// The short-decimal fast path of parse_decimal_float must round exactly as
// the general conversion does, signs, zeros and trailing dots included.
TEST(parse_decimal_float_fast_path_matches_strtod) {
    std::mt19937_64 rng(7);
    char buf[64];
    for (int n = 0; n < 200000; ++n) {
        const int int_digits = static_cast<int>(rng() % 10);
        const int frac_digits = static_cast<int>(rng() % 12);
        std::string s = (rng() % 4 == 0) ? "-" : "";
        for (int i = 0; i < int_digits; ++i) s += static_cast<char>('0' + rng() % 10);
        if (frac_digits > 0 || rng() % 8 == 0) s += '.';
        for (int i = 0; i < frac_digits; ++i) s += static_cast<char>('0' + rng() % 10);
        if (int_digits + frac_digits == 0) s += '0';
        std::snprintf(buf, sizeof buf, "%s", s.c_str());
        const double expected = std::strtod(buf, nullptr);
        const auto got = parse_decimal_float(s);
        CHECK(got.has_value());
        if (got) {
            CHECK_EQ(std::signbit(*got), std::signbit(expected));
            if (*got != expected) std::printf("  %s: %.17g != %.17g\n", s.c_str(), *got, expected);
            CHECK(*got == expected);
        }
    }
}
