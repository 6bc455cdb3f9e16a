"""Records streamed from documents larger than memory.

A native stream (SplitStream) is given a document chunk after chunk (from a
file, a compressed file, a file object or memory: the sources module opens
them and tells compressed data by their first bytes); it holds the bytes,
decodes them to UTF-8 where the markup cannot be found otherwise, finds the
record elements, checks each record and the text around them. Each record
is then queried on its own, so memory holds the chunk and the largest
record. What is rare stays here: the internal subset's entities (a prefix
per record), the declaration, breaks passed over, the end of the document.
"""
from __future__ import annotations

import os
import re
from collections.abc import Generator, Iterator, Sequence
from typing import IO, Any, Generic, TypeVar, Union, overload

from quelmar import _sources
from quelmar._encodings import LabelDecoder, declared_label, foreign_codec
from quelmar._extra import NotWellFormed, RecordSplitter, SplitStream, StreamDecoder, answer_records, check_records
from quelmar._extra import stream_coding
from quelmar._quelmar import Path, Result, compile, get_bytes, get_many_bytes
from quelmar._sources import chunks as _chunks, compressed_buffer as _compressed, finish, open_source as _open
from quelmar._sources import read_ahead as _read_ahead

__all__ = ["records", "RecordStream"]

_Source = Union[str, "os.PathLike[str]", "os.PathLike[bytes]", bytes, IO[bytes], Any]

# What splits: a document's stream, or a splitter of its own (the records
# inside a broken record).
_Splitter = Union[RecordSplitter, SplitStream]
_ESCAPE = re.compile(r"[^\w:-]")
_NAME_END = re.compile(rb"[\s/>]")
_BATCH = 256
# An element name (what cannot start or be in one is refused: a path such as
# "catalog.book.#" or "a.0" would never match), "*:name" (any prefix) or "*".
_SEGMENT = re.compile(r"\*\Z|(?:\*:)?[^\s\d.\-@#|()=<>/'\"!?\[\]{}&;,*][^\s@#|()=<>/'\"!?\[\]{}&;,*]*\Z")


# What on_error may be.
_ON_ERROR = ("raise", "stop", "skip")
# Breaks kept on a RecordStream's errors list (the count goes on).
_KEPT_ERRORS = 100
# Records are checked by the stream as it splits them (off: each batch is
# checked on its own before it is answered; bench/records.py compares).
_CHECK_WHILE_SPLITTING = True


def _not_well_formed(message: str, line: int, column: int, offset: int) -> NotWellFormed:
    err = NotWellFormed(f"{line}:{column}: {message}")
    err.message, err.line, err.column, err.offset = message, line, column, offset
    return err


class _Errors:
    """What a stream does at a break (on_error), and what it met."""

    def __init__(self, on_error: str) -> None:
        if on_error not in _ON_ERROR:
            raise ValueError(f"on_error must be 'raise', 'stop' or 'skip', not {on_error!r}")
        self.mode = on_error
        self.skipped = 0
        self.errors: list[NotWellFormed] = []
        self.records = 0  # records found (before any was skipped or answered)

    def met(self, err: NotWellFormed) -> bool:
        """A break: raised, or kept; True when the stream goes on past it."""
        if self.mode == "raise":
            raise err
        if len(self.errors) < _KEPT_ERRORS:
            self.errors.append(err)
        if self.mode == "stop":
            return False
        self.skipped += 1
        return True


_T = TypeVar("_T")


class RecordStream(Iterator[_T], Generic[_T]):
    """The records of a document, one after the other (what records()
    returns). A document that breaks raises NotWellFormed at the break,
    after the records before it; with on_error="stop" the iteration ends
    there instead, and with on_error="skip" it goes on at the next record
    start found after the break. ``skipped`` counts the breaks passed over
    (each costs the record it lies in, or the markup up to the next record
    start), ``errors`` holds them as NotWellFormed (the first 100).
    Closing the stream (or leaving a ``with`` block) closes the file it
    opened."""

    def __init__(self, gen: Iterator[_T], errors: _Errors) -> None:
        self._gen = gen
        self._errors = errors

    def __iter__(self) -> Iterator[_T]:
        # A for loop runs the generator itself (no call per record here).
        return self._gen

    def __next__(self) -> _T:
        return next(self._gen)

    def close(self) -> None:
        self._gen.close()  # type: ignore[attr-defined]

    def __enter__(self) -> "RecordStream[_T]":
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    @property
    def skipped(self) -> int:
        return self._errors.skipped

    @property
    def errors(self) -> list[NotWellFormed]:
        return list(self._errors.errors)


