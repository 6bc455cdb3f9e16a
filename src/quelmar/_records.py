"""Records streamed from documents larger than memory.

A native splitter finds the record elements in a document read chunk after
chunk (from a file, a compressed file or a file object); each record is then
queried on its own, so memory holds the chunk and the largest record.
"""
from __future__ import annotations

import codecs
import os
import re
from collections.abc import Iterator, Sequence
from typing import IO, Any, Union, overload

from quelmar import _sources
from quelmar._encodings import LabelDecoder, declared_label, foreign_codec
from quelmar._extra import RecordSplitter, answer_records, encoding_label
from quelmar._sources import chunks as _chunks, finish, open_source as _open, read_ahead as _read_ahead
from quelmar._quelmar import Path, Result, compile, get_bytes, get_many_bytes

__all__ = ["records"]

_Source = Union[str, "os.PathLike[str]", "os.PathLike[bytes]", bytes, IO[bytes], Any]

_DECLARATION = re.compile(rb"<\?xml[^>]*?\?>")
_ENCODING = re.compile(rb"""encoding\s*=\s*["']([A-Za-z0-9._:-]+)["']""")
_ESCAPE = re.compile(r"[^\w:-]")
_NAME_END = re.compile(rb"[\s/>]")
_BATCH = 256
# An element name (what cannot start or be in one is refused: a path such as
# "catalog.book.#" or "a.0" would never match), or "*".
_SEGMENT = re.compile(r"\*\Z|[^\s\d.\-@#|()=<>/'\"!?\[\]{}&;,*][^\s@#|()=<>/'\"!?\[\]{}&;,*]*\Z")


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
    source: _Source, path: str, paths: None = None, *, chunk_size: int = ..., progress: Any = ...
) -> Iterator[Result]: ...
@overload
def records(
    source: _Source, path: str, paths: Sequence[str | Path], *, chunk_size: int = ..., progress: Any = ...
) -> Iterator[list[Result]]: ...
def records(
    source: _Source,
    path: str,
    paths: Sequence[str | Path] | None = None,
    *,
    chunk_size: int = 1 << 20,
    progress: Any = None,
) -> Iterator[Result] | Iterator[list[Result]]:
    """The records at path in a document of any size, one after the other.

    source is a filename (str or path-like), a binary file object, or the
    document in bytes or a buffer; gzip, bzip2, xz and zstd data are told by
    their first bytes and decompressed. path names the record elements from the
    root (``"mediawiki.page"``, ``"*.entry"``) or at any depth
    (``"**.entry"``; a record inside a record is part of the outer one).
    Without paths, each record is a Result of the record element; with
    paths (relative to the record, as for Result.get), a list of Results per
    record. Memory holds chunk_size bytes plus the largest record. Malformed
    input ends the iteration after the records before the error.

    source may also be a list of sources, or a glob pattern of filenames:
    their records one file after the other. progress is a callable of
    (bytes read, records so far), called as records are answered, or True
    for a bar (the tqdm package).
    """
    segments, any_depth = _parse_path(path)
    if isinstance(chunk_size, bool) or not isinstance(chunk_size, int) or chunk_size <= 0:
        raise ValueError("chunk_size must be a positive int")
    texts = None if paths is None else [_path_text(p) for p in paths]
    several = _sources.many(source)
    if several is not None:
        return _sources.each(several, lambda s, p: records(s, path, paths, chunk_size=chunk_size, progress=p), progress)
    f, owned, compressed = _open(source, chunk_size)
    it = _iterate(f, owned, compressed, segments, any_depth, paths, texts, chunk_size, _sources.progress_for(progress, f))
    next(it)  # started, so that closing or dropping it closes the file
    return it


