#!/usr/bin/env python3
"""read_frame against pandas.read_xml: same values first, then speed and memory.

    python bench/frame.py                 # the 100 MB catalog
    python bench/frame.py --size 10 --rounds 3
    python bench/frame.py --real          # only the value checks on real documents

The catalog of bench/generate.py (made once into bench/data/), columns id
(attribute), title, price and year of every book:

1. Values. read_frame's DataFrame must equal read_xml's on those columns
   (lxml, and its iterparse mode). Prices are written with two decimals
   (``13.50``), which read_frame keeps as text (lossless numbers): the
   comparison asks for ``dtype={"price": "float64"}``, as a user wanting
   numbers would.
2. Speed: CPU time, median of the rounds, the contenders in a new random
   order each round (read_xml, far slower, runs once unless --peer-rounds
   says otherwise), MB/s and the speed-up over each
   read_xml mode. read_frame reads the file (a path) and, separately, the
   document already in memory.
3. Memory: each contender once in a fresh interpreter, after loading the
   document where it reads one from memory and importing what it needs;
   peak RSS growth during the call (the kernel's high-water mark, reset
   just before) beside the size of what it returns.
"""
from __future__ import annotations

import argparse
import io
import json
import os
import random
import statistics
import subprocess
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import generate  # noqa: E402

COLUMNS = {"id": "@id", "title": "title", "price": "price", "year": "year"}
DTYPE = {"price": "float64"}
XPATH = "/catalog/book"
ITER = {"book": ["id", "title", "price", "year"]}

CONTENDERS = {
    "read_frame file -> pandas": "quelmar.read_frame(PATH, 'catalog.book', COLUMNS, dtype=DTYPE)",
    "read_frame file -> arrow": "quelmar.read_frame(PATH, 'catalog.book', COLUMNS, dtype=DTYPE, to='arrow')",
    "read_frame bytes -> pandas": "quelmar.read_frame(DATA, 'catalog.book', COLUMNS, dtype=DTYPE)",
    "read_frame bytes -> arrow": "quelmar.read_frame(DATA, 'catalog.book', COLUMNS, dtype=DTYPE, to='arrow')",
    "read_xml lxml": "pandas.read_xml(io.BytesIO(DATA), xpath=XPATH)[list(COLUMNS)]",
    "read_xml iterparse": "pandas.read_xml(PATH, iterparse=ITER)[list(COLUMNS)]",
}
PEERS = ("read_xml lxml", "read_xml iterparse")


def _env(path: Path) -> dict[str, object]:
    import pandas
    import pyarrow  # noqa: F401

    import quelmar

    return {"quelmar": quelmar, "pandas": pandas, "io": io, "PATH": str(path), "DATA": path.read_bytes(),
            "COLUMNS": COLUMNS, "DTYPE": DTYPE, "XPATH": XPATH, "ITER": ITER}


def check(env: dict[str, object]) -> None:
    import pandas

    ours = eval(CONTENDERS["read_frame bytes -> pandas"], env)
    arrow = eval(CONTENDERS["read_frame file -> arrow"], env).to_pandas()
    pandas.testing.assert_frame_equal(ours, arrow, check_dtype=False)
    for peer in PEERS:
        theirs = eval(CONTENDERS[peer], env)
        pandas.testing.assert_frame_equal(ours, theirs, check_dtype=False)
    print(f"values agree: {len(ours)} rows x {len(COLUMNS)} columns, read_frame == read_xml (lxml, iterparse)")


# Real documents of three shapes, where the machine has them: attribute-only
# records, namespaced records with missing fields, and a Maven POM's
# dependencies. (file, rows, columns, read_xml's xpath, its namespaces)
REAL = [
    ("/usr/share/xml/iso-codes/iso_639-3.xml", "iso_639_3_entries.iso_639_3_entry",
     {"id": "@id", "name": "@name", "scope": "@scope", "type": "@type", "part1_code": "@part1_code"},
     "//iso_639_3_entry", None),
    ("/usr/share/mime/packages/freedesktop.org.xml", "mime-info.mime-type",
     {"type": "@type", "acronym": "acronym", "expanded-acronym": "expanded-acronym"},
     "/m:mime-info/m:mime-type", {"m": "http://www.freedesktop.org/standards/shared-mime-info"}),
    (next((str(p) for p in sorted(Path.home().glob(".m2/repository/io/netty/netty-parent/*/*.pom"))), ""),
     "project.dependencies.dependency",
     {"groupId": "groupId", "artifactId": "artifactId", "version": "version", "scope": "scope"},
     "/m:project/m:dependencies/m:dependency", {"m": "http://maven.apache.org/POM/4.0.0"}),
]


