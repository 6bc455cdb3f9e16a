#!/usr/bin/env python3
"""Deterministic benchmark documents (standard library only).

Two shapes, each written at the sizes asked for (in MB of 10**6 bytes):

catalog  <catalog> of <book> records: attributes (id, lang, available),
         1-3 <author>, <price>, <year>, a <description> with entity and
         character references and occasional CDATA, and a <reviews> block
         of 0-5 <review rating=".."> elements. Names and titles carry some
         non-ASCII text (Latin, Cyrillic, CJK), so the document decoded to
         a str is not ASCII.
deep     <archive> of 50-level <section> chains, each level with a heading
         and a paragraph, and sparse <target> elements (about one in 100
         sections).

One fixed seed per shape: a smaller document is a prefix of a larger one
(up to its closing root tag), so the early-stop answers are the same at
every size.

    python bench/generate.py [--sizes 1,10,100] [--out bench/data] [--force]
"""
from __future__ import annotations

import argparse
import os
import random
import sys
from pathlib import Path

MB = 1_000_000
SEED = 20240817
DATA_DIR = Path(__file__).resolve().parent / "data"
SHAPES = ("catalog", "deep")
DEEP_LEVELS = 50

_WORDS = (
    "river silent garden winter empire shadow glass north letter harbor "
    "orchard stone memory machine city paper ocean lantern signal forest "
    "quiet bridge summer archive mirror copper night island engine valley "
    "crown thunder velvet atlas cipher meadow falcon ember tide"
).split()
_NONASCII_WORDS = ("Café", "Ōsaka", "naïve", "Fjörd", "Straße", "Łódź", "Ночь", "東京", "façade", "Señor")
_FIRST = ("Ann", "John", "Maria", "Li", "Kenji", "Olga", "Pierre", "Zoë", "José", "Łukasz",
          "Åsa", "Мария", "花子", "Ahmed", "Chloé", "Sven", "Ingrid", "Tomás")
_LAST = ("Smith", "Núñez", "Ångström", "Żółć", "Иванова", "田中", "Dubois", "Okafor",
         "Müller", "Rossi", "Kowalski", "Chen", "García", "Brown", "Öberg", "Sato")
_LANGS = ("en", "fr", "de", "ja", "es", "pl", "ru")
_USERS = ("reader42", "bookworm", "jdoe", "maya_k", "quill", "owl", "night.reader", "élodie")
_SENTENCES = (
    "A tale of {a} &amp; {b}, told with &quot;care&quot;.",
    "Between the {a} and the {b} lies a story of &lt;loss&gt; and return.",
    "The {a} remembers what the {b} forgot &#8212; or so it seems.",
    "Critics call it &apos;a {a} of a book&apos;, with a {b} at its heart.",
    "Set in a {a}, this novel follows a {b} through three winters.",
    "An essay on the {a}, the {b}, and the spaces &amp; silences between.",
)
_COMMENTS = (
    "Loved the {a} chapters &amp; the ending.",
    "Too long; the {a} part drags.",
    "A {a} of a read &#9733;&#9733;&#9733;",
    "Would give it to anyone who likes {a}s.",
    "Not for me &lt;3 but well written.",
)


def _title(rng: random.Random) -> str:
    n = rng.randint(2, 5)
    words = [rng.choice(_WORDS).capitalize() for _ in range(n)]
    if rng.random() < 0.15:
        words[rng.randrange(n)] = rng.choice(_NONASCII_WORDS)
    if rng.random() < 0.05:
        words.insert(1, "&amp;")
    return "The " + " ".join(words)


def _fill(rng: random.Random, template: str) -> str:
    return template.format(a=rng.choice(_WORDS), b=rng.choice(_WORDS))