def _parse_path(path: str) -> tuple[list[str], bool]:
    if not isinstance(path, str):
        raise TypeError("path must be a str")
    parts = path.split(".")
    if parts[0] == "**":
        if len(parts) != 2 or not _SEGMENT.match(parts[1]):
            raise ValueError("a record path with ** is **.name")
        return parts[1:], True
    if not all(_SEGMENT.match(p) for p in parts):
        raise ValueError("a record path is dotted element names, or **.name")
    return parts, False


def _path_text(p: str | Path) -> str:
    if isinstance(p, Path):
        text: str = p.__reduce__()[1][0]
        return text
    if isinstance(p, str):
        return p
    raise TypeError("paths must be str or Path objects")


@overload
def records(
    source: _Source,
    path: str,
    paths: None = None,
    *,
    chunk_size: int = ...,
    on_error: str = ...,
    max_record_size: int | None = ...,
    progress: Any = ...,
) -> RecordStream[Result]: ...
@overload
def records(
    source: _Source,
    path: str,
    paths: Sequence[str | Path],
    *,
    chunk_size: int = ...,
    on_error: str = ...,
    max_record_size: int | None = ...,
    progress: Any = ...,
) -> RecordStream[list[Result]]: ...
def records(
    source: _Source,
    path: str,
    paths: Sequence[str | Path] | None = None,
    *,
    chunk_size: int = 1 << 20,
    on_error: str = "raise",
    max_record_size: int | None = None,
    progress: Any = None,
) -> RecordStream[Result] | RecordStream[list[Result]]:
    """The records at path in a document of any size, one after the other.

    source is a filename (str or path-like), a binary file object, or the
    document in bytes or a buffer; gzip, bzip2, xz and zstd data are told by
    their first bytes and decompressed. path names the record elements from the
    root (``"mediawiki.page"``, ``"*.entry"``) or at any depth
    (``"**.entry"``; a record inside a record is part of the outer one);
    names are compared as paths compare them (``RDF.Description`` finds
    ``rdf:RDF`` and ``rdf:Description``). Without paths, each record is a
    Result of the record element; with paths (relative to the record, as
    for Result.get), a list of Results per record. Memory holds chunk_size
    bytes plus the largest record; max_record_size (bytes) caps a record,
    raising ValueError for a larger one.

    Each record is what get_bytes over the whole document would give for it,
    and is checked as it is read: a document that is not well formed
    (cut short, a mismatched or unclosed tag, junk around the records)
    raises NotWellFormed at the break, with its line, column and byte
    offset, after the records before it. on_error="stop" ends the iteration
    there instead; on_error="skip" goes on at the next record start after
    the break (the returned RecordStream counts what it skipped). A record
    path that matched nothing in a whole document warns (RuntimeWarning),
    naming the document's root element.

    source may also be a list of sources, or a glob pattern of filenames:
    their records one file after the other. progress is a callable of
    (bytes read, records so far), called as records are answered, or True
    for a bar (the tqdm package).
    """
    segments, any_depth = _parse_path(path)
    if isinstance(chunk_size, bool) or not isinstance(chunk_size, int) or chunk_size <= 0:
        raise ValueError("chunk_size must be a positive int")
    _check_limit(max_record_size)
    errors = _Errors(on_error)
    texts = None if paths is None else [_path_text(p) for p in paths]
    several = _sources.many(source)
    if several is not None:
        one = lambda s, p: records(  # noqa: E731
            s, path, paths, chunk_size=chunk_size, on_error=on_error, max_record_size=max_record_size, progress=p
        )
        many = _sources.each(several, one, progress)
        return RecordStream(many, errors)
    if isinstance(source, (bytes, bytearray, memoryview)) and not _compressed(source) and progress is None:
        # A document in memory, read where it is.
        gen = _iterate_memory(source, path, segments, any_depth, texts, chunk_size, errors, max_record_size)
    else:
        f, owned, compressed = _open(source, chunk_size)
        report = _sources.progress_for(progress, f)
        gen = _iterate(f, owned, compressed, path, segments, any_depth, texts, chunk_size, errors, max_record_size, report)
    next(gen)  # started, so that closing or dropping it closes the file
    return RecordStream(gen, errors)


