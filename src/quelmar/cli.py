"""The ``quelmar`` command: path queries over XML files from the shell.

    quelmar 'catalog.book.#.title' books.xml
    quelmar -p 'catalog.book.#.title' -p 'catalog.book.#.price|@sum' --json *.xml
    quelmar --validate *.xml
    quelmar --records mediawiki.page -p title -p revision.id dump.xml.gz

Files of at least ``MAP_MIN_SIZE`` bytes are memory-mapped and handed to the
buffer functions (``get_buffer``, ``get_many_buffer``), so a large file is
never copied into Python; only the matched elements are. Smaller files are
read whole: as fast, and safe from a file truncated while it is mapped (a
log being rotated), which kills the process with a bus error. ``-`` or no
file at all reads standard input.

Exit status: 0 when some path matched something (or, with ``--validate``,
every file is well-formed; with ``--records``, when some record was found), 1 when nothing matched (some file is not
well-formed), 2 on any error, output that cannot be written included. When
the reader of the output goes away, the command ends by SIGPIPE, quietly,
as grep does (status 141 in the shell). ``--validate`` prints one line per file that
is not well-formed, ``FILE:LINE:COLUMN: message`` for its first error
(nothing with ``-q``). Errors are reported on one line each, on
standard error, and the remaining files are still processed.
"""
from __future__ import annotations

import argparse
import csv
import io
import json
import lzma
import mmap
import multiprocessing
import os
import pathlib
import re
import signal
import stat
import sys
import warnings
import zlib
from collections.abc import Callable, Iterator, Sequence
from contextlib import contextmanager
from dataclasses import dataclass
from typing import IO, Any, NamedTuple

import quelmar
from quelmar import Path, Result
from quelmar._encodings import declared_label, decode_document, foreign_codec
from quelmar._extra import encoding_label
from quelmar._sources import check_after, decompressed, open_source, read_file

PROG = "quelmar"
# Regular files this large or larger are memory-mapped; smaller ones are read.
MAP_MIN_SIZE = 64 << 20
STDIN_NAME = "(standard input)"
# The progress bar appears only for runs over at least this many files, and
# only when standard error is a terminal.
PROGRESS_MIN_FILES = 10

USAGE = """\
quelmar [options] PATH [FILE ...]
       quelmar [options] -p PATH [-p PATH ...] [FILE ...]
       quelmar --validate [-q] [FILE ...]
       quelmar --records PATH [-p PATH ...] [FILE ...]"""

DESCRIPTION = """\
Query XML files with a quelmar path. Prints one value per line: the text of
each matched element or attribute, or the raw XML of an element that has
child elements. With several -p options all paths are answered in one pass
over each file. With --records, files of any size (compressed too) are
streamed record after record, with one line per record."""

EPILOG = """\
exit status: 0 if something matched (--validate: all files well-formed),
1 if nothing matched (--validate: some file is not), 2 on errors; a closed
output pipe ends the run by SIGPIPE (141), as for grep.

examples:
  quelmar 'catalog.book.#.title' books.xml
  quelmar 'catalog.book.#(price>10)#.title|@sort' books.xml
  quelmar -p 'catalog.book.#' -p 'catalog.book.#.price|@sum' --json *.xml
  curl -s https://example.org/feed.xml | quelmar 'rss.channel.item.#.link'
  quelmar --records mediawiki.page -p title -p revision.id dump.xml.bz2
  quelmar --records catalog.book -p @id -p price --csv *.xml > books.csv"""


class Job(NamedTuple):
    """One input: the name to show, and where its bytes come from."""

    name: str
    filename: str | None  # None: `data` holds standard input
    data: bytes | None


class Outcome(NamedTuple):
    """What processing one input produced; plain data, so it crosses processes."""

    output: str
    matched: bool
    error: str | None
    hits: tuple[bool, ...] = ()  # per path: whether it matched something


@dataclass(frozen=True)
class Config:
    """The options that decide what is computed and printed for each input."""

    paths: tuple[str, ...]
    json: bool
    count: bool
    validate: bool
    quiet: bool
    with_filename: bool
    with_path: bool = False
    null: bool = False
    records: str | None = None
    # Record output other than lines of tab-separated values: "csv", "jsonl"
    # or "parquet" (written to the file `parquet`).
    table: str | None = None
    parquet: str | None = None
    json_numbers: bool = False


class CliError(Exception):
    """A problem reported as one line on standard error, with exit status 2."""


class WriteError(Exception):
    """Standard output cannot be written (a full disk, a closed descriptor):
    the run stops, with one line on standard error and exit status 2. Not
    an OSError, so that no handler of a file's errors takes it for one."""


# --------------------------------------------------------------------------
# Arguments

