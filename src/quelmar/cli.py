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
well-formed), 2 on any error. ``--validate`` prints one line per file that
is not well-formed, ``FILE:LINE:COLUMN: message`` for its first error
(nothing with ``-q``). Errors are reported on one line each, on
standard error, and the remaining files are still processed.
"""
from __future__ import annotations

import argparse
import io
import json
import lzma
import mmap
import multiprocessing
import os
import signal
import stat
import sys
import warnings
import zlib
from collections.abc import Iterator, Sequence
from contextlib import contextmanager
from dataclasses import dataclass
from typing import IO, Any, NamedTuple

import quelmar
from quelmar import Path, Result

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
1 if nothing matched (--validate: some file is not), 2 on errors.

examples:
  quelmar 'catalog.book.#.title' books.xml
  quelmar 'catalog.book.#(price>10)#.title|@sort' books.xml
  quelmar -p 'catalog.book.#' -p 'catalog.book.#.price|@sum' --json *.xml
  curl -s https://example.org/feed.xml | quelmar 'rss.channel.item.#.link'
  quelmar --records mediawiki.page -p title -p revision.id dump.xml.bz2"""


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


class CliError(Exception):
    """A problem reported as one line on standard error, with exit status 2."""


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
        "strings, numbers only where the text is a number's canonical spelling, "
        "lists, objects for elements with attributes (\"@name\" keys) or "
        "children, null for no match; with several -p, an object keyed by path",
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
    operands: list[str] = list(args.operands)
    paths: list[str]
    if args.validate:
        if args.paths or args.json or args.count:
            parser.error("--validate takes no path and cannot be combined with --json or --count")
        paths = []
    elif args.quiet:
        parser.error("-q is for --validate")
    elif args.records is not None:
        if args.with_path or args.jobs != 1:
            parser.error("--records cannot be combined with --with-path or -j")
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
        yield job.data or b""
        return
    with open(job.filename, "rb") as f:
        st = os.fstat(f.fileno())
        if not stat.S_ISREG(st.st_mode) or st.st_size < MAP_MIN_SIZE:
            # Pipes, devices and empty files cannot be mapped; below the
            # threshold one read costs about what mapping does and cannot
            # fault if another process truncates the file meanwhile.
            yield f.read()
            return
        with mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ) as m:
            yield m


def process(job: Job) -> Outcome:
    assert _state is not None
    config, paths = _state
    try:
        with document(job) as data:
            if config.validate:
                problem = quelmar.check(data)
                if problem is None:
                    return Outcome("", True, None)
                line = "" if config.quiet else f"{job.name}:{problem}\n"
                return Outcome(line, False, None)
            if len(paths) == 1:
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
        return Outcome("", False, f"{job.name}: {first}")


def render(name: str, config: Config, results: list[Result]) -> str:
    prefix = f"{name}:" if config.with_filename else ""
    if config.json:
        if config.count:
            values: list[Any] = [len(r) for r in results]
        else:
            values = [quelmar.to_python(r) for r in results]
        value: Any = values[0] if len(values) == 1 else dict(zip(config.paths, values))
        if config.with_filename:
            value = {"file": name, "value": value}
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

def read_jobs(files: list[str]) -> list[Job]:
    jobs = []
    stdin_data: bytes | None = None
    for name in files:
        if name == "-":
            if stdin_data is None:
                stdin_data = sys.stdin.buffer.read()
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


def outcomes(config: Config, jobs: list[Job], workers: int) -> Iterator[Outcome]:
    """Outcomes in input order, computed here or by a pool of processes."""
    workers = min(workers, len(jobs))
    if workers <= 1:
        for job in jobs:
            yield process(job)
        return
    chunk = max(1, min(64, len(jobs) // (workers * 8)))
    pool = None
    try:
        # A Ctrl-C while the workers start would reach a worker before it
        # ignores SIGINT (the pool then waits for a worker that died) or the
        # parent before it can stop the pool: the signal is held until both
        # sides are ready for it.
        masked = hasattr(signal, "pthread_sigmask")
        if masked:
            signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGINT})
        try:
            pool = multiprocessing.Pool(workers, initializer=init_worker, initargs=(config,))
        finally:
            if masked:
                signal.pthread_sigmask(signal.SIG_UNBLOCK, {signal.SIGINT})
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


