"""Result indexing by mode, iteration by mode, and relative queries
(Result.get / Result.get_many) over Whole, Shared and Slice items."""

import sys

import pytest

import quelmar
from quelmar import _quelmar as q

MULTI_DOC = "<r><a>x</a><a>y</a><a>z</a></r>"
DICT_DOC = "<r><b>1</b><c/><b>2</b></r>"
ITEM_DOC = '<item id="7"><name>x</name></item>'


def multi():
    r = q.get(MULTI_DOC, "r.a")
    assert len(r) == 3
    return r


def scalar(text="h\u00e9llo"):
    return q.parse("<a>" + text + "</a>")


def dict_like():
    return q.parse(DICT_DOC)


def empty():
    return q.get(MULTI_DOC, "")


class Index:
    def __init__(self, n):
        self.n = n

    def __index__(self):
        return self.n


# ---------------------------------------------------------------- r[key]


@pytest.mark.parametrize(
    ("key", "texts"),
    [
        (0, ["x"]),
        (-1, ["z"]),
        (2, ["z"]),
        (-3, ["x"]),
        (True, ["y"]),
        (Index(1), ["y"]),
        (slice(1, None), ["y", "z"]),
        (slice(None, None, -1), ["z", "y", "x"]),
        (slice(5, 9), []),
        (slice(0, 1), ["x"]),
        (slice(None, None, 2), ["x", "z"]),
        (slice(-2, None), ["y", "z"]),
        (slice(-100, 100), ["x", "y", "z"]),
        (slice(2, 0, -1), ["z", "y"]),
    ],
)
def test_multi_index(key, texts):
    got = multi()[key]
    assert type(got) is q.Result
    assert got == texts
    assert len(got) == len(texts)


@pytest.mark.parametrize(
    ("key", "exc", "message"),
    [
        (3, IndexError, "Result index out of range"),
        (-4, IndexError, "Result index out of range"),
        (1.0, TypeError, "Result indices must be integers, slices, or strings"),
        (None, TypeError, "Result indices must be integers, slices, or strings"),
        (2**63, TypeError, "Result indices must be integers, slices, or strings"),
        (b"a", TypeError, "Result indices must be integers, slices, or strings"),
        ("x", TypeError, "string keys are only valid on dict-like Result; this Result is multi"),
        (slice(None, None, 0), ValueError, None),
    ],
)
def test_multi_index_errors(key, exc, message):
    with pytest.raises(exc) as info:
        multi()[key]
    if message is not None:
        assert str(info.value) == message


def test_multi_index_shares_the_source():
    doc = "<r>" + "<a>1</a>" * 4 + "</r>"
    r = q.get(doc, "r.a")
    before = sys.getrefcount(doc)
    sub = r[1:]
    assert sys.getrefcount(doc) == before + 3  # clone_ref: one reference per item, no copy
    del sub
    assert sys.getrefcount(doc) == before


@pytest.mark.parametrize(
    ("text", "key", "expected"),
    [
        ("h\u00e9llo", 1, "\u00e9"),
        ("h\u00e9llo", -1, "o"),
        ("h\u00e9llo", 0, "h"),
        ("h\u00e9llo", slice(1, 3), "\u00e9l"),
        ("h\u00e9llo", slice(None, None, -1), "oll\u00e9h"),
        ("h\u00e9llo", slice(10, 20), ""),
        ("h\u00e9llo", Index(4), "o"),
        ("  hi ", 0, " "),  # indexing is untrimmed
        ("  hi ", slice(None), "  hi "),
        ("\U0001f600x", 1, "x"),  # a four-byte code point is one character
        ("a&amp;b", 1, "&"),  # the element text, unescaped
    ],
)
def test_scalar_index(text, key, expected):
    assert scalar(text)[key] == expected


