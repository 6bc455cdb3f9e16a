"""Dict-like views (keys, items, values, children) and the six Result
iterators: contents, reprs, membership, exhaustion, lifetimes, re-entry."""

import gc
import sys

import pytest

from quelmar import _quelmar as q

DOC = "<r><a>1</a>text<b/><a>2</a></r>"


def dict_like():
    return q.parse(DOC)


def texts_of(results):
    return [r.to_str() for r in results]


# ---------------------------------------------------------------- views


@pytest.mark.parametrize(
    ("method", "length", "repr_text"),
    [
        ("keys", 2, 'result_keys(["a", "b"])'),
        ("items", 2, "result_items([...])"),
        ("values", 2, "result_values([...])"),
        ("children", 3, "result_children([...])"),
    ],
)
def test_view_length_and_repr(method, length, repr_text):
    view = getattr(dict_like(), method)()
    assert type(view).__name__ == {
        "keys": "ResultKeysView",
        "items": "ResultItemsView",
        "values": "ResultValuesView",
        "children": "ResultChildrenView",
    }[method]
    assert len(view) == length
    assert repr(view) == repr_text


def test_view_contents():
    r = dict_like()
    assert list(r.keys()) == ["a", "b"]
    items = list(r.items())
    assert [k for k, _ in items] == ["a", "b"]
    assert items[0][1].type_ is list and items[0][1] == ["1", "2"]
    assert items[1][1].to_str() == "" and len(items[1][1]) == 1
    values = list(r.values())
    assert values[0] == ["1", "2"] and len(values[0]) == 2
    assert len(values[1]) == 1 and values[1].to_str() == ""
    children = list(r.children())
    assert [k for k, _ in children] == ["a", "b", "a"]
    assert [len(v) for _, v in children] == [1, 1, 1]
    assert [v.value for _, v in children] == [1, "", 2]
    assert all(type(pair) is tuple and len(pair) == 2 for pair in items + children)
    assert dict(r.items()).keys() == {"a", "b"}


@pytest.mark.parametrize(
    ("key", "member"),
    [
        ("a", True),
        ("b", True),
        ("c", False),
        ("", False),
        (5, False),
        (None, False),
        (b"a", False),
        ("a\ud800", False),  # no UTF-8 form: not a member, no error
    ],
)
def test_keys_membership(key, member):
    assert (key in dict_like().keys()) is member


def test_membership_of_other_views_falls_back_to_iteration():
    # The default protocol: iterate and compare with ==, where Results
    # compare by their texts.
    r = dict_like()
    assert ("a", r["a"]) in r.items()
    assert ("a", r["b"]) not in r.items()
    assert r["b"] in r.values()
    assert ("b", r["b"]) in r.children()
    assert "a" not in r.children()


def test_qualified_names():
    r = q.parse("<r><p:a/><b/></r>")
    keys = r.keys()
    assert list(keys) == ["p:a", "b"]
    assert "p:a" in keys and "a" not in keys
    assert repr(keys) == 'result_keys(["p:a", "b"])'


@pytest.mark.parametrize(
    ("doc", "text"),
    [
        ("<r><\u00e9/></r>", 'result_keys(["\u00e9"])'),
        (b"<r><\xff/><ok/></r>", 'result_keys(["", "ok"])'),  # undecodable names print empty
        ("<r><a/><b/><c/><a/></r>", 'result_keys(["a", "b", "c"])'),
    ],
)
def test_keys_repr(doc, text):
    assert repr(q.parse(doc).keys()) == text


def test_views_rebuild_iterators_each_time():
    view = dict_like().keys()
    one, two = iter(view), iter(view)
    assert one is not two
    assert next(one) == "a"
    assert next(one) == "b"
    assert next(two) == "a"
    assert list(view) == ["a", "b"] and list(view) == ["a", "b"]


@pytest.mark.parametrize("method", ["keys", "items", "values", "children"])
@pytest.mark.parametrize(
    ("make", "word"),
    [
        (lambda: q.get("<r/>", ""), "empty"),
        (lambda: q.parse("<a>1</a>"), "scalar"),
        (lambda: q.get('<a v="1"/>', "a.@v"), "scalar"),
        (lambda: q.get("<r><a><x/></a><a><y/></a></r>", "r.a"), "multi"),
    ],
)
def test_views_need_a_dict_like_result(method, make, word):
    with pytest.raises(TypeError) as info:
        getattr(make(), method)()
    assert str(info.value) == (
        f"Result.{method}() requires a dict-like Result (single element with children); got {word}"
    )


