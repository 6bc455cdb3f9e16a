"""Reference and memory leak checks: every entry point, Result member, view
and iterator runs in a loop, on success and on error paths, while the
interpreter's allocated blocks, the source object's reference count and the
process RSS stay flat.

A leak of one object per call shows up as growth proportional to the
number of iterations; a small constant allowance absorbs interpreter noise
(free lists, caches filled on first use, which the warm-up also fills).
"""

import array
import gc
import mmap
import os
import sys

import pytest

from quelmar import _extra as x
from quelmar import _quelmar as q

WARMUP = 20
ITERATIONS = 300
ROUNDS = 3


def _growth(fn, iterations, collect):
    if collect:
        gc.collect()
    blocks = sys.getallocatedblocks()
    for _ in range(iterations):
        fn()
    if collect:
        gc.collect()
    return sys.getallocatedblocks() - blocks


def run_flat(fn, sources=(), iterations=ITERATIONS, warmup=WARMUP, rounds=ROUNDS):
    """Runs `fn` repeatedly; fails when blocks or source refcounts grow.

    The first round runs with the collector off and no collection (a full
    collection costs more than the loop): the objects under test hold no
    cycles, so they are freed at once. A round that grows is measured again
    with collections around it, up to ROUNDS times: one-off growth (a cache
    or free list filled late, garbage cycles) does not repeat, a leak does.
    """
    for _ in range(warmup):
        fn()
    refs = [sys.getrefcount(s) for s in sources]
    gc.disable()
    try:
        for attempt in range(rounds):
            grown = _growth(fn, iterations, collect=attempt > 0)
            # One leaked object per call would be >= `iterations` blocks.
            if grown < iterations // 6:
                break
        else:
            raise AssertionError(f"{grown} blocks more after {iterations} calls, in each of {rounds} rounds")
    finally:
        gc.enable()
    if [sys.getrefcount(s) for s in sources] != refs:
        gc.collect()
    assert [sys.getrefcount(s) for s in sources] == refs


def swallow(fn, *exceptions):
    """`fn` made into a call that expects one of `exceptions` (or success)."""

    def call():
        try:
            fn()
        except exceptions:
            pass

    return call


def must_raise(fn, exc):
    def call():
        try:
            fn()
        except exc:
            return
        raise AssertionError(f"{fn} did not raise {exc.__name__}")

    return call


# ---------------------------------------------------------------- documents

DOC = '<r id="1"><a>1</a><a>2</a><b x="y">text</b><c/><d><e>3.5</e></d></r>'
DOC_B = DOC.encode()
AMBIG = "<r><a><b/></a><a><b/></a></r>"
BAD_UTF8 = b'<r v="\xff"><\xff/><ok>\xfe</ok></r>'

