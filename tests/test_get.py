"""Single-path queries: get, get_bytes, get_buffer and the Path methods.

Step matching, captures, spans against owned copies, the ambiguity error,
malformed input, argument checks in their fixed order, buffer acceptance,
reference counts and very deep documents."""

import array
import gc
import mmap
import os
import sys

import pytest

import quelmar
from quelmar import _quelmar as q

AMBIGUOUS = (
    "path is ambiguous: {} matches multiple elements but the path continues; "
    "specify .N (single) or .# (each)"
)
NOT_BUFFER = "data must be a buffer-protocol object (mmap, bytearray, memoryview)"
NOT_DOCUMENT = "data must be bytes, str, or a buffer-protocol object (mmap, bytearray)"
NOT_CONTIGUOUS = "buffer must be C-contiguous"
BAD_PATH = "a.#(x)"  # missing operator


def answer(r):
    """(number of items, to_str()): with two or more items to_str() shows the
    raw form of every item (element markup or text)."""
    return (len(r), r.to_str())


# ---------------------------------------------------------------- step matching


@pytest.mark.parametrize(
    ("doc", "path", "expected"),
    [
        # Last step without selector: every match is captured.
        ("<a><b>1</b><b>2</b></a>", "a.b", (2, "<b>1</b>\n<b>2</b>")),
        ("<a><b>1</b><c/><b>2</b></a>", "a.b", (2, "<b>1</b>\n<b>2</b>")),
        ("<a><b>1</b></a>", "a.c", (0, "")),
        ("<a><b>1</b></a>", "x", (0, "")),
        # Index.
        ("<a><b>1</b><b>2</b></a>", "a.b.1", (1, "2")),
        ("<a><b>1</b><b>2</b></a>", "a.b.0", (1, "1")),
        ("<a><b>1</b><b>2</b></a>", "a.b.5", (0, "")),
        ("<a><b/><b>2</b></a>", "a.b.1", (1, "2")),  # empty elements count
        ("<a><b>1</b><c/><b>2</b></a>", "a.b.1.#text", (1, "2")),
        # Count.
        ("<a><b>1</b><b>2</b><b/></a>", "a.b.#", (1, "3")),
        ("<a></a>", "a.b.#", (1, "0")),
        ("<a/>", "a.b.#", (1, "0")),
        ("<a><b/></a>", "a.#", (1, "1")),
        ("<a><b>x</b><b/></a>", "a.b.#.c.#", (2, "0\n0")),  # a count below an empty element is 0
        ("<a><b><c/><c/></b><b/><b><c/></b></a>", "a.b.#.c.#", (3, "2\n0\n1")),
        # Each.
        ("<a><b><c>1</c></b><b><c>2</c><c>3</c></b></a>", "a.b.#.c", (3, "<c>1</c>\n<c>2</c>\n<c>3</c>")),
        ('<a><b x="1"/><b x="2">t</b></a>', "a.b.#.@x", (2, "1\n2")),
        ("<a><b>1</b><b/><b>2</b></a>", "a.b.#.#text", (3, "1\n\n2")),
        # Descendants: at any depth, but not inside a matched element.
        ("<a><b><b>in</b></b><c><b>2</b></c></a>", "**.b", (2, "<b><b>in</b></b>\n<b>2</b>")),
        ("<a><x><y><b>1</b></y></x><b/></a>", "a.**.b", (2, "<b>1</b>\n<b/>")),
        ("<a><x><b><c>1</c></b></x><b><c>2</c></b></a>", "**.b.c", (2, "<c>1</c>\n<c>2</c>")),
        ("<a><b>1</b></a>", "**.a", (1, "<a><b>1</b></a>")),
        ("<a><x/></a>", "**.b", (0, "")),
        # Wildcards and prefixes: the full name or the local name matches.
        ("<a><p:b>1</p:b><q:b>2</q:b></a>", "a.b", (2, "<p:b>1</p:b>\n<q:b>2</q:b>")),
        ("<a><p:b>1</p:b><q:b>2</q:b></a>", "a.p:b", (1, "1")),
        # The local name is what follows the first ':' only.
        ("<a><x:y:b>1</x:y:b><:b>2</:b><b:>3</b:><xb>4</xb><b>5</b></a>", "a.b", (2, "<:b>2</:b>\n<b>5</b>")),
        ("<a><x:y:b>1</x:y:b><x:b>2</x:b></a>", "a.x:y:b", (1, "1")),
        ("<a><x:longer>1</x:longer><longer>2</longer><r>3</r></a>", "a.longer.#", (1, "2")),
        ("<a><bx>1</bx><by>2</by><c>3</c></a>", "a.b*", (2, "<bx>1</bx>\n<by>2</by>")),
        ("<a><bx>1</bx><bxy>2</bxy></a>", "a.b?", (1, "1")),
        ("<a><b>1</b><c>2</c></a>", "a.*.#", (1, "2")),
        ("<a><b.c>1</b.c></a>", r"a.b\.c", (1, "1")),
        # Markup that is not an element is passed over.
        ("<a><b>1</b><!-- <b>2</b> --><![CDATA[<b>3</b>]]><?b x?><b>4</b></a>", "a.b", (2, "<b>1</b>\n<b>4</b>")),
        ('<?xml version="1.0"?><!DOCTYPE a><!-- c --><a><b>1</b></a>', "a.b", (1, "1")),
        # Several top-level elements.
        ("<a><b>1</b></a><a><b>2</b></a>", "a", (2, "<a><b>1</b></a>\n<a><b>2</b></a>")),
        ("<a><b>1</b></a><a><b>2</b></a>", "a.0.b", (1, "1")),
    ],
)
def test_steps(doc, path, expected):
    assert answer(q.get(doc, path)) == expected
    assert answer(q.get_bytes(doc.encode(), path)) == expected
    assert answer(q.get_buffer(doc.encode(), path)) == expected
    assert answer(q.compile(path).get(doc)) == expected


