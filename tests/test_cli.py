"""The quelmar command, run as a user runs it: a subprocess of this interpreter."""
from __future__ import annotations

import json
import os
import select
import signal
import struct
import subprocess
import sys
import time
from pathlib import Path

import pytest

import quelmar as quelmar_pkg

ROOT = Path(__file__).resolve().parent.parent
BOOKS = ROOT / "examples" / "books.xml"
TITLES = [
    "XML Developer's Guide",
    "Midnight Rain",
    "Maeve Ascendant",
    "Creepy Crawlies",
    "Paradox Lost",
    "Microsoft .NET: The Programming Bible",
]

SHOP = "<shop><item id='a'><name>pen</name><price>2</price></item><item id='b'><name>ink</name><price>3.5</price></item></shop>"


def quelmar(*args: str | Path, stdin: bytes | str = b"", cwd: Path | None = None) -> subprocess.CompletedProcess[str]:
    data = stdin.encode() if isinstance(stdin, str) else stdin
    proc = subprocess.run(
        [sys.executable, "-m", "quelmar", *map(str, args)],
        input=data, capture_output=True, cwd=cwd, timeout=120,
    )
    # Decode here so that a wrong output encoding fails loudly.
    return subprocess.CompletedProcess(
        proc.args, proc.returncode, proc.stdout.decode("utf-8"), proc.stderr.decode("utf-8")
    )


def test_titles_of_the_example_catalog():
    r = quelmar("catalog.book.#.title", BOOKS)
    assert (r.returncode, r.stderr) == (0, "")
    assert r.stdout.splitlines() == TITLES


@pytest.mark.parametrize(
    "args, stdout, status",
    [
        # plain text: one value per line
        (["shop.item.0.name"], "pen\n", 0),
        (["shop.item.#.name"], "pen\nink\n", 0),
        (["shop.item.#.@id"], "a\nb\n", 0),
        (["shop.item.#.price|@sum"], "5.5\n", 0),
        (["shop.item.#(price>3)#.name"], "ink\n", 0),
        # an element with children prints as its raw XML
        (["shop.item.1"], "<item id='b'><name>ink</name><price>3.5</price></item>\n", 0),
        # nothing matched: no output, status 1
        (["shop.nothing"], "", 1),
        (["shop.item.#(price>100)#.name"], "", 1),
        # --count
        (["--count", "shop.item"], "2\n", 0),
        (["--count", "shop.nothing"], "0\n", 1),
        (["--count", "-p", "shop.item.#.name", "-p", "shop.x"], "2\n0\n", 0),
        # several -p: one pass, values of each path in turn
        (["-p", "shop.item.#.name", "-p", "shop.item.#.@id"], "pen\nink\na\nb\n", 0),
        # --with-filename on standard input
        (["-H", "shop.item.#.name"], "(standard input):pen\n(standard input):ink\n", 0),
        (["-H", "--count", "shop.item", "-"], "(standard input):2\n", 0),
        # --with-path tells several paths apart; -0 ends values with NUL
        (["--with-path", "-p", "shop.item.#.name", "-p", "shop.item.0.@id"],
         "shop.item.#.name:pen\nshop.item.#.name:ink\nshop.item.0.@id:a\n", 0),
        (["-H", "--with-path", "--count", "shop.item"], "(standard input):shop.item:2\n", 0),
        (["-0", "shop.item.#.name"], "pen\0ink\0", 0),
        # --records: one line per record, the -p values tab-separated
        (["--records", "shop.item", "-p", "name", "-p", "@id"], "pen\ta\nink\tb\n", 0),
        (["--records", "shop.item", "-H", "-p", "price"], "(standard input):2\n(standard input):3.5\n", 0),
        (["--records", "**.name", "--count"], "2\n", 0),
        (["--records", "shop.none", "-p", "name"], "", 1),
        # --csv: RFC 4180 with a header row; --jsonl: an object per record
        (["--records", "shop.item", "--csv", "-p", "name", "-p", "@id"], "name,@id\r\npen,a\r\nink,b\r\n", 0),
        (["--records", "shop.item", "--csv", "-H", "-p", "@id"],
         "file,@id\r\n(standard input),a\r\n(standard input),b\r\n", 0),
        (["--records", "shop.none", "--csv", "-p", "name"], "name\r\n", 1),
        (["--records", "shop.item", "--jsonl", "-p", "name", "-p", "@id", "-p", "x"],
         '{"name": "pen", "@id": "a", "x": null}\n{"name": "ink", "@id": "b", "x": null}\n', 0),
        (["--records", "shop.item.name", "--jsonl", "-H"],
         '{"file": "(standard input)", "value": "pen"}\n{"file": "(standard input)", "value": "ink"}\n', 0),
    ],
)
def test_plain_output_from_stdin(args, stdout, status):
    r = quelmar(*args, stdin=SHOP)
    assert (r.stdout, r.returncode, r.stderr) == (stdout, status, "")