@pytest.mark.parametrize(
    ("key", "exc", "message"),
    [
        (10, IndexError, "Result index out of range"),
        (-6, IndexError, "Result index out of range"),
        (0.5, TypeError, "Result indices must be integers, slices, or strings"),
        (-(2**63) - 1, TypeError, "Result indices must be integers, slices, or strings"),
        ("a", TypeError, "string keys are only valid on dict-like Result; this Result is scalar"),
        (slice(0, 1, 0), ValueError, None),
    ],
)
def test_scalar_index_errors(key, exc, message):
    with pytest.raises(exc) as info:
        scalar()[key]
    if message is not None:
        assert str(info.value) == message


def test_scalar_index_on_text_items_and_undecodable_text():
    r = q.get('<a v="abc"/>', "a.@v")
    assert r[2] == "c" and r[-3:] == "abc"
    bad = q.get_bytes(b'<a v="a\xffb"/>', "a.@v")
    for key in (0, slice(None)):
        with pytest.raises(ValueError, match="invalid utf-8 sequence of 1 bytes from index 1"):
            bad[key]
    with pytest.raises(TypeError):  # the key is converted before the text is read
        bad[1.5]


def test_dict_index():
    r = dict_like()
    b = r["b"]
    assert b.type_ is list and b == ["1", "2"]
    assert b.to_str() == "<b>1</b>\n<b>2</b>"
    c = r["c"]
    assert len(c) == 1 and c.value == "" and c[:] == ""
    with pytest.raises(KeyError) as info:
        r["x"]
    assert info.value.args == ("x",)
    with pytest.raises(KeyError) as info:
        r[0]
    assert info.value.args == (0,)
    with pytest.raises(KeyError) as info:
        r[Index(3)]
    assert info.value.args == (3,)
    with pytest.raises(KeyError) as info:
        r[0:1]
    assert info.value.args == ("slice keys are not supported on dict-like Result",)
    with pytest.raises(TypeError, match="Result indices must be integers, slices, or strings"):
        r[1.0]
    assert list(r) == ["b", "c"]


def test_dict_index_by_qualified_name():
    r = q.parse("<r><p:a>1</p:a><a>2</a></r>")
    assert r["p:a"].value == 1
    assert r["a"].value == 2
    with pytest.raises(KeyError):
        r["q:a"]


def test_dict_children_are_copies():
    doc = "<r><item><n>1</n></item></r>"
    item = q.get(doc, "r.item")
    before = sys.getrefcount(doc)
    n = item["n"]
    assert sys.getrefcount(doc) == before  # the child owns a copy
    assert n.value == 1
    del item
    assert n.value == 1


@pytest.mark.parametrize(
    ("key", "exc", "message"),
    [
        (0, IndexError, "Result index out of range"),
        (-1, IndexError, "Result index out of range"),
        (1.5, TypeError, "Result indices must be integers, slices, or strings"),
        ("x", TypeError, "string keys are only valid on dict-like Result; this Result is empty"),
    ],
)
def test_empty_index_errors(key, exc, message):
    with pytest.raises(exc, match=message):
        empty()[key]


def test_empty_slices_and_iteration():
    r = empty()
    assert len(r[:]) == 0 and type(r[:]) is q.Result
    assert len(r[::-1]) == 0
    assert list(r) == []


# ---------------------------------------------------------------- iter(r)


@pytest.mark.parametrize(
    ("make", "iter_type", "values", "items"),
    [
        (empty, "list_iterator", [], []),
        (lambda: scalar("h\u00e9!"), "ResultCharIter", ["h", "\u00e9", "!"], ["h\u00e9!"]),
        (lambda: scalar(""), "ResultCharIter", [], [""]),
        (dict_like, "ResultChildKeyIter", ["b", "c"], [["b", "c"]]),
        (multi, "ResultItemIter", ["x", "y", "z"], ["x", "y", "z"]),
    ],
)
def test_iter_by_mode(make, iter_type, values, items):
    # as_list gives the items as Results whatever the mode: one Result for
    # one match, never its characters or keys.
    got_items = quelmar.as_list(make())
    assert all(type(x) is q.Result for x in got_items)
    assert [list(x.keys()) if x.type_ is dict else x.value for x in got_items] == items
    it = iter(make())
    assert type(it).__name__ == iter_type
    got = list(it)
    assert [v if isinstance(v, str) else v.value for v in got] == values


