"""The records of one big XML file, read in parallel by Dask.

    >>> import quelmar.dask
    >>> bag = quelmar.dask.read_records("pages.xml", "mediawiki.page", ["title", "revision.id"])
    >>> bag.filter(lambda t: t[1] > 1000).count().compute()

A first pass over the mapped file finds where the records are (the native
splitter, without the interpreter lock) and cuts the file into byte ranges
that hold whole records; each partition then maps the file and reads its
range. Only the filename, the offsets and the path texts travel to the
workers, so a ``distributed`` cluster works when its workers see the file
at the same name (a shared filesystem). Dask is imported by this module
(``import quelmar.dask``), not by ``import quelmar``.
"""
from __future__ import annotations

import importlib
import itertools
import marshal
import math
import mmap
import os
from collections.abc import Mapping, Sequence
from typing import Any, Literal, Union

import dask.bag
import dask.bag.core

from quelmar._extra import SplitStream, answer_records, check_records, find_doctype, record_ranges, to_python
from quelmar._quelmar import Path
from quelmar._records import (
    _BATCH,
    _ON_ERROR,
    _coding,
    _Prolog,
    _not_well_formed,
    _parse_path,
    _path_text,
    _query_for,
    _segment_names,
    _splitter,
    records,
)

__all__ = ["read_frame", "read_records"]

_Filename = Union[str, "os.PathLike[str]"]

# About one partition per this many bytes when none is asked for.
PARTITION_BYTES = 64 << 20

# Any-depth records are found wherever they are: a range reader starts as
# deep as no range can climb out of.
_ANY_DEPTH_ANCESTORS = 1 << 62

_COMPRESSED = (b"\x1f\x8b", b"BZh", b"\xfd7zXZ\x00", b"\x28\xb5\x2f\xfd")


class _Rows(list[Any]):
    """A partition's records. distributed sends a plain list of small tuples
    between processes item by item (30 times slower than one pickle, for
    100,000 records); a list of another type goes as one pickle. Its items
    are plain data (to_python values), which marshal writes eight times
    faster than pickle does; anything else goes by pickle."""

    __slots__ = ()

    def __reduce__(self) -> tuple[Any, ...]:
        try:
            return _unmarshal_rows, (marshal.dumps(list(self)),)
        except ValueError:  # not plain data
            return _Rows, (list(self),)


def _unmarshal_rows(data: bytes) -> _Rows:
    return _Rows(marshal.loads(data))


def _finalize(results: Any) -> Any:
    """Dask's bag finalizer, with a _Rows for its list."""
    finalize: Any = dask.bag.core.finalize  # untyped
    out = finalize(results)
    return _Rows(out) if type(out) is list else out


# Bag is untyped in some Dask releases: subclassing Any is then allowed here.
class _RecordBag(dask.bag.Bag):  # type: ignore[misc, unused-ignore]
    """A Bag whose compute() ends with a _Rows: the finalizer runs on a
    worker, and its list comes back to the client as one pickle (a plain
    list of 100,000 records takes seconds). Bags made from it by its
    methods are of its type."""

    def __dask_postcompute__(self) -> Any:
        return _finalize, ()

    def compute(self, **kwargs: Any) -> Any:
        """The records as one list. The partitions come to the caller each
        on its own and are joined here: a finalizing task would gather them
        on a worker first and send the whole list on from there."""
        me: Any = self  # Dask's methods are untyped
        client = _current_client() if not kwargs else None
        if client is not None:
            parts = client.gather(client.compute(me.to_delayed()))
        else:
            compute: Any = importlib.import_module("dask").compute
            parts = compute(*me.to_delayed(), **kwargs)
        return _Rows(itertools.chain.from_iterable(parts))


def _current_client() -> Any:
    """The distributed client Dask computes with by default, or None."""
    try:
        distributed: Any = importlib.import_module("distributed")
        return distributed.default_client()
    except (ImportError, ValueError):
        return None