def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=PROG,
        usage=USAGE,
        description=DESCRIPTION,
        epilog=EPILOG,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument(
        "operands", nargs="*", metavar="PATH [FILE ...]",
        help="the path to evaluate (unless -p is given), then the files; "
        "'-' or no file reads standard input",
    )
    parser.add_argument(
        "-p", "--path", dest="paths", action="append", metavar="PATH",
        help="a path to evaluate; repeat to answer several paths in one pass",
    )
    parser.add_argument(
        "--json", action="store_true",
        help="print one JSON value per file, as quelmar.to_python makes it: "
        "strings, lists, objects for elements with attributes (\"@name\" keys) or "
        "children, null for no match; with several -p, an object keyed by path",
    )
    parser.add_argument(
        "--json-numbers", action="store_true",
        help="--json with numbers where the text is a number's canonical spelling "
        "(to_python's numbers=True)",
    )
    parser.add_argument(
        "--count", action="store_true",
        help="print the number of matches of each path instead of the values",
    )
    parser.add_argument(
        "--validate", action="store_true",
        help="check that each file is well-formed XML (and namespace-well-formed); "
        "print FILE:LINE:COLUMN: message for the first error of each file that is not",
    )
    parser.add_argument(
        "-q", "--quiet", action="store_true",
        help="with --validate: print nothing, answer by the exit status only",
    )
    parser.add_argument(
        "-H", "--with-filename", action="store_true",
        help="prefix each output line with the file name",
    )
    parser.add_argument(
        "--with-path", action="store_true",
        help="prefix each output line with the path that produced it",
    )
    parser.add_argument(
        "-0", "--null", action="store_true",
        help="end each value with a NUL byte instead of a newline (for values that hold newlines)",
    )
    parser.add_argument(
        "--records", metavar="PATH",
        help="stream the records at PATH (dotted names from the root, or **.name) through each "
        "file, compressed files (gzip, bzip2, xz, zstd) and standard input included, and print "
        "one line per record: the values of the -p paths (relative to the record) separated by "
        "tabs, several matches of a path by '|', with '\\', tab, newline, CR and '|' escaped as "
        "\\\\, \\t, \\n, \\r and \\|; without -p, the record itself; with --json, one JSON "
        "value per line (a list of the -p values, or the record); with --count, the number of records",
    )
    parser.add_argument(
        "--csv", action="store_true",
        help="with --records: CSV (RFC 4180, UTF-8, CRLF line ends) with a header row of the -p paths "
        "(\"file\" first with -H); a cell is the text of the path's match, empty for none, a JSON "
        "array of the texts for several",
    )
    parser.add_argument(
        "--jsonl", action="store_true",
        help="with --records: JSON Lines, one object per record keyed by the -p paths (\"file\" "
        "first with -H), each value as with --json",
    )
    parser.add_argument(
        "--parquet", metavar="FILE",
        help="with --records: write the records to the Parquet file FILE, one column per -p path "
        "(by default the attributes and leaf children of the first records), typed as "
        "quelmar.read_frame types them; needs pyarrow",
    )
    parser.add_argument(
        "-j", "--jobs", type=positive_int, default=1, metavar="N",
        help="spread the files over N processes (default 1)",
    )
    parser.add_argument("--version", action="version", version=f"{PROG} {quelmar.__version__}")
    return parser


def positive_int(text: str) -> int:
    try:
        n = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number: {text!r}") from None
    if n < 1:
        raise argparse.ArgumentTypeError(f"must be at least 1: {n}")
    return n


def parse_arguments(argv: Sequence[str] | None) -> tuple[Config, list[str], int]:
    parser = build_parser()
    args = parser.parse_intermixed_args(argv)
    args.json = args.json or args.json_numbers
    operands: list[str] = list(args.operands)
    tables = [t for t, on in (("csv", args.csv), ("jsonl", args.jsonl), ("parquet", args.parquet is not None)) if on]
    table = tables[0] if tables else None
    if table is not None:
        if args.records is None:
            parser.error(f"--{table} is for --records")
        if args.json or args.count or args.null or len(tables) > 1:
            parser.error("--csv, --jsonl and --parquet cannot be combined with each other, --json, --count or -0")
    paths: list[str]
    if args.validate:
        if args.paths or args.json or args.count:
            parser.error("--validate takes no path and cannot be combined with --json or --count")
        paths = []
    elif args.quiet:
        parser.error("-q is for --validate")
    elif args.records is not None:
        if args.with_path:
            parser.error("--records cannot be combined with --with-path")
        if args.jobs != 1 and args.parquet is not None:
            parser.error("--parquet cannot be combined with -j")
        paths = list(args.paths or [])
    elif args.paths:
        paths = list(args.paths)
    elif operands:
        paths = [operands.pop(0)]
    else:
        parser.error("a PATH (or -p PATH) is required")
    config = Config(
        paths=tuple(paths),
        json=args.json,
        count=args.count,
        validate=args.validate,
        quiet=args.quiet,
        with_filename=args.with_filename,
        with_path=args.with_path,
        null=args.null,
        records=args.records,
        table=table,
        parquet=args.parquet,
        json_numbers=args.json_numbers,
    )
    return config, operands or ["-"], args.jobs