@pytest.mark.parametrize(
    ("doc", "path", "expected"),
    [
        ("<a>x<b>y</b><![CDATA[<z>]]>&amp;</a>", "a.#text", "xy<z>&"),
        ("<a> x <b> y </b></a>", "a.#text", " x  y "),  # not trimmed
        ("<a>&#65;&#x42;&lt;</a>", "a.#text", "AB<"),
        ("<a>ok&bogus;<b>kept</b></a>", "a.#text", "ok&bogus;kept"),  # an unknown entity stays as written
        ("<a/>", "a.#text", ""),
        ("<r><a/></r>", "r.a.#text", ""),
        ("<a>1</a>", "#text", ""),  # no element around it
        ('<a p:id="7"/>', "a.@id", "7"),
        ('<a xml:id="7"/>', "a.@id", "7"),
        ('<a id="&bogus;"/>', "a.@id", "&bogus;"),  # left raw
        ('<a x="&lt;&#65;"/>', "a.@x", "<A"),
        ('<a id="1" id="2"/>', "a.@id", "1"),  # the duplicate is malformed and skipped
        ('<a x="1"><b x="2"/></a>', "a.@x", "1"),
        ('<r><a x=" 1 "></a></r>', "r.a.@x", " 1 "),
    ],
)
def test_text_and_attribute_steps(doc, path, expected):
    r = q.get(doc, path)
    assert len(r) == 1
    assert r == expected  # untrimmed text


# (attributes of e, attribute name asked for, value or None)
ATTRIBUTE_NAMES = [
    # A prefixed name is the qualified name, exactly.
    (' xml:lang="en"', "xml:lang", "en"),
    (' xlink:href="u" href="h"', "xlink:href", "u"),
    (' a:attr="out" attr="in"', "a:attr", "out"),
    (' x:id="1" xml:id="2"', "xml:id", "2"),
    (' xml:lang="en"', "xsi:lang", None),  # another prefix
    (' lang="en"', "xml:lang", None),  # no prefix
    (' xml:langs="en" xml:lan="en"', "xml:lang", None),
    # Without a prefix: the attribute of exactly that name, whichever comes first ...
    (' a:attr="out" attr="in"', "attr", "in"),
    (' attr="in" a:attr="out"', "attr", "in"),
    (' x="1" a:x="2" x="3"', "x", "1"),  # the repeated x is malformed
    # ... else the first found by its local name.
    (' xml:id="7"', "id", "7"),
    (' xml:lang="en"', "lang", "en"),
    # a namespace declaration is no attribute of its prefix's name
    (' xmlns:lang="urn:l" xml:lang="fr"', "lang", "fr"),
    (' xmlns:x="N"', "x", None),
    (' xmlns:x="N"', "xmlns:x", "N"),
    (' a:x="1" b:x="2"', "x", "1"),
    (' a:x="1" x=2', "x", "1"),  # an unquoted value is passed over
    (' :x="1"', "x", "1"),
    (' x:="1"', "x", None),
    # The local name is what follows the first ':'.
    (' a:b:c="1" b:c="2"', "b:c", "2"),
    (' b:c="2" a:b:c="1"', "b:c", "2"),
    (' a:b:c="1"', "b:c", None),
    (' a:b:c="1"', "a:b:c", "1"),
    (' a:b:c="1"', "c", None),
    (' a:b:c="1"', "b", None),
    # Names outside ASCII, also in a legacy encoding.
    (' p:\xe9="1" \xe9="2"', "\xe9", "2"),
    (' p:\xe9="1" \xe9="2"', "p:\xe9", "1"),
    (' q:\xe9="1"', "\xe9", "1"),
]


@pytest.mark.parametrize(("attrs", "name", "expected"), ATTRIBUTE_NAMES)
def test_attribute_names(attrs, name, expected):
    def found(r):
        return [r.to_str()] if r.exists() else []

    want = [] if expected is None else [expected]
    docs = [f"<r><e{attrs}><c>1</c></e></r>", f"<r><e{attrs}/></r>"]
    for doc in docs:
        legacy = ('<?xml version="1.0" encoding="windows-1252"?>' + doc).encode("cp1252")
        inner = doc != docs[1]
        paths = [
            f"r.e.@{name}",
            f'r.e.#(@{name}%"*")#.@{name}',  # attribute route
            f'r.#(e.@{name}%"*")#.e.@{name}',  # filter decided in a fragment
            f"r.e.#(c==1)#.@{name}" if inner else f"r.e.#(.==\"\")#.@{name}",  # streaming route
            f"r.e.#(c.#text==1)#.@{name}" if inner else f"r.e.0.@{name}",
        ]
        if expected is not None:
            paths.append(f'r.e.#(@{name}=="{expected}").@{name}')
        for path in paths:
            for r in (
                q.get(doc, path),
                q.get_buffer(doc.encode(), path),
                q.get_bytes(legacy, path),
                q.compile(path).get(doc),
                q.get_many(doc, [path])[0],
                q.get_many(doc, ["r.e", path, "r.e.#", "r.#(e.@x==1)"])[1],
                q.get_many_bytes(legacy, [path, "r.e"])[0],
                q.parse(doc).get(path),
                q.get_buffer(f"<w>{doc}</w>".encode(), "w").get(path),
                q.get_buffer(f"<w>{doc}</w>".encode(), "w").get_many([path, "r"])[0],
            ):
                assert found(r) == want, (doc, path)
        e = q.get_buffer(doc.encode(), "r.e")
        assert found(e.get(f"@{name}")) == want
        assert found(e.get_many(["c", f"@{name}"])[1]) == want


@pytest.mark.parametrize(
    ("doc", "path"),
    [
        ('<a x="1">t</a>', "@x"),  # no element to read the attribute from
        ("<a>t</a>", "a.@x"),
        ("<r><a/></r>", "r.a.@x"),
    ],
)
def test_missing_attribute_gives_nothing(doc, path):
    assert not q.get(doc, path).exists()


def test_attribute_value_that_is_not_utf8_keeps_its_bytes():
    r = q.get_bytes(b'<a x="&amp;\xff"/>', "a.@x")
    with pytest.raises(ValueError, match="from index 1$"):  # unescaped, the bad byte kept
        r.to_str()


# ---------------------------------------------------------------- texts on every route


def literal(text):
    """`text` as a filter's string value."""
    return '"' + text.replace("\\", "\\\\").replace('"', '\\"') + '"'