# Paths that fail, each with its exception.
BAD_CALLS = [
    ("path of dots", lambda: q.get(DOC, ".."), ValueError),
    ("compile error", lambda: q.get(DOC, "a.#(x"), ValueError),
    ("unknown modifier", lambda: q.get(DOC, "r|@nope"), ValueError),
    ("ambiguous", lambda: q.get(AMBIG, "r.a.b"), ValueError),
    ("ambiguous bytes", lambda: q.get_bytes(AMBIG.encode(), "r.a.b"), ValueError),
    ("ambiguous buffer", lambda: q.get_buffer(bytearray(AMBIG.encode()), "r.a.b"), ValueError),
    ("ambiguous many", lambda: q.get_many(AMBIG, ["r.a.b", "r"]), ValueError),
    ("data not str", lambda: q.get(DOC_B, "r"), TypeError),
    ("path not str", lambda: q.get(DOC, 1), TypeError),
    ("path None", lambda: q.get(DOC, None), TypeError),
    ("missing argument", lambda: q.get(DOC), TypeError),
    ("extra argument", lambda: q.get(DOC, "r", 1), TypeError),
    ("unknown keyword", lambda: q.get(DOC, path="r", other=1), TypeError),
    ("duplicate keyword", lambda: q.get(DOC, "r", path="r"), TypeError),
    ("bytes not bytes", lambda: q.get_bytes(DOC, "r"), TypeError),
    ("buffer not buffer", lambda: q.get_buffer(3, "r"), ValueError),
    ("buffer of ints", lambda: q.get_buffer(array.array("i", [1, 2]), "r"), ValueError),
    ("buffer not contiguous", lambda: q.get_buffer(memoryview(DOC_B)[::2], "r"), ValueError),
    ("many not list", lambda: q.get_many(DOC, ("r",)), TypeError),
    ("many bad entry", lambda: q.get_many(DOC, ["r", 3]), TypeError),
    ("many bad path", lambda: q.get_many(DOC, ["r", "a.#(x"]), ValueError),
    ("many bytes wrong data", lambda: q.get_many_bytes(DOC, ["r"]), TypeError),
    ("many buffer wrong data", lambda: q.get_many_buffer(DOC, ["r"]), ValueError),
    ("parse wrong data", lambda: q.parse(3), ValueError),
    ("validate wrong data", lambda: q.validate(3), ValueError),
    ("check wrong data", lambda: x.check(3), ValueError),
    ("check missing argument", lambda: x.check(), TypeError),
    ("to_python not a Result", lambda: x.to_python(DOC), TypeError),
    ("to_python undecodable", lambda: x.to_python(q.get_bytes(BAD_UTF8, "r")), ValueError),
    ("to_python undecodable item", lambda: x.to_python(q.get_bytes(BAD_UTF8, "r.*")), ValueError),
    ("record_ranges not bytes segments", lambda: x.record_ranges(DOC_B, ["r"], False, 1), TypeError),
    ("record_ranges step", lambda: x.record_ranges(DOC_B, [b"r"], False, 0), ValueError),
    ("record_ranges not a buffer", lambda: x.record_ranges(3, [b"r"], False, 1), ValueError),
    ("find_doctype not a buffer", lambda: x.find_doctype(DOC), ValueError),
    ("answer_records span outside", lambda: x.answer_records(DOC_B, [(0, len(DOC_B) + 1)], b"", _ask), ValueError),
    ("answer_records bad query_for", lambda: x.answer_records(DOC_B, [(0, len(DOC_B))], b"", lambda r: r), TypeError),
    ("answer_records query raises", lambda: x.answer_records(DOC_B, [(0, len(DOC_B))], b"", lambda r: (int, None, r[:2])), ValueError),
    ("start_inside negative", lambda: x.RecordSplitter([b"r"], False).start_inside(-1), ValueError),
    ("SplitStream unknown encoding", lambda: x.SplitStream([b"r"], False, "no such label"), ValueError),
    ("SplitStream take while exported", lambda: _exported_take(), BufferError),
    ("SplitStream prefixes span outside", lambda: _subset_stream().prefixes(DOC_B, [(0, len(DOC_B) + 1)]), ValueError),
    ("SplitStream over twice", lambda: (s := x.SplitStream([b"r"], False), s.over(DOC_B), s.over(DOC_B)), ValueError),
    ("FrameBuilder foreign type", lambda: x.FrameBuilder(["a"], [False], bytearray), TypeError),
    ("NativeBuffer made by hand", lambda: x.NativeBuffer(), TypeError),
    ("FrameBuilder bad path", lambda: x.FrameBuilder(["a.#(x"], [False], x.NativeBuffer), ValueError),
    ("FrameBuilder span outside", lambda: _builder().feed(DOC_B, [(0, len(DOC_B) + 1)], b""), ValueError),
    ("FrameBuilder ambiguous", lambda: _builder(["a.b"]).feed(AMBIG.encode(), [(0, len(AMBIG))], b""), ValueError),
    ("FrameBuilder undecodable", lambda: _builder(["*"]).feed(BAD_UTF8, [(0, len(BAD_UTF8))], b""), ValueError),
    ("compile wrong type", lambda: q.compile(b"r"), TypeError),
    ("compile error", lambda: q.compile("r.#(a"), ValueError),
    ("Path.get wrong data", lambda: q.compile("r").get(DOC_B), TypeError),
    ("Path.get_bytes wrong data", lambda: q.compile("r").get_bytes(DOC), TypeError),
    ("Path.get_buffer wrong data", lambda: q.compile("r").get_buffer(DOC), ValueError),
    ("Path ambiguous", lambda: q.compile("r.a.b").get(AMBIG), ValueError),
]


