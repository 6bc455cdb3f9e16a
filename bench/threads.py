#!/usr/bin/env python3
"""Threads and Ctrl-C: what a second thread gets while quelmar scans, and
how fast Ctrl-C ends a long scan. Ratios within one run, so the machine's
load cancels out as far as it can.

    python bench/threads.py                 # all three parts
    python bench/threads.py --parts scale,ticks
    python bench/threads.py --parts ctrlc --ctrlc-mb 2000

scale  eight scans of the 30 MB catalog spread over 1, 2 and 4 threads:
       `check` (runs without the interpreter lock) and `get_bytes`
       (`**.review`, holds it by design); throughput relative to one thread.
ticks  a thread that sleeps 5 ms in a loop, counting its wake-ups during a
       240 MB `check` and during a 240 MB `get_bytes`, as a share of the
       wake-ups it gets while the main thread sleeps as long.
ctrlc  a child process scans a document of --ctrlc-mb MB (a file in /tmp,
       removed afterwards) with each function; SIGINT is sent from this
       process 0.3 s into the scan, and the child reports when
       KeyboardInterrupt reached it (time.monotonic is the same clock in
       both processes).
"""
from __future__ import annotations

import argparse
import mmap
import os
import signal
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import generate  # noqa: E402

import quelmar  # noqa: E402
from quelmar import _extra, _quelmar  # noqa: E402

FUNCTIONS = ("get_bytes", "get_many_bytes", "get_buffer", "validate", "check", "read_frame", "records")


def catalog(mb: float) -> bytes:
    """The catalog of `mb` MB: the 30 MB one, its books repeated."""
    base = generate.ensure("catalog", 30).read_bytes()
    if mb <= 30:
        return base
    start, end = base.index(b"<book"), base.rindex(b"</catalog>")
    body = base[start:end]
    n = max(1, round(mb * 1e6 / len(body)))
    return base[:start] + body * n + base[end:]


def run_threads(n: int, jobs: int, job) -> tuple[float, float]:
    """Wall time of `jobs` calls of job() spread over n threads, and the
    cores the process kept busy meanwhile (its CPU time over that wall
    time: on a machine shared with other jobs the wall time suffers, this
    shows whether the threads ran at once)."""
    per = [jobs // n + (1 if i < jobs % n else 0) for i in range(n)]
    threads = [threading.Thread(target=lambda k=k: [job() for _ in range(k)]) for k in per]
    t, c = time.perf_counter(), time.process_time()
    for th in threads:
        th.start()
    for th in threads:
        th.join()
    wall = time.perf_counter() - t
    return wall, (time.process_time() - c) / wall


def part_scale() -> None:
    doc = catalog(30)
    print(f"scale: 8 scans of the {len(doc) / 1e6:.0f} MB catalog")
    for name, job in (("check", lambda: _extra.check(doc)), ("get_bytes **.review", lambda: _quelmar.get_bytes(doc, "**.review"))):
        job()
        one, busy = min(run_threads(1, 8, job) for _ in range(2))
        line = [f"  {name:20s} 1 thread {one:.3f} s ({busy:.2f} cores busy)"]
        for n in (2, 4):
            t, busy = min(run_threads(n, 8, job) for _ in range(2))
            line.append(f"{n} threads {t:.3f} s ({one / t:.2f}x, {busy:.2f} cores busy)")
        print(", ".join(line))
    # What the lock costs a small call: check keeps it below 4 KB.
    small = b"<r><a>1</a><b>2</b></r>" * 8
    for size_doc in (small, b"<r>" + b"<a>x</a>" * 505 + b"</r>", b"<r>" + b"<a>x</a>" * 525 + b"</r>"):
        n = 20000 if len(size_doc) < 1000 else 2000
        t = min(timeit_n(lambda: _extra.check(size_doc), n) for _ in range(5))
        print(f"  check of {len(size_doc)} bytes: {t * 1e6:.2f} us per call")


def timeit_n(f, n: int) -> float:
    t = time.perf_counter()
    for _ in range(n):
        f()
    return (time.perf_counter() - t) / n


class Ticker:
    def __init__(self) -> None:
        self.ticks = 0
        self.stop = False
        self.thread = threading.Thread(target=self.run, daemon=True)

    def run(self) -> None:
        while not self.stop:
            time.sleep(0.005)
            self.ticks += 1

    def __enter__(self) -> Ticker:
        self.thread.start()
        time.sleep(0.02)
        self.ticks = 0
        return self

    def __exit__(self, *exc: object) -> None:
        self.stop = True
        self.thread.join()


def part_ticks() -> None:
    doc = catalog(240)
    print(f"ticks: a thread waking every 5 ms, during scans of {len(doc) / 1e6:.0f} MB")
    for name, job in (("check", lambda: _extra.check(doc)), ("get_bytes **.review", lambda: _quelmar.get_bytes(doc, "**.review"))):
        job()
        with Ticker() as tk:
            t = time.perf_counter()
            job()
            busy = time.perf_counter() - t
            during = tk.ticks
            tk.ticks = 0
            time.sleep(busy)
            idle = tk.ticks
        print(f"  {name:20s} {busy:.3f} s: {during} ticks, {idle} while idle as long ({during / max(idle, 1):.0%} kept)")


# ---------------------------------------------------------------- Ctrl-C


def child(func: str, path: str) -> None:
    """Runs in the child process: one long scan, ended by SIGINT."""
    # Started from a background job, SIGINT would be ignored from the start.
    signal.signal(signal.SIGINT, signal.default_int_handler)
    with open(path, "rb") as f:
        m = mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ)
    data = m[:] if func in ("get_bytes", "get_many_bytes") else m
    calls = {
        "get_bytes": lambda: _quelmar.get_bytes(data, "**.nothing"),
        "get_many_bytes": lambda: _quelmar.get_many_bytes(data, ["**.nothing", "catalog.book.#"]),
        # over the mmap, the root skipped whole in one skip
        "get_buffer": lambda: _quelmar.get_buffer(data, "other.x"),
        "validate": lambda: _quelmar.validate(data),
        "check": lambda: _extra.check(data),
        "read_frame": lambda: quelmar.read_frame(data, "catalog.book", ["title", "price"], to="arrow"),
        "records": lambda: sum(1 for _ in quelmar.records(data, "catalog.book", ["title"])),
    }
    print("ready", flush=True)
    t = time.monotonic()
    try:
        calls[func]()
        print(f"finished {time.monotonic() - t:.3f}", flush=True)
    except KeyboardInterrupt:
        print(f"interrupted {time.monotonic():.6f}", flush=True)