def _book(rng: random.Random, n: int) -> str:
    out = [f'  <book id="bk{n:07d}" lang="{rng.choice(_LANGS)}" '
           f'available="{"true" if rng.random() < 0.8 else "false"}">\n',
           f"    <title>{_title(rng)}</title>\n"]
    for _ in range(rng.randint(1, 3)):
        out.append(f"    <author>{rng.choice(_FIRST)} {rng.choice(_LAST)}</author>\n")
    out.append(f"    <price>{rng.randint(500, 9999) / 100:.2f}</price>\n")
    out.append(f"    <year>{rng.randint(1950, 2024)}</year>\n")
    desc = " ".join(_fill(rng, rng.choice(_SENTENCES)) for _ in range(rng.randint(1, 3)))
    if rng.random() < 0.1:
        desc += " <![CDATA[Contains <b>raw</b> markup & ampersands]]>"
    out.append(f"    <description>{desc}</description>\n")
    nrev = rng.randint(0, 5)
    if nrev == 0:
        out.append("    <reviews/>\n")
    else:
        out.append("    <reviews>\n")
        for _ in range(nrev):
            out.append(f'      <review rating="{rng.randint(1, 5)}">\n'
                       f"        <user>{rng.choice(_USERS)}</user>\n"
                       f"        <comment>{_fill(rng, rng.choice(_COMMENTS))}</comment>\n"
                       f"      </review>\n")
        out.append("    </reviews>\n")
    out.append("  </book>\n")
    return "".join(out)


class _DeepState:
    def __init__(self) -> None:
        self.targets = 0


def _chain(rng: random.Random, n: int, state: _DeepState) -> str:
    out = []
    for level in range(1, DEEP_LEVELS + 1):
        ind = "  " * level
        out.append(f'{ind}<section id="s{n}-{level}" depth="{level}">\n'
                   f"{ind}  <heading>Section {n}.{level}: {rng.choice(_WORDS)} {rng.choice(_WORDS)}</heading>\n"
                   f"{ind}  <para>{_fill(rng, rng.choice(_SENTENCES))}</para>\n")
        if rng.random() < 0.01:
            state.targets += 1
            out.append(f'{ind}  <target id="t{state.targets}" kind="{rng.choice(_WORDS)}">'
                       f"{rng.choice(_WORDS)} {state.targets}</target>\n")
    for level in range(DEEP_LEVELS, 0, -1):
        out.append("  " * level + "</section>\n")
    return "".join(out)


def generate(shape: str, size_mb: float) -> bytes:
    """The document of `shape` of at least size_mb * 10**6 bytes."""
    rng = random.Random(f"{shape}-{SEED}")
    target = int(size_mb * MB)
    if shape == "catalog":
        head, tail = '<?xml version="1.0" encoding="UTF-8"?>\n<catalog>\n', "</catalog>\n"
        state = None
    elif shape == "deep":
        head, tail = '<?xml version="1.0" encoding="UTF-8"?>\n<archive>\n', "</archive>\n"
        state = _DeepState()
    else:
        raise ValueError(f"unknown shape {shape!r}")
    parts = [head.encode()]
    size = len(parts[0]) + len(tail)
    n = 0
    while size < target:
        n += 1
        rec = (_book(rng, n) if state is None else _chain(rng, n, state)).encode()
        parts.append(rec)
        size += len(rec)
    parts.append(tail.encode())
    return b"".join(parts)


def path_for(shape: str, size_mb: float, out: Path = DATA_DIR) -> Path:
    label = f"{size_mb:g}MB"
    return out / f"{shape}-{label}.xml"


def ensure(shape: str, size_mb: float, out: Path = DATA_DIR, force: bool = False) -> Path:
    """Writes the document unless it exists already; returns its path."""
    path = path_for(shape, size_mb, out)
    if force or not path.exists():
        out.mkdir(parents=True, exist_ok=True)
        tmp = path.with_suffix(".tmp")
        tmp.write_bytes(generate(shape, size_mb))
        os.replace(tmp, path)
    return path


def main(argv: list[str] | None = None) -> int:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--sizes", default="1,10,100", help="comma-separated sizes in MB (default 1,10,100)")
    ap.add_argument("--shapes", default=",".join(SHAPES))
    ap.add_argument("--out", type=Path, default=DATA_DIR)
    ap.add_argument("--force", action="store_true", help="rewrite existing files")
    args = ap.parse_args(argv)
    for shape in args.shapes.split(","):
        for s in args.sizes.split(","):
            p = ensure(shape, float(s), args.out, args.force)
            print(f"{p} {p.stat().st_size:,} bytes", file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main())
