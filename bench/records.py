#!/usr/bin/env python3
"""Records streamed from a big catalog: quelmar.records against lxml's
iterparse (clear-as-you-go), plain and gzip-compressed; peak memory growth;
quelmar.dask.read_records on a local two-worker cluster against one process.

Every tool's answers are compared before any figure is printed.

    python bench/generate.py --sizes 200,1000 --shapes catalog
    gzip -k bench/data/catalog-1000MB.xml bench/data/catalog-200MB.xml
    python bench/records.py [--size 1000] [--rss-sizes 200,1000] [--repeat 3] [--no-lxml] [--no-dask]

lxml and Dask are optional: a tool that is missing is skipped.
"""
from __future__ import annotations

import argparse
import gzip
import json
import os
import statistics
import subprocess
import sys
import time
from collections.abc import Callable
from pathlib import Path
from typing import Any

import quelmar
from quelmar import _records, _sources

DATA = Path(__file__).resolve().parent / "data"
RECORD = "catalog.book"
FIELDS = ["title", "price"]
MB = 1_000_000


def q_records(source: Path) -> list[tuple[str, str]]:
    return [(t.to_str(), p.to_str()) for t, p in quelmar.records(source, RECORD, FIELDS)]


def q_records_no_overlap(source: Path) -> list[tuple[str, str]]:
    """The same, decompressing in the scanning thread (no reader thread)."""
    saved = _records._read_ahead, _sources._GZIP_BACKGROUND
    _records._read_ahead = _records._chunks  # type: ignore[assignment]
    _sources._GZIP_BACKGROUND = False
    try:
        return q_records(source)
    finally:
        _records._read_ahead, _sources._GZIP_BACKGROUND = saved  # type: ignore[assignment]


def q_records_check_per_batch(source: Path) -> list[tuple[str, str]]:
    """The same, the records checked a batch at a time after the split
    instead of by the stream as it splits them."""
    _records._CHECK_WHILE_SPLITTING = False
    try:
        return q_records(source)
    finally:
        _records._CHECK_WHILE_SPLITTING = True


def gunzip_only(source: Path) -> int:
    n = 0
    with gzip.open(source, "rb") as f:
        while chunk := f.read(1 << 20):
            n += len(chunk)
    return n


def lx_records(source: Path) -> list[tuple[str, str]]:
    from lxml import etree

    out = []
    f: Any = gzip.open(source, "rb") if source.suffix == ".gz" else open(source, "rb")
    with f:
        for _, el in etree.iterparse(f, events=("end",), tag="book"):
            out.append((el.findtext("title"), el.findtext("price")))
            el.clear(keep_tail=True)
            parent = el.getparent()
            while el.getprevious() is not None:
                del parent[0]
    return out


def timed(fn: Callable[[], Any], repeat: int) -> tuple[float, Any]:
    times = []
    result = None
    for _ in range(repeat):
        t0 = time.perf_counter()
        result = fn()
        times.append(time.perf_counter() - t0)
    return statistics.median(times), result


# The growth of the peak RSS over the RSS before the run (after the imports
# and a first record), in kB from /proc.
RSS_CHILD = """
import sys, quelmar
def status(key):
    with open("/proc/self/status") as f:
        return next(int(line.split()[1]) for line in f if line.startswith(key + ":"))
it = quelmar.records(sys.argv[1], "catalog.book", ["title", "price"])
n = 0
for t, p in it:
    if n == 0:
        before = status("VmRSS")
    n += 1
print(n, (status("VmHWM") - before) / 1024)
"""


def rss_growth(source: Path) -> tuple[int, float]:
    """Records read and the growth of the peak RSS in MiB, in a fresh process."""
    out = subprocess.run([sys.executable, "-c", RSS_CHILD, str(source)], capture_output=True, text=True, check=True)
    n, mib = out.stdout.split()
    return int(n), float(mib)


def q_records_python(source: Path) -> list[tuple[Any, ...]]:
    """What read_records makes of each record, in one process."""
    to_python = quelmar.to_python
    return [(to_python(t), to_python(p)) for t, p in quelmar.records(source, RECORD, FIELDS)]


def dask_figures(source: Path, repeat: int) -> dict[str, float]:
    import distributed

    import quelmar.dask

    figures: dict[str, float] = {}
    figures["records_python_s"], expected = timed(lambda: q_records_python(source), repeat)

    cluster = distributed.LocalCluster(
        n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None, silence_logs=40
    )
    with cluster, distributed.Client(cluster) as client:
        client.wait_for_workers(2)

        def both() -> Any:
            return quelmar.dask.read_records(source, RECORD, FIELDS).compute()

        def count() -> int:
            n: int = quelmar.dask.read_records(source, RECORD, FIELDS).count().compute()
            return n

        got = both()
        assert got == expected, "read_records disagrees with records"
        figures["dask_collect_s"] = timed(both, repeat)[0]
        figures["dask_count_s"], n = timed(count, repeat)
        assert n == len(expected)
    figures["first_pass_s"] = timed(lambda: quelmar.dask._record_ranges(source, RECORD), repeat)[0]
    return figures