def _segment_bytes(segments: list[str], encoding: str) -> list[bytes]:
    # ASCII unless the document is UTF-8 (_coding streams any other).
    return [s.encode("utf-8") for s in segments]


def _map(f: Any) -> mmap.mmap | None:
    """The file mapped read-only, or None when it is empty."""
    if os.fstat(f.fileno()).st_size == 0:
        return None
    return mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ)


def _record_ranges(
    filename: _Filename, path: str, partitions: int | None = None, on_error: str = "raise"
) -> list[tuple[int, int]]:
    """The byte ranges of filename that hold the records at path, about
    partitions of them (one per 64 MiB when None; fewer when there are
    fewer records).

    Each range starts at a record's ``<`` and holds whole records only (and
    what lies between them); together they hold every record the document
    has before its end or its first structural error, in document order.
    Read each one with _read_range. A UTF-16 document is one range, the
    whole file (its records cannot be found in its bytes by position).
    Raises ValueError for a compressed file, and NotWellFormed for a
    document whose structure breaks unless on_error is "stop" or "skip"
    (the ranges then end at the break).
    """
    segments, any_depth = _parse_path(path)
    if partitions is not None and (isinstance(partitions, bool) or not isinstance(partitions, int) or partitions <= 0):
        raise ValueError("partitions must be a positive int or None")
    with open(filename, "rb") as f:
        mm = _map(f)
        if mm is None:
            return []
        with mm:
            head = mm[:4096]
            if head.startswith(_COMPRESSED):
                raise ValueError(
                    f"{os.fsdecode(filename)} is compressed: read_records reads one uncompressed file in "
                    "parallel; for compressed files use quelmar.records, one partition per file"
                )
            decoder, _, encoding = _coding(head, segments)
            if decoder is not None:
                return [(0, len(mm))]
            if partitions is None:
                partitions = max(1, math.ceil(len(mm) / PARTITION_BYTES))
            step = max(1, math.ceil(len(mm) / partitions))
            ranges, problem = record_ranges(mm, _segment_bytes(segments, encoding), any_depth, step, True)
            if problem is not None and on_error == "raise":
                # The records of a broken document are not read in part.
                raise _not_well_formed(*problem)
            return ranges


def _read_range(
    filename: _Filename,
    path: str,
    start: int,
    end: int,
    paths: Sequence[str | Path] | None,
    on_error: str = "raise",
    stopped: bool = False,
) -> list[Any]:
    """The records in the range [start, end) of filename (a range from
    _record_ranges), as ``to_python`` values: per record a tuple of one value
    per path, or the record's own value when paths is None.

    The file is mapped; each record is read with the document's encoding and
    DOCTYPE (its declaration and the entities it uses go before it), as
    quelmar.records reads it. A record that is not well formed raises
    NotWellFormed; with on_error="stop" the range ends before it, with
    "skip" it is passed over. stopped: a range before this one broke (with
    "stop", nothing is read).
    """
    if stopped:
        return _Rows()
    segments, any_depth = _parse_path(path)
    texts = None if paths is None else [_path_text(p) for p in paths]

    def value(r: Any) -> Any:
        return to_python(r) if texts is None else tuple(map(to_python, r))

    with open(filename, "rb") as f:
        mm = _map(f)
        if mm is None:
            return _Rows()
        with mm:
            opened = _open_range(mm, segments, any_depth, start, end, on_error)
            if opened is None:
                # UTF-16: one range, the whole file, read as a stream.
                if start != 0:
                    return _Rows()
                return _Rows(value(r) for r in records(filename, path, texts, on_error=on_error))
            spans, prefix, encoding, _ = opened
            query_for = _query_for(encoding, texts)
            rows = _Rows()
            with memoryview(mm) as view, view[start:end] as part:
                for i in range(0, len(spans), _BATCH):
                    batch = prefix if isinstance(prefix, bytes) else prefix[i : i + _BATCH]
                    rows.extend(map(value, answer_records(part, spans[i : i + _BATCH], batch, query_for)))
            return rows