def _check_limit(max_record_size: Any) -> None:
    if max_record_size is not None and (
        isinstance(max_record_size, bool) or not isinstance(max_record_size, int) or max_record_size <= 0
    ):
        raise ValueError("max_record_size must be a positive int or None")


def _answers(batches: Iterator[Any], texts: list[str] | None) -> Iterator[Any]:
    query_for: Any = None
    for buf, spans, prefix, encoding in batches:
        if query_for is None:
            query_for = _query_for(encoding, texts)
        # Answered natively a slice at a time: the Results of one slice
        # (each holding its record) are alive together, not a chunk's.
        for i in range(0, len(spans), _BATCH):
            p = prefix if isinstance(prefix, bytes) else prefix[i : i + _BATCH]
            yield from answer_records(buf, spans[i : i + _BATCH], p, query_for)


def _iterate(
    f: Any,
    owned: bool,
    compressed: bool,
    path: str,
    segments: list[str],
    any_depth: bool,
    texts: list[str] | None,
    chunk_size: int,
    errors: _Errors,
    max_record_size: int | None,
    report: Any = None,
) -> Iterator[Any]:
    source = (_read_ahead if compressed else _chunks)(f, chunk_size)
    try:
        yield None
        answers = _answers(_split(source, segments, any_depth, errors, max_record_size, path), texts)
        if report is None:
            yield from answers
        else:
            n = 0  # answered since the last report: one report a batch
            for answer in answers:
                yield answer
                n += 1
                if n == _BATCH:
                    report(f, n)
                    n = 0
            report(f, n)
        finish(f, source)
    finally:
        source.close()  # type: ignore[attr-defined]
        if report is not None:
            report.end(f)
        if owned:
            f.close()


def _iterate_memory(
    data: Any,
    path: str,
    segments: list[str],
    any_depth: bool,
    texts: list[str] | None,
    chunk_size: int,
    errors: _Errors,
    max_record_size: int | None,
) -> Iterator[Any]:
    yield None
    yield from _answers(_split_memory(data, segments, any_depth, chunk_size, errors, max_record_size, path), texts)


def _record_name(raw_name: bytes, encoding: str) -> str:
    """A record's name (bytes in the document's encoding) as text."""
    if encoding == "UTF-8" or raw_name.isascii():
        return raw_name.decode("utf-8", "replace")
    return StreamDecoder(encoding).decode(raw_name, True).decode("utf-8", "replace")


def _query_for(encoding: str, texts: list[str] | None) -> Any:
    """A function of a record's bytes that gives how to answer the query on
    a record of its name, for answer_records: (query, paths, opening), the
    answer being query(document) (the record's Result) or query(document,
    paths) (the Results of texts relative to the record), and opening the
    bytes that start every record of that name. Per name, the paths are
    compiled once: a record then neither parses nor looks them up. encoding
    is the name of the records' encoding (the reader's name for it)."""
    answers: dict[bytes, tuple[Any, Any, bytes]] = {}

    def query_for(record: bytes) -> tuple[Any, Any, bytes]:
        m = _NAME_END.search(record, 1)
        raw_name = record[1 : m.start()] if m else record[1:]
        found = answers.get(raw_name)
        if found is None:
            # The record's name as a path component: a backslash before
            # anything but letters, digits, '_', '-' and ':' (a dot in a name).
            name = _ESCAPE.sub(r"\\\g<0>", _record_name(raw_name, encoding))
            if texts is None:
                found = (compile(name).get_bytes, None, b"<" + raw_name)
            else:
                found = (get_many_bytes, [compile(name + "." + t) for t in texts], b"<" + raw_name)
            answers[raw_name] = found
        return found

    return query_for