def test_iter_dict_with_undecodable_name_is_bad_input():
    r = q.parse(b"<r><\xff/></r>")
    with pytest.raises(ValueError, match="^invalid utf-8 sequence of 1 bytes from index 0$"):
        iter(r)


# ---------------------------------------------------------------- get(path)


def _sources():
    """The same element as each kind of item."""
    return {
        "slice_str": q.get(ITEM_DOC, "item"),
        "slice_bytes": q.get_bytes(ITEM_DOC.encode(), "item"),
        "shared_buffer": q.get_buffer(bytearray(ITEM_DOC.encode()), "item"),
        "shared_child": q.parse("<r>" + ITEM_DOC + "</r>")["item"],
    }


@pytest.mark.parametrize("source", ["slice_str", "slice_bytes", "shared_buffer", "shared_child"])
@pytest.mark.parametrize(
    ("path", "expected"),
    [
        ("name", "x"),
        ("@id", 7),
        ("#text", "x"),
        ("item", None),  # the element is not its own child
        ("", None),
        ("name.#text", "x"),
        ("*", "x"),
        ("name|@count", 1),
    ],
)
def test_get_relative_to_an_element(source, path, expected):
    r = _sources()[source]
    assert r.get(path).value == expected
    assert r.get(path=path).value == expected


def test_get_on_parse_starts_at_the_root():
    r = q.parse(ITEM_DOC)
    assert r.get("item.name").value == "x"
    assert r.get("item.@id").value == 7
    assert r.get("name").value is None
    assert q.parse(ITEM_DOC.encode()).get("item.name").value == "x"
    assert q.parse(bytearray(ITEM_DOC.encode())).get("item.name").value == "x"


def test_get_on_an_empty_element_tag():
    r = q.parse('<r><e k="v"/></r>')["e"]
    assert r.get("@k").value == "v"
    assert r.get("x").value is None


def test_get_results_keep_no_reference_to_the_source():
    doc = "<r>" + ITEM_DOC + "</r>"
    item = q.get(doc, "r.item")
    before = sys.getrefcount(doc)
    got = [item.get("name") for _ in range(50)]
    assert sys.getrefcount(doc) == before
    del item
    assert all(g.value == "x" for g in got)


@pytest.mark.parametrize(
    ("make", "path", "exc", "message"),
    [
        (multi, "a", ValueError, "Result.get(path) is not supported on a multi-element Result; iterate the Result or pick an index first"),
        (multi, "", ValueError, "Result.get(path) is not supported on a multi-element Result; iterate the Result or pick an index first"),
        (multi, 5, TypeError, "argument 'path': 'int' object is not an instance of 'str'"),
        (scalar, None, TypeError, "argument 'path': 'None' is not an instance of 'str'"),
        (scalar, b"a", TypeError, "argument 'path': 'bytes' object is not an instance of 'str'"),
        (scalar, "@", ValueError, "@ must be followed by an attribute name"),
        (empty, "a.@id.b", ValueError, "@attr must be the last component"),
    ],
)
def test_get_errors(make, path, exc, message):
    with pytest.raises(exc) as info:
        make().get(path)
    assert str(info.value).startswith(message)


def test_get_rejects_path_objects_and_argument_misuse():
    r = q.parse(ITEM_DOC)
    with pytest.raises(TypeError, match="argument 'path': 'Path' object is not an instance of 'str'"):
        r.get(q.compile("item"))
    with pytest.raises(TypeError):
        r.get()
    with pytest.raises(TypeError):
        r.get("a", "b")
    with pytest.raises(TypeError):
        r.get(paths="a")