@pytest.mark.parametrize(("call", "exc"), [(c, e) for _, c, e in BAD_CALLS], ids=[n for n, _, _ in BAD_CALLS])
def test_error_paths_do_not_leak(call, exc):
    run_flat(must_raise(call, exc), sources=(DOC, DOC_B))


SUBSET = b'<!DOCTYPE r [<!ENTITY e "v &f;"><!ENTITY f "w">]>'


def _exported_take():
    s = x.SplitStream([b"r", b"a"], False)
    s.take(DOC_B)
    with memoryview(s):
        s.take(DOC_B)


def _subset_stream():
    s = x.SplitStream([b"r", b"a"], False)
    s.take(SUBSET + b"<r>")
    with memoryview(s):
        s.step()
    return s


def _stream(data):
    """A SplitStream given a DOCTYPE and data in two pieces: every call."""
    s = x.SplitStream([b"r", b"*"], False)
    s.set_prolog(b"", False)
    s.set_checking(True)
    out = []
    for piece in (SUBSET, data[:5], data[5:], b"<a>&e;</a>"):
        s.take(piece)
        with memoryview(s) as part:
            spans = s.step()[0]
            s.keep_around(0)
            out.append((s.prefixes(part, spans), s.check_around(True, False, b"", s.heads()[2]), s.locate(part, 0)))
        s.advance()
    s.end()
    with memoryview(s) as rest:
        out.append((s.error(), s.end_problem(rest), s.root_name()))
    return out


def _ask(record, paths=("*.d.e", "*.b.@x")):
    """query_for of answer_records: a many-path query of every record."""
    return q.get_many_bytes, [q.compile(p) for p in paths], record[:2]


def _builder(paths=("a", "b.@x", "c", "d")):
    return x.FrameBuilder(list(paths), [False, True, False, False][: len(paths)], x.NativeBuffer)


def _frame(data):
    b = _builder()
    b.feed(data, [(0, len(data)), (0, len(data))], b"")
    return [bytes(m) for c in b.finish() for m in c if isinstance(m, x.NativeBuffer)]