def _coding(head: Any, segments: list[str] | None = None) -> tuple[Any, bytes, str]:
    """How a document that starts with head is split: the reader's name of
    the encoding its bytes are decoded from to UTF-8 first (UTF-16,
    ISO-2022-JP, or a legacy encoding whose bytes for a non-ASCII record
    name must be found), a _Foreign decoder for a label only Python's codecs
    know, or None; the bytes that go before every record (its byte-order
    mark and XML declaration, so that the record is read in the document's
    encoding; none when the text is decoded); the reader's name of the
    encoding the splitter sees."""
    encoding, skip, declaration_end, transcode = stream_coding(bytes(head[:4096]))
    if not transcode and skip == 0:
        label = declared_label(head)
        codec = foreign_codec(label)
        if label is not None and codec is not None:
            # A label the reader does not decode, Python's codec does.
            return _Foreign(LabelDecoder(label, codec)), b"", "UTF-8"
    if not transcode and encoding != "UTF-8" and segments and not all(s.isascii() for s in segments):
        transcode = True
    if transcode:
        return encoding, b"", "UTF-8"
    # A record of a UTF-8 document needs no declaration.
    return None, b"" if encoding == "UTF-8" else bytes(head[:declaration_end]), encoding


class _Foreign:
    """A declared codec's LabelDecoder giving UTF-8 bytes, as a
    StreamDecoder does."""

    def __init__(self, decoder: LabelDecoder) -> None:
        self._decoder = decoder

    def decode(self, data: Any, last: bool = False) -> bytes:
        return self._decoder.decode(data, last).encode("utf-8")


def _splitter(segments: list[str], encoding: str, any_depth: bool) -> RecordSplitter:
    return RecordSplitter(_segment_names(segments), any_depth)


def _add_doctype(prefix: bytes, doctype: bytes, transcoded: bool) -> bytes:
    if not prefix:
        prefix = b'<?xml version="1.0" encoding="UTF-8"?>' if not transcoded else b""
    prefix += b"\n" + doctype + b"\n"
    return prefix[1:] if prefix.startswith(b"\n") else prefix


class _Prolog:
    """What goes before each record to make it a document of its own, as
    the stream keeps it: the document's declaration and its DOCTYPE, the
    internal subset read once (a record gets the subset's other
    declarations and only the general entities it uses)."""

    def __init__(self, stream: SplitStream, declaration: bytes, transcoded: bool) -> None:
        stream.set_prolog(declaration, transcoded)
        self.stream = stream
        self.refresh()

    def refresh(self) -> None:
        """After the stream met the DOCTYPE."""
        self.declaration, self.base, self.full = self.stream.heads()

    def checking_head(self) -> bytes:
        """The declaration and the whole DOCTYPE, for checking text of the
        document outside its records."""
        return self.full

    def prefixes(self, part: Any, spans: list[tuple[int, int]]) -> bytes | list[bytes]:
        """The prefix of every record at spans: one for all, or one each."""
        return self.stream.prefixes(part, spans)


_LABEL = re.compile(rb"""encoding\s*=\s*(["'])[A-Za-z][A-Za-z0-9._-]*\1""")


class _Located:
    """Positions of records and of breaks in the whole stream."""

    @staticmethod
    def record_error(
        splitter: _Splitter, part: Any, start: int, prefix: bytes, err: tuple[Any, ...], rest: bool = False
    ) -> NotWellFormed:
        """The error check_records found in a record (at part[start:]),
        placed in the stream; part is the buffer of the last feed, or with
        rest what that feed did not drop."""
        _, message, line, column, offset = err
        rline, rcolumn, roffset = splitter.locate(part, start, rest)
        lines = prefix.count(b"\n")
        tail = prefix[prefix.rfind(b"\n") + 1 :]
        if offset < len(prefix):  # in the DOCTYPE: said at the record
            return _not_well_formed(message, rline, rcolumn, roffset)
        if line - 1 == lines:
            column = rcolumn + column - 1 - len(tail.decode("utf-8", "replace"))
        line = rline + line - 1 - lines
        return _not_well_formed(message, line, column, roffset + offset - len(prefix))