def test_get_on_empty_and_text_results():
    assert empty().get("a").value is None
    text = q.get(ITEM_DOC, "item.@id")
    assert text.get("a").exists() is False
    with pytest.raises(ValueError):
        text.get("@")


def test_get_ambiguity_error():
    r = q.parse("<r><item><a><b>1</b></a><a><b>2</b></a></item></r>")["item"]
    message = "path is ambiguous: a matches multiple elements but the path continues; specify .N (single) or .# (each)"
    with pytest.raises(ValueError) as info:
        r.get("a.b")
    assert str(info.value) == message
    with pytest.raises(ValueError) as info:
        r.get_many(["a.b"])
    assert str(info.value) == message
    assert r.get("a.1.b").value == 2


# ---------------------------------------------------------------- get_many(paths)


@pytest.mark.parametrize("source", ["slice_str", "slice_bytes", "shared_buffer", "shared_child"])
def test_get_many_relative(source):
    r = _sources()[source]
    got = r.get_many(["name", "", q.compile("@id"), "missing"])
    assert type(got) is list and len(got) == 4
    assert [g.value for g in got] == ["x", None, 7, None]


def test_get_many_on_parse():
    got = q.parse(ITEM_DOC).get_many(["item.name", q.compile("item.@id")])
    assert [g.value for g in got] == ["x", 7]
    assert q.parse(ITEM_DOC).get_many(paths=[]) == []


def test_get_many_on_empty_and_text_results():
    got = empty().get_many(["a", "b"])
    assert len(got) == 2 and all(g.exists() is False for g in got)
    text = q.get(ITEM_DOC, "item.@id")
    assert [g.exists() for g in text.get_many(["a", "", q.compile("b")])] == [False, False, False]
    with pytest.raises(ValueError, match="@ must be followed"):  # entries still compile
        empty().get_many(["a", "@"])


class ListSub(list):
    pass


@pytest.mark.parametrize(
    ("make", "paths", "exc", "message"),
    [
        (lambda: q.parse(ITEM_DOC), "name", TypeError, "argument 'paths': 'str' object is not an instance of 'list'"),
        (lambda: q.parse(ITEM_DOC), ("a",), TypeError, "argument 'paths': 'tuple' object is not an instance of 'list'"),
        (lambda: q.parse(ITEM_DOC), None, TypeError, "argument 'paths': 'None' is not an instance of 'list'"),
        (lambda: q.parse(ITEM_DOC), [1], TypeError, "paths must be a list of str or quelmar.Path"),
        (lambda: q.parse(ITEM_DOC), ["a", b"b"], TypeError, "paths must be a list of str or quelmar.Path"),
        (lambda: q.parse(ITEM_DOC), ["a", "@"], ValueError, "@ must be followed by an attribute name"),
        (multi, ["a"], ValueError, "Result.get_many(paths) is not supported on a multi-element Result; iterate the Result or pick an index first"),
        (multi, "a", TypeError, "argument 'paths'"),  # the argument check comes first
    ],
)
def test_get_many_errors(make, paths, exc, message):
    with pytest.raises(exc) as info:
        make().get_many(paths)
    assert str(info.value).startswith(message)


def test_get_many_accepts_list_subclasses():
    assert [g.value for g in q.parse(ITEM_DOC).get_many(ListSub(["item.name"]))] == ["x"]


# ---------------------------------------------------------------- depth


def test_deep_nesting_does_not_crash():
    depth = 1_000_000
    doc = "<r>" + "<a>" * depth + "x" + "</a>" * depth + "<b>1</b></r>"
    r = q.parse(doc)
    assert r.type_ is dict
    assert list(r) == ["a", "b"]
    assert r["b"].value == 1
    assert len(r.children()) == 2
    assert r.get("r.b").value == 1
    assert r["a"].type_ is dict
    assert repr(r["a"]) == "<Result type=dict, keys=[a]>"
