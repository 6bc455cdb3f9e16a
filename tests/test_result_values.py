"""Result items, modes, values and conversions; parse() and the sources
behind a Result (reference counts, buffers re-read on every use, GC)."""

import array
import gc
import math
import mmap
import sys
import weakref

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import quelmar
from quelmar import _quelmar as q

MAX64 = 2**63 - 1
MIN64 = -(2**63)


def texts(*values):
    """A Result of Text items (attribute values), one per value."""
    doc = "<r>" + "".join(f'<a v="{v}"/>' for v in values) + "</r>"
    r = q.get(doc, "r.a.#.@v")
    assert len(r) == len(values)
    return r


def empty():
    return q.get("<r/>", "")


DICT_DOC = "<r><b>1</b><c/><b>2</b><d>x</d></r>"


# ---------------------------------------------------------------- modes


@pytest.mark.parametrize(
    ("make", "type_"),
    [
        (empty, None),
        (lambda: texts("x"), str),
        (lambda: texts("x", "y"), list),
        (lambda: texts("1", "2"), list),
        (lambda: q.parse("<a>text</a>"), str),
        (lambda: q.parse("<a/>"), str),
        (lambda: q.parse("<a>x<!--c--><?p?></a>"), str),
        (lambda: q.parse("<a><b/></a>"), dict),
        (lambda: q.parse("<a>t<b>1</b></a>"), dict),
        (lambda: q.parse('<?xml version="1.0"?><!-- c --><root><x/></root>'), dict),
        (lambda: q.parse("not xml"), str),
        (lambda: q.parse(""), str),
        (lambda: q.get("<r><a><x/></a><a/></r>", "r.a"), list),  # two elements, whatever their kinds
    ],
)
def test_mode(make, type_):
    assert make().type_ is type_


# ---------------------------------------------------------------- scalar conversions

# doc, value, type_, to_str, to_int, to_float, to_bool, truth
SCALARS = [
    ("<a> 42 </a>", 42, int, "42", 42, 42.0, True, True),
    ("<a>3.9</a>", 3.9, float, "3.9", 3, 3.9, True, True),
    ("<a>-3.9</a>", -3.9, float, "-3.9", -3, -3.9, True, True),
    ("<a>1e999</a>", math.inf, float, "1e999", MAX64, math.inf, True, True),
    ("<a>-inf</a>", -math.inf, float, "-inf", MIN64, -math.inf, True, True),
    ("<a>9223372036854775808</a>", 2.0**63, float, "9223372036854775808", MAX64, 2.0**63, True, True),
    ("<a>-9223372036854775808</a>", MIN64, int, "-9223372036854775808", MIN64, -(2.0**63), True, True),
    ("<a>abc</a>", "abc", str, "abc", 0, 0.0, False, True),
    ("<a>false</a>", "false", str, "false", 0, 0.0, False, True),
    ("<a>True</a>", "True", str, "True", 0, 0.0, False, True),
    ('<a>"True"</a>', '"True"', str, '"True"', 0, 0.0, True, True),
    ("<a>&quot;f&quot;</a>", '"f"', str, '"f"', 0, 0.0, False, True),
    ("<a> true </a>", "true", str, "true", 0, 0.0, False, True),  # keyword table is untrimmed
    ("<a>yes</a>", "yes", str, "yes", 0, 0.0, False, True),
    ("<a>2</a>", 2, int, "2", 2, 2.0, True, True),
    ("<a>-1</a>", -1, int, "-1", -1, -1.0, True, True),
    ("<a>0.9</a>", 0.9, float, "0.9", 0, 0.9, False, True),
    ("<a>0</a>", 0, int, "0", 0, 0.0, False, False),
    ("<a>0.0</a>", 0.0, float, "0.0", 0, 0.0, False, False),
    ("<a>+5</a>", 5, int, "+5", 5, 5.0, True, True),
    ("<a>1_000</a>", "1_000", str, "1_000", 0, 0.0, False, True),
    ("<a></a>", "", str, "", 0, 0.0, False, False),
    ("<a/>", "", str, "", 0, 0.0, False, False),
    ("<a>\u3000x \n</a>", "x", str, "x", 0, 0.0, False, True),  # Unicode white space trimmed
    ("<a>\u00a07\u2003</a>", 7, int, "7", 7, 7.0, True, True),
    ("<a>h\u00e9llo</a>", "h\u00e9llo", str, "h\u00e9llo", 0, 0.0, False, True),
    # Under xml:space="preserve" white space is text (a word processor's runs):
    # not trimmed for value, type_ and to_str; numbers are still read trimmed.
    ('<w:t xml:space="preserve">Revenue grew </w:t>', "Revenue grew ", str, "Revenue grew ", 0, 0.0, False, True),
    ('<a xml:space="preserve"> 42 </a>', " 42 ", str, " 42 ", 42, 42.0, True, True),
    ("<a xml:space='preserve'>\n</a>", "\n", str, "\n", 0, 0.0, False, True),
    ('<?xml version="1.0"?><!-- c --><a xml:space="preserve"> x</a>', " x", str, " x", 0, 0.0, False, True),
    ('<a xml:space="default"> x </a>', "x", str, "x", 0, 0.0, False, True),
    ('<a xml:space="preserved"> x </a>', "x", str, "x", 0, 0.0, False, True),
    ('<a b="xml:space=&quot;preserve&quot;"> x </a>', "x", str, "x", 0, 0.0, False, True),
]


@pytest.mark.parametrize(("doc", "value", "type_", "to_str", "to_int", "to_float", "to_bool", "truth"), SCALARS)
def test_scalar_conversions(doc, value, type_, to_str, to_int, to_float, to_bool, truth):
    r = q.parse(doc)
    assert r.value == value and type(r.value) is type_
    assert r.type_ is type_
    assert r.to_str() == to_str
    assert r.to_int() == to_int and type(r.to_int()) is int
    assert r.to_float() == to_float and type(r.to_float()) is float
    assert r.to_bool() is to_bool
    assert bool(r) is truth
    assert r.exists() is True
    assert len(r) == 1