def element_texts(doc, path):
    """The text of the one item `path` gives, by every route that hands it
    out: both engines over every input kind, compiled paths, relative
    queries, dict views, iteration and modifiers."""
    raw = doc.encode()
    out = {
        "get": q.get(doc, path).value,
        "get_bytes": q.get_bytes(raw, path).value,
        "get_buffer": q.get_buffer(bytearray(raw), path).value,
        "Path.get": q.compile(path).get(doc).value,
        "get_many": q.get_many(doc, [path, "zz"])[0].value,
        "get_many_bytes": q.get_many_bytes(raw, ["zz", path])[1].value,
        "parse.get": q.parse(raw).get(path).value,
        "parse.get_many": q.parse(doc).get_many([path, "r"])[0].value,
        "to_str": q.get_bytes(raw, path).to_str(),
        "|@first": q.get_bytes(raw, path + "|@first").value,
        "|@sort": q.get_bytes(raw, path + "|@sort").value,
        "|@uniq": q.get_many_bytes(raw, [path + "|@uniq"])[0].value,
        "chars": "".join(q.get_bytes(raw, path)).strip(),  # characters are untrimmed
    }
    head, _, last = path.rpartition(".")
    parent = q.get_bytes(raw, head)
    out["Result.get"] = parent.get(last).value
    out["Result.get_many"] = parent.get_many([last])[0].value
    if not last.startswith(("@", "#")):
        out["dict"] = parent.value[last].value
        out["values"] = [v.value for k, v in parent.items() if k == last][0]
        out["#text"] = q.get(doc, path + ".#text").value
        out["get_many #text"] = q.get_many_bytes(raw, [path + ".#text", head])[0].value
    return out


def filter_holds(doc, expected, attribute):
    """Whether every filter route finds `expected` as the text of `r.a` (or
    of its attribute x): streaming, fragment and attribute routes, `==` and
    `%`, on both engines."""
    raw = doc.encode()
    lit = literal(expected)
    paths = [
        f"r.#(a=={lit})",  # streaming route
        f"r.#(a=={lit}).a.#text",  # streaming route with a next step
        f"r.#(a.#text=={lit})",  # fragment route
        f"r.a.#(#text=={lit})#",  # fragment route on the element itself
        f"r.a.#(@x=={literal(attribute)})",  # attribute route
    ]
    if not any(c in expected for c in "*?\\"):
        paths.append(f"r.#(a%{lit})")
    found = []
    for p in paths:
        found.append(q.get_bytes(raw, p).exists())
        found.append(q.get_many_bytes(raw, [p, "r.a", "r.#.a.#text", "**.a|@count"])[0].exists())
    return found


def check_text_everywhere(prolog, text, expected):
    doc = f"{prolog}<r><a x=\"{text}\">{text}</a></r>"
    texts = element_texts(doc, "r.a")
    assert texts == dict.fromkeys(texts, expected)
    attrs = element_texts(doc, "r.a.@x")
    return doc, attrs


# Unknown references keep their text: what resolves is resolved, the rest
# stays exactly as written, in text and attribute values alike.
@pytest.mark.parametrize(
    ("text", "expected"),
    [
        ("AT&amp;T &copy; 2024", "AT&T &copy; 2024"),
        ("Trygve Laugst&oslash;l", "Trygve Laugst&oslash;l"),
        ("&#0;&#X41;&#x41;&#xD800;&#-1;&#;", "&#0;&#X41;A&#xD800;&#-1;&#;"),
        # references to characters XML does not allow stay too
        ("&#8;&#1;&#xFFFE;&#xFFFF;&#x1F;&#9;&#x10FFFF;", "&#8;&#1;&#xFFFE;&#xFFFF;&#x1F;\t\U0010ffff"),
        ("a &amp; b & c", "a & b & c"),
        ("&lt;&amp&gt;", "<&amp>"),
        ("&&&&&amp;", "&&&&&"),
        ("&nbsp;", "&nbsp;"),
    ],
)
def test_unknown_references_keep_their_text(text, expected):
    doc, attrs = check_text_everywhere("", text, expected)
    assert attrs == dict.fromkeys(attrs, expected)
    assert all(filter_holds(doc, expected, expected))


def test_runs_of_ampersands_stay_linear():
    doc = "<r><a>" + "&" * 1_000_000 + "x;</a></r>"
    assert len(q.get(doc, "r.a").value) == 1_000_002
    assert len(q.get_many(doc, ["r.a"])[0].value) == 1_000_002


# Line ends become LF in every text handed out; in attribute values tab, LF,
# CR and CR LF become a space, while character references keep their
# character. Raw markup stays as written.
@pytest.mark.parametrize(
    ("text", "expected", "attribute"),
    [
        ("a\r\nb", "a\nb", "a b"),
        ("a\rb\r", "a\nb", "a b"),  # a trailing line end is trimmed by value
        ("x\r\n\r\ny", "x\n\ny", "x  y"),
        ("t\tu\nv", "t\tu\nv", "t u v"),
        ("&#13;&#10;z&#9;", "z", "z"),  # trimmed: only white space around z
        ("p&#10;q&#13;r", "p\nq\rr", "p\nq\rr"),
        ("c\r\n&amp;", "c\n&", "c &"),
    ],
)
def test_line_ends_and_attribute_white_space(text, expected, attribute):
    doc, attrs = check_text_everywhere("", text, expected)
    assert attrs == dict.fromkeys(attrs, attribute)
    raw = f"<r><a>{text}<b/></a></r>"
    assert q.get(raw, "r.a").to_str() == f"<a>{text}<b/></a>"  # markup as written


def test_line_ends_untrimmed():
    doc = "<r x='1\r\n2'><a x='1\r\n2'>\r\n1\r2\r\n</a><b><![CDATA[3\r\n4\r]]></b></r>"
    for r in (q.get(doc, "r.a.#text"), q.get_many(doc, ["r.a.#text"])[0]):
        assert r == "\n1\n2\n"
    assert q.get(doc, "r.a")[:] == "\n1\n2\n"
    assert q.get_bytes(doc.encode(), "r.b.#text") == "3\n4\n"
    assert q.get_many_bytes(doc.encode(), ["r.b.#text"])[0] == "3\n4\n"
    assert q.get(doc, "r.a.@x") == "1 2"
    for p in ('r.#(a=="\n1\n2\n").b.#text', 'r.#(a.#text=="\n1\n2\n").b.#text', 'r.#(@x=="1 2").b'):
        assert q.get(doc, p) == "3\n4\n"
        assert q.get_many(doc, [p, "r.a"])[0] == "3\n4\n"