def _open_range(
    mm: mmap.mmap, segments: list[str], any_depth: bool, start: int, end: int, on_error: str = "raise"
) -> tuple[list[tuple[int, int]], bytes | list[bytes], str, bool] | None:
    """The well-formed records of the range [start, end) of a mapped
    document: their spans (relative to start), the prefix that goes before
    each (the document's declaration and DOCTYPE with the entities the
    record uses, so that its encoding and entities apply: one for all, or
    one each), the encoding, and whether a record broke (on_error "stop":
    the spans end before it; "skip": it is left out; "raise": NotWellFormed).
    None for a UTF-16 document, which is read as a stream instead."""
    decoder, declaration, encoding = _coding(mm[:4096], segments)
    if decoder is not None:
        return None
    # A stream that is given no input: it keeps the prolog for the records.
    prolog = _Prolog(SplitStream(_segment_names(segments), any_depth), declaration, False)
    doctype = find_doctype(mm)
    if doctype is not None:
        prolog.stream.set_doctype(mm[doctype[0] : doctype[1]])
        prolog.refresh()
    splitter = _splitter(segments, encoding, any_depth)
    splitter.start_inside(_ANY_DEPTH_ANCESTORS if any_depth else len(segments) - 1)
    broke = False
    with memoryview(mm) as view, view[start:end] as part:
        spans: list[tuple[int, int]] = splitter.feed(part)[0]
        prefixes = prolog.prefixes(part, spans)
        good: list[tuple[int, int]] = []
        kept: list[bytes] = []
        bound: list[bytes] = []  # prefixes declared before the records that use them
        while spans:
            bad = check_records(part, spans, prefixes, bound)
            if bad is None:
                break
            i = bad[0]
            if _declared_before(mm, bad[1], start + spans[i][0], bound):
                continue
            prefix = prefixes if isinstance(prefixes, bytes) else prefixes[i]
            if on_error == "raise":
                raise _record_error(mm, start + spans[i][0], prefix, bad)
            broke = True
            good += spans[:i]
            kept += [prefixes] * i if isinstance(prefixes, bytes) else prefixes[:i]
            if on_error == "stop":
                return good, kept, encoding, True
            spans = spans[i + 1 :]
            if not isinstance(prefixes, bytes):
                prefixes = prefixes[i + 1 :]
    if not broke:
        return spans, prefixes, encoding, False
    good += spans
    kept += [prefixes] * len(spans) if isinstance(prefixes, bytes) else prefixes
    return good, kept, encoding, True


def _declared_before(mm: mmap.mmap, message: str, at: int, bound: list[bytes]) -> bool:
    """Whether message is of a prefix unbound in a record that a namespace
    declaration before the record (at) may bind, which then joins bound.
    (The elements around a range's records are not read: a declaration
    anywhere before a record is taken to reach it.)"""
    if not message.startswith("unbound prefix '") or message.endswith("...'"):
        return False
    name = message[len("unbound prefix '") : -1].encode("utf-8")
    if name in bound:
        return False
    key = b"xmlns:" + name
    end = at
    while (found := mm.rfind(key, 0, end)) >= 0:
        if mm[found + len(key) : found + len(key) + 1] in (b"=", b" ", b"\t", b"\r", b"\n"):
            bound.append(name)
            return True
        end = found
    return False


def _range_breaks(filename: _Filename, path: str, start: int, end: int) -> bool:
    """Whether a record of the range [start, end) is not well formed."""
    segments, any_depth = _parse_path(path)
    with open(filename, "rb") as f:
        mm = _map(f)
        if mm is None:
            return False
        with mm:
            opened = _open_range(mm, segments, any_depth, start, end, "stop")
            return opened is not None and opened[3]


def _either(before: bool, this: bool) -> bool:
    return before or this


