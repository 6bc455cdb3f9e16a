"""Modifiers through the query functions: a thin table over every keyword
(the native tests cover the orderings in detail), number formatting of the
aggregates, and the early stop of paths whose first modifier is @first."""

import pytest

from quelmar import _quelmar as q


def doc_of(*texts):
    return "<r>" + "".join(f"<v>{t}</v>" for t in texts) + "</r>"


def assert_texts(r, expected):
    """Untrimmed item texts (Result == list compares those)."""
    assert len(r) == len(expected)
    assert r == expected


@pytest.mark.parametrize(
    ("values", "mods", "expected"),
    [
        (("1", "2", "3"), "reverse", ["3", "2", "1"]),
        (("1", "2", "3"), "first", ["1"]),
        (("1", "2", "3"), "last", ["3"]),
        (("1", "2", "3"), "count", ["3"]),
        ((), "count", ["0"]),
        ((), "first", []),
        ((), "last", []),
        (("b", "a", "ab", "B"), "sort", ["B", "a", "ab", "b"]),
        (("10", "9", "x", " 2 ", "1e1"), "sort_n", [" 2 ", "9", "10", "1e1", "x"]),
        (("10", "9", "x"), "sortn", ["9", "10", "x"]),
        (("a", "b", "a", "A"), "uniq", ["a", "b", "A"]),
        (("a", "b", "a"), "unique", ["a", "b"]),
        (("2", "1"), "flatten", ["2", "1"]),
        (("2", "1"), "tostr", ["2", "1"]),
        # In the order written.
        (("b", "a", "c"), "sort|@first", ["a"]),
        (("b", "a", "c"), "first|@sort", ["b"]),
        (("b", "a", "c"), "reverse|@first", ["c"]),
        (("1", "2", "3"), "count|@sum", ["3"]),
        (("3", "1", "3", "2"), "uniq|@sort_n|@reverse", ["3", "2", "1"]),
        (("1", "2"), "sum|@count", ["1"]),
        (("x", "1"), "first|@sum", ["0"]),
        # Element items are ordered and compared by their text content.
        (("<i>b</i>", "a", "<i>a</i>"), "uniq|@count", ["2"]),
    ],
)
def test_modifiers(values, mods, expected):
    doc = doc_of(*values)
    path = "r.v|@" + mods
    assert_texts(q.get(doc, path), expected)
    assert_texts(q.get_buffer(doc.encode(), path), expected)
    assert_texts(q.get_many(doc, [path])[0], expected)
    assert_texts(q.get_many(doc, ["r.v", path])[1], expected)


@pytest.mark.parametrize(
    ("values", "mod", "expected"),
    [
        (("1", "2.5", "x"), "sum", "3.5"),
        (("1", "2"), "sum", "3"),
        ((), "sum", "0"),
        (("x",), "sum", "0"),
        (("-0",), "sum", "0"),  # negative zero
        (("0.1", "0.2"), "sum", "0.30000000000000004"),
        (("1e15",), "sum", "1000000000000000"),
        (("1e16",), "sum", "10000000000000000"),
        (("1e-7",), "sum", "0.0000001"),
        (("1e300",), "sum", "1" + "0" * 300),  # all digits spelled out
        (("1e-300",), "sum", "0." + "0" * 299 + "1"),
        (("123456789012345.5",), "sum", "123456789012345.5"),
        (("-999999999999999",), "sum", "-999999999999999"),
        (("9007199254740993",), "sum", "9007199254740992"),
        ((" 4 ", "\u30006\u3000"), "sum", "10"),  # trimmed of Unicode white space
        (("2", "1e400"), "sum", "inf"),
        (("1e400", "-1e400"), "sum", "nan"),
        (("1", "nan"), "sum", "nan"),
        (("1", "2"), "avg", "1.5"),
        (("1", "2", "x"), "mean", "1.5"),
        ((), "avg", "nan"),
        (("-1.5",), "avg", "-1.5"),
        (("3", "-7"), "min", "-7"),
        ((), "min", "inf"),
        (("nan",), "min", "inf"),  # NaN values are passed over
        (("1", "NaN"), "min", "1"),
        (("-3", "-7"), "max", "-3"),
        ((), "max", "-inf"),
        (("1", "nan"), "max", "1"),
        (("0.5", "0.25"), "max", "0.5"),
    ],
)
def test_aggregates_and_their_formatting(values, mod, expected):
    doc = doc_of(*values)
    for r in (q.get(doc, f"r.v|@{mod}"), q.get_many(doc, [f"r.v|@{mod}", "r"])[0],
              q.get(doc, f"r.v.#.#text|@{mod}")):
        assert len(r) == 1
        assert r == expected


