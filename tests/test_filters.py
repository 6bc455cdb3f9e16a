"""Filters while streaming: the comparison for every operator and value
kind, the four routes and how their `found` differs, and differential tests
that force one filter through the streaming route and a fragment route."""

import itertools
import json

import pytest

from quelmar import _quelmar as q


def holds(left_text, expr):
    """Whether the filter `expr` (its left side is `b`) holds for an element
    whose first b child has the text `left_text`."""
    doc = f"<r><a><b>{left_text}</b></a></r>"
    return q.get(doc, f"r.a.#({expr})").exists()


# ---------------------------------------------------------------- compare


# (text of b, filter, expected)
COMPARE = [
    # Number values: the text is trimmed and read as a float.
    (" 3 ", "b==3", True),
    (" 3 ", "b!=3", False),
    (" 3 ", "b<3", False),
    (" 3 ", "b<=3", True),
    (" 3 ", "b>3", False),
    (" 3 ", "b>=3", True),
    (" 3 ", "b%3", False),  # no matching against numbers
    (" 3 ", "b!%3", False),
    ("3.0", "b==3", True),
    ("3e0", "b=3", True),
    ("\u30003\u00a0", "b==3", True),  # Unicode white space is trimmed
    ("-2", "b<-1.5", True),
    ("+2", "b>=2.", True),
    (".5", "b<1", True),
    ("x", "b==3", False),
    ("x", "b!=3", True),  # a text that is not a number is unequal
    ("x", "b<3", False),
    ("x", "b>=3", False),
    ("", "b==0", False),
    ("", "b!=0", True),
    ("3 4", "b==3", False),
    ("0x10", "b==16", False),
    ("1e400", "b==inf", True),  # too large: an infinity
    ("1e400", "b>1e308", True),
    ("-inf", "b<-1e308", True),
    ("Infinity", "b>=INF", True),
    ("nan", "b==nan", False),  # NaN compares false
    ("nan", "b!=nan", True),
    ("NaN", "b<1", False),
    ("NaN", "b>=1", False),
    ("1", "b<nan", False),
    # String values: byte for byte, never trimmed.
    (" 3 ", 'b=="3"', False),
    (" 3 ", 'b==" 3 "', True),
    (" 3 ", 'b!="3"', True),
    ("x", 'b=="x"', True),
    ("x", "b==x", True),  # an unquoted word is a string
    ("x", "b=='x'", True),
    ("X", 'b=="x"', False),
    ("x", 'b!="x"', False),
    ("", 'b==""', True),
    ("", "b=", True),  # an empty right side is the empty string
    ("it's", "b=='it\\'s'", True),
    ("True", "b==True", True),  # only lower-case true/false are booleans
    # Ordering against a string value: both must read as numbers.
    (" 3 ", 'b<"4"', True),
    (" 3 ", 'b>" 2 "', True),
    ("x", 'b<"y"', False),  # no lexicographic ordering
    ("3", 'b<"y"', False),
    ("b", 'b>="a"', False),
    # Matching: the value is a name pattern matched against the whole text.
    ("xa", 'b%"x*"', True),
    ("ax", 'b%"x*"', False),
    ("xa", 'b!%"x*"', False),
    ("ax", 'b!%"x*"', True),
    ("ab", 'b%"a?"', True),
    ("abc", 'b%"a?"', False),
    ("abc", 'b%"abc"', True),
    ("abc", 'b%"ab"', False),
    ("a*b", "b%a\\*b", True),  # escaped star (an unquoted value is taken as written)
    ("axb", "b%a\\*b", False),
    ("a*b", 'b%"a\\\\*b"', True),  # a quoted value is unescaped first
    ("axb", 'b%"a\\\\*b"', False),
    ("axb", 'b%"a\\*b"', True),
    ("", 'b%"*"', True),
    (" x", 'b%"x"', False),  # not trimmed
    ("x", "b%x*", True),
    ("\u00e9t\u00e9", 'b%"?t?"', True),  # ? is one character, not one byte
    # Booleans: exactly "true" or "false"; only == and != apply.
    ("true", "b==true", True),
    ("true", "b!=true", False),
    ("false", "b==false", True),
    ("false", "b==true", False),
    ("True", "b==true", False),
    (" true", "b==true", False),
    ("x", "b!=true", True),
    ("true", "b<true", False),
    ("true", "b>=true", False),
    ("true", "b%true", False),
    ("true", "b!%true", False),
]