# A malformed document's undecodable tag name is bad input: the ValueError
# that `value` raises, on every route that decodes names.
@pytest.mark.parametrize(
    "route, message",
    [
        (lambda r: iter(r.keys()), "invalid utf-8 sequence of 1 bytes from index 0"),
        (lambda r: iter(r.items()), "invalid utf-8 sequence of 1 bytes from index 0"),
        (lambda r: list(r), "invalid utf-8 sequence of 1 bytes from index 0"),
        (lambda r: r.value, "invalid utf-8 sequence of 1 bytes from index 0"),
        (lambda r: next(iter(r.children())), "invalid utf-8 sequence of 1 bytes from index 0"),
    ],
)
def test_undecodable_names(route, message):
    r = q.parse(b"<r><\xff>1</\xff><ok>2</ok></r>")
    assert len(r.keys()) == 2
    assert [v.value for v in r.values()] == [1, 2]  # values never decode names
    with pytest.raises(ValueError) as info:
        route(r)
    assert str(info.value) == message


def test_undecodable_name_step_advances():
    r = q.parse(b"<r><a\xe2\x80>1</a\xe2\x80><ok>2</ok></r>")
    it = iter(r.children())
    with pytest.raises(ValueError, match="^incomplete utf-8 byte sequence from index 1$"):
        next(it)
    name, value = next(it)  # the failed step still advanced
    assert name == "ok" and value.value == 2


def test_view_and_method_docstrings():
    R = q.Result
    assert R.keys.__doc__ == (
        "Return a view of the dict-mode Result's child element keys (unique,\n"
        "first-occurrence order). Errors with `TypeError` for non-dict modes."
    )
    assert R.values.__doc__ == (
        "Return a view of the dict-mode Result's child values. For each unique\n"
        "key, the value is a Result over all direct children with that tag."
    )
    assert R.items.__doc__ == "Return a view of the dict-mode Result's `(key, value_Result)` pairs."
    assert R.children.__doc__ == (
        "Return a view of the dict-mode Result's `(name, value_Result)` pairs for\n"
        "every direct child element, in document order. Unlike `items()`, repeated\n"
        "tag names are not collapsed: each child element yields its own pair."
    )
    for name in ("keys", "values", "items", "children"):
        assert getattr(R, name).__text_signature__ == "($self)"
    assert q.ResultKeysView.__doc__ == (
        "dict.keys()-like view over a DictElement Result. Re-iterable; each call to\n"
        "__iter__ produces a fresh, lazy iterator."
    )
    assert q.ResultItemsView.__doc__ == "dict.items()-like view over a DictElement Result."
    assert q.ResultValuesView.__doc__ == "dict.values()-like view over a DictElement Result."
    assert q.ResultChildrenView.__doc__ == (
        "Order-preserving view over every direct child element of a DictElement\n"
        "Result. Re-iterable; each call to `__iter__` produces a fresh, lazy iterator."
    )


# ---------------------------------------------------------------- iterators


ITER_DOCS = {
    "ResultCharIter": (
        "Yields each Unicode code point of a Scalar/TextElement Result one at a\n"
        "time. The text bytes are materialized once at iter creation; iteration\n"
        "itself walks UTF-8 code points without further allocation per step."
    ),
    "ResultItemIter": (
        "Yields a single-item `Result` for each entry of a Multi-mode parent.\n"
        "Holds only a cursor and a borrowed reference to the parent Result; each\n"
        "step clones one `PyItem` (cheap) and wraps it in a fresh `Result`."
    ),
    "ResultChildKeyIter": "Yields each unique child tag name of a DictElement-mode Result.",
    "ResultChildItemIter": "Yields `(key_str, value_Result)` tuples, one per unique child tag.",
    "ResultChildValueIter": (
        "Yields a `Result` per unique child tag, containing every direct child with\n"
        "that tag. Bytes for matching children are sliced out of the parent bytes\n"
        "only when each value is produced."
    ),
    "ResultChildIter": (
        "Yields `(name_str, value_Result)` for every direct child element in document\n"
        "order. Unlike `ResultChildItemIter`, repeated tag names are not collapsed:\n"
        "each child element produces its own pair, so the interleaving of differently\n"
        "named siblings is preserved."
    ),
}

VIEW_NAMES = ["ResultKeysView", "ResultValuesView", "ResultItemsView", "ResultChildrenView"]


@pytest.mark.parametrize("name", list(ITER_DOCS) + VIEW_NAMES)
def test_classes_are_closed(name):
    cls = getattr(q, name)
    assert cls.__module__ == "quelmar._quelmar"
    if name in ITER_DOCS:
        assert cls.__doc__ == ITER_DOCS[name]
    with pytest.raises(TypeError):
        cls()
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})