# xml:space="preserve" on an ancestor the pass has read keeps the white space
# of the elements below it; "default" on a nearer one (or the element) ends
# it. doc, path, to_str() of each item.
SPACE_SCOPES = [
    ('<p xml:space="preserve"><r><t> a </t></r><r><t> b </t></r></p>', "p.r.#.t", [" a ", " b "]),
    ('<p xml:space="preserve"><r xml:space="default"><t> a </t></r><r><t> b </t></r></p>', "p.r.#.t", ["a", " b "]),
    ('<p xml:space="preserve"><r><t xml:space="default"> a </t></r></p>', "p.r.t", ["a"]),
    ('<p xml:space="default"><r xml:space="preserve"><t> a </t></r></p>', "p.r.t", [" a "]),
    ('<p xml:space="preserve"><r><t> a <i/> b </t></r></p>', "p.r.t.#text", [" a  b "]),
    ('<p xml:space="preserve"><r><t xml:space="default"> a </t></r></p>', "p.r.t.#text", ["a"]),
    ('<p xml:space="preserve"><r n=" x "><t> a </t></r></p>', "p.r.@n", ["x"]),  # attributes are no content
    ('<p><q xml:space="preserve"><t> a </t><q xml:space="default"><t> b </t></q><t> c </t></q><t> d </t></p>',
     "**.t", [" a ", "b", " c ", "d"]),
    # the filter routes: attribute, streaming, fragment; filters and numbers read trimmed texts
    ('<p xml:space="preserve"><r k="1"><t> a </t></r><r><t> b </t></r></p>', "p.r.#(@k==1)#.t", [" a "]),
    ('<p xml:space="preserve"><r><k> 1 </k><t> a </t></r><r><k>2</k></r></p>', "p.r.#(k==1)#.t", [" a "]),
    ('<p xml:space="preserve"><r> 1 </r><r>2</r></p>', "p.r.#(.==1)#", [" 1 "]),
    ('<p xml:space="preserve"><r><k><j>1</j></k><t> a </t></r></p>', "p.r.#(k.j==1)#.t", [" a "]),
    ('<p xml:space="preserve"><r><t> a </t></r><r><t>a</t></r></p>', "p.r.#(t==\" a \")#.t", [" a "]),
    # modifiers compare the texts as written and keep their items' scope
    ('<p xml:space="preserve"><t> b </t><t>a</t><t> b </t></p>', "p.t|@uniq", [" b ", "a"]),
    ('<p xml:space="preserve"><t>a</t><t> b </t></p>', "p.t|@sort", [" b ", "a"]),
    ('<p xml:space="preserve"><t> 2 </t><t> 1 </t></p>', "p.t|@sum", ["3"]),
]


def _to_strs(r):
    return [x.to_str() for x in ([r] if len(r) == 1 else r)]


@pytest.mark.parametrize(("doc", "path", "expected"), SPACE_SCOPES)
def test_space_scope_from_ancestors(doc, path, expected):
    assert _to_strs(q.get(doc, path)) == expected
    assert _to_strs(q.get_bytes(doc.encode(), path)) == expected
    # The many-path pass, alone and beside paths that enter the same elements.
    assert _to_strs(q.get_many(doc, [path])[0]) == expected
    assert _to_strs(q.get_many(doc, ["p", "**.t", "p.r.#.k", path])[-1]) == expected
    # Relative to the top element: its scope is where the query starts.
    top = q.get(doc, "p")
    rest = path[2:] if path.startswith("p.") else path
    assert _to_strs(top.get(rest)) == expected
    assert _to_strs(top.get_many([rest])[0]) == expected
    if len(expected) == 1 and "|" not in path:
        assert q.get(doc, path).value == q.get(doc, path).to_str()


def test_space_scope_of_children_and_relative_queries():
    doc = '<p xml:space="preserve"><r><t> a </t><u xml:space="default"> b <v> c </v></u></r><r><t> d </t></r></p>'
    p = q.get(doc, "p")
    r0 = p["r"][0]
    assert r0["t"].value == " a " and r0["u"]["v"].value == "c"
    assert [v.value for v in r0.values()][0] == " a "
    assert [(k, v.to_str()) for k, v in r0.items()][0] == ("t", " a ")
    assert [c.to_str() for _, c in r0.children()][0] == " a "
    assert [r["t"].value for r in p["r"]] == [" a ", " d "]
    assert r0.value["t"].value == " a "
    assert r0.get("t.#text").value == " a " and r0.get("u.#text").value == "b  c"
    assert r0["u"].get("v").value == "c" and r0["u"].get_many(["v"])[0].value == "c"
    assert quelmar.to_python(r0) == {"t": " a ", "u": {"@xml:space": "default", "v": "c", "#text": "b"}}
    # Without a preserve scope nothing changes.
    plain = q.get(doc.replace(' xml:space="preserve"', ""), "p")
    assert plain["r"][0]["t"].value == "a" and plain.get("r.0.t.#text").value == "a"


@st.composite
def _spaced_element(draw, depth=0):
    tag = "p" if depth == 0 else draw(st.sampled_from(["a", "b", "t"]))
    space = draw(st.sampled_from(["", "", "", ' xml:space="preserve"', ' xml:space="default"', ' n="x"']))
    if tag == "t" or depth >= 4:
        return f"<t{space}>{draw(st.sampled_from(['x', ' x ', '  ', '', ' x y', '&#32;z']))}</t>"
    kids = draw(st.lists(_spaced_element(depth + 1), max_size=3))
    return f"<{tag}{space}>{''.join(kids)}</{tag}>"