@pytest.mark.parametrize(("text", "expr", "expected"), COMPARE)
def test_compare(text, expr, expected):
    assert holds(text, expr) is expected


@pytest.mark.parametrize(
    "expr", ["b==1", "b!=1", "b<1", "b>1", 'b=="x"', 'b!="x"', 'b%"*"', 'b!%"*"', "b==true", "b!=true"]
)
def test_missing_left_side_is_false_for_every_operator(expr):
    doc = "<r><a><c>1</c></a><a/></r>"
    assert not q.get(doc, f"r.a.#({expr})#").exists()
    assert not q.get(doc, f"r.a.#({expr.replace('b', '@b', 1)})#").exists()
    assert not q.get(doc, f"r.a.#({expr.replace('b', 'b.c', 1)})#").exists()


@pytest.mark.parametrize(
    ("expr", "expected"),
    [
        ('b==""', False),
        ('b!=""', True),
        ("b!=1", True),
        ('b%"*"', True),
        ('b%"?"', False),
        ('b%"???"', True),
        ('b=="\ufffd\ufffdz"', True),
        ("b.#text==''", False),
        ('b.0%"*z"', True),
    ],
)
def test_left_text_that_is_not_utf8_compares_with_replacement_characters(expr, expected):
    doc = b"<r><a><b>\xff\xfez</b></a></r>"
    for call in (lambda: q.get_bytes(doc, f"r.a.#({expr})"), lambda: q.get_many_bytes(doc, [f"r.a.#({expr})"])[0],
                 lambda: q.get_bytes(doc, f"r.a.#({expr})#.b"),
                 lambda: q.get_many_bytes(doc, [f"r.a.#({expr})#.b", "r.a.b", "**.b"])[0]):
        assert call().exists() is expected


@pytest.mark.parametrize(("expr", "expected"), [('@x==""', False), ('@x!=""', True), ("@x!=1", True),
                                                ('@x%"*"', True), ('@x!%"a"', True), ('@x=="\ufffd"', True)])
def test_attribute_value_that_is_not_utf8_compares_with_replacement_characters(expr, expected):
    for doc in (b'<r><a x="\xff"/></r>', b'<r><a x="\xff"></a></r>', b'<r><a x="\xff">t</a></r>'):
        for r in (q.get_bytes(doc, f"r.a.#({expr})#"), q.get_many_bytes(doc, [f"r.a.#({expr})#", "r.a"])[0]):
            assert r.exists() is expected


# ---------------------------------------------------------------- left sides