# General entities of the internal subset expand in text and attribute
# values, nested ones included; markup, recursion and unknown names stay as
# written.
ENTITIES = (
    '<!DOCTYPE r [\n<!ENTITY co "Acme">\n<!ENTITY full "&co; Inc. &amp; &#65;">\n'
    '<!ENTITY m "<b>x</b>">\n<!ENTITY a "&b;"><!ENTITY b "&a;">\n<!ENTITY lf "1\r\n2">\n'
    "<!-- <!ENTITY no 'comment'> --><!ENTITY % pe 'param'>\n<!ENTITY ext SYSTEM \"x.ent\">\n"
    '<!ENTITY co "second declaration">\n<!ENTITY lt "&#38;#60;">\n<!ENTITY q \'say "hi"\'>]>'
)


@pytest.mark.parametrize(
    ("text", "expected", "attribute"),
    [
        ("&co;", "Acme", "Acme"),
        ("&full;!", "Acme Inc. & A!", "Acme Inc. & A!"),
        ("&m;", "&m;", "&m;"),
        ("&a;&b;", "&a;&b;", "&a;&b;"),
        ("&no;&pe;&ext;", "&no;&pe;&ext;", "&no;&pe;&ext;"),
        ("&lf;", "1\n2", "1 2"),
        ("&lt;&q;", '<say "hi"', '<say "hi"'),
    ],
)
def test_internal_subset_entities(text, expected, attribute):
    doc, attrs = check_text_everywhere(ENTITIES, text, expected)
    assert attrs == dict.fromkeys(attrs, attribute)
    assert all(filter_holds(doc, expected, attribute))


def test_internal_subset_after_a_quoted_bracket():
    doc = '<!DOCTYPE r SYSTEM "r[1].dtd" [<!ENTITY e "]>"><!ENTITY f \'x\'>]><r a="&f;">&e;&f;</r>'
    assert q.get(doc, "r").value == "]>x"
    assert q.get_many(doc, ["r.@a"])[0].value == "x"
    assert q.get(doc, "#text").value == ""


def test_entity_expansion_is_bounded():
    lol = "".join(
        f'<!ENTITY l{i} "{("&l%d;" % (i - 1)) * 10}">' if i else '<!ENTITY l0 "lol">' for i in range(10)
    )
    doc = f"<!DOCTYPE r [{lol}]><r><a>&l9;</a><b>{'&l5;' * 40}</b><c>&l2;</c></r>"
    # Past the bound references stay as written; within it they expand.
    assert q.get(doc, "r.a").value == "&l9;"
    b = q.get(doc, "r.b").value
    assert len(b) < 9 * 2**20 and b.startswith("lol" * 1000) and b.endswith("&l5;")
    assert q.get(doc, "r.c").value == "lol" * 100
    assert q.get_many(doc, ["r.a", "r.c"])[1].value == "lol" * 100
    # Filtered fragments, read again by readers of their own, draw on the
    # budget of the pass.
    doc = f"<!DOCTYPE r [{lol}]><r>{'<a><b>&l5;</b></a>' * 100}</r>"
    for path in ('r.a.#(b.#text%"*")#.b.#text', 'r.a.#(b.#text%"*")#.#text'):
        for r in (q.get(doc, path), q.get_many(doc, [path, "r.a.#"])[0]):
            texts = r.value
            assert len(texts) == 100
            assert sum(len(t.value) for t in texts) < 9 * 2**20
            assert texts[0].value == "lol" * 100_000 and texts[-1].value == "&l5;"
    # Elements kept in a Result and read later draw on the budget of the pass
    # that found them (or of the reading that found them as children): a
    # small document of 300 KB references does not make 300 KB per element.
    doc = f"<!DOCTYPE r [{lol}]><r>{'<c>&l5;</c>' * 200}</r>"
    answers = {
        "value": [t.value for t in q.get(doc, "r.c")],
        "sort": [t.value for t in q.get(doc, "r.c|@sort")],
        "get_many": [t.value for t in q.get_many(doc, ["r.c", "r.c.#"])[0]],
        "children": [t.value for t in q.parse(doc)["c"]],
        "values()": [t.value for t in list(q.get(doc, "r").values())[0]],
        "to_python": quelmar.to_python(q.get(doc, "r.c")),
    }
    for route, texts in answers.items():
        assert len(texts) == 200 and "lol" * 100_000 in texts and "&l5;" in texts, route
        assert sum(map(len, texts)) < 2 * 9 * 2**20, route
    path = "r.c.#.#text|@uniq|@count"
    assert q.get(doc, path).value == q.get_many(doc, [path])[0].value == 2


@pytest.mark.parametrize(
    ("doc", "path", "name"),
    [
        ("<a><b>1</b><b>2</b></a>", "a.b.c", "b"),
        ("<a><b></b><b><c/></b></a>", "a.b.c", "b"),  # even if the first gave nothing
        ("<a><b><c/></b><b/></a>", "a.b.c", "b"),  # an empty element counts
        ("<a><b/><b/></a>", "a.b.#text", "b"),
        ('<a><b x="1"/><b/></a>', "a.b.@x", "b"),
        ("<a><bx><d/></bx><by/></a>", "a.b*.d", "b*"),
        ("<a><bx><d/></bx><by/></a>", "a.b?.d", "b?"),
        ("<a><b.c><d/></b.c><b.c/></a>", r"a.b\.c.d", "b.c"),
        ("<a><p:b/><b/></a>", "a.b.d", "b"),
        ("<a/><a/>", "a.b", "a"),
        ("<r><x><b/><b/></x></r>", "r.x.b.c", "b"),
        ("<r><x><q/></x><x><b/></x></r>", "r.x.b", "x"),
    ],
)
def test_ambiguity_message(doc, path, name):
    for call in (lambda: q.get(doc, path), lambda: q.get_buffer(doc.encode(), path),
                 lambda: q.compile(path).get_bytes(doc.encode())):
        with pytest.raises(ValueError) as info:
            call()
        assert str(info.value) == AMBIGUOUS.format(name)