def _stops(delayed: Any, filename: str, path: str, ranges: list[tuple[int, int]], on_error: str) -> list[Any]:
    """For each range, whether a range before it broke (with on_error
    "stop", a delayed value: the ranges are checked in parallel, and a
    chain of tiny tasks tells each one what those before it found)."""
    if on_error != "stop":
        return [False] * len(ranges)
    breaks = delayed(_range_breaks, pure=False)
    either = delayed(_either, pure=True)
    out: list[Any] = [False]
    for s, e in ranges[:-1]:
        out.append(either(out[-1], breaks(filename, path, s, e)))
    return out


def _check_on_error(on_error: str) -> None:
    if on_error not in _ON_ERROR:
        raise ValueError(f"on_error must be 'raise', 'stop' or 'skip', not {on_error!r}")


def _record_error(mm: mmap.mmap, at: int, prefix: bytes, bad: tuple[Any, ...]) -> Exception:
    """The error check_records found in the record at byte at of the file."""
    _, message, line, column, offset = bad
    before = mm[:at]
    rline = before.count(b"\n") + 1
    rcolumn = len(before[before.rfind(b"\n") + 1 :].decode("utf-8", "replace")) + 1
    lines = prefix.count(b"\n")
    if offset < len(prefix):
        return _not_well_formed(message, rline, rcolumn, at)
    if line - 1 == lines:
        column = rcolumn + column - 1 - len(prefix[prefix.rfind(b"\n") + 1 :].decode("utf-8", "replace"))
    return _not_well_formed(message, rline + line - 1 - lines, column, at + offset - len(prefix))


def read_records(
    filename: _Filename,
    path: str,
    paths: Sequence[str | Path] | None,
    partitions: int | None = None,
    *,
    on_error: str = "raise",
) -> dask.bag.Bag:
    """A Dask bag of the records at path in one uncompressed XML file.

    Each item is a tuple with the ``to_python`` value of each of paths
    (relative to the record, as for quelmar.records), or the record's own
    value when paths is None. partitions is how many pieces the file is cut
    into (by default one per 64 MiB; never more than there are records).
    The records are found by a pass over the file when the bag is made;
    the workers read them in parallel and must see the file at the same
    name. A compressed file raises ValueError: give quelmar.records one
    file per partition instead.

    A document that is not well formed raises quelmar.NotWellFormed (when
    the bag is made for a break of the document's structure, when it is
    computed for a record that is not well formed). on_error="stop" gives
    the records before the first break instead; "skip" passes over each
    record that is not well formed (a break of the structure still ends the
    records there: the ranges cannot be found past it).
    """
    # Dask's functions are untyped: reached through Any.
    bag: Any = dask.bag
    delayed: Any = importlib.import_module("dask.delayed").delayed
    _check_on_error(on_error)
    filename = os.fspath(filename)
    texts = None if paths is None else [_path_text(p) for p in paths]
    ranges = _record_ranges(filename, path, partitions, on_error)
    if not ranges:
        result: dask.bag.Bag = bag.from_sequence([], npartitions=1)
        return result
    # Not pure: the file may change between two bags over the same name.
    read = delayed(_read_range, pure=False)
    stops = _stops(delayed, filename, path, ranges, on_error)
    plain = bag.from_delayed(
        [read(filename, path, s, e, texts, on_error, stop) for (s, e), stop in zip(ranges, stops)]
    )
    result = _RecordBag(plain.dask, plain.name, plain.npartitions)
    return result