def _make_iter(kind):
    multi = q.get("<r><a>x</a><a>y</a><a>z</a></r>", "r.a")
    abc = q.parse("<r><a>1</a><b>2</b><a>3</a></r>")
    return {
        "ResultCharIter": lambda: iter(q.parse("<t>h\u00e9!</t>")),
        "ResultItemIter": lambda: iter(multi),
        "ResultChildKeyIter": lambda: iter(abc.keys()),
        "ResultChildItemIter": lambda: iter(abc.items()),
        "ResultChildValueIter": lambda: iter(abc.values()),
        "ResultChildIter": lambda: iter(abc.children()),
    }[kind]()


def _plain(v):
    if isinstance(v, str):
        return v
    if isinstance(v, tuple):
        return tuple(_plain(x) for x in v)
    return v.to_str() if len(v) != 1 else v.value


@pytest.mark.parametrize(
    ("kind", "expected"),
    [
        ("ResultCharIter", ["h", "\u00e9", "!"]),
        ("ResultItemIter", ["x", "y", "z"]),
        ("ResultChildKeyIter", ["a", "b"]),
        ("ResultChildItemIter", [("a", "<a>1</a>\n<a>3</a>"), ("b", 2)]),
        ("ResultChildValueIter", ["<a>1</a>\n<a>3</a>", 2]),
        ("ResultChildIter", [("a", 1), ("b", 2), ("a", 3)]),
    ],
)
def test_iterator_values_and_exhaustion(kind, expected):
    it = _make_iter(kind)
    assert type(it).__name__ == kind
    assert iter(it) is it
    got = [_plain(v) for v in it]
    assert got == expected
    for _ in range(3):  # exhausted stays exhausted
        with pytest.raises(StopIteration):
            next(it)
    assert list(it) == []


@pytest.mark.parametrize(
    ("data", "message"),
    [
        (b'<a v="ab\xffc"/>', "invalid utf-8 sequence of 1 bytes from index 2"),
        (b'<a v="abc\xc3"/>', "incomplete utf-8 byte sequence from index 3"),
        (b'<a v="\xe2\x82x"/>', "invalid utf-8 sequence of 2 bytes from index 0"),
    ],
)
def test_char_iter_undecodable_text(data, message):
    it = iter(q.get_bytes(data, "a.@v"))
    assert type(it).__name__ == "ResultCharIter"  # creation does not validate
    for _ in range(3):  # no character comes out and every step fails the same way
        with pytest.raises(ValueError) as info:
            next(it)
        assert str(info.value) == message


def test_char_iter_of_a_megabyte_is_linear():
    text = ("abc\u00e9" * 250_000)[:1_000_000]
    r = q.parse("<a>" + text + "</a>")
    n = 0
    for ch in r:
        n += 1
    assert n == len(text)


def test_item_iter_keeps_its_parent_alive():
    doc = "<r><a>1</a><a>2</a></r>"
    before = sys.getrefcount(doc)
    it = iter(q.get(doc, "r.a"))
    gc.collect()
    assert sys.getrefcount(doc) == before + 2  # the parent's two slice items
    assert [r.value for r in it] == [1, 2]
    del it
    assert sys.getrefcount(doc) == before


@pytest.mark.parametrize("method", ["keys", "items", "values", "children"])
def test_child_iterators_outlive_parent_and_view(method):
    doc = "<r><a>1</a><b>2</b></r>"
    before = sys.getrefcount(doc)
    it = iter(getattr(q.get("<x>" + doc + "</x>", "x.r"), method)())
    view = getattr(q.parse(doc), method)()
    gc.collect()
    assert sys.getrefcount(doc) == before + 1  # only the view's parent holds the parse source
    first = next(it)
    del view
    gc.collect()
    rest = list(it)
    assert len([first] + rest) == 2
    assert sys.getrefcount(doc) == before


def test_views_keep_parent_alive():
    view = q.parse(b"<r><a>1</a></r>").items()
    gc.collect()
    assert [(k, v.value) for k, v in view] == [("a", 1)]


def test_reentrant_step_is_refused():
    # A finalizer run by a collection inside a step re-enters the same
    # iterator; it must be refused, not see a half-moved cursor.
    caught = []
    it = iter(q.get("<r>" + "<a>1</a>" * 50 + "</r>", "r.a"))

    class Reenter:
        def __del__(self):
            try:
                next(it)
            except RuntimeError as e:
                caught.append(str(e))

    old = gc.get_threshold()
    gc.collect()
    try:
        gc.set_threshold(1)
        for _ in range(20):
            obj = Reenter()
            obj.self = obj
            del obj
            next(it)
    finally:
        gc.set_threshold(*old)
        gc.collect()
    assert all(m == "Already borrowed" for m in caught)
    if sys.version_info < (3, 12):  # collections then run inside allocations
        assert caught
