"""Record streams over cut, damaged and re-encoded documents.

    python fuzz/fuzz_stream.py [SECONDS] [SEED]

Random documents of records (attributes, entities of an internal subset,
comments, CDATA, PIs, namespaces, nested records) are written in one of the
encodings the engine reads, then damaged: cut short, a byte dropped, doubled
or changed, an end tag lost, junk or a second document added. Each is read
by quelmar.records over a file object with a random chunk size, and:

- a document check() accepts streams every record get_bytes finds in the
  whole document, the same, and no error;
- a document check() refuses never streams to its end without an error
  (no silent loss), and each record streamed before the error is the one
  get_bytes finds at its place in the whole document (damaged, or intact
  when the damage after it throws get off);
- on_error="stop" streams the same records without raising, and "skip"
  never raises NotWellFormed.

A failing case is written to fuzz/stream-failure-SEED-N.xml with its path
and chunk size, and the run stops.
"""
from __future__ import annotations

import io
import random
import re
import sys
import time

import quelmar

NAMES = ["rec", "a", "b", "t", "x:rec", "p:t"]
TEXTS = ["plain", "é ü", "日本語", "𝄞", "a &amp; b", "&e1;", "&e2;x", "1 &lt; 2", "&#233;", " "]


def element(rng: random.Random, depth: int) -> str:
    name = rng.choice(NAMES if depth else ["rec"])
    attrs = "".join(f' k{i}="{rng.choice(["v", "é", "a&amp;b", "&e1;"])}"' for i in range(rng.randrange(3)))
    if name.startswith("x:") or name.startswith("p:"):
        attrs += f' xmlns:{name[0]}="urn:{name[0]}"'
    if rng.random() < 0.2:
        return f"<{name}{attrs}/>"
    parts = []
    for _ in range(rng.randrange(4)):
        r = rng.random()
        if r < 0.4 and depth < 4:
            parts.append(element(rng, depth + 1))
        elif r < 0.5:
            parts.append("<!-- <rec> -->")
        elif r < 0.6:
            parts.append("<![CDATA[</rec><x>]]>")
        elif r < 0.65:
            parts.append("<?pi </rec>?>")
        else:
            parts.append(rng.choice(TEXTS))
    return f"<{name}{attrs}>{''.join(parts)}</{name}>"


def document(rng: random.Random) -> str:
    records = "\n".join(element(rng, 0) for _ in range(rng.randrange(1, 8)))
    if rng.random() < 0.3:
        records = f"<g>{records}</g>"
    subset = ""
    if rng.random() < 0.5:
        subset = '<!DOCTYPE r [<!ENTITY e1 "one"><!ENTITY e2 "t&e1;"><!ATTLIST rec d CDATA "&e1;">]>\n'
    else:
        records = records.replace("&e1;", "&amp;").replace("&e2;", "&amp;")
    return f"{subset}<r>\n{records}\n</r>\n"


# What check() says of a label the reader (get, records) passes over.
LABEL_ERRORS = ("unknown encoding", "encoding specified in XML declaration is incorrect")

# A prefix inside a record is taken as bound by the elements around it: one
# bound nowhere is not seen (the records' checks do not know the bindings).
NOT_SEEN = ("unbound prefix",)

ENCODINGS = ["utf-8", "utf-8-sig", "utf-16", "utf-16-le", "iso-2022-jp", "shift_jis", "windows-1252"]


def encode(rng: random.Random, text: str) -> bytes:
    enc = rng.choice(ENCODINGS)
    label = {"utf-8-sig": "UTF-8", "utf-16-le": "UTF-16"}.get(enc, enc)
    decl = f'<?xml version="1.0" encoding="{label}"?>\n' if rng.random() < 0.8 or enc.startswith("utf-16") else ""
    try:
        data = (decl + text).encode(enc)
    except UnicodeEncodeError:
        data = (decl.replace(label, "UTF-8") + text).encode("utf-8")
    return data


def damage(rng: random.Random, data: bytes) -> bytes:
    if not data or rng.random() < 0.3:
        return data
    i = rng.randrange(len(data))
    kind = rng.randrange(7)
    if kind == 0:
        return data[:i]
    if kind == 1:
        return data[:i] + data[i + 1 :]
    if kind == 2:
        return data[:i] + data[i : i + 1] * 2 + data[i + 1 :]
    if kind == 3:
        return data[:i] + bytes([rng.randrange(256)]) + data[i + 1 :]
    if kind == 4:
        j = data.find(b"</rec>", i)
        return data if j < 0 else data[:j] + data[j + 6 :]
    if kind == 5:
        return data[:i] + rng.choice([b"&", b"<", b"]]>", b"<!x>", b"\x00", b"</q>"]) + data[i:]
    return data + data


