#!/usr/bin/env python3
"""Well-formedness checking speed: quelmar.validate against the standard
library's expat (pyexpat, no handlers set), side by side on the same bytes.

    python bench/wellformed.py                       # bench/data/catalog-100MB.xml
    python bench/wellformed.py FILE [FILE ...] [--rounds N]

quelmar.check(Path) checks the file as a file (a piece at a time, in the
memory of a piece), the others the bytes read beforehand. Each round times
every contender once, in an order shuffled from round to
round; reported are the median CPU time, MB/s (10**6 bytes) at the median
and at the best round (on a machine shared with other jobs the best is the
steadier figure) and the ratio of medians to expat. Needs no third-party
package.
"""
from __future__ import annotations

import argparse
import random
import statistics
import time
from pathlib import Path
from xml.parsers import expat

import quelmar

HERE = Path(__file__).resolve().parent


def expat_plain(data: bytes) -> bool:
    p = expat.ParserCreate()
    try:
        p.Parse(data, True)
    except expat.ExpatError:
        return False
    return True


def expat_ns(data: bytes) -> bool:
    p = expat.ParserCreate(namespace_separator=" ")
    try:
        p.Parse(data, True)
    except expat.ExpatError:
        return False
    return True


CONTENDERS = {
    "quelmar.validate": quelmar.validate,
    "quelmar.check": lambda d: quelmar.check(d) is None,
    "expat": expat_plain,
    "expat (namespaces)": expat_ns,
}


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("files", nargs="*", type=Path, default=[HERE / "data" / "catalog-100MB.xml"])
    ap.add_argument("--rounds", type=int, default=5)
    args = ap.parse_args()
    for path in args.files:
        data = path.read_bytes()
        contenders = dict(CONTENDERS)
        contenders["quelmar.check(Path)"] = lambda d, p=path: quelmar.check(p) is None
        verdicts = {name: f(data) for name, f in contenders.items()}
        if len(set(verdicts.values())) != 1:
            raise SystemExit(f"{path}: the contenders disagree: {verdicts}")
        times: dict[str, list[float]] = {name: [] for name in contenders}
        for _ in range(args.rounds):
            order = list(contenders)
            random.shuffle(order)
            for name in order:
                t0 = time.process_time()
                contenders[name](data)
                times[name].append(time.process_time() - t0)
        base = statistics.median(times["expat"])
        print(f"{path.name}: {len(data) / 1e6:.1f} MB, well-formed: {verdicts['expat']}")
        mb = len(data) / 1e6
        for name, ts in times.items():
            med = statistics.median(ts)
            print(f"  {name:20} {med * 1e3:9.1f} ms {mb / med:7.0f} MB/s (best {mb / min(ts):5.0f})"
                  f" {base / med:6.2f}x expat")


if __name__ == "__main__":
    main()