def _module_calls():
    ba = bytearray(DOC_B)
    mv = memoryview(DOC_B)
    mm = mmap.mmap(-1, len(DOC_B))
    mm.write(DOC_B)
    path = q.compile("r.a.#")
    calls = [
        ("get", lambda: q.get(DOC, "r.a"), (DOC,)),
        ("get keywords", lambda: q.get(data=DOC, path="r.b.@x"), (DOC,)),
        ("get filter", lambda: q.get(DOC, "r.#(a>1)#.a|@sort"), (DOC,)),
        ("get_bytes", lambda: q.get_bytes(DOC_B, "r.b"), (DOC_B,)),
        ("get_buffer bytearray", lambda: q.get_buffer(ba, "r.a"), (ba,)),
        ("get_buffer memoryview", lambda: q.get_buffer(mv, "r.d"), (mv, DOC_B)),
        ("get_buffer mmap", lambda: q.get_buffer(mm, "r.a.#"), (mm,)),
        ("get_many", lambda: q.get_many(DOC, ["r.a", path, "r.b.#text", "r.c|@count"]), (DOC, path)),
        ("get_many_bytes", lambda: q.get_many_bytes(DOC_B, ["r.a", path]), (DOC_B, path)),
        ("get_many_buffer", lambda: q.get_many_buffer(ba, ["r.d.e", path]), (ba, path)),
        ("get_many empty", lambda: q.get_many(DOC, []), (DOC,)),
        ("parse str", lambda: q.parse(DOC).value, (DOC,)),
        ("parse bytes", lambda: q.parse(DOC_B).value, (DOC_B,)),
        ("parse bytearray", lambda: q.parse(ba).value, (ba,)),
        ("parse mmap", lambda: q.parse(mm)["a"].value, (mm,)),
        ("validate str", lambda: q.validate(DOC), (DOC,)),
        ("validate buffer", lambda: q.validate(mv), (mv,)),
        ("check well-formed", lambda: x.check(DOC), (DOC,)),
        ("check error", lambda: x.check(ba + b"<"), (ba,)),
        ("to_python", lambda: x.to_python(q.get(DOC, "r")), (DOC,)),
        ("to_python parse", lambda: x.to_python(q.parse(ba)), (ba,)),
        ("record_ranges", lambda: x.record_ranges(mm, [b"r", b"*"], False, 8), (mm,)),
        ("find_doctype", lambda: x.find_doctype(ba), (ba,)),
        ("answer_records", lambda: x.answer_records(ba, [(0, len(ba)), (0, len(ba))], b"<?xml version='1.0'?>", _ask), (ba,)),
        ("RecordSplitter inside", lambda: (s := x.RecordSplitter([b"r", b"a"], False), s.start_inside(1), s.feed(ba)), (ba,)),
        ("SplitStream", lambda: _stream(ba), (ba,)),
        ("SplitStream over", lambda: (s := x.SplitStream([b"r", b"a"], False), s.over(ba), s.extend(9), s.step()), (ba,)),
        ("FrameBuilder", lambda: _frame(DOC_B), (DOC_B,)),
        ("FrameBuilder bytearray", lambda: _frame(ba), (ba,)),
        ("compile", lambda: q.compile("r.a.#"), ()),
        ("compile uncached", lambda: [q.compile(f"x{i}") for i in range(3)], ()),
        ("Path.get", lambda: path.get(DOC), (DOC, path)),
        ("Path.get_bytes", lambda: path.get_bytes(DOC_B), (DOC_B, path)),
        ("Path.get_buffer", lambda: path.get_buffer(ba), (ba, path)),
        ("Path repr", lambda: repr(path), (path,)),
    ]
    return calls


MODULE_CALLS = _module_calls()


@pytest.mark.parametrize(("call", "sources"), [(c, s) for _, c, s in MODULE_CALLS], ids=[n for n, _, _ in MODULE_CALLS])
def test_entry_points_do_not_leak(call, sources):
    run_flat(call, sources=sources)


# ---------------------------------------------------------------- Result members, views, iterators

# Results of every mode, from every kind of source. Each factory returns
# (result, source) so the source's reference count can be watched.
MODES = {
    "empty": lambda: (q.get(DOC, "r.zz"), DOC),
    "scalar": lambda: (q.get(DOC, "r.b"), DOC),
    "scalar attr": lambda: (q.get(DOC, "r.b.@x"), DOC),
    "scalar number": lambda: (q.get(DOC, "r.d.e"), DOC),
    "dict": lambda: (q.get(DOC, "r"), DOC),
    "dict parse": lambda: (q.parse(DOC), DOC),
    "dict bytes": lambda: (q.get_bytes(DOC_B, "r"), DOC_B),
    "dict buffer": lambda: (q.get_buffer(bytearray(DOC_B), "r"), DOC_B),
    "multi": lambda: (q.get(DOC, "r.a"), DOC),
    "multi each": lambda: (q.get(DOC, "r.*"), DOC),
    "undecodable scalar": lambda: (q.get_bytes(BAD_UTF8, "r.@v"), BAD_UTF8),
    "undecodable dict": lambda: (q.parse(BAD_UTF8), BAD_UTF8),
    "undecodable text": lambda: (q.get_bytes(BAD_UTF8, "r.ok"), BAD_UTF8),
}


def _drain(it, limit=None):
    n = 0
    for _ in it:
        n += 1
        if limit is not None and n >= limit:
            break