def _break(splitter: _Splitter, part: Any, prefix: bytes, problem: tuple[Any, ...] | None = None) -> NotWellFormed:
    """The break that failed the splitter (or problem, the end of the input
    where the document is not complete; part is then what the splitter
    kept); inside a record that was open, the first error the check finds
    in it when that lies before."""
    found = splitter.error() if problem is None else problem
    assert found is not None
    message, line, column, offset, record = found
    if record is not None:
        base = splitter.locate(part, 0, problem is not None)[2]
        rs, re_ = record - base, (offset - base if problem is None else len(part))
        if 0 <= rs < re_ <= len(part):
            inner = check_records(part, [(rs, re_)], prefix)
            if inner is not None and inner[4] < len(prefix) + re_ - rs:
                return _Located.record_error(splitter, part, rs, prefix, inner, problem is not None)
    return _not_well_formed(message, line, column, offset)


class _Skeleton:
    """The document outside its records (the prolog, the elements around
    the records, the text between them), kept and checked by the stream a
    piece at a time (SplitStream.keep_around and check_around), so that
    damage outside the records is not passed over. The declaration is
    checked here, on its own. After a break passed over (on_error="skip")
    nothing more is checked."""

    def __init__(self, prolog: _Prolog) -> None:
        self.prolog = prolog
        self.on = True
        # The declaration is passed over as the reader passes over a label
        # it does not obey (UTF-16 on UTF-8 bytes, the encoding a decoded
        # stream was decoded from); the prolog's declaration stands for it
        # (a legacy encoding's, or none).
        self.skip_declaration = True
        self.pending: NotWellFormed | None = None

    def take(self, stream: SplitStream, part: Any, drop: int) -> None:
        """What the last step scanned outside its records."""
        if not self.on:
            # That text is no longer read: a record's prefixes may be bound
            # by any element around it.
            stream.bind_any()
            return
        at = 0
        if self.skip_declaration and drop > 0:
            self.skip_declaration = False
            head = bytes(part[: min(len(part), 4096)])
            at = 3 if head.startswith(b"\xef\xbb\xbf") else 0  # a UTF-8 mark, which decides
            if head.startswith(b"<?xml", at):
                end = head.find(b"?>", at)
                if end >= 0:
                    self.pending = self._declaration(stream, part, at, end + 2)
                    at = end + 2
        stream.keep_around(at)

    @staticmethod
    def _declaration(splitter: _Splitter, part: Any, start: int, end: int) -> NotWellFormed | None:
        """The declaration at part[start:end], its syntax checked with a
        well-formed encoding label taken as UTF-8 (the label is obeyed or
        passed over as the reader does)."""
        declaration = _LABEL.sub(rb'encoding="UTF-8"', bytes(part[start:end]), 1)
        bad = check_records(declaration + b"<_/>", [(0, len(declaration) + 4)], b"")
        if bad is None or bad[4] >= len(declaration):
            return None
        return _not_well_formed(bad[1], *splitter.locate(part, start + min(bad[4], end - start)))

    def check(self, stream: SplitStream, now: bool = False, last: bool = False) -> NotWellFormed | None:
        """Checks what was kept when it is large enough (or now, or last:
        the input ended); the break found there, if any."""
        if self.pending is not None:
            found, self.pending, self.on = self.pending, None, False
            return found
        if not self.on:
            return None
        bad = stream.check_around(now, last, self.prolog.declaration, self.prolog.checking_head())
        if bad is None:
            return None
        self.on = False
        return _not_well_formed(*bad)


