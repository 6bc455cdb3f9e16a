"""The Dask recipe (examples/scaleout_dask.py) on a local cluster of two worker processes."""
from __future__ import annotations

import importlib
import sys
from pathlib import Path

import pytest

db = pytest.importorskip("dask.bag")
distributed = pytest.importorskip("distributed")

ROOT = Path(__file__).resolve().parent.parent
PATHS = [
    "feed.entry.#.title",
    "feed.entry.#(score>=50)#.@id",
    "feed.entry.#.score|@sum",
    "feed.entry.#",
    "feed.**.tag|@uniq|@sort",
    "feed.entry.0",
]


RECIPE = ROOT / "examples" / "scaleout_dask.py"
# A cluster that cannot run a task waits for ever; no test waits that long.
TIMEOUT = 120


@pytest.fixture(scope="module")
def client():
    cluster = distributed.LocalCluster(
        n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None, silence_logs=40
    )
    with cluster, distributed.Client(cluster) as c:
        c.wait_for_workers(2, timeout=TIMEOUT)
        yield c


@pytest.fixture(scope="module")
def recipe(client):
    """The example module, imported here and shipped to the workers as the docs say."""
    sys.path.insert(0, str(RECIPE.parent))
    try:
        module = importlib.import_module(RECIPE.stem)
    finally:
        sys.path.remove(str(RECIPE.parent))
    client.upload_file(str(RECIPE))
    yield module
    sys.modules.pop(RECIPE.stem, None)


def run(client, bag):
    return client.compute(bag).result(timeout=TIMEOUT)


@pytest.fixture(scope="module")
def corpus(tmp_path_factory):
    """Files of every shape the recipe meets: ordinary, empty, malformed, legacy-encoded."""
    d = tmp_path_factory.mktemp("corpus")
    files = []
    for i in range(30):
        entries = "".join(
            f"<entry id='e{i}-{k}'><title>T{i}.{k}</title><score>{(i * 7 + k * 13) % 100}</score>"
            f"<meta><tag>t{k % 3}</tag><tag>t{i % 2}</tag></meta></entry>"
            for k in range(i % 5)
        )
        doc = f"<feed>{entries}</feed>".encode()
        if i % 10 == 3:
            doc = b""
        elif i % 10 == 7:
            doc = doc[: len(doc) // 2]  # truncated: what was read so far is returned
        elif i % 10 == 9:
            doc = ("<?xml version='1.0' encoding='iso-8859-1'?>" + f"<feed><entry id='x'><title>\u00e9t\u00e9 {i}</title></entry></feed>").encode("latin-1")
        f = d / f"f{i:02}.xml"
        f.write_bytes(doc)
        files.append(str(f))
    return files


def test_bag_over_two_workers_matches_a_plain_loop(recipe, corpus, client):
    assert len(client.scheduler_info()["workers"]) == 2
    expected = [recipe.query_file(f, PATHS) for f in corpus]
    got = run(client, recipe.corpus_bag(corpus, PATHS, npartitions=8))
    assert got == expected
    # The loop's answers are not trivially empty: spot-check a few.
    by_name = {Path(name).name: values for name, values in expected}
    assert by_name["f04.xml"][0] == ["T4.0", "T4.1", "T4.2", "T4.3"]
    assert by_name["f04.xml"][2] == [str(sum((4 * 7 + k * 13) % 100 for k in range(4)))]
    assert by_name["f04.xml"][3] == ["4"]
    assert by_name["f04.xml"][5] == [
        {"@id": "e4-0", "title": "T4.0", "score": "28", "meta": {"tag": ["t0", "t0"]}}
    ]
    assert by_name["f03.xml"] == [[], [], ["0"], [], [], []]  # empty: only @sum answers
    assert by_name["f09.xml"][0] == ["\u00e9t\u00e9 9"]


def test_work_is_spread_over_both_workers(recipe, corpus, client):
    import os

    pids = set(run(client, db.from_sequence(corpus, npartitions=8).map(lambda _: os.getpid())))
    worker_pids = set(client.run(os.getpid).values())
    assert pids <= worker_pids and os.getpid() not in pids
    assert len(worker_pids) == 2


def test_url_variant_through_fsspec(recipe, corpus, client):
    pytest.importorskip("fsspec")
    urls = [Path(f).as_uri() for f in corpus[:10]]
    got = run(client, db.from_sequence(urls, npartitions=4).map(recipe.query_url, PATHS))
    assert [values for _, values in got] == [recipe.query_file(f, PATHS)[1] for f in corpus[:10]]


def test_read_records_over_two_workers(client, tmp_path):
    import quelmar
    import quelmar.dask

    recs = "".join(f"<g><rec n='{i}'><t>&e; {i}\u00e9</t></rec></g>" for i in range(200))
    doc = f"<?xml version='1.0' encoding='iso-8859-1'?><!DOCTYPE r [<!ENTITY e 'ent'>]><r>{recs}</r>"
    f = tmp_path / "big.xml"
    f.write_bytes(doc.encode("latin-1"))
    expected = [tuple(quelmar.to_python(x) for x in rs) for rs in quelmar.records(f, "r.g.rec", ["t", "@n"])]
    assert expected[7] == ("ent 7\u00e9", "7")
    bag = quelmar.dask.read_records(f, "r.g.rec", ["t", quelmar.compile("@n")], partitions=4)
    assert bag.npartitions == 4
    assert run(client, bag) == expected


def test_read_frame_over_two_workers(client, tmp_path):
    pd = pytest.importorskip("pandas")
    pytest.importorskip("dask.dataframe")
    import quelmar
    import quelmar.dask

    recs = "".join(f"<rec n='{i}'><t>{i}\u00e9</t>{'<p>%d.5</p>' % i if i % 3 else ''}</rec>" for i in range(300))
    f = tmp_path / "big.xml"
    f.write_bytes(f"<?xml version='1.0' encoding='iso-8859-1'?><r>{recs}</r>".encode("latin-1"))
    frame = quelmar.dask.read_frame(f, "r.rec", {"n": "@n", "t": "t", "p": "p"}, partitions=3)
    assert frame.npartitions == 3
    got = client.compute(frame).result(timeout=TIMEOUT).reset_index(drop=True)
    whole = quelmar.read_frame(str(f), "r.rec", {"n": "@n", "t": "t", "p": "p"})
    pd.testing.assert_frame_equal(got, whole, check_dtype=False)
    assert str(got["n"].dtype) == "Int64" and got["t"][7] == "7\u00e9"