@settings(max_examples=200, deadline=None, suppress_health_check=list(HealthCheck))
@given(_spaced_element())
def test_space_scope_agrees_with_lxml(doc):
    """Every text element's to_str() is its lxml text, trimmed unless the
    nearest xml:space around it (or on it) says preserve."""
    etree = pytest.importorskip("lxml.etree")
    root = etree.fromstring(doc)
    space = "{http://www.w3.org/XML/1998/namespace}space"
    expected = []
    for t in root.iter("t"):
        scope = next((e.get(space) for e in [t, *t.iterancestors()] if e.get(space) is not None), None)
        text = t.text or ""
        expected.append(text if scope == "preserve" else text.strip())
    for got in (
        q.get(doc, "**.t"),
        q.get_many(doc, ["**.t"])[0],
        q.get_many(doc, ["**.a", "**.t", "p.b.#"])[1],
        q.get(doc, "p").get("**.t"),
    ):
        assert (_to_strs(got) if len(got) else []) == expected, doc
    texts = q.get(doc, "**.t.#text")
    assert (_to_strs(texts) if len(texts) else []) == expected, doc


def test_nan_scalar():
    r = q.parse("<a>nan</a>")
    assert math.isnan(r.value) and r.type_ is float
    assert r.to_int() == 0 and math.isnan(r.to_float())
    assert r.to_bool() is False
    assert bool(r) is True  # nan is truthy
    assert math.isnan(float(r))
    with pytest.raises(ValueError):
        int(r)


@pytest.mark.parametrize(
    ("value", "to_bool"),
    [
        ("1", True), ("true", True), ('"t"', True), ('"T"', True), ('"1"', True),
        ('"true"', True), ('"True"', True), ('"TRUE"', True),
        ("0", False), ("false", False), ('"f"', False), ('"F"', False), ('"0"', False),
        ('"false"', False), ('"False"', False), ('"FALSE"', False),
        ("inf", True), ("nan", False), ("TRUE", False), ("", False),
    ],
)
def test_to_bool_keyword_table_on_text_items(value, to_bool):
    doc = "<a v='" + value + "'/>"
    assert q.get(doc, "a.@v").to_bool() is to_bool


def test_empty_result():
    r = empty()
    assert r.value is None and r.type_ is None
    assert r.exists() is False and len(r) == 0
    assert r.to_str() == "" and r.to_int() == 0 and r.to_float() == 0.0 and r.to_bool() is False
    assert bool(r) is False
    assert repr(r) == "None"
    with pytest.raises(TypeError):
        int(r)
    with pytest.raises(TypeError):
        float(r)
    assert (r == "x") is False
    assert r == []
    assert r == empty()


def test_dict_like_result():
    r = q.parse(DICT_DOC)
    v = r.value
    assert type(v) is dict and list(v) == ["b", "c", "d"]
    assert v["b"].type_ is list and v["b"] == ["1", "2"]
    assert v["c"].value == "" and v["d"].value == "x"
    assert r.type_ is dict
    assert len(r) == 1 and r.exists()
    assert r.to_bool() is True and bool(r) is True
    assert repr(r) == "<Result type=dict, keys=[b, c, ...]>"
    assert r.to_str() == DICT_DOC
    assert r.to_int() == 0  # text content "12x"
    assert r.to_float() == 0.0


def test_parse_to_str_keeps_prolog():
    doc = '<?xml version="1.0"?>\n<!-- c -->\n<root><x>1</x></root>\n'
    assert q.parse(doc).to_str() == doc


def test_dict_number_rule_uses_element_text():
    r = q.parse("<r><a>1</a><b>2</b></r>")
    assert r.to_int() == 12 and r.to_float() == 12.0


def test_multi_of_texts():
    r = texts("1", "2", "3")
    assert [x.value for x in r.value] == [1, 2, 3]
    assert all(type(x) is type(r) and len(x) == 1 for x in r.value)
    assert r.type_ is list
    assert repr(r) == "<Result type=list, value=[1, 2, ...]>"
    assert r.to_str() == "1\n2\n3"
    assert r.to_int() == 1 and r.to_float() == 1.0
    assert r.to_bool() is True and bool(r) is True
    assert len(r) == 3
    with pytest.raises(TypeError):
        int(r)


def test_multi_to_str_is_raw_markup():
    r = q.get("<r><a>1</a><a><b>2</b></a></r>", "r.a")
    assert r.to_str() == "<a>1</a>\n<a><b>2</b></a>"


def test_to_str_of_multi_is_lenient():
    r = q.get_bytes(b'<r><a v="\xff"/><a v="ok"/></r>', "r.a.#.@v")
    assert r.to_str() == "\ufffd\nok"


def test_multi_first_item_rules():
    r = texts("3.7", "x")
    assert r.to_int() == 3 and r.to_float() == 3.7
    assert texts("abc", "1").to_int() == 0


# ---------------------------------------------------------------- int() / float()


@pytest.mark.parametrize(
    ("make", "as_int", "as_float"),
    [
        (lambda: q.parse("<a> 42 </a>"), 42, 42.0),
        (lambda: q.parse("<a>3.9</a>"), 3, 3.9),
        (lambda: q.parse("<a>1_000</a>"), 1000, 1000.0),  # Python's int accepts what the classifier does not
        (lambda: q.parse("<a>1e999</a>"), OverflowError, math.inf),
        (lambda: q.parse("<a>1e20</a>"), OverflowError, 1e20),  # beyond 64 bits
        (lambda: q.parse("<a>abc</a>"), ValueError, ValueError),
        (lambda: q.parse("<a/>"), ValueError, ValueError),
        (lambda: q.parse(DICT_DOC), TypeError, TypeError),
        (lambda: texts("1", "2"), TypeError, TypeError),
        (empty, TypeError, TypeError),
    ],
)
def test_int_and_float(make, as_int, as_float):
    r = make()
    for conv, expected in ((int, as_int), (float, as_float)):
        if isinstance(expected, type) and issubclass(expected, Exception):
            with pytest.raises(expected):
                conv(r)
        else:
            got = conv(r)
            assert got == expected and type(got) is conv