@pytest.mark.parametrize(
    ("doc", "path", "name"),
    [
        ("<a><b\x00c><d/></b\x00c><b\x00c><e/></b\x00c></a>", "a.b\x00c.d", "b\x00c"),
        ("<a><x\x00><d/></x\x00><y\x00><e/></y\x00></a>", "a.*\x00*.d", "*\x00*"),
    ],
)
def test_ambiguity_message_keeps_text_after_a_nul(doc, path, name):
    for call in (lambda: q.get(doc, path), lambda: q.get_many(doc, [path]),
                 lambda: q.parse(doc).get(path), lambda: q.parse(doc).get_many([path])):
        with pytest.raises(ValueError) as info:
            call()
        assert str(info.value) == AMBIGUOUS.format(name)


@pytest.mark.parametrize(
    ("doc", "path", "expected"),
    [
        ("<a><b><c>1</c></b><b><c>2</c></b></a>", "a.b.c.0", (1, "1")),  # stops at its result
        ("<a><b><c>1</c></b><b/></a>", "a.b.c|@first", (1, "1")),  # @first stops at the first item
        ("<a><b>1</b><b>2</b></a>", "a.b.1", (1, "2")),
        ("<a><b>1</b><b>2</b></a>", "a.b.#.#text|@first", (1, "1")),
    ],
)
def test_early_stop_answers_before_an_ambiguity(doc, path, expected):
    assert answer(q.get(doc, path)) == expected


# ---------------------------------------------------------------- malformed input


@pytest.mark.parametrize(
    ("doc", "path", "expected"),
    [
        ("<a><b>1</b><b>2", "a.b", (2, "<b>1</b>\n<b>2")),  # the cut capture ends at the input's end
        ("<a><b>1</b><b>2</b>", "a.b", (2, "<b>1</b>\n<b>2</b>")),
        ("<a><b>1</b><b", "a.b", (1, "1")),
        ("<a><b>1</b><c x='1", "a.b.#", (1, "1")),  # a count cut short reports what it counted
        ("<a/></a><a/>", "a.#", (1, "1")),
        ("<r><a/></x></a><a/></r>", "r.a.#", (1, "1")),
        ("<a><b>1</b><!-- x", "a.b", (1, "1")),
        ("<a><b>1</b><![CDATA[ x", "a.b", (1, "1")),
        ("<a><b>1</b></c><b>2</b></a>", "a.b", (1, "1")),  # end names are not checked: </c> ends a
        ("<a><b>1</b></a></a><b>3</b>", "a.b", (1, "1")),
        ("<a><b>1</b></a></a><a><b>3</b></a>", "a.b", (1, "1")),  # the stray end tag ends the scan
        ("<a><b>1</b></a><a><b>3</b></a>", "a.b", None),  # two a: ambiguous
        ("", "a", (0, "")),
        ("no markup", "a", (0, "")),
        ("<", "a", (0, "")),
        ("</a>", "a", (0, "")),
        ("<a", "a.#", (1, "0")),
        ("<a>", "a.#", (1, "1")),
        ("<a>", "a.b.#", (1, "0")),
        ("<a><b>", "a.b.#text", (1, "")),
        ("<a>text", "a.#text", (1, "text")),
        ("<a><b x='1>", "a.b.@x", (0, "")),
        ("<a><b x=1>t</b></a>", "a.b", (1, "t")),  # attributes are read only when asked for
        ("<a><b x=1>t</b></a>", "a.b.@x", (0, "")),
        ("<a><b>&#xZZ;</b><b>2</b></a>", "a.b.#.#text", (2, "&#xZZ;\n2")),
        ("<a>\x00<b>1</b></a>", "a.b", (1, "1")),
    ],
)
def test_malformed_input_returns_what_was_collected(doc, path, expected):
    if expected is None:
        with pytest.raises(ValueError, match="ambiguous"):
            q.get(doc, path)
        return
    assert answer(q.get(doc, path)) == expected
    assert answer(q.get_buffer(doc.encode(), path)) == expected


@pytest.mark.parametrize("cut", range(0, 60))
def test_every_truncation_is_quiet(cut):
    doc = "<r x='1'><a><b>1</b><!--c--><b/><![CDATA[z]]></a><c>&amp;</c></r>"[:cut]
    for path in ("r.a.b", "r.a.b.#", "**.b", "r.c.#text", "r.@x", "r.a.#(b==1).b", "r.*.#"):
        q.get(doc, path).to_str()
        q.get_many(doc, [path])[0].to_str()


# ---------------------------------------------------------------- spans and owned copies


def test_spans_slice_the_source_exactly():
    doc = "<r><a>\u00e9<b x='1'>t</b></a><a>2</a></r>"
    r = q.get(doc, "r.a")
    assert r.to_str() == "<a>\u00e9<b x='1'>t</b></a>\n<a>2</a>"
    assert r[0]["b"].to_str() == "t"
    rb = q.get_bytes(doc.encode(), "r.a")
    assert rb.to_str() == r.to_str()


def test_empty_element_capture_is_the_source_tag():
    doc = '<a><b x="1" /><b\ty="2"/></a>'
    for r in (q.get(doc, "a.b"), q.get_buffer(doc.encode(), "a.b")):
        assert r.to_str() == '<b x="1" />\n<b\ty="2"/>'


def test_one_reference_per_span_item():
    doc = "".join(["<a>"] + [f"<b>{i}</b>" for i in range(5)] + ["<b/>", "</a>"])
    base = sys.getrefcount(doc)
    r = q.get(doc, "a.b")  # five spans, and the empty element is owned
    assert sys.getrefcount(doc) == base + 5
    texts = q.get(doc, "a.b.#.#text")  # text items own their bytes
    count = q.get(doc, "a.b.#")
    assert sys.getrefcount(doc) == base + 5
    first = r[0]  # indexing shares the item: one more reference
    assert sys.getrefcount(doc) == base + 6
    del r
    assert sys.getrefcount(doc) == base + 1
    del first, texts, count
    gc.collect()
    assert sys.getrefcount(doc) == base