@pytest.mark.parametrize(
    ("doc", "path", "expected"),
    [
        # Only dots: the element's own text.
        ("<r><a>x</a><a>y</a></r>", 'r.a.#(.=="y")', ["y"]),
        ("<r><a> 3 </a><a>4</a></r>", "r.a.#(.==3)#", ["3"]),
        ("<r><a>x<c>y</c></a></r>", 'r.a.#(.=="xy")', ['{"c"}']),
        ("<r><a/><a>t</a></r>", 'r.a.#(.=="")#', [""]),
        ("<a><b>x</b></a>", 'a.#(..=="x")', ['{"b"}']),
        ("<r><a>x</a><a>y</a></r>", 'r.a.#(#text!="x")#', ["y"]),
        # Paths on the left side: the first item they yield.
        ("<r><a><b><c>1</c></b></a><a><b><c>2</c></b></a></r>", "r.a.#(b.c==2)", ['{"b"}']),
        ("<r><a><b>1</b><b>2</b></a><a><b>2</b><b>1</b></a></r>", "r.a.#(b.1==2).b.0", ["1"]),
        ("<r><a><x><c>5</c></x></a></r>", "r.a.#(**.c>4)", ['{"x"}']),
        ("<r><a><b/><b/></a><a><b/></a></r>", "r.a.#(b.#==2)#.b.#", ["2"]),
        ('<r><a><b k="1"/></a><a><b k="2"/></a></r>', "r.a.#(b.@k==2)#.b.@k", ["2"]),
        ("<r><a><q>1</q><b>2</b></a></r>", "r.a.#(*==1).b", ["2"]),  # * takes the first child
        ("<r><a><p:b>2</p:b></a></r>", "r.a.#(b==2).b", ["2"]),  # local names match
        ("<r><a><b>1</b><b>2</b></a></r>", "r.a.#(b==2)", []),  # only the first b counts
        ("<r><a><b>1</b><b>2</b></a></r>", "r.a.#(b.#text==2)", "ambiguous"),
        # Attributes.
        ('<r><a x="1"/><a x="2"/></r>', "r.a.#(@x==1)#.@x", ["1"]),
        ('<r><a x="1"/><a x="2"/></r>', "r.a.#(@x!=1)#.@x", ["2"]),
        ('<r><a x="1"/><a x="2"/></r>', "r.a.#(@y!=1)", []),
        ('<r><a p:x="1">t</a></r>', "r.a.#(@x==1)", ["t"]),
        # Filters on empty elements.
        ("<r><a/></r>", "r.a.#(b==1)", []),
        ("<r><a/></r>", 'r.a.#(b=="")', []),
        ("<r><a><b/></a></r>", 'r.a.#(b=="")#.b.#', ["1"]),
        ('<r><a k="1"/><a k="2"/></r>', "r.a.#(@k==2)#.@k", ["2"]),
        ('<r><a k="1"/></r>', "r.a.#(@k==1)#.#text", [""]),
        ('<r><a k="1"/></r>', "r.a.#(@k==1)#.b.#", ["0"]),
    ],
)
def test_left_sides(doc, path, expected):
    def show(x):
        if x.type_ is dict:
            return "{" + ", ".join(f'"{k}"' for k in x.keys()) + "}"
        return x.to_str()

    for call in (lambda: q.get(doc, path), lambda: q.get_many(doc, [path, "r.a"])[0]):
        if expected == "ambiguous":
            with pytest.raises(ValueError, match="ambiguous: b matches"):
                call()
            continue
        r = call()
        assert [show(x) for x in ([r] if len(r) == 1 else list(r))] == expected


# ---------------------------------------------------------------- routes and found


# (doc, path, expected texts): the edge cases of each route.
ROUTES = [
    # Attribute route: the start tag decides; a first-match filter moves on
    # while the rest of the path finds nothing.
    ('<r><a k="1"><b>1</b></a><a k="1"><b>1</b><c>C</c></a></r>', "r.a.#(@k==1).c", ["C"]),
    ('<r><a k="1"><b>1</b></a><a k="1"><b>1</b><c>C</c></a></r>', "r.a.#(@k==1).c.#text", ["C"]),
    ('<r><a k="1"><b>1</b></a><a k="1"><b>1</b><c>C</c></a></r>', "r.a.#(@k==1).@z", []),
    ('<r><a k="1"><c>1</c></a><a k="1"><c>2</c></a></r>', "r.a.#(@k==1).c", ["1"]),
    # Streaming route: the first element whose filter holds ends the level,
    # even when the rest of the path yields nothing there.
    ('<r><a k="1"><b>1</b></a><a k="1"><b>1</b><c>C</c></a></r>', "r.a.#(b==1).c", []),
    ('<r><a k="1"><b>1</b></a><a k="1"><b>1</b><c>C</c></a></r>', "r.a.#(b==1).@z", []),
    ('<r><a k="1"><b>1</b></a><a k="1"><b>1</b><c>C</c></a></r>', "r.a.#(b==1)#.c", ["C"]),
    # Fragment routes: the same.
    ('<r><a k="1"><b>1</b></a><a k="1"><b>1</b><c>C</c></a></r>', "r.a.#(b==1).c.#text", []),
    ('<r><a k="1"><b>1</b></a><a k="1"><b>1</b><c>C</c></a></r>', "r.a.#(b.#text==1).c", []),
    ('<r><a k="1"><b>1</b></a><a k="1"><b>1</b><c>C</c></a></r>', "r.a.#(b==1)#.c.#text", ["C"]),
    # Trimming for numbers, not for strings; matching on the untrimmed text.
    ("<r><a><b> 3 </b></a><a><b>x</b></a></r>", "r.a.#(b>2)#.b", ["3"]),
    ("<r><a><b> 3 </b></a><a><b>x</b></a></r>", 'r.a.#(b=="3")#.b', []),
    ("<r><a><b>xa</b></a><a><b>ya</b></a><a><c>x</c></a></r>", 'r.a.#(b%"x*")#.b', ["xa"]),
    ("<r><a><b>xa</b></a><a><b>ya</b></a><a><c>x</c></a></r>", 'r.a.#(b!%"x*")#.b', ["ya"]),
    # The deciding child is also a result of the next step.
    ("<r><a><b>1</b><b>2</b></a><a><b>3</b></a></r>", "r.a.#(b==1)#.b", ["1", "2"]),
    ("<r><a><b>1</b><b>2</b></a></r>", "r.a.#(b==1)#.b.1", ["2"]),
    ("<r><a><b>1</b><b/><b>3</b></a></r>", "r.a.#(b==1)#.b.2", ["3"]),
    ("<r><a><b>1</b><c>2</c><c>3</c></a></r>", "r.a.#(b==1)#.c.#", ["2"]),
    ("<r><a><b>1</b><c>2</c><c>3</c></a></r>", "r.a.#(b==1)#.c.#(.==3)", ["3"]),
    ("<r><a><c>0</c><b>1</b><c>2</c></a><a><c>9</c><b>2</b></a></r>", "r.a.#(b==1)#.c", ["0", "2"]),
    ('<r><a k="7"><b>1</b></a><a k="8"><b>2</b></a></r>', "r.a.#(b==2)#.@k", ["8"]),
    # Filters one inside the other's rest.
    ("<r><a><b>1</b><c><d>2</d></c><c><d>3</d></c></a></r>", "r.a.#(b==1)#.c.#(d>2)#.d", ["3"]),
    ('<r><a k="1"><c><d>2</d></c></a><a k="2"><c><d>3</d></c></a></r>', "r.a.#(@k==2).c.#(d==3).d", ["3"]),
]