def test_result_is_not_an_index():
    r = q.parse("<a>1</a>")
    with pytest.raises(TypeError):
        [10, 20][r]
    with pytest.raises(TypeError):
        hash(r)


# ---------------------------------------------------------------- repr


@pytest.mark.parametrize(
    ("make", "text"),
    [
        (empty, "None"),
        (lambda: q.parse("<a>abc</a>"), "abc"),
        (lambda: q.parse("<a> 5 </a>"), "5"),
        (lambda: q.parse("<a>2.5</a>"), "2.5"),
        (lambda: q.parse("<r><x/></r>"), "<Result type=dict, keys=[x]>"),
        (lambda: q.parse("<r><x/><y/><x/></r>"), "<Result type=dict, keys=[x, y]>"),
        (lambda: q.parse("<r><x/><y/><z/></r>"), "<Result type=dict, keys=[x, y, ...]>"),
        (lambda: q.parse("<r><p:x/></r>"), "<Result type=dict, keys=[p:x]>"),
        (lambda: q.parse(b"<r><\xff/></r>"), "<Result type=dict, keys=[\ufffd]>"),
        (lambda: texts("x", "y"), "<Result type=list, value=[x, y]>"),
        (lambda: texts("a", "b", "c"), "<Result type=list, value=[a, b, ...]>"),
        (
            lambda: q.get("<r><a><x/></a><a>t</a></r>", "r.a"),
            "<Result type=list, value=[<Result type=dict, keys=[x]>, t]>",
        ),
    ],
)
def test_repr(make, text):
    assert repr(make()) == text


# ---------------------------------------------------------------- equality


@pytest.mark.parametrize(
    ("make", "other", "equal"),
    [
        (empty, "x", False),
        (empty, "", False),
        (empty, [], True),
        (empty, ["x"], False),
        (lambda: texts("1", "2", "3"), ["1", "2", "3"], True),
        (lambda: texts("1", "2", "3"), ["1", 2, "3"], False),
        (lambda: texts("1", "2", "3"), ["1", "2"], False),
        (lambda: texts("1", "2", "3"), "1", True),  # a multi Result equals its first item's text
        (lambda: texts("1", "2", "3"), "2", False),
        (lambda: texts("1", "2", "3"), 1, False),
        (lambda: texts("1"), 1, False),
        (lambda: texts("1"), None, False),
        (lambda: texts("1"), {"1": 1}, False),
        (lambda: q.parse("<a> hi </a>"), " hi ", True),  # equality is untrimmed
        (lambda: q.parse("<a> hi </a>"), "hi", False),
        (lambda: q.parse("<a> hi </a>"), [" hi "], True),
        (lambda: q.parse("<a>h\u00e9</a>"), "h\u00e9", True),
        (lambda: q.parse("<a>x</a>"), q.get('<a v="x"/>', "a.@v"), True),
        (lambda: q.parse("<a>x</a>"), q.get('<a v="y"/>', "a.@v"), False),
        (lambda: texts("1", "2"), texts("1", "2"), True),
        (lambda: texts("1", "2"), texts("1"), False),
        (empty, empty(), True),
        (lambda: q.get_bytes(b'<a v="\xff"/>', "a.@v"), "\ufffd", False),  # undecodable text equals no str
        (lambda: q.parse("<a>x</a>"), ["x\ud800"], False),  # a str without UTF-8 form equals nothing
    ],
)
def test_equality(make, other, equal):
    r = make()
    assert (r == other) is equal
    assert (r != other) is (not equal)


class StrSub(str):
    pass


def test_equality_is_reflected_and_accepts_subclasses():
    r = texts("1", "2")
    assert "1" == r
    assert r == StrSub("1")
    assert r == [StrSub("1"), "2"]


@pytest.mark.parametrize("op", ["__lt__", "__le__", "__gt__", "__ge__"])
def test_ordering_is_not_supported(op):
    assert getattr(texts("1"), op)(texts("2")) is NotImplemented
    with pytest.raises(TypeError):
        texts("1") < texts("2")


def test_equality_errors_on_undecodable_text():
    bad = q.get_bytes(b'<a v="\xff"/>', "a.@v")
    with pytest.raises(ValueError, match="invalid utf-8 sequence of 1 bytes from index 0"):
        bad == texts("x")  # noqa: B015
    with pytest.raises(ValueError):
        bad == ["x"]  # noqa: B015
    assert (bad == [1]) is False  # a non-str entry decides before anything is read


# ---------------------------------------------------------------- undecodable texts


@pytest.mark.parametrize(
    ("data", "message"),
    [
        (b'<a v="ab\xffc"/>', "invalid utf-8 sequence of 1 bytes from index 2"),
        (b'<a v="ab\xe2\x82"/>', "incomplete utf-8 byte sequence from index 2"),
        (b'<a v="\xed\xa0\x80"/>', "invalid utf-8 sequence of 1 bytes from index 0"),  # surrogate
        # Element text keeps its bad bytes (references around them resolved).
        (b"<a>ab\xffc</a>", "invalid utf-8 sequence of 1 bytes from index 2"),
        (b"<a>&amp;\xe2\x82</a>", "incomplete utf-8 byte sequence from index 1"),
        (b"<a>x<![CDATA[\xff]]></a>", "invalid utf-8 sequence of 1 bytes from index 1"),
    ],
)
def test_invalid_utf8_scalar(data, message):
    r = q.get_bytes(data, "a.@v" if b" v=" in data else "a")
    for op in (lambda: r.value, lambda: r.type_, r.to_str, lambda: repr(r), lambda: bool(r), lambda: int(r)):
        with pytest.raises(ValueError, match=message):
            op()
    assert r.to_int() == 0 and r.to_float() == 0.0 and r.to_bool() is False
    assert r.exists() and len(r) == 1