def part_ctrlc(mb: float) -> None:
    try:
        import pyarrow  # noqa: F401
    except ImportError:
        funcs = [f for f in FUNCTIONS if f != "read_frame"]
    else:
        funcs = list(FUNCTIONS)
    fd, path = tempfile.mkstemp(prefix="quelmar-ctrlc-", suffix=".xml", dir="/tmp")
    try:
        doc = catalog(30)
        start, end = doc.index(b"<book"), doc.rindex(b"</catalog>")
        reps = max(1, round(mb * 1e6 / (end - start)))
        with os.fdopen(fd, "wb") as f:
            f.write(doc[:start])
            for _ in range(reps):
                f.write(doc[start:end])
            f.write(doc[end:])
        size = os.path.getsize(path)
        print(f"ctrlc: SIGINT 0.3 s into a scan of {size / 1e9:.2f} GB")
        for func in funcs:
            p = subprocess.Popen([sys.executable, __file__, "--child", func, path], stdout=subprocess.PIPE, text=True)
            assert p.stdout is not None
            if p.stdout.readline().strip() != "ready":
                print(f"  {func}: child failed")
                p.kill()
                continue
            time.sleep(0.3)
            sent = time.monotonic()
            p.send_signal(signal.SIGINT)
            line = p.stdout.readline().split()
            p.wait()
            if line and line[0] == "interrupted":
                print(f"  {func:16s} KeyboardInterrupt after {(float(line[1]) - sent) * 1000:.1f} ms")
            else:
                print(f"  {func:16s} {' '.join(line) or 'no answer'}")
    finally:
        os.unlink(path)


def main(argv: list[str] | None = None) -> int:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--parts", default="scale,ticks,ctrlc")
    ap.add_argument("--ctrlc-mb", type=float, default=2000)
    ap.add_argument("--child", nargs=2, help=argparse.SUPPRESS)
    args = ap.parse_args(argv)
    if args.child:
        child(*args.child)
        return 0
    parts = args.parts.split(",")
    if "scale" in parts:
        part_scale()
    if "ticks" in parts:
        part_ticks()
    if "ctrlc" in parts:
        part_ctrlc(args.ctrlc_mb)
    return 0


if __name__ == "__main__":
    sys.exit(main())