OPS = {
    "value": lambda r: r.value,
    "type_": lambda r: r.type_,
    "exists": lambda r: r.exists(),
    "to_str": lambda r: r.to_str(),
    "to_int": lambda r: r.to_int(),
    "to_float": lambda r: r.to_float(),
    "to_bool": lambda r: r.to_bool(),
    "int": lambda r: int(r),
    "float": lambda r: float(r),
    "bool": lambda r: bool(r),
    "len": lambda r: len(r),
    "repr": lambda r: repr(r),
    "eq str": lambda r: r == "text",
    "eq list": lambda r: r == ["1", "2"],
    "eq result": lambda r: r == r,
    "ne": lambda r: r != 1,
    "ordering": lambda r: r < r,
    "hash": lambda r: hash(r),
    "index 0": lambda r: r[0],
    "index -1": lambda r: r[-1],
    "index out of range": lambda r: r[10**6],
    "index huge": lambda r: r[10**30],
    "slice": lambda r: r[1:],
    "slice step": lambda r: r[::-2],
    "key": lambda r: r["a"],
    "missing key": lambda r: r["zz"],
    "bad key": lambda r: r[1.5],
    "iter": lambda r: _drain(iter(r)),
    "iter partial": lambda r: _drain(iter(r), 1),
    "get": lambda r: r.get("a"),
    "get text": lambda r: r.get("#text"),
    "get attr": lambda r: r.get("@x"),
    "get bad path": lambda r: r.get("a.#("),
    "get ambiguous": lambda r: r.get("a.b"),
    "get wrong type": lambda r: r.get(3),
    "get_many": lambda r: r.get_many(["a", "b", q.compile("d.e")]),
    "get_many bad": lambda r: r.get_many(["a", 3]),
    "get_many not list": lambda r: r.get_many("a"),
    "keys": lambda r: (len(r.keys()), list(r.keys()), "a" in r.keys(), 3 in r.keys(), repr(r.keys())),
    "values": lambda r: (len(r.values()), list(r.values()), repr(r.values())),
    "items": lambda r: (len(r.items()), list(r.items()), repr(r.items())),
    "children": lambda r: (len(r.children()), list(r.children()), repr(r.children())),
    "view iter partial": lambda r: [_drain(iter(v()), 1) for v in (r.keys, r.values, r.items, r.children)],
    "view iter after end": lambda r: [next(it, None) for it in [iter(r.keys())] for _ in range(4)],
    "method bad args": lambda r: r.to_str(1),
    "keys bad args": lambda r: r.keys(x=1),
    "to_python": lambda r: x.to_python(r),
}


@pytest.mark.parametrize("op", list(OPS), ids=list(OPS))
@pytest.mark.parametrize("mode", list(MODES), ids=list(MODES))
def test_result_members_do_not_leak(mode, op):
    result, source = MODES[mode]()
    fn = OPS[op]
    run_flat(swallow(lambda: fn(result), Exception), sources=(result, source), iterations=200)


@pytest.mark.parametrize("mode", list(MODES), ids=list(MODES))
def test_results_made_and_dropped_do_not_leak(mode):
    _, source = MODES[mode]()

    def cycle():
        r, _ = MODES[mode]()
        for fn in OPS.values():
            try:
                fn(r)
            except Exception:
                pass

    # Forty operations a cycle, half of them raising, fill the interpreter's
    # free lists and caches over hundreds of cycles (growth that decays to
    # nothing); a leak grows by at least one block per cycle, round after round.
    run_flat(cycle, sources=(source,), iterations=300, warmup=200, rounds=5)


def test_iterators_outliving_their_result_do_not_leak():
    def cycle():
        its = [iter(q.get(DOC, "r.a")), iter(q.get(DOC, "r.b"))]
        r = q.parse(DOC)
        its += [iter(r.keys()), iter(r.values()), iter(r.items()), iter(r.children())]
        del r
        for it in its:
            _drain(it)

    run_flat(cycle, sources=(DOC,))


# ---------------------------------------------------------------- RSS

def _under_asan():
    """AddressSanitizer keeps freed memory in quarantine: RSS says nothing."""
    try:
        with open("/proc/self/maps") as f:
            return any("libasan" in line or "clang_rt.asan" in line for line in f)
    except OSError:
        return False


def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