def test_invalid_utf8_child_name_in_value():
    r = q.parse(b"<r><ok/><\xff/></r>")
    with pytest.raises(ValueError, match="invalid utf-8 sequence of 1 bytes from index 0"):
        r.value


# ---------------------------------------------------------------- parse() and sources


def _strided():
    return memoryview(b"<a>1</a><a>1</a>")[::2]


@pytest.mark.parametrize(
    ("data", "exc", "message"),
    [
        (1, ValueError, "data must be bytes, str, or a buffer-protocol object (mmap, bytearray)"),
        (None, ValueError, "data must be bytes, str, or a buffer-protocol object (mmap, bytearray)"),
        (array.array("b", b"<a/>"), ValueError, "data must be bytes, str, or a buffer-protocol object (mmap, bytearray)"),
        (array.array("i", [1]), ValueError, "data must be bytes, str, or a buffer-protocol object (mmap, bytearray)"),
        (_strided(), ValueError, "buffer must be C-contiguous"),
        ("\ud800", UnicodeEncodeError, None),
    ],
)
def test_parse_rejects(data, exc, message):
    with pytest.raises(exc) as info:
        q.parse(data)
    if message is not None:
        assert str(info.value) == message


@pytest.mark.parametrize(
    "data",
    [
        "<r><a>7</a></r>",
        b"<r><a>7</a></r>",
        bytearray(b"<r><a>7</a></r>"),
        memoryview(b"<r><a>7</a></r>"),
        array.array("B", b"<r><a>7</a></r>"),
        StrSub("<r><a>7</a></r>"),
    ],
)
def test_parse_accepts(data):
    r = q.parse(data)
    assert r.type_ is dict
    assert r["a"].value == 7
    assert r.get("r.a").value == 7


def test_parse_argument_errors():
    with pytest.raises(TypeError):
        q.parse()
    with pytest.raises(TypeError):
        q.parse(b"<a/>", b"<b/>")
    with pytest.raises(TypeError):
        q.parse(text=b"<a/>")
    assert q.parse(data="<a>1</a>").value == 1
    assert q.parse.__text_signature__ == "(data)"


def test_parse_holds_the_object_itself():
    data = "not xml at all " + "x" * 10
    before = sys.getrefcount(data)
    r = q.parse(data)
    assert sys.getrefcount(data) == before + 1
    assert r.value == ""  # no element: no text content
    del r
    assert sys.getrefcount(data) == before


@pytest.mark.parametrize("kind", ["str", "bytes"])
def test_source_refcount_stays_flat(kind):
    doc = "<r>" + "<a><b>1</b><c>x</c></a>" * 3 + "</r>"
    data = doc if kind == "str" else doc.encode()
    get = q.get if kind == "str" else q.get_bytes
    before = sys.getrefcount(data)
    for _ in range(200):
        r = get(data, "r.a")
        assert sys.getrefcount(data) == before + 3  # one per span item
        r.value, repr(r), r.to_str(), list(r), r[0]["b"], r[1:], r == ["1x"] * 3
        first = r[0]
        first.keys(), list(first.items()), list(first.children()), list(first.values())
        it = iter(r)
        next(it)
        del r, first, it
        p = q.parse(data)
        p.value, list(p.keys()), p.get("r.a")
        del p
    gc.collect()
    assert sys.getrefcount(data) == before


def test_bytearray_is_read_again_on_every_use():
    ba = bytearray(b"<r><a>1</a></r>")
    r = q.parse(ba)
    assert r.type_ is dict
    ba.clear()  # resizable: parse released its buffer
    assert r.value == "" and r.type_ is str and r.to_str() == ""
    ba.extend(b"<x> 5 </x>")
    assert r.value == 5
    ba[:] = b"<r><n>2</n></r>"
    assert r["n"].value == 2
    ba.extend(b"!" * 100000)  # grow and shrink: nothing may keep the old storage
    del ba[11:]
    assert r.to_str() == "<r><n>2</n>"


# A view over a buffer rewritten since it was made: every route checks the
# mode again and fails as the method that made the view would now.
def _contains(view):
    return "a" in view


@pytest.mark.parametrize("method", ["keys", "values", "items", "children"])
@pytest.mark.parametrize("route", [len, iter, list, repr, _contains])
def test_bytearray_changes_under_a_view(method, route):
    ba = bytearray(b"<r><a/><b/></r>")
    view = getattr(q.parse(ba), method)()
    assert len(view) == 2
    ba[:] = b"<x>no children</x>"
    if route is repr and method != "keys":
        assert repr(view) == f"result_{method}([...])"  # reads nothing
    else:
        with pytest.raises(TypeError) as info:
            route(view)
        if route is not _contains or method == "keys":  # else the interpreter words the failed iter()
            assert str(info.value) == (
                f"Result.{method}() requires a dict-like Result (single element with children); got scalar"
            )
    ba[:] = b"<r><c/></r>"
    assert len(view) == 1 and len(list(view)) == 1


def test_closed_mmap_source():
    doc = b"<r><a>3</a></r>"
    m = mmap.mmap(-1, len(doc))
    m.write(doc)
    r = q.parse(m)
    assert r["a"].value == 3
    m.close()  # no export is held between calls
    with pytest.raises(ValueError, match=r"data must be bytes, str, or a buffer-protocol object \(mmap, bytearray\)"):
        r.value
    assert r.exists() and len(r) == 1  # never read bytes


def test_bytes_subclass_and_get_results_are_independent_of_parse():
    class B(bytes):
        pass

    r = q.parse(B(b"<r><a>1</a></r>"))
    assert r["a"].value == 1


# ---------------------------------------------------------------- garbage collection


class BytearraySub(bytearray):
    pass