@pytest.mark.parametrize("make", [bytes, bytearray])
def test_no_reference_to_buffer_input(make):
    data = make(b"<a><b>1</b><b>2</b></a>")
    base = sys.getrefcount(data)
    r = q.get_buffer(data, "a.b")
    r2 = q.compile("a.b").get_buffer(data)
    assert sys.getrefcount(data) == base
    assert r.to_str() == r2.to_str() == "<b>1</b>\n<b>2</b>"


def test_bytes_source_is_kept_alive():
    r = q.get_bytes(("<a>" + "<b>x</b>" * 3 + "</a>").encode(), "a.b")
    gc.collect()
    assert r.to_str() == "<b>x</b>\n<b>x</b>\n<b>x</b>"


def test_subclasses_are_accepted_and_kept():
    class S(str):
        pass

    class B(bytes):
        pass

    s = S("<a><b>1</b><b>2</b></a>")
    base = sys.getrefcount(s)
    r = q.get(s, "a.b")
    assert sys.getrefcount(s) == base + 2
    assert q.get_bytes(B(b"<a><b>1</b></a>"), "a.b").value == 1
    assert r.to_str() == "<b>1</b>\n<b>2</b>"


def test_bytearray_resizable_after_every_call():
    ba = bytearray(b"<a><b><c/></b><b><c/></b></a>")
    r = q.get_buffer(ba, "a.b")
    ba += b" "
    with pytest.raises(ValueError, match="ambiguous"):
        q.get_buffer(ba, "a.b.c")
    ba += b" "
    with pytest.raises(ValueError, match="ambiguous"):
        q.compile("a.b.c").get_buffer(ba)
    ba += b" "
    ba.clear()  # the Result owns its copies
    assert r.to_str() == "<b><c/></b>\n<b><c/></b>"


def test_buffers_released_when_refused():
    signed = array.array("b", b"<a/>")
    with pytest.raises(ValueError):
        q.get_buffer(signed, "a")
    signed.append(1)  # an export left behind would make this a BufferError
    base = bytearray(b"<a></a>")
    strided = memoryview(base)[::2]
    with pytest.raises(ValueError):
        q.get_buffer(strided, "a")
    with pytest.raises(ValueError):
        q.compile("a").get_buffer(strided)
    strided.release()
    base += b" "


def test_mmap_can_be_closed_after_the_query():
    doc = b"<a><b>1</b><b>2</b></a>"
    m = mmap.mmap(-1, len(doc))
    m.write(doc)
    r = q.get_buffer(m, "a.b")
    m.close()  # fails while a buffer is exported
    assert r.to_str() == "<b>1</b>\n<b>2</b>"


# ---------------------------------------------------------------- buffer acceptance


@pytest.mark.parametrize(
    ("make", "error"),
    [
        (lambda b: b, None),  # bytes offer the buffer protocol
        (bytearray, None),
        (memoryview, None),
        (lambda b: array.array("B", b), None),
        (lambda b: memoryview(b).cast("c"), None),
        (lambda b: memoryview(bytearray(b)).toreadonly(), None),
        (lambda b: array.array("b", b), NOT_BUFFER),  # signed bytes
        (lambda b: array.array("H", b + b"\0" * (len(b) % 2)), NOT_BUFFER),
        (lambda b: memoryview(b).cast("b"), NOT_BUFFER),
        (lambda b: memoryview(b + b" " * (len(b) % 2))[::2], NOT_CONTIGUOUS),  # every second byte
        (lambda b: b.decode(), NOT_BUFFER),  # a str is not a buffer
        (lambda b: 5, NOT_BUFFER),
        (lambda b: None, NOT_BUFFER),
        (lambda b: [1, 2], NOT_BUFFER),
    ],
)
def test_buffer_kinds(make, error):
    doc = b"<a><b>1</b><b>2</b></a>"
    data = make(doc)
    for call in (lambda: q.get_buffer(data, "a.b"), lambda: q.compile("a.b").get_buffer(data),
                 lambda: q.get_many_buffer(data, ["a.b"])[0]):
        if error is None:
            assert call().to_str() == "<b>1</b>\n<b>2</b>"
        else:
            with pytest.raises(ValueError) as info:
                call()
            assert str(info.value) == error


# ---------------------------------------------------------------- argument checks


class Outer:
    class Inner:
        pass


@pytest.mark.parametrize(
    ("call", "exc", "msg"),
    [
        # get: data type, then path type, then the path's UTF-8 form, the
        # empty path, compilation, and only then the data's UTF-8 form.
        (lambda: q.get(b"<a/>", "a"), TypeError, "argument 'data': 'bytes' object is not an instance of 'str'"),
        (lambda: q.get(b"<a/>", 5), TypeError, "argument 'data': 'bytes' object is not an instance of 'str'"),
        (lambda: q.get(None, "a"), TypeError, "argument 'data': 'None' is not an instance of 'str'"),
        (lambda: q.get(Outer.Inner(), "a"), TypeError,
         "argument 'data': 'Outer.Inner' object is not an instance of 'str'"),
        (lambda: q.get("<a/>", b"a"), TypeError, "argument 'path': 'bytes' object is not an instance of 'str'"),
        (lambda: q.get("<a/>", None), TypeError, "argument 'path': 'None' is not an instance of 'str'"),
        (lambda: q.get("<a/>", q.compile("a")), TypeError,
         "argument 'path': 'Path' object is not an instance of 'str'"),
        (lambda: q.get("\udc80", BAD_PATH), ValueError, None),  # compile error before the data's form
        # get_bytes: the same with bytes.
        (lambda: q.get_bytes("<a/>", "a"), TypeError, "argument 'data': 'str' object is not an instance of 'bytes'"),
        (lambda: q.get_bytes(bytearray(b"<a/>"), "a"), TypeError,
         "argument 'data': 'bytearray' object is not an instance of 'bytes'"),
        (lambda: q.get_bytes(b"<a/>", 1.5), TypeError, "argument 'path': 'float' object is not an instance of 'str'"),
        (lambda: q.get_bytes(b"<a/>", BAD_PATH), ValueError, None),
        # get_buffer: path first, then the empty path, compilation, the buffer.
        (lambda: q.get_buffer(5, b"a"), TypeError, "argument 'path': 'bytes' object is not an instance of 'str'"),
        (lambda: q.get_buffer(5, BAD_PATH), ValueError, None),
        (lambda: q.get_buffer(5, "a"), ValueError, NOT_BUFFER),
        (lambda: q.get_buffer("<a/>", "a"), ValueError, NOT_BUFFER),
        # Path methods.
        (lambda: q.compile("a").get(b"<a/>"), TypeError, "argument 'data': 'bytes' object is not an instance of 'str'"),
        (lambda: q.compile("a").get_bytes("<a/>"), TypeError,
         "argument 'data': 'str' object is not an instance of 'bytes'"),
        (lambda: q.compile("a").get_buffer(5), ValueError, NOT_BUFFER),
        (lambda: q.compile(5), TypeError, "argument 'path': 'int' object is not an instance of 'str'"),
        # parse: three-way acceptance with its own message.
        (lambda: q.parse(5), ValueError, NOT_DOCUMENT),
        (lambda: q.parse(array.array("b", b"x")), ValueError, NOT_DOCUMENT),
        (lambda: q.parse(memoryview(b"abcd")[::2]), ValueError, NOT_CONTIGUOUS),
    ],
)
def test_argument_errors(call, exc, msg):
    with pytest.raises(exc) as info:
        call()
    if msg is None:
        assert "missing operator" in str(info.value)
    else:
        assert str(info.value) == msg