def _iterate(
    f: Any,
    owned: bool,
    compressed: bool,
    segments: list[str],
    any_depth: bool,
    paths: Sequence[str | Path] | None,
    texts: list[str] | None,
    chunk_size: int,
    report: Any = None,
) -> Iterator[Any]:
    source = (_read_ahead if compressed else _chunks)(f, chunk_size)
    try:
        yield None
        query_for: Any = None
        for buf, spans, prefix, encoding in _split(source, segments, any_depth):
            if query_for is None:
                query_for = _query_for(encoding, texts)
            # Answered natively a slice at a time: the Results of one slice
            # (each holding its record) are alive together, not a chunk's.
            for i in range(0, len(spans), _BATCH):
                yield from answer_records(buf, spans[i : i + _BATCH], prefix, query_for)
                if report is not None:
                    report(f, len(spans[i : i + _BATCH]))
        finish(f, source)
    finally:
        source.close()  # type: ignore[attr-defined]
        if report is not None:
            report.end(f)
        if owned:
            f.close()


def _query_for(encoding: str, texts: list[str] | None) -> Any:
    """A function of a record's bytes that gives how to answer the query on
    a record of its name, for answer_records: (query, paths, opening), the
    answer being query(document) (the record's Result) or query(document,
    paths) (the Results of texts relative to the record), and opening the
    bytes that start every record of that name. Per name, the paths are
    compiled once: a record then neither parses nor looks them up."""
    answers: dict[bytes, tuple[Any, Any, bytes]] = {}

    def query_for(record: bytes) -> tuple[Any, Any, bytes]:
        m = _NAME_END.search(record, 1)
        raw_name = record[1 : m.start()] if m else record[1:]
        found = answers.get(raw_name)
        if found is None:
            # The record's name as a path component: a backslash before
            # anything but letters, digits, '_', '-' and ':' (a dot in a name).
            name = _ESCAPE.sub(r"\\\g<0>", raw_name.decode(encoding, "replace"))
            if texts is None:
                found = (compile(name).get_bytes, None, b"<" + raw_name)
            else:
                found = (get_many_bytes, [compile(name + "." + t) for t in texts], b"<" + raw_name)
            answers[raw_name] = found
        return found

    return query_for


def _coding(head: bytes | bytearray) -> tuple[Any, bytes, str]:
    """What the start of a document says of its encoding: a UTF-16 decoder
    (its text is turned into UTF-8) or None, the prefix each record needs
    (the declaration of a legacy encoding) and the codec name."""
    if head.startswith((b"\xff\xfe", b"\xfe\xff")):
        return codecs.getincrementaldecoder("utf-16")(), b"", "utf-8"
    if head.startswith(b"<\x00?\x00"):
        return codecs.getincrementaldecoder("utf-16-le")(), b"", "utf-8"
    if head.startswith(b"\x00<\x00?"):
        return codecs.getincrementaldecoder("utf-16-be")(), b"", "utf-8"
    if head.startswith(b"\xef\xbb\xbf"):  # a UTF-8 mark decides, whatever is declared
        return None, b"", "utf-8"
    label = declared_label(head)
    codec = foreign_codec(label)
    if label is not None and codec is not None:
        # A label the reader does not decode, Python's codec does.
        return LabelDecoder(label, codec), b"", "utf-8"
    if label is not None and encoding_label(label) is None:
        # A label nothing here decodes (or a wrong one: UTF-32 on a
        # declaration read as ASCII) changes nothing: the records are UTF-8.
        # Python's name for it would encode the record names so that no
        # record matched.
        return None, b"", "utf-8"
    m = _DECLARATION.match(head)
    if m is not None:
        e = _ENCODING.search(m.group(0))
        if e is not None:
            try:
                encoding = codecs.lookup(e.group(1).decode("ascii")).name
            except LookupError:
                encoding = "utf-8"
            if encoding != "utf-8":
                return None, m.group(0), encoding
    return None, b"", "utf-8"


def _transcoded(dec: Any, chunks: Iterator[Any]) -> Iterator[bytes]:
    """The chunks decoded to UTF-8; a declared codec's decoder is told
    where the document ends, so that a sequence cut short there is an
    error rather than lost."""
    for c in chunks:
        yield dec.decode(c).encode("utf-8")
    if isinstance(dec, LabelDecoder):
        yield dec.decode(b"", True).encode("utf-8")