class Output:
    """Standard output as UTF-8 bytes, kept clear of the progress bar."""

    def __init__(self, total: int) -> None:
        self.stream: IO[bytes] = sys.stdout.buffer
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
        if not text:
            return
        data = text.encode("utf-8", "surrogateescape")
        if not self.shares_terminal:
            self.stream.write(data)
            return
        # Output and bar on one screen: take the bar away, write, put it back.
        with self.bar.external_write_mode(file=sys.stdout):
            self.stream.write(data)
            self.stream.flush()

    def error(self, message: str) -> None:
        self.stream.flush()
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
        self.stream.flush()


# --------------------------------------------------------------------------
# Record mode: documents streamed record after record

_TSV_ESCAPES = str.maketrans({"\\": "\\\\", "\t": "\\t", "\n": "\\n", "\r": "\\r", "|": "\\|"})


def record_line(name: str, config: Config, answer: Any) -> str:
    """One record as one line, without its end."""
    if config.json:
        if config.paths:
            value: Any = [quelmar.to_python(r) for r in answer]
        else:
            value = quelmar.to_python(answer)
        if config.with_filename:
            value = {"file": name, "value": value}
        try:
            return json.dumps(value, ensure_ascii=False)
        except RecursionError:
            raise CliError("elements nested too deeply to be shown as JSON") from None
    fields = answer if config.paths else [answer]
    return (f"{name}:" if config.with_filename else "") + "\t".join(
        "|".join(item.to_str().translate(_TSV_ESCAPES) for item in quelmar.as_list(r)) for r in fields
    )


def run_records(config: Config, files: list[str], paths: list[Path], out: Output) -> int:
    assert config.records is not None
    end = "\0" if config.null else "\n"
    found = errors = False
    stdin_read = False
    for name in files:
        shown = STDIN_NAME if name == "-" else name
        if name == "-":
            if stdin_read:
                continue  # a second '-' finds standard input at its end
            stdin_read = True
        try:
            source: Any = sys.stdin.buffer if name == "-" else name
            it: Any = quelmar.records(source, config.records, paths if paths else None)
            n = 0
            try:
                with warnings.catch_warnings():
                    # No record is told by the exit status.
                    warnings.simplefilter("ignore", RuntimeWarning)
                    for answer in it:
                        n += 1
                        if not config.count:
                            out.write(record_line(shown, config, answer) + end)
            finally:
                it.close()
            found = found or n > 0
            if config.count:
                if config.json and config.with_filename:
                    out.write(json.dumps({"file": shown, "value": n}, ensure_ascii=False) + "\n")
                else:
                    out.write(f"{shown}:{n}{end}" if config.with_filename else f"{n}{end}")
        except BrokenPipeError:
            raise  # the reader went away: the run ends quietly
        except OSError as e:
            errors = True
            out.error(f"{shown}: {e.strerror or e}")
        except (ValueError, TypeError, CliError, EOFError, zlib.error, lzma.LZMAError) as e:
            # A damaged compressed file ends with its decompressor's error,
            # after the records before the damage.
            errors = True
            first = str(e).splitlines()[0] if str(e) else type(e).__name__
            out.error(f"{shown}: {first}")
        out.step()
    if errors:
        return 2
    return 0 if found else 1


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
            return run_records(config, files, paths, out)
        finally:
            out.close()
    init_state(config)  # compiles the paths: a bad path stops here, before any file
    jobs = read_jobs(files)
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
    if not config.validate and any(not h and looks_foreign(p) for h, p in zip(hit, config.paths)):
        sys.stderr.write(HINT + "\n")
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
    except BrokenPipeError:
        # The reader went away (`quelmar ... | head`): stop quietly, and keep
        # the interpreter from complaining while it flushes at exit.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return 1


if __name__ == "__main__":  # pragma: no cover
    sys.exit(main())