def checked_form(data: bytes) -> bytes:
    """What check() should accept for records to stream without an error: a
    document whose markup the engine finds only once decoded (UTF-16,
    ISO-2022-JP) is read with U+FFFD for what does not decode, as get reads
    it, so it is checked in that form (its label then UTF-8)."""
    from quelmar import _extra

    encoding, skip, _, transcode = _extra.stream_coding(data[:4096])
    if not transcode:
        return data
    text = _extra.StreamDecoder(encoding).decode(data[skip:], True)
    return re.sub(rb"""^(<\?xml[^>]*?encoding\s*=\s*)(["'])[A-Za-z][A-Za-z0-9._-]*\2""", rb"\1\2UTF-8\2", text, count=1)


def first_records(data: bytes, path: str) -> list[str]:
    """What get_bytes finds in the whole document for the record path (the
    last step of a path gives every match)."""
    try:
        found = quelmar.get_bytes(data, path)
    except ValueError:
        return []
    return [text(r) for r in quelmar.as_list(found)]


def text(r: quelmar.Result) -> str:
    try:
        return r.to_str()
    except ValueError as e:  # bytes that do not decode, in a damaged document
        return f"<{e}>"


def stream(data: bytes, path: str, chunk: int, on_error: str) -> tuple[list[str], Exception | None]:
    got: list[str] = []
    try:
        for r in quelmar.records(io.BytesIO(data), path, chunk_size=chunk, on_error=on_error):
            got.append(text(r))
    except quelmar.NotWellFormed as e:
        return got, e
    return got, None


def one(rng: random.Random) -> tuple[bytes, str, int, str] | None:
    original = encode(rng, document(rng))
    data = damage(rng, original)
    path = rng.choice(["r.rec", "**.rec", "r.*", "r.g.rec"])
    chunk = rng.choice([1, 2, 3, 7, 64, 1 << 16])
    bad = quelmar.check(checked_form(data))
    if bad is not None and bad.message.startswith(LABEL_ERRORS):
        return None  # a label the reader passes over, and records with it
    got, err = stream(data, path, chunk, "raise")
    whole = first_records(data, path)
    if bad is None:
        if err is not None:
            return data, path, chunk, f"well-formed, but raised {err}"
        if got != whole:
            return data, path, chunk, f"well-formed, streamed {got!r}, get finds {whole!r}"
    else:
        if err is None and not bad.message.startswith(NOT_SEEN):
            return data, path, chunk, f"not well-formed ({bad}), streamed to its end without an error"
        # get over a damaged document may be thrown by the damage after the
        # records (a second root, an ambiguity): each record streamed is
        # what get finds there in the damaged or in the intact document.
        before = first_records(original, path)
        if len(got) > max(len(whole), len(before)) or any(
            g not in (whole[i : i + 1] + before[i : i + 1]) for i, g in enumerate(got)
        ):
            return data, path, chunk, f"before the error {err}: streamed {got!r}, get finds {whole!r} ({before!r} intact)"
    stopped, serr = stream(data, path, chunk, "stop")
    if serr is not None or stopped != got:
        return data, path, chunk, f"on_error='stop' streamed {stopped!r} ({serr}), raise mode {got!r}"
    _, kerr = stream(data, path, chunk, "skip")
    if kerr is not None:
        return data, path, chunk, f"on_error='skip' raised {kerr}"
    return None


def main() -> int:
    seconds = float(sys.argv[1]) if len(sys.argv) > 1 else 60
    seed = int(sys.argv[2]) if len(sys.argv) > 2 else random.randrange(1 << 30)
    rng = random.Random(seed)
    end = time.monotonic() + seconds
    n = damaged = 0
    import warnings

    warnings.simplefilter("ignore", RuntimeWarning)
    while time.monotonic() < end:
        n += 1
        found = one(rng)
        if found is not None:
            data, path, chunk, why = found
            name = f"fuzz/stream-failure-{seed}-{n}.xml"
            with open(name, "wb") as f:
                f.write(data)
            print(f"seed {seed}, case {n}: {name} path={path} chunk={chunk}: {why}")
            return 1
    print(f"seed {seed}: {n} cases, no failure")
    return 0


if __name__ == "__main__":
    sys.exit(main())
