"""Checks of the benchmark itself: the documents are what the runner claims,
and the runner catches a tool that answers differently.

    PYTHONPATH=build/dev-NAME/pkg python -m pytest bench/test_bench.py
"""
from __future__ import annotations

import json
import sys
import xml.etree.ElementTree as ET
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parent))

import generate  # noqa: E402

pytest.importorskip("lxml")
pytest.importorskip("quelmar._quelmar")
import run  # noqa: E402

SMALL = 0.2  # MB


@pytest.fixture(scope="module")
def docs(tmp_path_factory: pytest.TempPathFactory) -> dict[str, Path]:
    out = tmp_path_factory.mktemp("data")
    return {s: generate.ensure(s, SMALL, out) for s in generate.SHAPES}


@pytest.mark.parametrize("shape", generate.SHAPES)
def test_documents_are_deterministic_and_grow_by_appending(shape: str) -> None:
    a, b = generate.generate(shape, 0.05), generate.generate(shape, 0.05)
    big = generate.generate(shape, 0.1)
    assert a == b
    assert len(a) >= 50_000 and len(big) >= 100_000
    close = a.rindex(b"</")
    assert big.startswith(a[:close])


def test_catalog_has_the_promised_features(docs: dict[str, Path]) -> None:
    data = docs["catalog"].read_bytes()
    root = ET.fromstring(data)
    books = root.findall("book")
    assert root.tag == "catalog" and len(books) > 100
    assert {len(b.findall("author")) for b in books} == {1, 2, 3}
    assert {len(b.findall("reviews/review")) for b in books} == {0, 1, 2, 3, 4, 5}
    assert all(b.get("id") and b.get("lang") and b.get("available") for b in books)
    prices = [float(b.findtext("price")) for b in books]
    assert 0.3 < sum(p > 50 for p in prices) / len(prices) < 0.7
    assert b"&amp;" in data and b"&#" in data and b"<![CDATA[" in data
    assert not data.decode("utf-8").isascii()


def test_deep_archive_has_50_level_chains_with_sparse_targets(docs: dict[str, Path]) -> None:
    root = ET.fromstring(docs["deep"].read_bytes())
    chains = root.findall("section")
    assert root.tag == "archive" and chains
    depth, node = 0, chains[0]
    while node is not None:
        depth += 1
        node = node.find("section")
    assert depth == generate.DEEP_LEVELS
    sections = sum(1 for _ in root.iter("section"))
    targets = sum(1 for _ in root.iter("target"))
    assert 0 < targets < sections / 20


@pytest.mark.parametrize("query", run.QUERIES, ids=[q.path for q in run.QUERIES])
def test_every_tool_gives_the_same_answer(query: run.Query, docs: dict[str, Path]) -> None:
    run.verify("small", query, docs[query.shape].read_bytes())


@pytest.mark.parametrize("tool", ["lxml", "lxml-iterparse", "etree"])
def test_a_wrong_answer_stops_the_run(tool: str, docs: dict[str, Path], monkeypatch: pytest.MonkeyPatch) -> None:
    q = run.QUERY_BY_PATH["catalog.book.#(price>50)#.title"]
    wrong = run.Query(q.path, q.shape, q.kind, q.xpath, iterparse=q.iterparse, etree=q.etree)
    if tool == "lxml":
        wrong.xpath = "/catalog/book[price>40]/title"
    elif tool == "lxml-iterparse":
        wrong.iterparse = lambda d: run._it_book_titles(d)
    else:
        wrong.etree = lambda r: [t.text for t in r.findall("book/title")][1:]
    with pytest.raises(SystemExit, match=tool):
        run.verify("small", wrong, docs["catalog"].read_bytes())


def test_alternate_runs_every_contender_every_round() -> None:
    seen: list[str] = []
    stats = run.alternate({"a": lambda: seen.append("a"), "b": lambda: seen.append("b")}, rounds=3)
    for name, st in stats.items():
        assert len(st.samples) == len(st.wall) == 3
        assert seen.count(name) == 1 + 3 * st.calls  # one calibration call, then the rounds


def test_memory_of_a_count_is_measured_in_a_fresh_process(docs: dict[str, Path]) -> None:
    m = run.measure_memory(docs["catalog"], "quelmar", "catalog.book.#")
    assert m["items"] == 1 and 0 <= m["peak"] < 64 * run.MIB


def test_a_small_run_writes_results_with_every_target(tmp_path: Path, docs: dict[str, Path],
                                                      monkeypatch: pytest.MonkeyPatch) -> None:
    monkeypatch.setattr(generate, "DATA_DIR", docs["catalog"].parent)
    monkeypatch.setattr(generate, "ensure", lambda s, size, out=None, force=False: docs[s])
    out = tmp_path / "r.json"
    assert run.main(["--sizes", str(SMALL), "--rounds", "1", "--no-memory", "--no-docs", "--out", str(out)]) == 0
    res = json.loads(out.read_text())
    size = res["sizes"][0]
    assert set(size["queries"]) == {q.path for q in run.QUERIES}
    assert all(set(q["tools"]) == set(run.TOOLS) for q in size["queries"].values())
    assert {"get_many(6)", "get_many(10)"} <= set(size["get_many"])
    names = " ".join(t["target"] for t in res["targets"])
    for goal in ("15× lxml", "pugixml", "memchr", "with values", "iterparse", "get_many", "200-byte", "str"):
        assert goal in names