def _scanned(
    splitter: SplitStream,
    part: Any,
    fed: tuple[Any, ...],
    prolog: _Prolog,
    skeleton: _Skeleton,
    encoding: str,
    errors: _Errors,
    make: Any,
) -> Generator[tuple[Any, list[tuple[int, int]], Any, str], None, bool]:
    """What one feed found: the DOCTYPE, the records (checked), the text
    around them (checked before the records after it are given) and a
    break. False (the StopIteration value) when the stream stops."""
    spans, drop, doctype, finished, verdict = fed
    if doctype is not None:
        prolog.refresh()
        _check_doctype(splitter, part, doctype, prolog, errors)
    if finished:
        skeleton.on = False
    else:
        skeleton.take(splitter, part, drop)
    around = skeleton.check(splitter, now=bool(spans))
    if around is not None:
        base = splitter.locate(part, 0)[2]
        before = [sp for sp in spans if base + sp[1] <= around.offset]
        j = len(before)
        if not (yield from _batches(splitter, part, before, prolog, encoding, errors, make, _first(verdict, j))):
            return False
        if not errors.met(around):
            return False
        spans = spans[j:]
        verdict = _after(verdict, j)
    if not (yield from _batches(splitter, part, spans, prolog, encoding, errors, make, verdict)):
        return False
    if finished:
        if not errors.met(_break(splitter, part, prolog.base)) or not splitter.resync():
            return False
    return True


# What the stream's own check said of a step's records: how many from the
# first are well formed, and check_records' answer for the next (None when
# all are); None when the records were not checked.
_Verdict = Union[tuple[int, Union[tuple[int, str, int, int, int], None]], None]


def _first(verdict: _Verdict, j: int) -> _Verdict:
    """The verdict on the first j records."""
    if verdict is None or verdict[0] < j:
        return verdict
    return j, None


def _after(verdict: _Verdict, j: int) -> _Verdict:
    """The verdict on the records after the first j."""
    if verdict is None or verdict[0] < j:
        return None  # not checked past a break
    good, bad = verdict
    return good - j, None if bad is None else (bad[0] - j, *bad[1:])


def _no_match(path: str, splitter: _Splitter) -> None:
    import warnings

    root = splitter.root_name().decode("utf-8", "replace")
    seen = f"the root element is <{root}>" if root else "no root element was seen"
    warnings.warn(f"record path {path!r} matched nothing in the document; {seen}", RuntimeWarning, stacklevel=5)


def _batches(
    splitter: _Splitter,
    part: Any,
    spans: list[tuple[int, int]],
    prolog: _Prolog,
    encoding: str,
    errors: _Errors,
    make: Any = None,
    verdict: _Verdict = None,
    bound: Any = True,
) -> Generator[tuple[Any, list[tuple[int, int]], Any, str], None, bool]:
    """The records at spans, checked: each run that is well formed, and a
    break for the first one that is not (raised, or passed over). Returns
    (StopIteration value) False when the stream stops there. With make (a
    function making a splitter), a record passed over is searched for
    records inside it: one whose end tag was lost holds those after it.
    verdict: what the stream's own check found in them, if it checked
    them (with the prefix all of them get then). bound: the prefixes the
    elements around the records may bind (True: those the stream saw
    declared, None: any)."""
    prefixes = prolog.prefixes(part, spans)
    if bound is True:
        bound = prolog.stream
    while spans:
        if verdict is not None and (verdict[1] is not None or verdict[0] >= len(spans)):
            bad = verdict[1]
        else:
            bad = check_records(part, spans, prefixes, bound)
        verdict = None
        if bad is None:
            errors.records += len(spans)
            yield part, spans, prefixes, encoding
            break
        i = bad[0]
        if i:
            errors.records += i
            yield part, spans[:i], prefixes if isinstance(prefixes, bytes) else prefixes[:i], encoding
        prefix = prefixes if isinstance(prefixes, bytes) else prefixes[i]
        if not errors.met(_Located.record_error(splitter, part, spans[i][0], prefix, bad)):
            return False
        if make is not None:
            yield from _inside(make(), splitter, part, spans[i], prolog, encoding, errors)
        spans = spans[i + 1 :]
        if not isinstance(prefixes, bytes):
            prefixes = prefixes[i + 1 :]
    return True