def check_real() -> None:
    """read_frame (texts kept: dtype=str) against read_xml (lxml), as texts.

    The one difference expected: read_xml reads the text "nan" as missing."""
    import pandas

    import quelmar

    for path, rows, columns, xpath, ns in REAL:
        if not path or not os.path.exists(path):
            print(f"{path or 'a POM'}: not on this machine")
            continue
        ours = quelmar.read_frame(path, rows, columns, dtype=str)
        theirs = pandas.read_xml(path, xpath=xpath, namespaces=ns, dtype=str).reindex(columns=list(columns))
        same = ours.astype(object).where(ours.notna(), None).eq(theirs.astype(object).where(theirs.notna(), None))
        both_missing = ours.isna() & theirs.isna()
        differ = ~(same | both_missing)
        nan_text = (ours == "nan") & theirs.isna()
        unexpected = int((differ & ~nan_text).to_numpy().sum())
        print(f"{Path(path).name}: {len(ours)} rows x {len(columns)} columns; cells differing: "
              f"{int(differ.to_numpy().sum())} (the text 'nan': {int(nan_text.to_numpy().sum())}, other: {unexpected})")
        if unexpected or len(ours) != len(theirs):
            raise SystemExit(f"{path}: read_frame and read_xml disagree")


def timed(env: dict[str, object], rounds: int, peer_rounds: int) -> dict[str, list[float]]:
    """CPU times per contender; each round runs them in a new random order,
    so that a slow spell of a shared machine does not fall on one of them."""
    times: dict[str, list[float]] = {name: [] for name in CONTENDERS}
    rng = random.Random(1)
    for i in range(max(rounds, peer_rounds)):
        names = [n for n in CONTENDERS if i < (peer_rounds if n in PEERS else rounds)]
        rng.shuffle(names)
        for name in names:
            t = time.process_time()
            r = eval(CONTENDERS[name], env)
            del r
            times[name].append(time.process_time() - t)
    return times


MEMORY_PROBE = r"""
import io, json, os, sys
sys.path.insert(0, {here!r})
import pandas, pyarrow, quelmar
from frame import COLUMNS, DTYPE, XPATH, ITER
PATH = {path!r}
DATA = open(PATH, "rb").read() if "DATA" in {code!r} else None
def rss(field):
    for line in open("/proc/self/status"):
        if line.startswith(field):
            return int(line.split()[1]) * 1024
before = rss("VmRSS")
with open("/proc/self/clear_refs", "w") as f:
    f.write("5")
r = eval({code!r})
peak = rss("VmHWM") - before
size = r.nbytes if hasattr(r, "schema") else int(r.memory_usage(deep=True).sum())
print(json.dumps({{"peak": peak, "result": size}}))
"""


def memory(name: str, path: Path) -> dict[str, int]:
    code = MEMORY_PROBE.format(here=str(HERE), path=str(path), code=CONTENDERS[name])
    out = subprocess.run([sys.executable, "-c", code], check=True, capture_output=True, text=True).stdout
    return json.loads(out.strip().splitlines()[-1])


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--size", type=int, default=100, help="catalog size in MB (default 100)")
    ap.add_argument("--rounds", type=int, default=5, help="rounds of read_frame (default 5)")
    ap.add_argument("--peer-rounds", type=int, default=1, help="rounds of read_xml (default 1)")
    ap.add_argument("--no-memory", action="store_true", help="skip the memory runs")
    ap.add_argument("--real", action="store_true", help="only check values on real documents")
    args = ap.parse_args()
    if args.real:
        check_real()
        return
    path = generate.ensure("catalog", args.size, generate.DATA_DIR)
    mb = path.stat().st_size / 1e6
    env = _env(path)
    check(env)
    medians = {name: statistics.median(t) for name, t in timed(env, args.rounds, args.peer_rounds).items()}
    print(f"\n{path.name}: {mb:.0f} MB, CPU seconds (median)")
    print(f"{'contender':28} {'s':>8} {'MB/s':>8} {'x lxml':>8} {'x iterparse':>12}")
    for name, s in medians.items():
        print(f"{name:28} {s:8.3f} {mb / s:8.1f} {medians[PEERS[0]] / s:8.1f} {medians[PEERS[1]] / s:12.1f}")
    if args.no_memory:
        return
    print(f"\npeak RSS growth during the call, and the result's size (MiB)")
    for name in CONTENDERS:
        m = memory(name, path)
        print(f"{name:28} peak {m['peak'] / 2**20:8.1f}   result {m['result'] / 2**20:8.1f}")


if __name__ == "__main__":
    main()