def compile_paths(texts: Sequence[str]) -> list[Path]:
    compiled = []
    for text in texts:
        try:
            compiled.append(quelmar.compile(text))
        except ValueError as e:
            raise CliError(describe_path_error(text, e)) from None
    return compiled


def describe_path_error(text: str, error: ValueError) -> str:
    """One line out of a compile error: its first line and the path.

    The full message spans three lines (error, path echo, caret), which a
    one-line report cannot keep; the echo's quoted path is reused as is.
    """
    lines = str(error).splitlines() or [""]
    quoted = json.dumps(text, ensure_ascii=False)
    if len(lines) > 1 and lines[1].strip().startswith("in path: "):
        quoted = lines[1].strip()[len("in path: "):]
    return f"bad path {quoted}: {lines[0]}"


# --------------------------------------------------------------------------
# Evaluation of one input

# Set once per process: compiled paths are not picklable, so worker
# processes compile their own from the texts in Config.
_state: tuple[Config, list[Path]] | None = None


def init_state(config: Config) -> None:
    global _state
    _state = (config, compile_paths(config.paths))


@contextmanager
def document(job: Job) -> Iterator[Any]:
    """The bytes of one input as a buffer, memory-mapped when it is a large file."""
    if job.filename is None:
        yield decompressed(job.data or b"")
        return
    with open(job.filename, "rb") as f:
        whole = read_file(f)  # a compressed file, a pipe
        if whole is not None:
            yield whole
            return
        st = os.fstat(f.fileno())
        if not stat.S_ISREG(st.st_mode) or st.st_size < MAP_MIN_SIZE:
            # Pipes, devices and empty files cannot be mapped; below the
            # threshold one read costs about what mapping does and cannot
            # fault if another process truncates the file meanwhile.
            yield f.read()
            return
        with mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ) as m:
            yield m


def check_stdin() -> quelmar.NotWellFormed | None:
    """quelmar.check of standard input, read a piece at a time; one
    declaring an encoding only Python's codecs know is read whole and
    decoded first."""
    src, _, _ = open_source(sys.stdin.buffer)
    head = b""
    try:
        while len(head) < 1024 and (data := src.read(1024 - len(head))):
            head += data
    except quelmar.NotWellFormed as e:
        src.close()
        return e
    label = declared_label(head)
    codec = foreign_codec(label)
    if label is None or codec is None:
        return check_after(head, src)
    try:
        rest = []
        while data := src.read(1 << 20):
            rest.append(data)
    finally:
        src.close()
    return quelmar.check(decode_document(head + b"".join(rest), label, codec))


def process(job: Job) -> Outcome:
    assert _state is not None
    config, paths = _state
    label = None
    try:
        if config.validate and job.filename is None and job.data is None:
            problem = check_stdin()
            if problem is None:
                return Outcome("", True, None)
            line = "" if config.quiet else f"{job.name}:{problem}\n"
            return Outcome(line, False, None)
        if config.validate and job.filename is not None:
            # A file is checked as a file: mapped, or decompressed on the
            # way. One declaring an encoding only Python's codecs know is
            # decoded below, then checked.
            problem = quelmar.check(pathlib.Path(job.filename))
            if problem is None:
                return Outcome("", True, None)
            if not problem.message.startswith("unknown encoding"):
                line = "" if config.quiet else f"{job.name}:{problem}\n"
                return Outcome(line, False, None)
        with document(job) as data:
            label = declared_label(data)
            codec = foreign_codec(label)
            if label is not None and codec is not None:
                # A declared encoding the reader does not decode: Python's
                # codec makes the text, which is then read as UTF-8.
                data = decode_document(data, label, codec)
            if config.validate:
                problem = quelmar.check(data)
                if problem is None:
                    return Outcome("", True, None)
                line = "" if config.quiet else f"{job.name}:{problem}\n"
                return Outcome(line, False, None)
            if isinstance(data, str):
                results = [paths[0].get(data)] if len(paths) == 1 else quelmar.get_many(data, paths)
            elif len(paths) == 1:
                results = [paths[0].get_buffer(data)]
            else:
                results = quelmar.get_many_buffer(data, paths)
            # The results own copies of what matched: rendering them needs
            # nothing from the mapping, which may close now.
        hits = tuple(len(r) > 0 for r in results)
        return Outcome(render(job.name, config, results), any(hits), None, hits)
    except OSError as e:
        return Outcome("", False, f"{job.name}: {e.strerror or e}")
    except (ValueError, CliError) as e:
        first = str(e).splitlines()[0] if str(e) else type(e).__name__
        if "utf-8" in first and job.filename is not None:
            first += utf8_error_detail(job.filename)
        elif "utf-8" in first and job.data is not None:
            first += utf8_error_detail(job.data)
        return Outcome("", False, f"{job.name}: {first}")