def _inside(
    inner: RecordSplitter,
    splitter: _Splitter,
    part: Any,
    span: tuple[int, int],
    prolog: _Prolog,
    encoding: str,
    errors: _Errors,
    rest: bool = False,
) -> Iterator[tuple[Any, list[tuple[int, int]], Any, str]]:
    """The records inside a broken record at span (after its first byte),
    those well formed; the others are passed over. part is the buffer of
    the splitter's last feed (with rest, what that feed did not drop)."""
    s, e = span
    line, column, offset = splitter.locate(part, s + 1, rest)
    if not inner.search(1 << 40, offset, line, column):
        return
    with part[s + 1 : e] as body:
        spans = inner.feed(body)[0]
        # Inside a broken record: its own declarations were not read.
        yield from _batches(inner, body, spans, prolog, encoding, errors, bound=None)


def _document_end(
    splitter: SplitStream,
    rest: Any,
    prolog: _Prolog,
    skeleton: _Skeleton,
    encoding: str,
    errors: _Errors,
    make: Any,
    path: str | None,
) -> Iterator[tuple[Any, list[tuple[int, int]], Any, str]]:
    """The input has ended with rest (what follows the last record): a break
    there, or else the text around the records checked to the end; a
    record path that matched nothing in the whole document warns."""
    problem = splitter.end_problem(rest)
    if problem is not None:
        yield from _unfinished(splitter, rest, problem, prolog, encoding, errors, make)
        return
    around = skeleton.check(splitter, last=True)
    if around is not None:
        errors.met(around)
        return
    if errors.records == 0 and path is not None:
        _no_match(path, splitter)


def _unfinished(
    splitter: _Splitter,
    rest: Any,
    problem: tuple[Any, ...],
    prolog: _Prolog,
    encoding: str,
    errors: _Errors,
    make: Any,
) -> Iterator[tuple[Any, list[tuple[int, int]], Any, str]]:
    """The input ended before the document did (rest: what the splitter
    kept): the break, and when passed over, the records inside a record
    left open (its end tag lost)."""
    if errors.met(_break(splitter, rest, prolog.base, problem)) and make is not None and problem[4] is not None:
        start = problem[4] - splitter.locate(rest, 0, True)[2]
        if 0 <= start < len(rest):
            yield from _inside(make(), splitter, rest, (start, len(rest)), prolog, encoding, errors, True)


def _head(chunks: Iterator[Any]) -> bytearray:
    """The first bytes of a document: its byte-order mark and declaration."""
    buf = bytearray()
    for data in chunks:
        buf += data
        if len(buf) >= 4096 or (len(buf) >= 6 and b"?>" in buf) or (
            len(buf) >= 6 and not buf.lstrip(b"\xef\xbb\xbf").startswith(b"<?xml"[: len(buf)])
        ):
            break
    return buf


def _decoded(decoder: Any, chunks: Iterator[Any]) -> Iterator[bytes]:
    for c in chunks:
        out = decoder.decode(c)
        if out:
            yield out
    out = decoder.decode(b"", True)
    if out:
        yield out


def _split(
    chunks: Iterator[Any],
    segments: list[str],
    any_depth: bool,
    errors: _Errors | None = None,
    max_record_size: int | None = None,
    path: str | None = None,
) -> Iterator[tuple[memoryview, list[tuple[int, int]], Any, str]]:
    """The records of a document read chunk after chunk, in batches.

    Each batch is (buffer, record spans into it, prefix, encoding): the
    prefix (the declaration of a legacy encoding, the DOCTYPE with the
    entities the record uses) goes before each record to make it a document
    of its own, one bytes object for all or a list with one per record; encoding is the reader's
    name of the encoding of the records' bytes. The buffer changes once the
    consumer asks for the next batch. errors says what to do at a break
    (raise NotWellFormed by default).
    """
    head: Any = _head(chunks)
    decode, declaration, encoding = _coding(head, segments)
    if isinstance(decode, _Foreign):
        # Decoded here, then read as UTF-8.
        chunks = _decoded(decode, chunks)
        head = decode.decode(head)
        decode = None
        transcoded = True
    else:
        transcoded = decode is not None
    skip = stream_coding(bytes(head[:4096]))[1] if decode is not None else 0
    stream = SplitStream(_segment_names(segments), any_depth, decode, skip)
    stream.take(head)
    yield from _drive(stream, chunks, 0, declaration, transcoded, encoding, segments, any_depth, errors, max_record_size, path)