@pytest.mark.parametrize(
    ("name", "data", "note"),
    [
        ("get", b"<a/>", "hint: use get_bytes for a bytes document"),
        ("get", bytearray(b"<a/>"), "hint: use get_buffer for a bytearray document"),
        ("get_many", b"<a/>", "hint: use get_many_bytes for a bytes document"),
        ("get_bytes", "<a/>", "hint: use get for a str document"),
        ("get_bytes", memoryview(b"<a/>"), "hint: use get_buffer for a memoryview document"),
        ("get_many_bytes", "<a/>", "hint: use get_many for a str document"),
        ("get_buffer", "<a/>", "hint: use get for a str document"),
        ("get_many_buffer", "<a/>", "hint: use get_many for a str document"),
        # no note where the kind of document is not the mistake
        ("get", None, None),
        ("get_buffer", 5, None),
    ],
)
def test_package_functions_hint_at_the_function_for_the_document(name, data, note):
    # The package's functions fail with the main module's exception and
    # message, plus a note (Python 3.11 and later) naming the right function.
    path = ["a"] if "many" in name else "a"
    with pytest.raises((TypeError, ValueError)) as main:
        getattr(q, name)(data, path)
    with pytest.raises(type(main.value)) as package:
        getattr(quelmar, name)(data, path)
    assert str(package.value) == str(main.value)
    assert not hasattr(main.value, "__notes__")
    expected = [note] if note is not None and sys.version_info >= (3, 11) else None
    assert getattr(package.value, "__notes__", None) == expected


@pytest.mark.parametrize(
    "call",
    [
        lambda: q.get("<a/>", "\udc80"),
        lambda: q.get_buffer(b"<a/>", "\udc80"),
        lambda: q.get("\udc80", "a"),
        lambda: q.compile("a").get("\udc80"),
    ],
)
def test_unencodable_text_raises_the_interpreters_error(call):
    with pytest.raises(UnicodeEncodeError):
        call()


@pytest.mark.parametrize(
    "call",
    [
        lambda: q.get("\udc80", ""),  # the data's UTF-8 form is not asked for
        lambda: q.get_bytes(b"", ""),
        lambda: q.get_buffer(5, ""),  # data is not examined at all
        lambda: q.get_buffer(None, ""),
    ],
)
def test_empty_path_gives_an_empty_result(call):
    r = call()
    assert type(r) is q.Result and not r.exists() and len(r) == 0


def test_empty_path_after_the_data_type_test():
    with pytest.raises(TypeError):
        q.get(5, "")
    with pytest.raises(TypeError):
        q.get_bytes("x", "")


@pytest.mark.parametrize(
    ("call", "msg"),
    [
        (lambda: q.get(), "get() missing 2 required positional arguments: 'data' and 'path'"),
        (lambda: q.get("x"), "get() missing 1 required positional argument: 'path'"),
        (lambda: q.get(path="a"), "get() missing 1 required positional argument: 'data'"),
        (lambda: q.get("x", "a", "b"), "get() takes 2 positional arguments but 3 were given"),
        (lambda: q.get("x", "a", extra=1), "get() got an unexpected keyword argument 'extra'"),
        (lambda: q.get("x", paths="a"), "get() got an unexpected keyword argument 'paths'"),
        (lambda: q.get("x", "a", data="y"), "get() got multiple values for argument 'data'"),
        (lambda: q.get("x", "a", path="y"), "get() got multiple values for argument 'path'"),
        (lambda: q.get_bytes(b"x"), "get_bytes() missing 1 required positional argument: 'path'"),
        (lambda: q.get_buffer(b"x", "a", 1), "get_buffer() takes 2 positional arguments but 3 were given"),
        (lambda: q.get_buffer(data=b"x", path="a", x=1), "get_buffer() got an unexpected keyword argument 'x'"),
        (lambda: q.parse(), "parse() missing 1 required positional argument: 'data'"),
        (lambda: q.parse(b"x", b"y"), "parse() takes 1 positional argument but 2 were given"),
    ],
)
def test_argument_count_errors(call, msg):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == msg


@pytest.mark.parametrize(
    "call",
    [
        lambda: q.compile("a").get(),
        lambda: q.compile("a").get("x", "y"),
        lambda: q.compile("a").get_bytes(path=b"x"),
        lambda: q.compile("a").get_buffer(b"x", data=b"x"),
    ],
)
def test_path_method_argument_count_errors(call):
    with pytest.raises(TypeError, match=r"get(_bytes|_buffer)?\(\) "):
        call()


def test_keyword_arguments():
    assert q.get(path="a.b", data="<a><b>1</b></a>").value == 1
    assert q.get_bytes(data=b"<a><b>1</b></a>", path="a.b").value == 1
    assert q.get_buffer(data=b"<a><b>1</b></a>", path="a.b").value == 1
    assert q.compile("a.b").get(data="<a><b>1</b></a>").value == 1