def _frame_range(
    filename: str,
    rows: str,
    start: int,
    end: int,
    names: list[str],
    paths: list[str],
    dtype: Any,
    meta: Any,
    keep: bool = False,
    on_error: str = "raise",
    stopped: bool = False,
) -> Any:
    """The records in the range [start, end) of filename as a pandas
    DataFrame with the given columns, integers and booleans of the nullable
    kinds; with meta (an empty DataFrame), of its column types, as the first
    range decided them: a text column stays text, integers join a float
    column, a column of no value takes any type. ValueError where a range's
    values do not fit (floats in an integer column, texts in a number
    column)."""
    from quelmar import _frame

    segments, any_depth = _parse_path(rows)
    if meta is not None:
        # A column that is text in the first range is read as text here, so
        # its values keep their spelling whatever this range holds.
        text = {n: str for n in names if _is_text_dtype(meta[n].dtype) and meta[n].dtype != object}
        given = {} if dtype is None else dtype if isinstance(dtype, dict) else dict.fromkeys(names, dtype)
        dtype = {**text, **given}
    columns = dict(zip(names, paths))
    frame: Any = None
    if stopped:
        start = end = 0  # a range before this one broke: no row
    with open(filename, "rb") as f:
        mm = _map(f)
        opened = None if mm is None else _open_range(mm, segments, any_depth, start, end, on_error)
        if mm is not None and opened is not None:
            spans, prefix, _, _ = opened
            with mm, memoryview(mm) as view, view[start:end] as part:
                built = _frame._build_batches([(part, spans, prefix)], names, paths, dtype, keep)
                frame = _frame._output(*built, to="pandas", nullable=True)
        else:
            if mm is not None:
                mm.close()
            # Empty, or UTF-16 (one range, the whole file, read as a stream).
            source: Any = b"" if mm is None else filename
            built = _frame._build(source, rows, columns, dtype, keep, on_error=on_error)
            frame = _frame._output(*built, to="pandas", nullable=True)
    if meta is None:
        return frame
    for name in names:
        want, got = meta[name].dtype, frame[name].dtype
        if want == got:
            continue
        column = frame[name]
        if want == object or column.isna().all() or (str(want) == "float64" and str(got) == "Int64"):
            frame[name] = column.astype(want)
        elif _is_text_dtype(want) and _is_text_dtype(got):
            frame[name] = column.astype(want)
        else:
            raise ValueError(
                f"column {name!r} is {want} in the first partition and {got} in the partition at byte {start}: "
                f"pass dtype={{{name!r}: ...}} to choose its type"
            )
    return frame


def _is_text_dtype(dtype: Any) -> bool:
    return dtype == object or str(dtype) in ("str", "string")


def read_frame(
    filename: _Filename,
    rows: str,
    columns: Mapping[str, str | Path] | Sequence[str | Path] | None = None,
    partitions: int | None = None,
    *,
    dtype: Any = None,
    whitespace: Literal["trim", "keep"] = "trim",
    on_error: str = "raise",
) -> Any:
    """A Dask DataFrame of the records at rows in one uncompressed XML file,
    one row per record and one column per path, as quelmar.read_frame reads
    them (columns, dtype and whitespace as there; the default columns come
    from the first records).

    The file is cut into byte ranges of whole records as read_records cuts
    it, one partition each. The first partition decides each column's type:
    where another partition's values make it a float column, the first's
    integers cannot follow and ValueError names the column (pass dtype for
    it); text columns stay text, integers are widened to float where the
    first partition has floats. on_error as for read_records.
    """
    from quelmar import _frame

    dd: Any = importlib.import_module("dask.dataframe")
    _check_on_error(on_error)
    filename = os.fspath(filename)
    if not isinstance(rows, str):
        raise TypeError("rows must be a str")
    keep = _frame._keep(whitespace)
    if columns is None:
        sample = [to_python(r) for r in itertools.islice(records(filename, rows, on_error=on_error), _frame._SAMPLE)]
        found = _frame._default_columns(sample)
        names, paths = list(found), list(found.values())
    else:
        names, paths = _frame._columns(columns)
    ranges = _record_ranges(filename, rows, partitions, on_error) or [(0, 0)]
    meta = _frame_range(filename, rows, *ranges[0], names, paths, dtype, None, keep, on_error).iloc[:0]
    delayed: Any = importlib.import_module("dask.delayed").delayed
    # Not pure: the file may change between two frames over the same name.
    read = delayed(_frame_range, pure=False)
    stops = _stops(delayed, filename, rows, ranges, on_error)
    parts = [
        read(filename, rows, s, e, names, paths, dtype, meta, keep, on_error, stop)
        for (s, e), stop in zip(ranges, stops)
    ]
    return dd.from_delayed(parts, meta=meta, verify_meta=False)