@pytest.mark.parametrize(("doc", "path", "expected"), ROUTES)
def test_routes(doc, path, expected):
    for r in (
        q.get(doc, path),
        q.get_bytes(doc.encode(), path),
        q.get_buffer(doc.encode(), path),
        q.get_many(doc, [path])[0],
        q.get_many(doc, ["r.a", path, "r.a.#"])[1],  # other paths read the same elements
        q.get_buffer(doc.encode(), "r").get(path[2:]),
        q.get_buffer(doc.encode(), "r").get_many([path[2:], "a"])[0],
    ):
        assert [x.to_str() for x in ([r] if len(r) == 1 else list(r))] == expected


def test_empty_element_matches_on_every_route():
    doc = '<r><a k="1"/><a k="1"><b>1</b></a><a/></r>'
    assert q.get(doc, "r.a.#(@k==1)").to_str() == ""  # the empty a: found, level ends
    assert len(q.get(doc, "r.a.#(@k==1)#")) == 2
    assert q.get(doc, "r.a.#(b==1)").to_str() == '<a k="1"><b>1</b></a>'
    assert q.get(doc, 'r.a.#(.=="")#|@count').value == 2


# ---------------------------------------------------------------- differential


DOCS = [
    "<r><a><b>1</b><c>x</c></a><a><b>2</b><c>y</c><c>z</c></a><a><c>w</c></a></r>",
    "<r><a><c>0</c><b>1</b><c>2</c><b>9</b></a><a><b/><c>3</c></a><a/></r>",
    '<r><a k="1"><b> 3 </b><b>1</b><c k="c1">c</c></a><a k="2"><p:b>xa</p:b><c/><c k="c2">d</c></a></r>',
    "<r><a><b>1<i>2</i></b><c><c>n</c></c></a><a><x><b>1</b></x><c>o</c></a></r>",
    "<r><a><b>1</b><c>t</c></a><a><b>1</b></a><a><b>1</b><c>u</c></a></r>",
    "<r><a><b>1</b><c>p</c><!-- <c>no</c> --></a><a><b>1</b><c>q</c>",  # truncated
]
FILTERS = ["b==1", "b!=1", "b>=1", "b<2", 'b=="1"', 'b!=""', 'b%"x*"', 'b!%"1"', "b==true"]
RESTS = ["", ".c", ".c.0", ".c.1", ".c.#.#text", ".@k", ".b", ".b.0"]