def main(argv: list[str] | None = None) -> int:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--size", default="1000", help="catalog size in MB (default 1000)")
    ap.add_argument("--rss-sizes", default="200,1000")
    ap.add_argument("--repeat", type=int, default=3)
    ap.add_argument("--no-lxml", action="store_true")
    ap.add_argument("--no-dask", action="store_true")
    ap.add_argument("--only-rss-dask", action="store_true", help="skip the single-process timings")
    args = ap.parse_args(argv)
    plain = DATA / f"catalog-{args.size}MB.xml"
    gz = plain.with_name(plain.name + ".gz")
    size = plain.stat().st_size
    res: dict[str, Any] = {"size_bytes": size}

    def rate(seconds: float) -> float:
        return size / MB / seconds

    if args.only_rss_dask:
        for s in filter(None, args.rss_sizes.split(",")):
            p = DATA / f"catalog-{s}MB.xml"
            for src in (p, p.with_name(p.name + ".gz")):
                res[f"rss_growth_mib[{src.name}]"] = rss_growth(src)[1]
        if not args.no_dask:
            res.update(dask_figures(plain, args.repeat))
            res["records_count_only_s"] = timed(
                lambda: sum(1 for _ in quelmar.records(plain, RECORD, FIELDS)), args.repeat
            )[0]
        print(json.dumps(res, indent=1))
        return 0
    res["records_s"], expected = timed(lambda: q_records(plain), args.repeat)
    res["records_count"] = len(expected)
    if hasattr(_records, "_CHECK_WHILE_SPLITTING"):
        res["records_check_per_batch_s"], got = timed(lambda: q_records_check_per_batch(plain), args.repeat)
        assert got == expected
    res["gunzip_only_s"] = timed(lambda: gunzip_only(gz), args.repeat)[0]
    res["records_gz_s"], got = timed(lambda: q_records(gz), args.repeat)
    assert got == expected
    res["records_gz_no_overlap_s"], got = timed(lambda: q_records_no_overlap(gz), args.repeat)
    assert got == expected
    del got
    if not args.no_lxml:
        try:
            import lxml  # noqa: F401
        except ImportError:
            print("lxml not installed: skipped", file=sys.stderr)
        else:
            res["lxml_s"], lx = timed(lambda: lx_records(plain), 1)
            assert lx == expected, "lxml disagrees"
            res["lxml_gz_s"], lx = timed(lambda: lx_records(gz), 1)
            assert lx == expected, "lxml disagrees on .gz"
            del lx
    for s in filter(None, args.rss_sizes.split(",")):
        p = DATA / f"catalog-{s}MB.xml"
        for src in (p, p.with_name(p.name + ".gz")):
            if src.exists():
                res[f"rss_growth_mib[{src.name}]"] = rss_growth(src)[1]
    if not args.no_dask:
        try:
            res.update(dask_figures(plain, args.repeat))
        except ImportError:
            print("dask or distributed not installed: skipped", file=sys.stderr)
    expected.clear()
    # The one-process baselines of the cluster figures.
    res["records_count_only_s"] = timed(
        lambda: sum(1 for _ in quelmar.records(plain, RECORD, FIELDS)), args.repeat
    )[0]

    print(json.dumps(res, indent=1))
    print(f"records:            {rate(res['records_s']):7.0f} MB/s")
    if "records_check_per_batch_s" in res:
        print(f"records, checked a batch at a time after the split: {rate(res['records_check_per_batch_s']):.0f} MB/s")
    print(f"gunzip alone:       {rate(res['gunzip_only_s']):7.0f} MB/s (uncompressed bytes)")
    print(f"records .gz:        {rate(res['records_gz_s']):7.0f} MB/s (no reader thread: {rate(res['records_gz_no_overlap_s']):.0f})")
    if "lxml_s" in res:
        print(f"lxml iterparse:     {rate(res['lxml_s']):7.0f} MB/s  -> records x{res['lxml_s'] / res['records_s']:.1f}")
        print(f"lxml iterparse .gz: {rate(res['lxml_gz_s']):7.0f} MB/s  -> records x{res['lxml_gz_s'] / res['records_gz_s']:.1f}")
    if "dask_collect_s" in res:
        print(f"read_records 2 workers, collect: {res['dask_collect_s']:.2f} s vs records {res['records_python_s']:.2f} s "
              f"(x{res['records_python_s'] / res['dask_collect_s']:.2f})")
        print(f"read_records 2 workers, count:   {res['dask_count_s']:.2f} s vs records {res['records_count_only_s']:.2f} s "
              f"(x{res['records_count_only_s'] / res['dask_count_s']:.2f})")
        print(f"first pass: {rate(res['first_pass_s']):.0f} MB/s")
    return 0


if __name__ == "__main__":
    sys.exit(main())