def test_aggregate_over_attributes_and_counts():
    doc = '<r><a k="1"><b/><b/></a><a k="2.5"><b/></a><a k="x"/></r>'
    assert q.get(doc, "r.a.#.@k|@sum").to_str() == "3.5"
    assert q.get(doc, "r.a.#.b.#|@sum").to_str() == "3"
    assert q.get(doc, "r.a.#.b.#|@max").to_str() == "2"
    assert q.get(doc, "r.a.#(@k>1)#.@k|@sum").to_str() == "2.5"


def test_sort_n_with_nan_among_many_numbers():
    values = [str(i % 97) if i % 5 else ("nan", "NaN", "-nan")[i % 3] for i in range(2000)] + ["x", "1e1"]
    r = q.get(doc_of(*values), "r.v|@sort_n")
    # numbers by value, then the NaNs in their order, then the other texts
    numbers = sorted((v for v in values if v.lstrip("-").lower() != "nan" and v != "x"), key=float)
    assert [x.to_str() for x in r] == numbers + [v for v in values if v.lstrip("-").lower() == "nan"] + ["x"]
    assert [x.to_str() for x in q.get(doc_of("3", "nan", "1"), "r.v|@sort_n")] == ["1", "3", "nan"]


def test_uniq_over_thousands_of_items():
    values = [str(i % 1000) for i in range(5000)]
    r = q.get(doc_of(*values), "r.v|@uniq")
    assert [x.to_str() for x in r] == [str(i) for i in range(1000)]


# ---------------------------------------------------------------- @first stops early


AMBIGUOUS_TAIL = "<a><b><c>1</c></b><b><c>2</c></b></a>"


@pytest.mark.parametrize(
    ("doc", "path", "expected"),
    [
        # Reading on would find the second b and raise the ambiguity error.
        (AMBIGUOUS_TAIL, "a.b.c|@first", "1"),
        (AMBIGUOUS_TAIL, "a.b.c.#text|@first|@count", "1"),
        (AMBIGUOUS_TAIL, "a.b.c|@first|@reverse", "1"),
        # Garbage after the first match is never read.
        ("<a><b>1</b>" + "<\x00<</>&bogus;<!-<![CDATA[" * 500, "a.b|@first", "1"),
        ("<a><b>1</b><b>" + "<x>" * 100_000, "a.b|@first", "1"),
    ],
)
def test_first_stops_at_the_first_item(doc, path, expected):
    assert q.get(doc, path) == expected
    assert q.get_buffer(doc.encode(), path) == expected
    assert q.get_many(doc, [path])[0] == expected


def test_first_later_in_the_chain_does_not_stop_early():
    for path in ("a.b.c", "a.b.c|@reverse|@first", "a.b.c|@last"):
        with pytest.raises(ValueError, match="ambiguous: b"):
            q.get(AMBIGUOUS_TAIL, path)


def test_first_in_a_batch_is_not_disturbed_by_the_others():
    # The other path reads the whole document; the @first path stops
    # collecting at its first item and sees no ambiguity.
    out = q.get_many(AMBIGUOUS_TAIL, ["a.b.#.c|@count", "a.b.c|@first"])
    assert [r.to_str() for r in out] == ["2", "1"]


@pytest.mark.parametrize("path", ["b.c|@first", "b.c.#text|@first|@count", "b.#.c|@first"])
def test_first_stops_early_in_relative_queries(path):
    root = q.get(AMBIGUOUS_TAIL, "a")
    expected = root.get_many([path])[0]
    assert root.get(path) == expected
    assert len(root.get(path)) == len(expected) == 1
    assert q.parse(AMBIGUOUS_TAIL).get("a." + path) == expected