def utf8_error_detail(source: str | bytes) -> str:
    """What to add to the message of a text that is not UTF-8 (which gives
    its offset in the text): where the document stops being UTF-8, and the
    declared encoding that was passed over as unknown, if any. Asked only
    after such an error; source is the document or its file's name."""
    try:
        if isinstance(source, str):
            with open(source, "rb") as f:
                data = f.read(64 << 20)  # the document's start is enough
        else:
            data = source
    except OSError:
        return ""
    label = declared_label(data)
    try:
        data.decode("utf-8")
        at = ""
    except UnicodeDecodeError as e:
        at = f"not UTF-8 from byte offset {e.start}"
    if label is not None and encoding_label(label) is None and foreign_codec(label) is None:
        unknown = f"declared encoding {label.decode('ascii', 'replace')!r} unknown"
        at = f"{at}; {unknown}" if at else unknown
    return f" ({at})" if at else ""


def render(name: str, config: Config, results: list[Result]) -> str:
    prefix = f"{name}:" if config.with_filename else ""
    if config.json:
        if config.count:
            values: list[Any] = [len(r) for r in results]
        else:
            values = [quelmar.to_python(r, numbers=config.json_numbers) for r in results]
        value: Any = values[0] if len(values) == 1 else dict(zip(config.paths, values))
        if config.with_filename:
            value = {"file": shown_name(name), "value": value}
        try:
            return json.dumps(value, ensure_ascii=False) + "\n"
        except RecursionError:
            # to_python nests as deep as the document; the encoder recurses.
            raise CliError("elements nested too deeply to be shown as JSON") from None
    end = "\0" if config.null else "\n"
    out: list[str] = []
    for path, r in zip(config.paths, results):
        lead = prefix + (f"{path}:" if config.with_path else "")
        # One value per item: its text, or its raw XML when it has children.
        values = [str(len(r))] if config.count else [item.to_str() for item in quelmar.as_list(r)]
        for value in values:
            if lead and not config.null and "\n" in value:
                # Every line of a multi-line value carries the prefix, so
                # grep and friends see where each line came from.
                value = value.replace("\n", "\n" + lead)
            out.append(lead + value + end)
    return "".join(out)


# --------------------------------------------------------------------------
# Driving the inputs

def read_jobs(files: list[str], stream: bool = False) -> list[Job]:
    """The inputs; with stream, standard input is read by its job (a
    Job with neither filename nor data)."""
    jobs = []
    stdin_data: bytes | None = None
    for name in files:
        if name == "-":
            if stdin_data is None:
                stdin_data = None if stream else sys.stdin.buffer.read()
                jobs.append(Job(STDIN_NAME, None, stdin_data))
                stdin_data = b""
                continue
            jobs.append(Job(STDIN_NAME, None, stdin_data))
            stdin_data = b""  # a second '-' finds standard input at its end
        else:
            jobs.append(Job(name, name, None))
    return jobs


def init_worker(config: Config) -> None:
    # Ctrl-C is the parent's to handle: it terminates the workers at once,
    # rather than each printing a traceback and the pool waiting for them.
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    if hasattr(signal, "pthread_sigmask"):
        signal.pthread_sigmask(signal.SIG_UNBLOCK, {signal.SIGINT})
    init_state(config)


def start_pool(config: Config, workers: int) -> Any:
    """A pool of worker processes, each set up with config.

    A Ctrl-C while the workers start would reach a worker before it ignores
    SIGINT (the pool then waits for a worker that died) or the parent before
    it can stop the pool: the signal is held until both sides are ready."""
    masked = hasattr(signal, "pthread_sigmask")
    if masked:
        signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGINT})
    try:
        return multiprocessing.Pool(workers, initializer=init_worker, initargs=(config,))
    finally:
        if masked:
            signal.pthread_sigmask(signal.SIG_UNBLOCK, {signal.SIGINT})