def _splitter(segments: list[str], encoding: str, any_depth: bool) -> RecordSplitter:
    try:
        seg_bytes = [s.encode(encoding) for s in segments]
    except UnicodeError:
        seg_bytes = [s.encode("utf-8") for s in segments]
    return RecordSplitter(seg_bytes, any_depth)


def _add_doctype(prefix: bytes, doctype: bytes, transcoded: bool) -> bytes:
    if not prefix:
        prefix = b'<?xml version="1.0" encoding="UTF-8"?>' if not transcoded else b""
    prefix += b"\n" + doctype + b"\n"
    return prefix[1:] if prefix.startswith(b"\n") else prefix


def _split(
    chunks: Iterator[Any], segments: list[str], any_depth: bool
) -> Iterator[tuple[memoryview, list[tuple[int, int]], bytes, str]]:
    """The records of a document read chunk after chunk, in batches.

    Each batch is (buffer, record spans into it, prefix, encoding): the
    prefix (the declaration of a legacy encoding, the DOCTYPE) goes before
    each record to make it a document of its own; the text is UTF-8 unless
    the encoding (a codec name) says otherwise. The buffer changes once the
    consumer asks for the next batch.
    """
    buf = bytearray()
    # The start of the document: a byte-order mark and the declaration.
    for data in chunks:
        buf += data
        if len(buf) >= 4096 or (len(buf) >= 6 and b"?>" in buf) or (len(buf) >= 6 and not buf.lstrip(b"\xef\xbb\xbf").startswith(b"<?xml"[: len(buf)])):
            break
    decoder, prefix, encoding = _coding(buf)
    if decoder is not None:
        dec = decoder
        raw = bytes(buf)
        buf = bytearray(dec.decode(raw).encode("utf-8"))
        chunks = _transcoded(dec, chunks)
    splitter = _splitter(segments, encoding, any_depth)
    # buf[start:have] is what the splitter has not dropped yet. The buffer
    # only grows (for a record larger than what it holds); bytes are copied
    # into it in place, so no chunk-sized block is allocated per chunk.
    start, have = 0, len(buf)
    more = True
    while True:
        with memoryview(buf) as whole, whole[start:have] as part:
            spans, drop, doctype, finished = splitter.feed(part)
            if doctype is not None:
                prefix = _add_doctype(prefix, bytes(part[doctype[0] : doctype[1]]), decoder is not None)
            if spans:
                yield part, spans, prefix, encoding
        start += drop
        if finished or not more:
            return
        for data in chunks:
            n = len(data)
            if have + n > len(buf):
                kept = have - start
                buf[:kept] = buf[start:have]
                start, have = 0, kept
                if have + n > len(buf):
                    buf += bytes(max(have + n, 2 * len(buf)) - len(buf))
            with memoryview(buf) as whole:
                whole[have : have + n] = data  # one copy (a bytearray slice copies twice)
            have += n
            break
        else:
            more = False
            if have == start:
                return


def _split_memory(
    data: Any, segments: list[str], any_depth: bool, window: int
) -> Iterator[tuple[memoryview, list[tuple[int, int]], bytes, str]]:
    """_split over a document held in memory, without copying it: each
    batch's buffer is a view of the document, window bytes more each time."""
    view = memoryview(data).cast("B")
    decoder, prefix, encoding = _coding(bytes(view[:4096]))
    if decoder is not None:  # UTF-16: read as UTF-8, chunk after chunk
        chunks = (view[i : i + window] for i in range(0, len(view), window))
        yield from _split(chunks, segments, any_depth)
        return
    splitter = _splitter(segments, encoding, any_depth)
    start, end = 0, min(len(view), window)
    while True:
        part = view[start:end]
        spans, drop, doctype, finished = splitter.feed(part)
        if doctype is not None:
            prefix = _add_doctype(prefix, bytes(part[doctype[0] : doctype[1]]), False)
        if spans:
            yield part, spans, prefix, encoding
        part.release()
        start += drop
        if finished or end == len(view):
            return
        end = min(len(view), end + window)