def test_path_methods_answer_as_the_functions():
    doc = "<shop><book id='1'><title>A</title><price>12</price></book><book id='2'><title>B</title></book></shop>"
    for path in ("shop.book.#.title", "shop.book.1.@id", "shop.book.#", "shop.book.0", "**.price", "x"):
        p = q.compile(path)
        expected = answer(q.get(doc, path))
        assert answer(p.get(doc)) == expected
        assert answer(p.get_bytes(doc.encode())) == expected
        assert answer(p.get_buffer(bytearray(doc.encode()))) == expected


# ---------------------------------------------------------------- deep documents


DEPTH = 1_000_000


@pytest.fixture(scope="module")
def deep_doc():
    return "<a>" * DEPTH + "<x>hit</x>" + "</a>" * DEPTH


def test_deep_get(deep_doc):
    assert q.get(deep_doc, "**.x").value == "hit"
    assert q.get(deep_doc, "**.x.#text").value == "hit"
    long_path = ".".join(["a"] * DEPTH)
    assert q.get(deep_doc, long_path + ".x").value == "hit"
    assert q.get(deep_doc, long_path + ".#").value == 1
    assert q.get(deep_doc, long_path + ".x.#text").value == "hit"
    assert q.get(deep_doc, "a.#text").value == "hit"
    assert q.get(deep_doc, "**.a|@count").value == 1
    assert q.get_bytes(deep_doc.encode(), "a.a.a.#").value == 1
    assert q.get(deep_doc, 'a.#(**.x=="hit")').exists()
    assert q.get(deep_doc, "a.a.#(a.#text==hit)#").exists()


def test_deep_validate_and_results(deep_doc):
    assert q.validate(deep_doc) is True
    assert q.validate(deep_doc[:-4]) is False
    r = q.get(deep_doc, "a")
    assert r.type_ is dict
    assert list(r.value) == ["a"]
    assert list(r) == ["a"]
    assert list(r.keys()) == ["a"]
    assert len(r.to_str()) == len(deep_doc)
    assert r.get("**.x").value == "hit"
    assert r.get("a.#text").value == "hit"
    assert [x.value for x in r.get_many(["**.x", "a.a.#"])] == ["hit", 1]
    assert q.get(deep_doc, "a.a")["a"].type_ is dict
    assert q.parse(deep_doc).get("**.x").value == "hit"


def test_deep_truncated_document(deep_doc):
    cut = deep_doc[: DEPTH * 3 + 5]  # "<x>hi" and no end tags
    assert q.get(cut, "**.x").to_str() == "hi"
    assert q.get(cut, "**.x.#text").value == "hi"


def test_deep_unclosed_start_tags():
    doc = "<a>" * DEPTH
    assert not q.get(doc, "**.x").exists()
    assert q.get(doc, ".".join(["a"] * 1000) + ".#").value == 1
    assert q.get(doc, "a.#text").value == ""


def test_filters_nested_too_deeply():
    def doc(n):
        return "<a><b>1</b>" * n + "<c>end</c>" + "</a>" * n

    def path(n):  # each filter's rest is long: the fragment route nests
        return ".".join(["a.#(b==1)"] * n) + ".c"

    assert q.get(doc(250), path(250)).value == "end"
    assert q.get_many(doc(250), [path(250)])[0].value == "end"
    msg = "path nests filters too deeply for this document (more than 256 filtered levels)"
    for call in (lambda: q.get(doc(300), path(300)), lambda: q.get_many(doc(300), [path(300), "a"])):
        with pytest.raises(ValueError) as info:
            call()
        assert str(info.value) == msg
    # Without fragments (the attribute route descends in place) there is no bound.
    attr_doc = '<a k="1">' * 1000 + "<c>end</c>" + "</a>" * 1000
    assert q.get(attr_doc, ".".join(["a.#(@k==1)"] * 1000) + ".c").value == "end"


def test_many_attributes():
    tag = "<a " + " ".join(f'k{i}="{i}"' for i in range(100_000)) + ">t</a>"
    assert q.get(tag, "a.@k99999").value == 99999
    assert q.get(tag, "a.#(@k50000==50000).#text").value == "t"
    assert q.get(tag, "a").value == "t"


# ---------------------------------------------------------------- documents past 4 GiB


@pytest.mark.skipif(os.environ.get("QUELMAR_BIG_TESTS") != "1", reason="set QUELMAR_BIG_TESTS=1 (reads 4.5 GiB)")
def test_offsets_past_4gib(tmp_path):
    # A sparse file: "<r>", zeros up to past 4 GiB, then the match. Offsets
    # truncated to 32 bits would cut the wrong bytes out.
    head, tail = b"<r><x>first</x>", b"<x>far</x><y k='v'>end</y></r>"
    size = (1 << 32) + (1 << 29)
    path = tmp_path / "big.xml"
    with open(path, "wb") as f:
        f.write(head)
        f.seek(size - len(tail))
        f.write(tail)
    with open(path, "rb") as f, mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ) as m:
        assert q.get_buffer(m, "r.x").to_str() == "<x>first</x>\n<x>far</x>"
        assert q.compile("r.y").get_buffer(m).to_str() == "end"
        assert q.compile("r.y.@k").get_buffer(m).value == "v"
        out = q.get_many_buffer(m, ["r.x.1", "r.y", "r.x|@last"])
        assert [r.to_str() for r in out] == ["far", "end", "far"]
        whole = q.parse(m)  # Result.get over the whole document
        assert whole.get("r.x.1").to_str() == "far"
        del whole


@pytest.mark.parametrize(
    ("fn", "signature"),
    [
        (q.get, "(data, path)"),
        (q.get_bytes, "(data, path)"),
        (q.get_buffer, "(data, path)"),
        (q.get_many, "(data, paths)"),
        (q.get_many_bytes, "(data, paths)"),
        (q.get_many_buffer, "(data, paths)"),
        (q.compile("a").get, "($self, data)"),
        (q.compile("a").get_bytes, "($self, data)"),
        (q.compile("a").get_buffer, "($self, data)"),
    ],
)
def test_text_signatures(fn, signature):
    assert fn.__text_signature__ == signature
    assert fn.__doc__ is None