def outcomes(config: Config, jobs: list[Job], workers: int) -> Iterator[Outcome]:
    """Outcomes in input order, computed here or by a pool of processes."""
    workers = min(workers, len(jobs))
    if workers <= 1 or any(job.filename is None and job.data is None for job in jobs):
        for job in jobs:
            yield process(job)
        return
    chunk = max(1, min(64, len(jobs) // (workers * 8)))
    pool = None
    try:
        pool = start_pool(config, workers)
        yield from pool.imap(process, jobs, chunksize=chunk)
        pool.close()
    finally:
        # Normal end: the workers have finished. Ctrl-C, a closed pipe or an
        # error here: they are stopped without finishing their queue.
        if pool is not None:
            pool.terminate()
            pool.join()


def looks_foreign(path: str) -> bool:
    """Whether a path has what no dotted quelmar path of XML names holds:
    XPath's '/', '[' and ']', a '(' that opens no filter, white space at
    either end. Filter contents (#(...), quotes included) are not looked at."""
    if path != path.strip():
        return True
    depth = 0
    quote = ""
    prev = ""
    for c in path:
        if quote:
            if c == quote and prev != "\\":
                quote = ""
        elif depth and c in "'\"":
            quote = c
        elif c == "(":
            if prev != "#":
                return True
            depth += 1
        elif c == ")" and depth:
            depth -= 1
        elif not depth and c in "/[]":
            return True
        prev = c
    return False


HINT = "hint: quelmar paths are dotted: catalog.book.title"

_XPATH_STEP = re.compile(
    r"(?P<name>@?(?:[A-Za-z_][\w.\-]*:)?(?:[A-Za-z_][\w.\-]*|\*)|text\(\))"
    r"(?:\[(?P<pred>[^\[\]]*)\])?\Z"
)
_XPATH_TEST = re.compile(
    r"\s*(?P<left>@?[A-Za-z_][\w.\-:]*(?:/[A-Za-z_][\w.\-:]*)*)\s*"
    r"(?:(?P<op>!=|<=|>=|=|<|>)\s*(?P<value>'[^']*'|\"[^\"]*\"|-?\d+(?:\.\d+)?))?\s*\Z"
)


def _xpath_filter(predicate: str) -> str | None:
    """A quelmar filter for an XPath predicate of one test ([@lang='en'],
    [price>20], [@id]), or None."""
    m = _XPATH_TEST.match(predicate)
    if m is None:
        return None
    left = ".".join(part.replace(".", "\\.") for part in m.group("left").split("/"))
    if m.group("op") is None:
        return f'#({left}%"*")#' if left.startswith("@") else None
    op = "==" if m.group("op") == "=" else m.group("op")
    value = m.group("value")
    if value[0] in "'\"":
        value = json.dumps(value[1:-1], ensure_ascii=False)
    return f"#({left}{op}{value})#"


def xpath_to_dotted(path: str) -> str | None:
    """The dotted path for a plain XPath location path, or None when it
    uses what has no direct translation. Each step below the root selects
    every element (.#), as XPath does: /catalog/book/title is
    catalog.book.#.title; //x is **.x, [N] is .N-1, [@a='v'] and [x>3]
    are filters, @a and * are kept, text() is #text."""
    text = path.strip()
    if "/" not in text or "|" in text:
        return None
    if not text.startswith("/"):
        text = "/" + text
    parts = re.split(r"(//|/)", text)[1:]
    steps: list[tuple[bool, str, str | None]] = []
    for i in range(0, len(parts), 2):
        name = parts[i + 1] if i + 1 < len(parts) else ""
        m = _XPATH_STEP.match(name)
        if m is None:
            return None
        # A dot in an XML name is written \. in a dotted path.
        steps.append((parts[i] == "//", m.group("name").replace(".", "\\."), m.group("pred")))
    out: list[str] = []
    for i, (descendant, name, pred) in enumerate(steps):
        last = i == len(steps) - 1
        if name == "text()":
            if not last or pred is not None or descendant or i == 0:
                return None
            out.append("#text")
            break
        if name.startswith("@"):
            if not last or pred is not None or descendant or i == 0:
                return None
            out.append(name)
            break
        if descendant:
            if pred is not None:
                return None
            out.append("**." + name)
            continue
        component = name
        if pred is not None:
            pred = pred.strip()
            if pred.isdigit() and int(pred) > 0:
                component += f".{int(pred) - 1}"
            else:
                f = _xpath_filter(pred)
                if f is None or i == 0:
                    return None
                component += "." + f
        elif i > 0 and not last and not (i + 1 < len(steps) and steps[i + 1][1] == "text()"):
            component += ".#"
        out.append(component)
    dotted = ".".join(out)
    try:
        quelmar.compile(dotted)
    except ValueError:
        return None
    return dotted


def hint_for(path: str) -> str:
    dotted = xpath_to_dotted(path)
    if dotted is None:
        return HINT
    quoted = "'" + dotted.replace("'", "'\\''") + "'"  # for the shell, always quoted
    return f"hint: quelmar paths are dotted: try {quoted}"


class Output:
    """Standard output as UTF-8 bytes, kept clear of the progress bar."""

    def __init__(self, total: int) -> None:
        # None when the command was started with its standard output closed
        # (`quelmar ... >&-`): the first write reports it.
        self.stream: IO[bytes] | None = sys.stdout.buffer if sys.stdout is not None else None
        self.bar: Any = None
        self.shares_terminal = False
        if total >= PROGRESS_MIN_FILES and sys.stderr.isatty():
            try:
                from tqdm import tqdm  # type: ignore[import-untyped, unused-ignore]
            except ImportError:  # the bar is a comfort, not a requirement
                return
            self.bar = tqdm(total=total, file=sys.stderr, unit="file", leave=False, dynamic_ncols=True)
            self.shares_terminal = sys.stdout.isatty()

    def write(self, text: str) -> None:
        if text:
            self.write_bytes(text.encode("utf-8", "surrogateescape"))

    def write_bytes(self, data: bytes) -> None:
        if self.stream is None:
            raise WriteError("standard output is closed")
        try:
            if not self.shares_terminal:
                self.stream.write(data)
                return
            # Output and bar on one screen: take the bar away, write, put it back.
            with self.bar.external_write_mode(file=sys.stdout):
                self.stream.write(data)
                self.stream.flush()
        except BrokenPipeError:
            raise
        except OSError as e:
            raise WriteError(e.strerror or str(e)) from None

    def flush(self) -> None:
        if self.stream is None:
            return
        try:
            self.stream.flush()
        except BrokenPipeError:
            raise
        except OSError as e:
            raise WriteError(e.strerror or str(e)) from None

    def error(self, message: str) -> None:
        self.flush()
        if self.bar is not None:
            self.bar.write(f"{PROG}: {message}", file=sys.stderr)
        else:
            sys.stderr.write(f"{PROG}: {message}\n")

    def step(self) -> None:
        if self.bar is not None:
            self.bar.update(1)

    def close(self) -> None:
        if self.bar is not None:
            self.bar.close()
        self.flush()


# --------------------------------------------------------------------------
# Record mode: documents streamed record after record

_TSV_ESCAPES = str.maketrans({"\\": "\\\\", "\t": "\\t", "\n": "\\n", "\r": "\\r", "|": "\\|"})


def shown_name(name: str) -> str:
    """A file name as valid Unicode, for output that must be UTF-8 (JSON,
    CSV, Parquet): each byte of a name that is not UTF-8 (kept by Python as
    a lone surrogate) becomes U+FFFD. Plain lines keep the name's bytes."""
    return name.encode("utf-8", "surrogateescape").decode("utf-8", "replace")


def csv_cell(result: Result) -> str:
    """One CSV cell: the text of the one match, "" for none, a JSON array
    of the texts for several (so that no value is lost or run together)."""
    items = quelmar.as_list(result)
    if len(items) == 1:
        return items[0].to_str()
    if not items:
        return ""
    return json.dumps([item.to_str() for item in items], ensure_ascii=False)


def csv_line(fields: list[str]) -> str:
    out = io.StringIO()
    csv.writer(out, lineterminator="\r\n").writerow(fields)
    return out.getvalue()


def table_header(config: Config) -> list[str]:
    columns = list(config.paths) if config.paths else [config.records or "record"]
    return (["file"] if config.with_filename else []) + columns


def record_line(name: str, config: Config, answer: Any) -> str:
    """One record as one line, without its end (CSV: with it)."""
    if config.table == "csv":
        fields = answer if config.paths else [answer]
        return csv_line(([shown_name(name)] if config.with_filename else []) + [csv_cell(r) for r in fields])
    if config.table == "jsonl" and config.paths:
        row: dict[str, Any] = {"file": shown_name(name)} if config.with_filename else {}
        row.update((p, quelmar.to_python(r, numbers=config.json_numbers)) for p, r in zip(config.paths, answer))
        try:
            return json.dumps(row, ensure_ascii=False)
        except RecursionError:
            raise CliError("elements nested too deeply to be shown as JSON") from None
    if config.json or config.table == "jsonl":  # without -p, --jsonl is --json
        if config.paths:
            value: Any = [quelmar.to_python(r, numbers=config.json_numbers) for r in answer]
        else:
            value = quelmar.to_python(answer, numbers=config.json_numbers)
        if config.with_filename:
            value = {"file": shown_name(name), "value": value}
        try:
            return json.dumps(value, ensure_ascii=False)
        except RecursionError:
            raise CliError("elements nested too deeply to be shown as JSON") from None
    fields = answer if config.paths else [answer]
    return (f"{name}:" if config.with_filename else "") + "\t".join(
        "|".join(item.to_str().translate(_TSV_ESCAPES) for item in quelmar.as_list(r)) for r in fields
    )


def bar_for(files: list[str], out: Output) -> bool | None:
    """A bar of bytes read over one file, on standard error when it is a
    terminal and standard output is not (the bar would cut through the
    records), and tqdm is installed."""
    if len(files) != 1 or out.bar is not None or not sys.stderr.isatty() or sys.stdout.isatty():
        return None
    import importlib.util

    return True if importlib.util.find_spec("tqdm") is not None else None


def run_records(config: Config, files: list[str], paths: list[Path], out: Output, workers: int = 1) -> int:
    assert config.records is not None
    if config.table == "csv":
        out.write(csv_line(table_header(config)))
    found = errors = False
    for ok, error in records_outcomes(config, files, paths, out, workers):
        if error is not None:
            errors = True
            out.error(error)
        else:
            found = found or ok
        out.step()
    if errors:
        return 2
    return 0 if found else 1


def records_outcomes(
    config: Config, files: list[str], paths: list[Path], out: Output, workers: int
) -> Iterator[tuple[bool, str | None]]:
    """(any record, error line) of each file in turn, its records written
    to out first: here, or by a pool of processes (files only: standard
    input is read here), each file's records in its order."""
    workers = min(workers, len(files))
    if workers <= 1 or "-" in files:
        stdin_read = False
        for name in files:
            if name == "-":
                if stdin_read:
                    continue  # a second '-' finds standard input at its end
                stdin_read = True
            yield records_of(config, name, paths, out.write, bar_for(files, out))
        return
    pool = None
    try:
        pool = start_pool(config, workers)
        for kept, ok, error in pool.imap(records_job, files):
            if isinstance(kept, str):
                try:
                    with open(kept, encoding="utf-8", errors="surrogateescape", newline="") as f:
                        while text := f.read(RECORDS_SPILL):
                            out.write(text)
                finally:
                    os.unlink(kept)
            else:
                for text in kept:
                    out.write(text)
            yield ok, error
        pool.close()
    finally:
        if pool is not None:
            pool.terminate()
            pool.join()


# What a worker keeps of one file's records in memory before it writes
# them to a temporary file for the parent to copy.
RECORDS_SPILL = 8 << 20


def records_job(name: str) -> tuple[list[str] | str, bool, str | None]:
    """The records of one file, in a worker: its text (in pieces, or the
    name of a temporary file holding it), whether any record, the error."""
    assert _state is not None
    config, paths = _state
    kept: list[str] = []
    size = 0
    spill: Any = None

    def write(text: str) -> None:
        nonlocal size, spill
        if spill is not None:
            spill.write(text)
            return
        kept.append(text)
        size += len(text)
        if size > RECORDS_SPILL:
            import tempfile

            spill = tempfile.NamedTemporaryFile(
                "w", encoding="utf-8", errors="surrogateescape", newline="", prefix="quelmar-", delete=False
            )
            spill.write("".join(kept))
            kept.clear()

    try:
        ok, error = records_of(config, name, paths, write, None)
    except BaseException:
        if spill is not None:
            spill.close()
            os.unlink(spill.name)
        raise
    if spill is not None:
        spill.close()
        return spill.name, ok, error
    return kept, ok, error


def records_of(
    config: Config, name: str, paths: list[Path], write: Callable[[str], None], progress: bool | None
) -> tuple[bool, str | None]:
    """Writes the records of one input; (whether it had any, the error line
    or None)."""
    assert config.records is not None
    end = "\0" if config.null else "\n"
    if config.table == "csv":
        end = ""  # the CSV writer ends its rows
    shown = STDIN_NAME if name == "-" else name
    try:
        source: Any = sys.stdin.buffer if name == "-" else name
        it: Any = quelmar.records(source, config.records, paths if paths else None, progress=progress)
        n = 0
        try:
            with warnings.catch_warnings():
                # No record is told by the exit status.
                warnings.simplefilter("ignore", RuntimeWarning)
                for answer in it:
                    n += 1
                    if not config.count:
                        write(record_line(shown, config, answer) + end)
        finally:
            it.close()
        if config.count:
            if config.json and config.with_filename:
                write(json.dumps({"file": shown_name(shown), "value": n}, ensure_ascii=False) + "\n")
            else:
                write(f"{shown}:{n}{end}" if config.with_filename else f"{n}{end}")
        return n > 0, None
    except BrokenPipeError:
        raise  # the reader went away: the run ends quietly
    except OSError as e:
        return False, f"{shown}: {e.strerror or e}"
    except (ValueError, TypeError, CliError, EOFError, zlib.error, lzma.LZMAError) as e:
        # A damaged compressed file ends with its decompressor's error,
        # after the records before the damage.
        first = str(e).splitlines()[0] if str(e) else type(e).__name__
        if "utf-8" in first and name != "-":
            first += utf8_error_detail(name)
        return False, f"{shown}: {first}"


def run_parquet(config: Config, files: list[str], out: Output) -> int:
    """The records of every file as one Parquet file: the columns that
    quelmar.read_frame reads, "file" first with -H."""
    assert config.records is not None and config.parquet is not None
    try:
        import pyarrow as pa  # type: ignore[import-untyped, unused-ignore]
        import pyarrow.parquet as pq  # type: ignore[import-untyped, unused-ignore]
    except ImportError:
        raise CliError("--parquet needs pyarrow: pip install pyarrow") from None
    columns = {p: p for p in config.paths} if config.paths else None
    tables = []
    errors = False
    stdin_read = False
    for name in files:
        shown = STDIN_NAME if name == "-" else name
        if name == "-":
            if stdin_read:
                continue
            stdin_read = True
        try:
            table = quelmar.read_frame(sys.stdin.buffer if name == "-" else name, config.records, columns, to="arrow")
            if config.with_filename:
                table = table.add_column(0, "file", pa.array([shown_name(shown)] * table.num_rows, pa.large_string()))
            tables.append(table)
        except OSError as e:
            errors = True
            out.error(f"{shown}: {e.strerror or e}")
        except (ValueError, TypeError, EOFError, zlib.error, lzma.LZMAError) as e:
            errors = True
            first = str(e).splitlines()[0] if str(e) else type(e).__name__
            out.error(f"{shown}: {first}")
        out.step()
    if not tables:
        return 2 if errors else 1
    try:
        # Files whose columns differ in type (integers in one, text in
        # another) join under the wider type.
        table = pa.concat_tables(tables, promote_options="permissive") if len(tables) > 1 else tables[0]
    except (pa.ArrowInvalid, pa.ArrowTypeError) as e:
        raise CliError(f"the files' columns do not fit one table: {e}") from None
    try:
        if config.parquet == "-":
            out.flush()
            sink = pa.BufferOutputStream()
            pq.write_table(table, sink)
            out.write_bytes(sink.getvalue().to_pybytes())
        else:
            pq.write_table(table, config.parquet)
    except OSError as e:
        raise WriteError(f"{config.parquet}: {e.strerror or e}") from None
    if errors:
        return 2
    return 0 if table.num_rows else 1


def run(argv: Sequence[str] | None) -> int:
    config, files, workers = parse_arguments(argv)
    if config.records is not None:
        paths = compile_paths(config.paths)
        # A bad record path stops here too, before any file is opened.
        try:
            check: Any = quelmar.records(io.BytesIO(), config.records)
            check.close()
        except ValueError as e:
            raise CliError(f"bad record path {json.dumps(config.records, ensure_ascii=False)}: {e}") from None
        out = Output(len(files))
        try:
            if config.table == "parquet":
                return run_parquet(config, files, out)
            return run_records(config, files, paths, out, workers)
        finally:
            out.close()
    init_state(config)  # compiles the paths: a bad path stops here, before any file
    jobs = read_jobs(files, stream=config.validate)
    out = Output(len(jobs))
    matched = errors = False
    all_valid = True
    hit = [False] * len(config.paths)
    try:
        for outcome in outcomes(config, jobs, workers):
            hit = [a or b for a, b in zip(hit, outcome.hits)] if outcome.hits else hit
            out.write(outcome.output)
            if outcome.error is not None:
                errors = True
                out.error(outcome.error)
            elif config.validate:
                all_valid = all_valid and outcome.matched
            else:
                matched = matched or outcome.matched
            out.step()
    finally:
        out.close()
    if not config.validate:
        for h, p in zip(hit, config.paths):
            if not h and looks_foreign(p):
                sys.stderr.write(hint_for(p) + "\n")
                break
    if errors:
        return 2
    if config.validate:
        return 0 if all_valid else 1
    return 0 if matched else 1


def main(argv: Sequence[str] | None = None) -> int:
    try:
        return run(argv)
    except CliError as e:
        sys.stderr.write(f"{PROG}: {e}\n")
        return 2
    except KeyboardInterrupt:
        return 130
    except WriteError as e:
        # What could not be written stays in the buffer: the interpreter's
        # own flush at exit would fail on it again, with a traceback.
        discard_output()
        sys.stderr.write(f"{PROG}: write error: {e}\n")
        return 2
    except BrokenPipeError:
        # The reader went away (`quelmar ... | head -1`): stop quietly, as
        # grep and cat do, by the signal that a closed pipe sends (status
        # 141 in the shell). Nothing matched is not what happened.
        discard_output()
        if hasattr(signal, "SIGPIPE"):
            sys.stderr.flush()
            signal.signal(signal.SIGPIPE, signal.SIG_DFL)
            os.kill(os.getpid(), signal.SIGPIPE)
        return 141


def discard_output() -> None:
    """Standard output replaced by the null device, its buffer dropped."""
    try:
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, 1)
        os.close(devnull)
    except OSError:
        pass


if __name__ == "__main__":  # pragma: no cover
    sys.exit(main())