HINT = "hint: quelmar paths are dotted: catalog.book.title\n"


@pytest.mark.parametrize(
    "args, stdin, stdout, stderr, status",
    [
        # every line of a multi-line value carries the prefixes; -0 keeps it whole
        (["-H", "--with-path", "r.v"], "<r><v>a\nb</v></r>", "(standard input):r.v:a\n(standard input):r.v:b\n", "", 0),
        (["-H", "-0", "r.v"], "<r><v>a\nb</v></r>", "(standard input):a\nb\0", "", 0),
        # a path that matched nothing and looks like XPath gets a hint: the
        # path translated when it is a plain location path
        (["/r/v"], "<r><v>1</v></r>", "", "hint: quelmar paths are dotted: try 'r.v'\n", 1),
        (["/r/v/w"], "<r><v><w>1</w></v></r>", "", "hint: quelmar paths are dotted: try 'r.v.#.w'\n", 1),
        (["//w"], "<r/>", "", "hint: quelmar paths are dotted: try '**.w'\n", 1),
        (["/r//w/@id"], "<r/>", "", "hint: quelmar paths are dotted: try 'r.**.w.@id'\n", 1),
        (["/r/v[2]/@id"], "<r/>", "", "hint: quelmar paths are dotted: try 'r.v.1.@id'\n", 1),
        (["/r/v[@id='x']/w/text()"], "<r/>", "", "hint: quelmar paths are dotted: try 'r.v.#(@id==\"x\")#.w.#text'\n", 1),
        (["/r/v[w>3]"], "<r/>", "", "hint: quelmar paths are dotted: try 'r.v.#(w>3)#'\n", 1),
        (["/r/v.x/w[v.y=1]"], "<r/>", "", "hint: quelmar paths are dotted: try 'r.v\\.x.#.w.#(v\\.y==1)#'\n", 1),
        (["/r/v[last()]"], "<r/>", "", HINT, 1),
        (["/r/v[a=1 and b=2]"], "<r/>", "", HINT, 1),
        (["r.v[1]"], "<r><v>1</v></r>", "", HINT, 1),
        ([" r.v"], "<r><v>1</v></r>", "", HINT, 1),
        (["r.v(1)"], "<r><v>1</v></r>", "", HINT, 1),
        (["-p", "r.v", "-p", "/r/w"], "<r><v>1</v></r>", "1\n", "hint: quelmar paths are dotted: try 'r.w'\n", 0),
        # ... but not a dotted one, nor one whose filter holds such characters
        (["r.w"], "<r><v>1</v></r>", "", "", 1),
        (["r.#(v=='a/b[1](')#"], "<r><v>1</v></r>", "", "", 1),
        (["r.#(v=='a/b')#"], "<r><v>a/b</v></r>", "<r><v>a/b</v></r>\n", "", 0),
        # a record stays on one line: separators in values are escaped
        (["--records", "r.v", "-p", "w"], "<r><v><w>a\tb\\</w><w>c|d\ne</w></v></r>", "a\\tb\\\\|c\\|d\\ne\n", "", 0),
        (["--records", "r.v"], "<r><v>a\nb</v><v/></r>", "a\\nb\n\n", "", 0),
        (["--records", "r..v"], "<r/>", "", 'quelmar: bad record path "r..v": a record path is dotted element names, or **.name\n', 2),
        # A stream that breaks: the records before it, then the error and status 2.
        (["--records", "r.v"], "<r><v>1</v><v>2", "1\n", "quelmar: (standard input): 1:16: the document ends inside element <v>\n", 2),
        (["--records", "r.v", "--count"], "<r><v>1</v></r><r><v>2</v></r>", "",
         "quelmar: (standard input): 1:16: junk after the root element: a second element\n", 2),
    ],
)
def test_prefixes_and_hints(args, stdin, stdout, stderr, status):
    r = quelmar(*args, stdin=stdin)
    assert (r.stdout, r.stderr, r.returncode) == (stdout, stderr, status)


