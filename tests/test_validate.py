"""validate(data): True exactly for well-formed, namespace-well-formed XML."""

import array
import mmap

import pytest

from quelmar import _quelmar as q


@pytest.mark.parametrize(
    ("doc", "expected"),
    [
        ("", False),
        ("   ", False),
        ("just text", False),
        ("<a/>", True),
        ("<a></a>", True),
        ("<a><b/><c>t</c></a>", True),
        ("<a/><b/>", False),  # two roots
        ("<a></a><b></b>", False),
        ("<a/><a></a>", False),
        ("<a></b>", False),  # mismatched end
        ("<a><b></a></b>", False),
        ("<a></a >", True),  # white space after the end name
        ("<a>", False),  # unclosed element
        ("<a><b></b>", False),
        ("</a>", False),  # end tag with nothing open
        ("<a/></a>", False),
        ("text <a/> more text", False),  # text outside the root
        ('<?xml version="1.0" encoding="UTF-8"?>\n<!-- c -->\n<a/>\n<?pi x?>', True),
        ("<!DOCTYPE a><a/>", True),
        ('<!DOCTYPE a [ <!ENTITY e "]>"> <!-- ]> --> <!ELEMENT a ANY> ]><a/>', True),
        ("<!DOCTYPE a [ <!ELEMENT a ANY>", False),  # internal subset never closed
        ("<!DOCTYPE><a/>", False),  # doctype without a name
        ("<a><!-- x -- y --></a>", False),  # '--' in a comment
        ("<a><![CDATA[<b></c>]]></a>", True),
        ("<a><![CDATA[x]]</a>", False),
        ("<a><!-- unclosed </a>", False),
        ("<!foo><a/>", False),
        ("<a", False),
        ('<a b="1>2"/>', True),  # '>' inside a quoted value
        ('<a b="1></a>', False),
        ("<a><?pi</a>", False),
        ("\ufeff<a/>", True),  # byte-order mark
        ("<a>&undefined; & stray</a>", False),  # undefined entity, bare '&'
        ("<n:a xmlns:n='u'></n:a>", True),
        ("<n:a></a>", False),
    ],
)
def test_validate_table(doc, expected):
    assert q.validate(doc) is expected
    assert q.validate(doc.encode("utf-8")) is expected


@pytest.mark.parametrize(
    "make",
    [
        bytes,
        bytearray,
        memoryview,
        lambda b: array.array("B", b),
    ],
)
def test_validate_accepts_byte_buffers(make):
    assert q.validate(make(b"<a><b/></a>")) is True
    assert q.validate(make(b"<a><b></a>")) is False


def test_validate_mmap():
    with mmap.mmap(-1, 7) as m:
        m.write(b"<a></a>")
        assert q.validate(m) is True


def test_validate_declared_encoding():
    doc = '<?xml version="1.0" encoding="windows-1252"?><a>\xe9</a>'.encode("cp1252")
    assert q.validate(doc) is True


def test_validate_deep_nesting():
    # A million levels: no recursion, so no stack growth.
    n = 1_000_000
    doc = b"<a>" * n + b"</a>" * n
    assert q.validate(doc) is True
    assert q.validate(doc[:-4]) is False
    assert q.validate(doc[:-4] + b"</b>") is False


def test_validate_many_attributes():
    attrs = " ".join(f'k{i}="v>{i}"' for i in range(100_000))
    assert q.validate(f"<a {attrs}/>") is True


@pytest.mark.parametrize(
    "doc",
    [
        b"<a><b x='1'>text &amp; <![CDATA[c]]><!--k--><?p?></b></a>",
        b'<!DOCTYPE a [<!ENTITY e "x">]><a/>',
    ],
)
def test_validate_truncations_never_fail_loudly(doc):
    # Every prefix gets a verdict (and only the whole document is valid).
    for cut in range(len(doc)):
        assert q.validate(doc[:cut]) is False
    assert q.validate(doc) is True