@pytest.mark.parametrize("hold", ["result", "keys", "values", "items", "children", "child"])
def test_cycles_through_results_are_collected(hold):
    for make in (lambda: StrSub("<r><a>1</a><a>2</a></r>"), lambda: BytearraySub(b"<r><a>1</a><a>2</a></r>")):
        src = make()
        r = q.parse(src)
        held = {
            "result": lambda: r,
            "keys": r.keys,
            "values": r.values,
            "items": r.items,
            "children": r.children,
            "child": lambda: r["a"],
        }[hold]()
        src.attached = held
        src.also = r
        w = weakref.ref(src)
        del src, r, held
        gc.collect()
        assert w() is None


def test_item_iter_cycle_through_sliced_source():
    src = StrSub("<r><a>1</a><a>2</a></r>")
    multi = q.get(src, "r.a")  # two Slice items referring to src
    it = iter(multi)
    src.it = it
    w = weakref.ref(src)
    del src, multi, it
    gc.collect()
    assert w() is None


def test_results_over_plain_sources_are_not_tracked():
    assert not gc.is_tracked(q.parse("<r/>"))
    assert not gc.is_tracked(q.parse(b"<r/>"))
    assert not gc.is_tracked(q.get("<r><a/></r>", "r.a"))
    assert gc.is_tracked(q.parse(StrSub("<r/>")))
    assert not gc.is_tracked(q.parse(bytearray(b"<r/>")))
    assert gc.is_tracked(q.parse(BytearraySub(b"<r/>")))


def test_result_class_surface():
    R = q.Result
    assert R.__module__ == "quelmar._quelmar"
    assert R.__doc__ == (
        "Python `Result` class \u2014 wraps a list of matched items. Constructed by\n"
        "`py_get` / `py_parse` / `py_get_many` etc. and dispatches `__getitem__`,\n"
        "`__iter__`, `to_str`, `to_int`, and so on based on the number and type of\n"
        "items held (Empty / ScalarLike / DictElement / Multi mode)."
    )
    assert R.value.__doc__.startswith("Return the value held by this Result in its natural Python type:\n  - `None`")
    assert R.value.__doc__.endswith("  - `dict[str, Result]` for an element with child elements")
    assert R.type_.__doc__.endswith("  - `dict`  for a single element that has child elements")
    for name in ("exists", "to_int", "to_float", "to_bool", "to_str"):
        assert getattr(R, name).__doc__ is None
        assert getattr(R, name).__text_signature__ == "($self)"
    assert R.get.__text_signature__ == "($self, path)"
    assert R.get_many.__text_signature__ == "($self, paths)"
    with pytest.raises(TypeError):
        R()
    with pytest.raises(TypeError):

        class Sub(R):  # noqa: F841
            pass

    r = q.parse("<a/>")
    with pytest.raises(AttributeError):
        r.anything = 1
    with pytest.raises(TypeError):
        weakref.ref(r)
    with pytest.raises(AttributeError):
        r.value = 1
    with pytest.raises(TypeError):
        r.exists(1)


# ---------------------------------------------------------------- to_python


@pytest.mark.parametrize(
    ("text", "value"),
    [
        # canonical spellings become numbers
        ("10", 10),
        ("-3", -3),
        ("0", 0),
        ("32.5", 32.5),
        ("0.5", 0.5),
        ("-0.25", -0.25),
        ("100.0", 100.0),  # as repr writes an integral float
        ("0.0", 0.0),
        ("0.30000000000000004", 0.30000000000000004),
        ("0.0000001", 1e-07),  # as the numeric modifiers write it
        ("123456789012345678901234567890", 123456789012345678901234567890),
        # anything else stays the text it is
        ("2.10", "2.10"),
        ("004", "004"),
        ("+7", "+7"),
        ("1e2", "1e2"),
        ("1e-07", "1e-07"),
        (".5", ".5"),
        ("5.", "5."),
        ("-0", "-0"),
        ("-0.0", "-0.0"),
        ("nan", "nan"),
        ("inf", "inf"),
        ("-Infinity", "-Infinity"),
        ("1_000", "1_000"),
        (" 1", " 1"),
        ("1 ", "1 "),
        ("0.10000000000000001", "0.10000000000000001"),  # reads as 0.1, which is spelled "0.1"
        ("9007199254740993.0", "9007199254740993.0"),  # not exact in a double
        ("10000000000000000.0", "10000000000000000.0"),  # repr writes 1e+16
        ("0x10", "0x10"),
        ("\u0661\u0662", "\u0661\u0662"),  # digits, but not ASCII ones
        ("-", "-"),
        ("", ""),
        ("t\u00e9xt", "t\u00e9xt"),
    ],
)
def test_to_python_numbers_only_for_canonical_spellings(text, value):
    got = quelmar.to_python(texts(text), numbers=True)
    assert got == value and type(got) is type(value)
    assert quelmar.to_python(texts(text)) == text  # by default every text is a str
    # an element's text follows the same rule (trimmed first, as xmltodict does)
    if text and text == text.strip():
        got = quelmar.to_python(q.get(f"<a>\n {text} </a>", "a"), numbers=True)
        assert got == value and type(got) is type(value)


def test_to_python_ints_past_the_interpreters_digit_limit_stay_texts():
    limit = getattr(sys, "get_int_max_str_digits", lambda: 0)()
    digits = "7" * max(limit + 1, 5000)
    got = quelmar.to_python(texts(digits), numbers=True)
    assert got == (digits if limit else int(digits))


@pytest.mark.parametrize(
    ("path", "value"),
    [
        ("r.a.#.@v|@count", 3),
        ("r.a.#.@v|@sum", 6.6),
        ("r.a.#.@v|@min", 1.1),
        ("r.b.#.@v|@sum", 1e-07),  # spelled 0.0000001
        ("r.z|@avg", "nan"),  # JSON has neither: these stay texts
        ("r.z|@min", "inf"),
        ("r.z|@sum", 0),
    ],
)
def test_to_python_of_numeric_modifiers(path, value):
    doc = '<r><a v="1.1"/><a v="2.2"/><a v="3.3"/><b v="0.0000001"/></r>'
    assert quelmar.to_python(q.get(doc, path), numbers=True) == value