def _segment_names(segments: list[str]) -> list[bytes]:
    # Names are ASCII unless the splitter reads UTF-8 (_coding decodes a
    # legacy document with non-ASCII record names).
    return [s.encode("utf-8") for s in segments]


def _drive(
    stream: SplitStream,
    chunks: Iterator[Any] | None,
    window: int,
    declaration: bytes,
    transcoded: bool,
    encoding: str,
    segments: list[str],
    any_depth: bool,
    errors: _Errors | None,
    max_record_size: int | None,
    path: str | None,
) -> Iterator[tuple[memoryview, list[tuple[int, int]], Any, str]]:
    """The batches of a SplitStream given the chunks (or, without chunks,
    a document in memory it reads window bytes more at a time). The stream
    holds the bytes: the record being read and the chunk it ends in."""
    if errors is None:
        errors = _Errors("raise")
    prolog = _Prolog(stream, declaration, transcoded)
    skeleton = _Skeleton(prolog)
    make = (lambda: _splitter(segments, encoding, any_depth)) if errors.mode == "skip" else None
    # Records are checked as they are split.
    stream.set_checking(_CHECK_WHILE_SPLITTING)
    more = True
    while True:
        with memoryview(stream) as part:
            fed = stream.step()
            if not (yield from _scanned(stream, part, fed, prolog, skeleton, encoding, errors, make)):
                return
        held = stream.advance()
        if max_record_size is not None and held > max_record_size:
            _too_large(max_record_size)
        if not more or (chunks is None and not stream.extend(window)):
            with memoryview(stream) as rest:
                yield from _document_end(stream, rest, prolog, skeleton, encoding, errors, make, path)
            return
        if chunks is not None:
            for data in chunks:
                stream.take(data)
                break
            else:
                stream.end()
                more = False


def _check_doctype(splitter: _Splitter, part: Any, span: tuple[int, int], prolog: _Prolog, errors: _Errors) -> None:
    """The DOCTYPE is checked once, with an empty element after it."""
    doc = prolog.declaration + b"\n" + bytes(part[span[0] : span[1]]) + b"\n<x/>"
    bad = check_records(doc, [(0, len(doc))], b"")
    if bad is None:
        return
    _, message, line, column, offset = bad
    lead = len(prolog.declaration) + 1
    if offset < lead or offset >= len(doc) - 5:
        return  # not the DOCTYPE's own error: the records' checks tell it
    dline, dcolumn, doffset = splitter.locate(part, span[0])
    if line == 2:
        column = dcolumn + column - 1
    errors.met(_not_well_formed(message, dline + line - 2, column, doffset + offset - lead))


def _too_large(limit: int) -> None:
    raise ValueError(f"a record (or the markup being read) grew past max_record_size ({limit} bytes)")


def _split_memory(
    data: Any,
    segments: list[str],
    any_depth: bool,
    window: int,
    errors: _Errors | None = None,
    max_record_size: int | None = None,
    path: str | None = None,
) -> Iterator[tuple[memoryview, list[tuple[int, int]], Any, str]]:
    """_split over a document held in memory, without copying it: each
    batch's buffer is a view of the document, window bytes more each time."""
    view = memoryview(data).cast("B")
    decode, declaration, encoding = _coding(view[:4096], segments)
    if decode is not None:  # decoded to UTF-8, chunk after chunk
        chunks = (view[i : i + window] for i in range(0, len(view), window))
        yield from _split(chunks, segments, any_depth, errors, max_record_size, path)
        return
    stream = SplitStream(_segment_names(segments), any_depth)
    stream.over(view)
    stream.extend(window)
    yield from _drive(stream, None, window, declaration, False, encoding, segments, any_depth, errors, max_record_size, path)