BIG = "<r>" + "".join(f"<a i='{i}'><b>{i}</b>{'x' * 40}</a>" for i in range(4000)) + "<c>1</c></r>"
BIG_B = BIG.encode()

# Each call copies about the document's size (≈260 KB); a leaked copy per
# call would add tens of megabytes over the loop.
RSS_CALLS = [
    ("get owned", lambda: q.get_buffer(bytearray(BIG_B), "r")),
    ("get spans", lambda: q.get(BIG, "r.a.#.b").value),
    ("get_many", lambda: q.get_many_buffer(memoryview(BIG_B), ["r", "r.a.#", "r.c"])),
    ("parse value", lambda: q.parse(BIG_B).value),
    ("to_str", lambda: q.get_bytes(BIG_B, "r").to_str()),
    ("views", lambda: (list(q.parse(BIG).items()), list(q.parse(BIG_B).children()))),
    ("relative", lambda: q.parse(BIG).get_many(["a.#.b", "c"])),
    ("validate", lambda: q.validate(bytearray(BIG_B))),
    ("check error", lambda: x.check(bytearray(BIG_B) + b"&x;")),
    ("to_python", lambda: x.to_python(q.parse(BIG_B))),
    ("error after reading", lambda: swallow(lambda: q.get_buffer(bytearray(BIG_B), "r.a.b"), ValueError)()),
]


@pytest.mark.skipif(_under_asan(), reason="freed memory stays in ASan's quarantine")
@pytest.mark.parametrize("call", [c for _, c in RSS_CALLS], ids=[n for n, _ in RSS_CALLS])
def test_rss_stays_flat(call):
    for _ in range(10):
        call()
    gc.collect()
    before = rss()
    for _ in range(120):
        call()
    gc.collect()
    grown = rss() - before
    assert grown < 12 * 2**20, f"RSS grew by {grown / 2**20:.1f} MiB over 120 calls"


def test_the_check_sees_a_leak():
    kept = []
    if sys.getallocatedblocks() > 0:  # 0 when PYTHONMALLOC bypasses the object allocator
        with pytest.raises(AssertionError, match="blocks more"):
            run_flat(lambda: kept.append(object()))
    with pytest.raises(AssertionError):
        run_flat(lambda: kept.append(DOC), sources=(DOC,))


# ---------------------------------------------------------------- module objects
#
# Each module object keeps its own types: importing the extension again (after
# dropping it from sys.modules) or in a subinterpreter must leave the first
# module's objects working. Run in a child process, so that the reimport does
# not disturb the module the other tests hold.

REIMPORT = r"""
import gc, importlib, sys
from quelmar import _quelmar as old
doc = "<r><a>1</a><a>2</a><b><c>x</c><c>y</c></b></r>"
p_old = old.compile("r.a")
r_old = old.get(doc, "r.a.0")
b_old = old.get(doc, "r.b")
del sys.modules["quelmar._quelmar"]
new = importlib.import_module("quelmar._quelmar")
assert new is not old and new.Result is not old.Result
p_new = new.compile("r.a.1")

# Each module's functions take its own Paths, and the other's.
assert old.get_many(doc, [p_old, "r.b.c.1"]) == [["1", "2"], "y"]
assert new.get_many(doc, [p_new]) == ["2"]
assert new.get_many(doc, [p_old]) == [["1", "2"]] and old.get_many(doc, [p_new]) == ["2"]
assert b_old.get_many([old.compile("c.0")]) == ["x"]
assert p_old.get_buffer(doc.encode()) == ["1", "2"]

# to_python (of the other compiled module) reads the Results of both.
from quelmar import _extra
assert _extra.to_python(r_old) == "1" and _extra.to_python(r_old, numbers=True) == 1 and _extra.to_python(b_old) == {"c": ["x", "y"]}
assert _extra.to_python(new.get(doc, "r.b")) == {"c": ["x", "y"]}

# Comparisons, within one module and across the two.
assert r_old == "1" and r_old != "2" and r_old == ["1"] and r_old.value == 1
assert new.get(doc, "r.a.0") == "1"
assert r_old == new.get(doc, "r.a.0") and new.get(doc, "r.a") == old.get(doc, "r.a")

# Every object a module makes has that module's types.
for m, r in ((old, b_old), (new, new.get(doc, "r.b"))):
    assert type(r) is m.Result and type(m.parse(doc)) is m.Result
    assert type(r.get("c.0")) is m.Result and all(type(x) is m.Result for x in r["c"])
    assert all(type(x) is m.Result for x in r.get_many(["c", ""]))
    assert type(r.keys()) is m.ResultKeysView and type(iter(r.keys())) is m.ResultChildKeyIter
    assert type(iter(r.values())) is m.ResultChildValueIter
    assert all(type(v) is m.Result for v in r.values())
    assert all(type(v) is m.Result for _, v in r.items())
    assert all(type(v) is m.Result for _, v in r.children())
    assert type(iter(r["c"])) is m.ResultItemIter and type(iter(r["c"][0])) is m.ResultCharIter
    assert type(m.compile("a")) is m.Path and type(m.get("<a/>", "a")) is m.Result

# Objects keep their module (through their type) once nothing else does.
del old, m, r
gc.collect()
assert p_old.get(doc) == ["1", "2"] and r_old.get("#text") == "1" and b_old["c"][1] == "y"
assert list(b_old.keys()) == ["c"] and [v.value for v in b_old.values()] == [["x", "y"]]
print("ok")
"""