ENTITY_DOC = '<!DOCTYPE r [<!ENTITY who "Ann &amp; Bob">]><r by="&who;">&who;&#33;<b>&who;</b></r>'

TO_PYTHON = [
    # no match, one item, several
    ("<r/>", "r.x", None),
    ("<r><a>x</a></r>", "r.a", "x"),
    ("<r><a>1</a><a>2.5</a><a>x</a></r>", "r.a", [1, 2.5, "x"]),
    ('<r><a v="1"/><a v="x"/></r>', "r.a.#.@v", [1, "x"]),
    # leaves: trimmed text, a number, or None when empty
    ("<r><a> x y </a></r>", "r.a", "x y"),
    ("<r><a>\n 7 \n</a></r>", "r.a", 7),
    ("<r><a></a></r>", "r.a", None),
    ("<r><a/></r>", "r.a", None),
    ("<r><a> \n </a></r>", "r.a", None),
    ("<r><a>x<!-- c -->y<?p?></a></r>", "r.a", "xy"),
    ("<r><a><![CDATA[<x> & y]]></a></r>", "r.a", "<x> & y"),
    ("<r><a>1\r\n2\r3</a></r>", "r.a", "1\n2\n3"),
    # attributes: @name keys, values unescaped, numbers by the same rule
    ('<r><a id="7"/></r>', "r.a", {"@id": "7"}),
    ('<r><a id="7"></a></r>', "r.a", {"@id": "7"}),
    ('<r><a id="x" n="004">t</a></r>', "r.a", {"@id": "x", "@n": "004", "#text": "t"}),
    ('<r><a id="x"> </a></r>', "r.a", {"@id": "x"}),
    ('<r><a v="a\tb\r\nc &lt;&#65;"/></r>', "r.a", {"@v": "a b c <A"}),
    ('<r><a v="1" v="2" w="3"/></r>', "r.a", {"@v": "1", "@w": "3"}),  # a repeated attribute is dropped
    # children: one key per name, a list where it repeats, in document order
    ("<r><b>1</b><c/><b>2</b><d>x</d></r>", "r", {"b": [1, 2], "c": None, "d": "x"}),
    ("<r><b>1</b><b>2</b><b>3</b></r>", "r", {"b": [1, 2, 3]}),
    ("<r><a><b><c>1</c></b></a></r>", "r", {"a": {"b": {"c": 1}}}),
    ('<r id="1"><b x="y">t</b><b/></r>', "r", {"@id": "1", "b": [{"@x": "y", "#text": "t"}, None]}),
    ("<r><a><b>1</b></a><a><b>2</b><b>3</b></a></r>", "r.a", [{"b": 1}, {"b": [2, 3]}]),
    # mixed content: text pieces joined and trimmed, white space alone dropped
    ("<p>Hello <b>world</b> again</p>", "p", {"b": "world", "#text": "Hello  again"}),
    ("<r>\n  <a>1</a>\n  <a>2</a>\n</r>", "r", {"a": [1, 2]}),
    ("<r>\n 12 <a/>\n</r>", "r", {"a": None, "#text": 12}),
    ("<r> t <b/> u\n</r>", "r.#text", " t  u\n"),  # a text item is taken as it is
    # xml:space="preserve" on the element or one around it inside the item:
    # texts not trimmed ("default" ends the scope)
    ('<p><t xml:space="preserve">grew </t><t> 12% </t><t xml:space="preserve"> in Q3</t></p>', "p",
     {"t": [{"@xml:space": "preserve", "#text": "grew "}, "12%", {"@xml:space": "preserve", "#text": " in Q3"}]}),
    ('<r xml:space="preserve"><a> x </a><b xml:space="default"> y <c> z </c></b> </r>', "r",
     {"@xml:space": "preserve", "a": " x ", "b": {"@xml:space": "default", "c": "z", "#text": "y"}, "#text": " "}),
    # ... or one the query passed through on its way to the item
    ('<p xml:space="preserve"><r><t> 1 </t><u xml:space="default"> 2 </u></r></p>', "p.r",
     {"t": " 1 ", "u": {"@xml:space": "default", "#text": 2}}),
    # names as written, namespaces not resolved
    ('<r xmlns:dc="urn:x"><dc:t xml:lang="en">a</dc:t><t>b</t></r>', "r",
     {"@xmlns:dc": "urn:x", "dc:t": {"@xml:lang": "en", "#text": "a"}, "t": "b"}),
    ('<r xmlns="urn:d"><a>1</a></r>', "r", {"@xmlns": "urn:d", "a": 1}),
    # entities, internal-subset ones included
    ("<r><a>&lt;&amp;&#x41;&#66;</a></r>", "r.a", "<&AB"),
    (ENTITY_DOC, "r", {"@by": "Ann & Bob", "b": "Ann & Bob", "#text": "Ann & Bob!"}),
    (ENTITY_DOC, "r.b", "Ann & Bob"),
    # a document cut short counts as closed where it ends
    ("<r><a>1</a><b>2", None, {"a": 1, "b": 2}),
    ("<r><a>1</a><b x='1'><c>", None, {"a": 1, "b": {"@x": "1", "c": None}}),
    # a whole document: its prolog is passed over
    ('<?xml version="1.0"?>\n<!-- c --><r><a>1</a></r>\n', None, {"a": 1}),
    ("<r>t</r>", None, "t"),
    ("not xml", None, None),
]


def _query(kind, doc, path):
    data = doc if kind == "str" else doc.encode() if kind == "bytes" else bytearray(doc.encode())
    if path is None:
        return q.parse(data)
    return {"str": q.get, "bytes": q.get_bytes, "buffer": q.get_buffer}[kind](data, path)