def fragment_form(expr):
    """The same filter with a left side that is not one plain element step:
    it is decided in a fragment of the element, not while streaming."""
    return expr.replace("b", "b.0.#text", 1)


@pytest.mark.parametrize(
    ("doc", "expr", "rest", "all_matches"),
    list(itertools.product(DOCS, FILTERS, RESTS, [False, True])),
)
def test_streaming_and_fragment_routes_agree(doc, expr, rest, all_matches):
    mark = "#" if all_matches else ""
    streaming = f"r.a.#({expr}){mark}{rest}"
    fragment = f"r.a.#({fragment_form(expr)}){mark}{rest}"
    expected = q.get(doc, streaming)
    assert expected == q.get(doc, fragment)  # same item texts
    assert len(expected) == len(q.get(doc, fragment))
    for path in (streaming, fragment):
        many = q.get_many_bytes(doc.encode(), [path, "r.a"])[0]
        assert len(many) == len(expected) and many == expected


@pytest.mark.parametrize(("doc", "expr"), list(itertools.product(DOCS, FILTERS)))
def test_next_step_through_both_routes(doc, expr):
    # One rest step streams; the same step followed by #text is applied
    # inside the fragment. Their texts agree.
    for rest, texts in ((".c", ".c.#.#text"), (".c.1", ".c.1.#text"), (".b", ".b.#.#text")):
        for mark in ("", "#"):
            streamed = q.get(doc, f"r.a.#({expr}){mark}{rest}")
            in_fragment = q.get(doc, f"r.a.#({expr}){mark}{texts}")
            assert streamed == in_fragment
            assert len(streamed) == len(in_fragment)


# Leaf elements have their text read by a short route; every other shape by
# the reader. Both must give the same text: as a filter's left side (on the
# single-path engine and in a multi-path pass, where the text is read once
# for all paths) and as the number a sum adds.
LEAF_TEXTS = [
    (b"<x>abc</x>", "abc"),
    (b'<x a="1>2" b=\'>\'>abc</x>', "abc"),
    (b"<x>a&amp;b&#51;</x>", "a&b3"),
    (b"<x>a&bogus;b</x>", "a&bogus;b"),
    (b"<x></x>", ""),
    (b"<x> </x>", " "),
    (b"<x>a<!-- c -->b</x>", "ab"),
    (b"<x>a<![CDATA[<&]]>b</x>", "a<&b"),
    (b"<x>a<z>q</z>b</x>", "aqb"),
    (b"<x>\xff</x>", "\ufffd"),
    (b"<x>caf\xc3\xa9</x >", "café"),
]


@pytest.mark.parametrize(("leaf", "text"), LEAF_TEXTS)
def test_leaf_text_as_filter_left_side(leaf, text):
    doc = b"<r><e>" + leaf + b"<y>1</y></e><e><x>other</x><y>2</y></e></r>"
    path = 'r.e.#(x==' + json.dumps(text, ensure_ascii=False) + ')#.y'
    assert q.get_bytes(doc, path).value == 1
    # With companions that enter the same elements, the filter is decided
    # during their scan of the children.
    many = q.get_many_bytes(doc, [path, "r.e.#.x", "**.y|@count"])
    assert many[0].value == 1


@pytest.mark.parametrize(
    ("leaves", "total"),
    [
        (b'<x>1.5</x><x a=">">2</x><x>&#51;</x>', 6.5),
        (b"<x> 4 </x><x>a</x><x><![CDATA[5]]></x><x>1<!---->0</x>", 19),
        (b"<x>0.1</x><x>0.2</x><x>-0.30</x><x>123456789012345</x>", 123456789012345.0),
    ],
)
def test_sum_of_leaf_texts(leaves, total):
    doc = b"<r>" + leaves + b"</r>"
    assert q.get_bytes(doc, "r.#.x|@sum").value == total
    many = q.get_many_bytes(doc, ["r.#.x|@sum", 'r.x.#(x=="a")#', "**.x|@count"])
    assert many[0].value == total
