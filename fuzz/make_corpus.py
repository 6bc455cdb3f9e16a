#!/usr/bin/env python3
"""Seeds the fuzz corpus from the test suites.

Collects the string literals of tests/*.py and tests/cpp/*.cpp: those with a
'<' are documents, the short ones without are paths. Documents seed the
reader (behind a configuration byte), paths the compiler, and pairs of a
path and a document from the same test (function or parametrized table) the
query and differential targets, in their "paths NUL document" layout.
Writes files named by content hash into the scratch corpus
build/fuzz/corpus/<target>/; `fuzz/merge.sh TARGET` then folds those that
add coverage into the target's seeds.

    python fuzz/make_corpus.py && for t in reader compile query differential records; do fuzz/merge.sh $t; done
"""
import ast
import hashlib
import pathlib
import re

ROOT = pathlib.Path(__file__).resolve().parent.parent
CORPUS = ROOT / "build" / "fuzz" / "corpus"
MAX_PAIRS_PER_GROUP = 40


def as_bytes(value):
    if isinstance(value, bytes):
        return value
    return value.encode("utf-8", "surrogatepass")


def python_groups(path):
    """String constants of each top-level statement (a test or a table)."""
    tree = ast.parse(path.read_text(encoding="utf-8"))
    for node in tree.body:
        found = []
        for sub in ast.walk(node):
            if isinstance(sub, ast.Constant) and isinstance(sub.value, (str, bytes)):
                found.append(as_bytes(sub.value))
        if found:
            yield found


CPP_STRING = re.compile(r'"((?:[^"\\\n]|\\.)*)"')
CPP_ESCAPES = {"n": b"\n", "t": b"\t", "r": b"\r", "0": b"\0", '"': b'"', "\\": b"\\", "'": b"'"}


def cpp_unescape(s):
    out = bytearray()
    i = 0
    while i < len(s):
        c = s[i]
        if c == "\\" and i + 1 < len(s):
            n = s[i + 1]
            if n == "x":
                m = re.match(r"[0-9a-fA-F]{1,2}", s[i + 2:])
                if m:
                    out.append(int(m.group(0), 16))
                    i += 2 + len(m.group(0))
                    continue
            out += CPP_ESCAPES.get(n, n.encode())
            i += 2
            continue
        out += c.encode()
        i += 1
    return bytes(out)


def cpp_groups(path):
    """String literals of each TEST(...) block."""
    text = path.read_text(encoding="utf-8", errors="replace")
    for block in re.split(r"\nTEST\(", text):
        found = [cpp_unescape(m.group(1)) for m in CPP_STRING.finditer(block)]
        if found:
            yield found


def is_document(s):
    return b"<" in s


def is_path(s):
    return 0 < len(s) <= 200 and b"<" not in s and b"\n" not in s and b"\0" not in s


def transcoded(doc):
    """The document in UTF-16 (both byte orders, with a byte-order mark) and
    in ISO-2022-JP behind a declaration, when it is text in those forms."""
    try:
        text = doc.decode("utf-8")
    except UnicodeDecodeError:
        return []
    out = [b"\xff\xfe" + text.encode("utf-16-le"), b"\xfe\xff" + text.encode("utf-16-be")]
    try:
        out.append(b'<?xml version="1.0" encoding="iso-2022-jp"?>' + text.encode("iso-2022-jp"))
    except UnicodeEncodeError:
        pass
    return out


def write(target, data):
    d = CORPUS / target
    d.mkdir(parents=True, exist_ok=True)
    (d / hashlib.sha1(data).hexdigest()).write_bytes(data)


def main():
    groups = []
    for p in sorted((ROOT / "tests").glob("*.py")):
        groups.extend(python_groups(p))
    for p in sorted((ROOT / "tests" / "cpp").glob("*.cpp")):
        groups.extend(cpp_groups(p))
    docs, paths = set(), set()
    for g in groups:
        gdocs = [s for s in g if is_document(s)][:MAX_PAIRS_PER_GROUP]
        gpaths = [s for s in g if is_path(s)][:MAX_PAIRS_PER_GROUP]
        docs.update(gdocs)
        paths.update(gpaths)
        pairs = [(p, d) for d in gdocs for p in gpaths][:MAX_PAIRS_PER_GROUP]
        for n, (p, d) in enumerate(pairs):
            write("query", p + b"\0" + d)
            write("differential", p + b"\0" + d)
            if n < 3:
                for t in transcoded(d):
                    write("query", p + b"\0" + t)
                    write("differential", p + b"\0" + t)
        if len(gpaths) > 1 and gdocs:
            write("query", b"\n".join(gpaths[:8]) + b"\0" + gdocs[0])
            write("differential", b"\n".join(gpaths[:4]) + b"\0" + gdocs[0])
    for d in docs:
        for config in (b"\x00", b"\x35", b"\xfe"):
            write("reader", config + d)
    for p in paths:
        write("compile", p)
    for t in ("reader", "compile", "query", "differential"):
        print(t, len(list((CORPUS / t).iterdir())))


if __name__ == "__main__":
    main()