def test_records_over_many_files_in_processes(tmp_path):
    # -j N: the same output in the files' order, the same errors and status.
    names = []
    for i in range(6):
        f = tmp_path / f"{i}.xml"
        f.write_text("<shop>" + f"<item><name>n{i}</name></item>" * (i + 1) + "</shop>")
        names.append(f)
    broken = tmp_path / "broken.xml"
    broken.write_text("<shop><item><name>x</name></item><item>")
    names[2:2] = [broken, tmp_path / "missing.xml"]
    for extra in ([], ["--count", "-H"], ["--csv", "-p", "name"]):
        one = quelmar("--records", "shop.item", *extra, *names)
        two = quelmar("--records", "shop.item", "-j", "3", *extra, *names)
        assert (two.stdout, two.stderr, two.returncode) == (one.stdout, one.stderr, one.returncode)
        assert one.returncode == 2 and one.stderr.count("quelmar: ") == 2


def test_records_as_json_lines_from_compressed_files(tmp_path):
    import gzip

    gz = tmp_path / "shop.xml.gz"
    gz.write_bytes(gzip.compress(SHOP.encode()))
    r = quelmar("--records", "shop.item", "--json", "-p", "price", "-p", "@id", gz, "-", stdin=SHOP)
    assert (r.returncode, r.stderr) == (0, "")
    assert [json.loads(line) for line in r.stdout.splitlines()] == [["2", "a"], ["3.5", "b"]] * 2
    r = quelmar("--records", "shop.item", "--json-numbers", "-H", gz)
    assert json.loads(r.stdout.splitlines()[1]) == {"file": str(gz), "value": {"@id": "b", "name": "ink", "price": 3.5}}
    # a damaged file: one line on stderr, status 2
    data = gzip.compress(("<shop>" + "<item><name>pen</name></item>" * 20000 + "</shop>").encode())
    gz.write_bytes(data[: len(data) // 2])
    r = quelmar("--records", "shop.item", "-p", "name", gz)
    assert r.returncode == 2
    assert r.stderr == f"quelmar: {gz}: 1:281257: gzip data broken: the compressed data end before the stream does (a cut file?)\n"
    r = quelmar("--validate", gz)
    assert (r.returncode, r.stdout) == (1, f"{gz}:1:281257: gzip data broken: the compressed data end before the stream does (a cut file?)\n")
    # compressed data are told by their first bytes, whatever the name, in
    # every mode and on standard input
    import bz2

    gz.write_bytes(gzip.compress(SHOP.encode()))
    r = quelmar("shop.item.#.name", gz, "-", stdin=bz2.compress(SHOP.encode()))
    assert (r.stdout, r.stderr, r.returncode) == ("pen\nink\npen\nink\n", "", 0)
    r = quelmar("--records", "shop.item", "-p", "name", "-", stdin=bz2.compress(SHOP.encode()))
    assert (r.stdout, r.stderr, r.returncode) == ("pen\nink\n", "", 0)
    r = quelmar("--validate", gz, "-", stdin=gzip.compress(b"<a><b></a>"))
    assert (r.stdout, r.returncode) == ("(standard input):1:7: mismatched tag: expected </b>\n", 1)


def test_version():
    r = quelmar("--version")
    assert r.returncode == 0 and r.stdout == f"quelmar {quelmar_pkg.__version__}\n"


@pytest.mark.parametrize(
    "args, value, status",
    [
        (["shop.item.0.name"], "pen", 0),
        (["shop.item.#.price"], ["2", "3.5"], 0),
        (["--json-numbers", "shop.item.#.price"], [2, 3.5], 0),
        (["shop.item.0"], {"@id": "a", "name": "pen", "price": "2"}, 0),
        (["shop"], {"item": [{"@id": "a", "name": "pen", "price": "2"}, {"@id": "b", "name": "ink", "price": "3.5"}]}, 0),
        (["shop.item.#.@id"], ["a", "b"], 0),
        (["shop.nothing"], None, 1),
        (["--count", "shop.item.#.name"], 2, 0),
        (["-p", "shop.item.#.name", "-p", "shop.item.1.price", "-p", "x"],
         {"shop.item.#.name": ["pen", "ink"], "shop.item.1.price": "3.5", "x": None}, 0),
        (["-H", "shop.item.0.@id"], {"file": "(standard input)", "value": "a"}, 0),
    ],
)
def test_json_output(args, value, status):
    r = quelmar("--json", *args, stdin=SHOP)
    assert (r.returncode, r.stderr) == (status, "")
    assert r.stdout.endswith("\n") and r.stdout.count("\n") == 1
    assert json.loads(r.stdout) == value


@pytest.mark.parametrize(
    "doc, value",
    [
        ("<a>inf</a>", "inf"),  # JSON has no infinity: the text is kept
        ("<a>-Infinity</a>", "-Infinity"),
        ("<a>nan</a>", "nan"),
        ("<a>007</a>", "007"),  # numbers only where the text is a canonical spelling
        ("<a>2.10</a>", "2.10"),
        ("<a>2.5</a>", "2.5"),  # texts are strings; numbers with --json-numbers
        ("<a>12345678901234567890</a>", "12345678901234567890"),
        ("<a>caf\u00e9 \u2603</a>", "caf\u00e9 \u2603"),
        ("<a></a>", None),
        # attributes and mixed text are kept
        ('<a id="7"/>', {"@id": "7"}),
        ('<a id="x" n="1"><n>y</n></a>', {"@id": "x", "@n": "1", "n": "y"}),
        ("<a>one <b>two</b> three</a>", {"b": "two", "#text": "one  three"}),
    ],
)
def test_json_scalars(doc, value):
    r = quelmar("--json", "a", stdin=doc)
    assert json.loads(r.stdout) == value
    assert "\\u" not in r.stdout  # UTF-8 output, not escapes
    r = quelmar("--json-numbers", "a", stdin=doc)
    assert json.loads(r.stdout) == quelmar_pkg.to_python(quelmar_pkg.get(doc, "a"), numbers=True)


def test_json_refuses_absurd_nesting_with_a_message():
    depth = 300
    doc = "<a>" * depth + "1" + "</a>" * depth
    r = quelmar("--json", "a", stdin=doc)
    assert r.returncode == 0 and r.stdout.count("{") == depth - 1
    depth = 100_000
    doc = "<a>" * depth + "1" + "</a>" * depth
    r = quelmar("--json", "a", stdin=doc)
    assert r.returncode == 2 and r.stdout == ""
    assert r.stderr == "quelmar: (standard input): elements nested too deeply to be shown as JSON\n"


def test_files_are_read_in_order_with_names(tmp_path):
    (tmp_path / "one.xml").write_text("<r><v>1</v></r>")
    (tmp_path / "two.xml").write_text("<r><v>2</v><v>3</v></r>")
    (tmp_path / "empty.xml").write_bytes(b"")  # cannot be mapped; read as empty
    r = quelmar("-H", "r.v", "two.xml", "empty.xml", "one.xml", cwd=tmp_path)
    assert (r.returncode, r.stderr) == (0, "")
    assert r.stdout == "two.xml:2\ntwo.xml:3\none.xml:1\n"


def test_only_large_files_are_mapped(tmp_path, monkeypatch):
    # A mapped file truncated by another process kills the command with a
    # bus error, so files below the threshold are read instead.
    import mmap

    from quelmar import cli

    assert 1 << 20 <= cli.MAP_MIN_SIZE <= 1 << 30
    monkeypatch.setattr(cli, "MAP_MIN_SIZE", 64)
    for size, kind in [(0, bytes), (63, bytes), (64, mmap.mmap)]:
        f = tmp_path / f"{size}.xml"
        f.write_bytes(b"<r>" + b"x" * (size - 7) + b"</r>" if size else b"")
        with cli.document(cli.Job(f.name, str(f), None)) as data:
            assert type(data) is kind and len(data) == size


def test_legacy_encoding_is_printed_as_utf8(tmp_path):
    doc = '<?xml version="1.0" encoding="windows-1252"?><r><w>caf\xe9 \x80</w></r>'.encode("latin-1")
    (tmp_path / "legacy.xml").write_bytes(doc)
    r = quelmar("r.w", tmp_path / "legacy.xml")
    assert r.stdout == "caf\u00e9 \u20ac\n"


@pytest.mark.parametrize(
    "args, message",
    [
        (["a|@frist"], 'quelmar: bad path "a|@frist": unknown modifier: @frist'),
        (["-p", "a.b", "-p", "a.#(x"], 'quelmar: bad path "a.#(x": unmatched ( in filter'),
        (["a.b", "no-such-file.xml"], "quelmar: no-such-file.xml: No such file or directory"),
        (["a.b", "."], "quelmar: .: Is a directory"),
        (["shop.item.name", "-"],
         "quelmar: (standard input): path is ambiguous: item matches multiple elements but "
         "the path continues; specify .N (single) or .# (each)"),
    ],
)
def test_errors_are_one_line_with_status_2(args, message):
    r = quelmar(*args, stdin=SHOP)
    assert r.returncode == 2
    assert r.stderr == message + "\n"
    assert r.stdout == ""


def test_bad_path_is_reported_before_any_file_is_read():
    r = quelmar("a|", "no-such-file.xml")
    assert r.returncode == 2
    assert r.stderr == 'quelmar: bad path "a|": modifier name is empty\n'


def test_an_error_does_not_stop_the_other_files():
    r = quelmar("catalog.book.0.title", "missing.xml", BOOKS)
    assert r.returncode == 2
    assert r.stdout == "XML Developer's Guide\n"
    assert r.stderr == "quelmar: missing.xml: No such file or directory\n"


@pytest.mark.parametrize(
    "args",
    [
        [],  # no path at all
        ["--validate", "-p", "a"],
        ["--validate", "--json"],
        ["-q", "a"],  # -q is for --validate
        ["-j", "0", "a"],
        ["-j", "many", "a"],
        ["--no-such-option", "a"],
        ["--records", "a", "--with-path"],
        ["--records", "a", "-j", "2", "--parquet", "x.parquet"],
        ["--csv", "a"],  # --csv, --jsonl and --parquet are for --records
        ["--jsonl", "a"],
        ["--records", "a", "--csv", "--jsonl"],
        ["--records", "a", "--csv", "--json"],
        ["--records", "a", "--parquet", "x.parquet", "--count"],
    ],
)
def test_usage_errors(args):
    r = quelmar(*args)
    assert r.returncode == 2
    assert "Traceback" not in r.stderr
    assert r.stderr.splitlines()[-1].startswith("quelmar: error: ")


@pytest.mark.parametrize(
    "docs, status, stdout",
    [
        (["<a/>", "<a><b/></a>"], 0, ""),
        (["<a/>", "<a>", "<a/><b/>"], 1,
         "f1.xml:1:4: unclosed element 'a'\nf2.xml:1:5: junk after document element\n"),
        ([""], 1, "f0.xml:1:1: no element found\n"),
        (["<a>\n  <b x='1' x='2'/>\n</a>", "<r>&oslash;</r>"], 1,
         "f0.xml:2:12: duplicate attribute 'x'\nf1.xml:1:4: undefined entity 'oslash'\n"),
    ],
)
@pytest.mark.parametrize("quiet", [False, True])
def test_validate(tmp_path, docs, status, stdout, quiet):
    names = []
    for i, doc in enumerate(docs):
        (tmp_path / f"f{i}.xml").write_text(doc)
        names.append(f"f{i}.xml")
    r = quelmar("--validate", *(["-q"] if quiet else []), *names, cwd=tmp_path)
    assert (r.returncode, r.stdout, r.stderr) == (status, "" if quiet else stdout, "")


def test_validate_reads_stdin():
    r = quelmar("--validate", stdin="<a>")
    assert (r.returncode, r.stdout) == (1, "(standard input):1:4: unclosed element 'a'\n")
    assert quelmar("--validate", "-", stdin="<a></a>").returncode == 0


def make_corpus(directory: Path, n: int) -> list[str]:
    names = []
    for i in range(n):
        items = "".join(f"<it n='{i}-{k}'>{i * 10 + k}</it>" for k in range(i % 4))
        (directory / f"doc{i:03}.xml").write_text(f"<doc>{items}</doc>")
        names.append(f"doc{i:03}.xml")
    return names


@pytest.mark.parametrize("extra", [[], ["--json"], ["--count"], ["-p", "doc.it.#.@n"]])
def test_parallel_jobs_give_the_same_output_in_order(tmp_path, extra):
    names = make_corpus(tmp_path, 40)
    serial = quelmar("-H", *extra, "-p", "doc.it.#", *names, cwd=tmp_path)
    parallel = quelmar("-H", "-j", "3", *extra, "-p", "doc.it.#", *names, cwd=tmp_path)
    assert serial.returncode == parallel.returncode == 0
    assert serial.stdout == parallel.stdout and serial.stdout
    assert parallel.stderr == ""


def test_parallel_jobs_report_errors_and_stdin(tmp_path):
    names = make_corpus(tmp_path, 5)
    r = quelmar("-j", "2", "-H", "doc.it.0", names[1], "missing.xml", "-", names[2], cwd=tmp_path, stdin="<doc><it>s</it></doc>")
    assert r.returncode == 2
    assert r.stdout == "doc001.xml:10\n(standard input):s\ndoc002.xml:20\n"
    assert r.stderr == "quelmar: missing.xml: No such file or directory\n"


def read_until_exit(fd: int, proc: subprocess.Popen[bytes], timeout: float) -> bytes:
    out = b""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        ready, _, _ = select.select([fd], [], [], 0.1)
        if ready:
            try:
                chunk = os.read(fd, 65536)
            except OSError:  # the pty's other end closed
                break
            if not chunk:
                break
            out += chunk
        elif proc.poll() is not None:
            break
    return out


@pytest.mark.skipif(not hasattr(os, "openpty"), reason="needs a pseudo-terminal")
def test_progress_bar_only_on_a_terminal(tmp_path):
    pytest.importorskip("tqdm")
    fcntl = pytest.importorskip("fcntl")
    termios = pytest.importorskip("termios")
    names = make_corpus(tmp_path, 12)
    main_fd, term_fd = os.openpty()
    # A new pseudo-terminal has no size; a bar zero columns wide draws nothing.
    fcntl.ioctl(term_fd, termios.TIOCSWINSZ, struct.pack("HHHH", 24, 80, 0, 0))
    try:
        proc = subprocess.Popen(
            [sys.executable, "-m", "quelmar", "--count", "doc.it", *names],
            cwd=tmp_path, stdout=subprocess.PIPE, stderr=term_fd, stdin=subprocess.DEVNULL,
        )
        os.close(term_fd)
        term = read_until_exit(main_fd, proc, timeout=60)
        stdout, _ = proc.communicate(timeout=60)
    finally:
        os.close(main_fd)
    assert proc.returncode == 0
    assert stdout.decode().splitlines() == [str(i % 4) for i in range(12)]
    assert b"/12" in term and b"file" in term  # tqdm's "n/12 [... file/s]"
    # Not a terminal: no bar, standard error stays empty.
    r = quelmar("--count", "doc.it", *names, cwd=tmp_path)
    assert r.stderr == "" and r.returncode == 0


def test_closed_pipe_ends_quietly(tmp_path):
    # Two large outputs: the second write certainly meets the closed pipe.
    doc = "<r>" + "<v>line</v>" * 100_000 + "</r>"
    (tmp_path / "big.xml").write_text(doc)
    proc = subprocess.Popen(
        [sys.executable, "-m", "quelmar", "r.v", "big.xml", "big.xml"],
        cwd=tmp_path, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
    )
    assert proc.stdout is not None and proc.stderr is not None
    assert proc.stdout.readline() == b"line\n"
    proc.stdout.close()
    err = proc.stderr.read()
    proc.wait(timeout=60)
    assert err == b""
    # As grep and cat end: by the signal a closed pipe sends (141 in the
    # shell), neither "matched" nor "nothing matched".
    assert proc.returncode == -signal.SIGPIPE


def test_help_lists_the_options():
    r = quelmar("--help")
    assert r.returncode == 0
    # Python 3.13 writes "-p, --path PATH" where earlier ones write "-p PATH, --path PATH".
    for option in ("--path PATH", "--json", "--count", "--validate", "--with-filename", "--jobs N", "--records PATH"):
        assert option in r.stdout


def test_console_script_entry_point():
    from importlib.metadata import entry_points

    import quelmar.cli

    declared = [ep for ep in entry_points(group="console_scripts") if ep.name == "quelmar"]
    if not declared:
        pytest.skip("quelmar is not installed (developer build)")
    assert declared[0].load() is quelmar.cli.main


def test_ctrl_c_with_jobs_ends_at_once(tmp_path):
    # Workers block on named pipes that nobody writes; Ctrl-C (SIGINT to the
    # whole process group, as a terminal sends it) must end the run at once,
    # quietly, with the usual status 130.
    import signal

    names = []
    for i in range(4):
        os.mkfifo(tmp_path / f"p{i}.xml")
        names.append(f"p{i}.xml")
    proc = subprocess.Popen(
        [sys.executable, "-m", "quelmar", "-j", "2", "r.v", *names],
        cwd=tmp_path, stdout=subprocess.PIPE, stderr=subprocess.PIPE, start_new_session=True,
    )
    time.sleep(1.5)  # the workers are up and blocked in open()
    os.killpg(proc.pid, signal.SIGINT)
    try:
        out, err = proc.communicate(timeout=20)
    finally:
        if proc.poll() is None:
            os.killpg(proc.pid, signal.SIGKILL)
    assert proc.returncode == 130
    assert b"Traceback" not in err


@pytest.mark.parametrize("args", [["shop.item.#.name"], ["--records", "shop.item", "-p", "name"]], ids=["query", "records"])
def test_reader_going_away_ends_the_run_quietly(tmp_path, args):
    # `quelmar ... | head -1`: the pipe closes while output is still coming.
    doc = tmp_path / "big.xml"
    doc.write_text("<shop>" + "<item><name>pen</name></item>" * 200000 + "</shop>")
    proc = subprocess.Popen(
        [sys.executable, "-m", "quelmar", *args, str(doc)], stdout=subprocess.PIPE, stderr=subprocess.PIPE
    )
    assert proc.stdout.readline() == b"pen\n"
    proc.stdout.close()
    err = proc.stderr.read()
    # 0 when the pipe could hold all the output (some kernels' pipes hold
    # a megabyte), never 1: something matched.
    assert proc.wait(timeout=60) in (0, -signal.SIGPIPE) and err == b""


def test_records_as_csv_load_as_written(tmp_path):
    # Separators, quotes and line ends inside values; several matches of a
    # path in one record make a JSON array of their texts; none, an empty cell.
    doc = '<r><v id="1"><w>a,"b"</w><w>c</w></v><v id="2"><w>x\ny</w></v><v id="3"/></r>'
    r = quelmar("--records", "r.v", "--csv", "-p", "@id", "-p", "w", stdin=doc)
    assert r.returncode == 0, r.stderr
    import csv
    import io

    rows = list(csv.reader(io.StringIO(r.stdout, newline="")))
    assert rows == [["@id", "w"], ["1", '["a,\\"b\\"", "c"]'], ["2", "x\ny"], ["3", ""]]
    pd = pytest.importorskip("pandas")
    frame = pd.read_csv(io.StringIO(r.stdout), dtype=str, keep_default_na=False)
    assert frame.to_dict("list") == {"@id": ["1", "2", "3"], "w": ['["a,\\"b\\"", "c"]', "x\ny", ""]}


def test_records_into_parquet(tmp_path):
    pq = pytest.importorskip("pyarrow.parquet")
    out = tmp_path / "books.parquet"
    r = quelmar("--records", "catalog.book", "--parquet", out, "-H", "-p", "title", "-p", "@lang", BOOKS, BOOKS)
    assert (r.returncode, r.stdout, r.stderr) == (0, "", "")
    table = pq.read_table(out).to_pydict()
    assert list(table) == ["file", "title", "@lang"]
    assert table["title"] == TITLES * 2 and table["file"] == [str(BOOKS)] * 12
    r = quelmar("--records", "catalog.none", "--parquet", out, BOOKS)
    assert r.returncode == 1 and pq.read_table(out).num_rows == 0


@pytest.mark.parametrize(
    "redirect, message",
    [("> /dev/full", "No space left on device"), (">&-", "standard output is closed")],
    ids=["full-disk", "closed-stdout"],
)
@pytest.mark.parametrize("args", [["catalog.book.#.title"], ["--records", "catalog.book", "-p", "title"]], ids=["query", "records"])
def test_write_failure_is_one_line_and_status_2(redirect, message, args):
    if redirect.startswith(">") and "full" in redirect and not os.path.exists("/dev/full"):
        pytest.skip("no /dev/full")
    command = " ".join([sys.executable, "-m", "quelmar", *(f"'{a}'" for a in args), str(BOOKS), redirect])
    proc = subprocess.run(["bash", "-c", command], capture_output=True, text=True, timeout=120)
    assert (proc.returncode, proc.stderr) == (2, f"quelmar: write error: {message}\n")


def test_json_file_names_are_valid_utf8(tmp_path):
    # A file name that is not UTF-8 prints as given in plain lines, and with
    # U+FFFD for each byte that is not UTF-8 in JSON and CSV.
    name = os.fsdecode(b"caf\xe9.xml")
    (tmp_path / name).write_text("<a><b>1</b></a>")
    r = subprocess.run([sys.executable, "-m", "quelmar", "-H", "--json", "a.b", name], cwd=tmp_path, capture_output=True)
    assert json.loads(r.stdout.decode("utf-8")) == {"file": "caf\ufffd.xml", "value": "1"}
    r = subprocess.run([sys.executable, "-m", "quelmar", "-H", "--records", "a", "--csv", "-p", "b", name], cwd=tmp_path, capture_output=True)
    assert r.stdout.decode("utf-8") == "file,b\r\ncaf\ufffd.xml,1\r\n"
    r = subprocess.run([sys.executable, "-m", "quelmar", "-H", "a.b", name], cwd=tmp_path, capture_output=True)
    assert r.stdout == b"caf\xe9.xml:1\n"


def test_declared_encodings_beyond_the_reader(tmp_path):
    # Labels Python's codecs know and the reader does not are decoded by
    # them; what does not decode, or declares what nothing knows, is one
    # error line naming the label, and the other files go on.
    (tmp_path / "mac.xml").write_bytes('<?xml version="1.0" encoding="MacCyrillic"?><f><t>Привет</t></f>'.encode("mac_cyrillic"))
    (tmp_path / "ibm.xml").write_bytes("<?xml version='1.0' encoding='IBM855'?><f><t>мир</t></f>".encode("cp855"))
    (tmp_path / "sj.xml").write_bytes(b'<?xml version="1.0" encoding="Shift_JIS_2004"?><f><t>\x82</t></f>')
    (tmp_path / "unk.xml").write_bytes(b'<?xml version="1.0" encoding="x-nothing"?><f><t>\xe9</t></f>')
    names = ["mac.xml", "sj.xml", "ibm.xml", "unk.xml"]
    sj = ("quelmar: sj.xml: invalid Shift_JIS_2004 sequence at byte offset 53 (the document's declared encoding): "
          "illegal multibyte sequence\n")
    unk = "quelmar: unk.xml: incomplete utf-8 byte sequence from index 0 (not UTF-8 from byte offset 48; declared encoding 'x-nothing' unknown)\n"
    # A record stream is checked as it is read: bytes that are not UTF-8 are a break there.
    unk_stream = "quelmar: unk.xml: 1:49: not well-formed (invalid token)\n"
    for args, last in ((["f.t"], unk), (["--records", "f", "-p", "t"], unk_stream)):
        r = quelmar(*args, *names, cwd=tmp_path)
        assert (r.returncode, r.stdout, r.stderr) == (2, "Привет\nмир\n", sj + last)
    r = quelmar("--validate", *names, cwd=tmp_path)
    assert (r.returncode, r.stdout, r.stderr) == (2, "unk.xml:1:31: unknown encoding 'x-nothing'\n", sj)
