"""Child Results of every kind of parent: the bytes each child yields do not
depend on where the parent's bytes came from (a slice of the caller's str or
bytes, a copy the engine made, a whole buffer) nor on whether the children
share one block or copy their own, and dict values of plain documents are
invisible to the garbage collector."""
import gc

import pytest

import quelmar as q

SMALL = "<r><a>1</a> <b x='&lt;'>two</b><a>3</a><c/></r>"
# Children that add up to more than a small block: each copies its bytes.
BIG = "<r>" + "".join(f"<k{i % 7}>{'v' * 900}{i}</k{i % 7}>" for i in range(12)) + "<c/></r>"
# One child much larger than its siblings, in a large element.
LOPSIDED = "<r><big>" + "w" * 20000 + "</big><s>1</s><s>2</s></r>"


def expected_children(doc):
    """(name, markup, to_str of it alone) of every direct child of the
    root, found by ElementTree and a plain scan of the text."""
    import xml.etree.ElementTree as ET

    root = ET.fromstring(doc)
    out, pos = [], doc.index(">") + 1
    for child in root:
        start = doc.index("<" + child.tag, pos)
        if doc.startswith("/>", doc.index(">", start) - 1):
            end = doc.index(">", start) + 1
        else:
            end = doc.index("</" + child.tag + ">", start) + len(child.tag) + 3
        markup = doc[start:end]
        alone = markup if len(child) else "".join(child.itertext()).strip()
        out.append((child.tag, markup, alone))
        pos = end
    return out


def expected_str(members):
    """to_str of a Result of these children: one alone, or their markups."""
    return members[0][2] if len(members) == 1 else "\n".join(m[1] for m in members)


SOURCES = {
    "str slice": lambda d: q.get("<w>" + d + "</w>", "w.r"),
    "bytes slice": lambda d: q.get_bytes(("<w>" + d + "</w>").encode(), "w.r"),
    "buffer copy": lambda d: q.get_buffer(bytearray(("<w>" + d + "</w>").encode()), "w.r"),
    "parse bytes": lambda d: q.parse(d.encode()),
    "parse bytearray": lambda d: q.parse(bytearray(d.encode())),
    "child of a child": lambda d: q.parse(("<w>" + d + "</w>").encode())["r"],
}


@pytest.mark.parametrize("doc", [SMALL, BIG, LOPSIDED], ids=["small", "big", "lopsided"])
@pytest.mark.parametrize("source", SOURCES)
def test_children_bytes_whatever_the_parent(source, doc):
    r = SOURCES[source](doc)
    want = expected_children(doc)
    names = list(dict.fromkeys(w[0] for w in want))
    by_name = {n: expected_str([w for w in want if w[0] == n]) for n in names}

    value = r.value
    assert list(value) == names
    assert {k: v.to_str() for k, v in value.items()} == by_name
    assert [(k, v.to_str()) for k, v in r.children()] == [(w[0], w[2]) for w in want]
    assert [(k, v.to_str()) for k, v in r.items()] == list(by_name.items())
    assert [v.to_str() for v in r.values()] == list(by_name.values())
    for name in names:
        assert r[name].to_str() == by_name[name]
    # Children of children read their own bytes too.
    for k, v in r.children():
        if k == "b":
            assert v.value == "two" and v.get("@x").value == "<"


@pytest.mark.parametrize("doc", [SMALL, BIG], ids=["small", "big"])
def test_iterators_and_children_outlive_everything(doc):
    data = bytearray(doc.encode())
    r = q.parse(data)
    children = r.children()
    it = iter(children)
    first = next(it)
    kept = r.value
    data[:] = b"<gone/>"  # the buffer changes under the parse() Result
    del r, children
    gc.collect()
    rest = list(it)
    want = expected_children(doc)
    assert [(k, v.to_str()) for k, v in [first] + rest] == [(w[0], w[2]) for w in want]
    assert kept[want[0][0]].to_str() == expected_str([w for w in want if w[0] == want[0][0]])


def test_dict_values_are_not_tracked():
    value = q.get_bytes(b"<w><r><a>1</a><b>2</b></r></w>", "w.r").value
    assert not gc.is_tracked(value)
    assert not any(gc.is_tracked(v) for v in value.values())
    # A list of one-item Results over a plain bytes source is not either.
    items = q.get_bytes(b"<r><a>1</a><a>2</a></r>", "r.a").value
    assert not any(gc.is_tracked(v) for v in items)


def test_cleared_result_in_a_cycle_is_collected_and_children_survive():
    class S(str):
        pass

    src = S("<r><a>1</a><b>2</b></r>")
    r = q.parse(src)
    value = r.value
    src.back = r
    del src, r
    gc.collect()
    assert value["a"].value == 1 and value["b"].to_str() == "2"