SUBINTERPRETERS = r"""
import sys, threading
try:
    import _interpreters as interpreters  # 3.13
except ImportError:
    import _xxsubinterpreters as interpreters  # 3.12
from quelmar import _quelmar as q

code = '''
from quelmar import _quelmar as q
from quelmar import _extra
doc = "<r><a>1</a><a>2</a></r>"
assert _extra.to_python(q.get(doc, "r")) == {"a": ["1", "2"]} and _extra.check(doc) is None
r = q.get_many(doc, [q.compile("r.a"), "r.a.1"])
assert r[0] == ["1", "2"] and r[1] == "2" and type(r[1]) is q.Result
for _ in range(500):
    assert q.get(doc, "r.a.0") == "1" and q.get_many(doc, ["r.a.1"]) == ["2"]
'''

def run():
    try:
        interp = interpreters.create(isolated=True)  # its own GIL
    except TypeError:
        interp = interpreters.create()
    interpreters.run_string(interp, code)
    interpreters.destroy(interp)

run()
threads = [threading.Thread(target=run) for _ in range(3)]
for t in threads:
    t.start()
for t in threads:
    t.join()
assert q.get("<a>1</a>", "a") == "1" and type(q.get("<a/>", "a")) is q.Result
print("ok")
"""


def run_child(script):
    import subprocess

    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    return subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, env=env, timeout=120)


def test_a_second_import_leaves_the_first_modules_objects_working():
    done = run_child(REIMPORT)
    assert (done.returncode, done.stdout.strip()) == (0, "ok"), done.stderr


def test_reimporting_the_module_does_not_leak():
    # Every module object dropped is collected (its state and types form a
    # cycle the collector must be able to see).
    script = r"""
import gc, importlib, sys
import quelmar._quelmar
def cycle():
    del sys.modules["quelmar._quelmar"]
    m = importlib.import_module("quelmar._quelmar")
    m.get_many("<r><a>1</a></r>", [m.compile("r.a"), "r"])
for _ in range(20):
    cycle()
gc.collect()
before = sys.getallocatedblocks()
for _ in range(200):
    cycle()
gc.collect()
grown = sys.getallocatedblocks() - before
assert grown < 2000, grown
print("ok")
"""
    done = run_child(script)
    assert (done.returncode, done.stdout.strip()) == (0, "ok"), done.stderr


@pytest.mark.skipif(sys.version_info < (3, 12), reason="subinterpreters with their own GIL need 3.12")
def test_subinterpreters_with_their_own_gil():
    done = run_child(SUBINTERPRETERS)
    assert (done.returncode, done.stdout.strip()) == (0, "ok"), done.stderr