@pytest.mark.parametrize("kind", ["str", "bytes", "buffer"])
@pytest.mark.parametrize(("doc", "path", "value"), TO_PYTHON)
def test_to_python(kind, doc, path, value):
    r = _query(kind, doc, path)
    got = quelmar.to_python(r, numbers=True)
    assert got == value
    assert repr(got) == repr(value)  # same types and key order
    assert quelmar.to_python(r, numbers=True) == got  # nothing is consumed
    # By default the same value with every number as the text it was read
    # from (a canonical spelling: what str/repr write), so a field has one
    # type in every record.
    assert repr(quelmar.to_python(r)) == repr(_spelled(value))


def _spelled(value):
    if isinstance(value, bool) or value is None or isinstance(value, str):
        return value
    if isinstance(value, (int, float)):
        return repr(value)
    if isinstance(value, list):
        return [_spelled(v) for v in value]
    return {k: _spelled(v) for k, v in value.items()}


LEGACY = b'<?xml version="1.0" encoding="windows-1252"?><r a="caf\xe9"><n\xe9 \xe9="\xe8">cr\xe8me</n\xe9></r>'
LEGACY_VALUE = {"@a": "caf\u00e9", "n\u00e9": {"@\u00e9": "\u00e8", "#text": "cr\u00e8me"}}
UTF16 = '<?xml version="1.0" encoding="UTF-16"?><r a="\u00e9"><n>\u65e5\u672c</n></r>'.encode("utf-16")


@pytest.mark.parametrize(
    ("make", "value"),
    [
        (lambda: q.get_bytes(LEGACY, "r"), LEGACY_VALUE),
        (lambda: q.get_buffer(bytearray(LEGACY), "r"), LEGACY_VALUE),
        (lambda: q.parse(LEGACY), LEGACY_VALUE),
        (lambda: q.get_bytes(LEGACY, "r.*"), LEGACY_VALUE["n\u00e9"]),
        (lambda: q.get_bytes(LEGACY, "r.@a"), "caf\u00e9"),
        (lambda: q.get_bytes(UTF16, "r"), {"@a": "\u00e9", "n": "\u65e5\u672c"}),
        (lambda: q.parse(UTF16), {"@a": "\u00e9", "n": "\u65e5\u672c"}),
        (lambda: q.parse(memoryview(UTF16)), {"@a": "\u00e9", "n": "\u65e5\u672c"}),
    ],
)
def test_to_python_decodes_legacy_encodings(make, value):
    assert quelmar.to_python(make()) == value


@pytest.mark.parametrize(
    ("data", "path", "message"),
    [
        (b"<a>ab\xffc</a>", "a", "invalid utf-8 sequence of 1 bytes from index 2"),
        (b'<a v="ab\xe2\x82"/>', "a.@v", "incomplete utf-8 byte sequence from index 2"),
        (b'<r v="\xff"><x/></r>', "r", "invalid utf-8 sequence of 1 bytes from index 0"),
        (b"<r><x>\xff</x><y/></r>", "r", "invalid utf-8 sequence of 1 bytes from index 0"),
        (b"<r><ok/><\xff/></r>", "r", "invalid utf-8 sequence of 1 bytes from index 0"),
        (b'<r><ok \xff="1"/></r>', "r", "invalid utf-8 sequence of 1 bytes from index 1"),
        (b"<r><a>1</a><a>\xfe</a></r>", "r.a", "invalid utf-8 sequence of 1 bytes from index 0"),
    ],
)
def test_to_python_undecodable_text(data, path, message):
    with pytest.raises(ValueError, match=message):
        quelmar.to_python(q.get_bytes(data, path))


@pytest.mark.parametrize(
    ("args", "kwargs", "message"),
    [
        (("<a/>",), {}, "to_python\\(\\) argument must be a quelmar.Result, not str"),
        ((None,), {}, "must be a quelmar.Result, not NoneType"),
        ((["x"],), {}, "must be a quelmar.Result, not list"),
        ((), {}, "result"),
        ((q.parse("<a/>"), 1), {}, "takes 1 positional argument but 2"),
        ((), {"res": q.parse("<a/>")}, "res"),
        ((q.parse("<a/>"),), {"number": True}, "unexpected keyword argument 'number'"),
        ((q.parse("<a/>"),), {"result": q.parse("<a/>")}, "multiple values for argument 'result'"),
    ],
)
def test_to_python_takes_one_result(args, kwargs, message):
    with pytest.raises(TypeError, match=message):
        quelmar.to_python(*args, **kwargs)
    assert quelmar.to_python(result=q.parse("<a>1</a>")) == "1"
    assert quelmar.to_python(q.parse("<a>1</a>"), numbers=1, whitespace="trim") == 1
    with pytest.raises(ValueError, match="whitespace must be 'trim' or 'keep', not 'strip'"):
        quelmar.to_python(q.parse("<a/>"), whitespace="strip")


@pytest.mark.parametrize("kind", ["str", "bytes"])
def test_to_python_of_a_deep_document(kind):
    depth = 100_000
    doc = "<a>" * depth + "<b x='1'>x</b>" + "</a>" * depth
    r = q.get(doc, "a") if kind == "str" else q.parse(doc.encode())
    value = quelmar.to_python(r)
    for _ in range(depth - 1):  # no recursion here either
        assert type(value) is dict and list(value) == ["a"]
        value = value["a"]
    assert value == {"b": {"@x": "1", "#text": "x"}}


def test_to_python_whitespace_keep():
    r = q.get("<r>\n <a> 1 </a>\n <a xml:space='default'> </a></r>", "r")
    assert quelmar.to_python(r, whitespace="keep") == {"a": [" 1 ", {"@xml:space": "default", "#text": " "}], "#text": "\n \n "}
    assert quelmar.to_python(r) == {"a": ["1", {"@xml:space": "default"}]}
