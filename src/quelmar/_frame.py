"""Records into pandas DataFrames, Arrow tables and Polars frames.

The record splitter of ``quelmar.records`` cuts the document into records;
the native FrameBuilder answers every column's path over each record in one
engine pass and appends the values to typed column buffers (no Python object
per cell). pyarrow then wraps those buffers as Arrow arrays without copying
them, and pandas or Polars read the Arrow table.
"""
from __future__ import annotations

import os
import re
from collections import Counter
from collections.abc import Generator, Iterable, Mapping, Sequence
from typing import Any, Literal

from quelmar._extra import FrameBuilder, NativeBuffer, to_python
from quelmar._quelmar import Path, compile, get_bytes
from quelmar._records import _Errors, _parse_path, _path_text, _split, _split_memory
from quelmar._sources import chunks as _chunks, compressed_buffer as _compressed, finish as _finish
from quelmar._sources import many as _many, open_source as _open, read_ahead as _read_ahead

__all__ = ["read_frame"]

_CHUNK = 1 << 20
_SAMPLE = 100  # records looked at to find the default columns
_LOOK = 1000  # records in which a column that matches nothing is told
_ESCAPE = re.compile(r"[^\w:-]")
# dtype values that keep a column's texts as they are (no number guessing).
_TEXT_DTYPES = ("str", "string", "object", "large_string", "utf8")


def _default_columns(samples: list[Any]) -> dict[str, str]:
    """Attributes and leaf children of the sampled records, as columns."""
    attributes: list[str] = []
    children: list[str] = []
    nested: set[str] = set()
    for value in samples:
        if not isinstance(value, dict):
            continue
        for key, v in value.items():
            if key == "#text":
                continue
            if key.startswith("@"):
                if key not in attributes:
                    attributes.append(key)
                continue
            if key not in children:
                children.append(key)
            if _has_children(v) or (isinstance(v, list) and any(_has_children(x) for x in v)):
                nested.add(key)
    leaves = [c for c in children if c not in nested]
    columns: dict[str, str] = {}
    for a in attributes:
        columns[a[1:] if a[1:] not in leaves else a] = "@" + _ESCAPE.sub(r"\\\g<0>", a[1:])
    for c in leaves:
        columns[c] = _ESCAPE.sub(r"\\\g<0>", c)
    return columns


def _has_children(value: Any) -> bool:
    """Whether a to_python value is an element with child elements (one
    with attributes only, such as <t xml:space="preserve">, is a field)."""
    return isinstance(value, dict) and any(k != "#text" and not k.startswith("@") for k in value)


def _columns(columns: Any) -> tuple[list[str], list[str]]:
    if isinstance(columns, Mapping):
        names = list(columns)
        if not all(isinstance(n, str) for n in names):
            raise TypeError("column names must be str")
        return names, [_path_text(p) for p in columns.values()]
    if isinstance(columns, (str, Path)) or not isinstance(columns, Sequence):
        raise TypeError("columns must be a dict of {name: path}, a list of paths or None")
    paths = [_path_text(p) for p in columns]
    return paths, paths


def _dtypes(dtype: Any, names: list[str]) -> dict[str, Any]:
    if dtype is None:
        return {}
    if isinstance(dtype, Mapping):
        unknown = [k for k in dtype if k not in names]
        if unknown:
            raise ValueError(f"dtype names columns that are not read: {unknown!r}")
        return dict(dtype)
    return {n: dtype for n in names}


def _is_text(dtype: Any) -> bool:
    if dtype is str or dtype is object:
        return True
    return str(dtype) in _TEXT_DTYPES


def _batches(
    source: Any, rows: str, chunk_size: int, errors: _Errors | None = None
) -> Generator[tuple[Any, list[tuple[int, int]], bytes, str], None, None]:
    segments, any_depth = _parse_path(rows)
    if errors is None:
        errors = _Errors("raise")
    memory = isinstance(source, (bytes, bytearray, memoryview)) or (
        not isinstance(source, (str, os.PathLike)) and not hasattr(source, "read") and _is_buffer(source)
    )
    if memory and not _compressed(source):
        yield from _split_memory(source, segments, any_depth, chunk_size, errors, None, rows)
        return
    if memory or isinstance(source, (str, os.PathLike)) or hasattr(source, "read") or hasattr(source, "readinto"):
        f, owned, compressed = _open(source, chunk_size)
        chunks = (_read_ahead if compressed else _chunks)(f, chunk_size)
        try:
            yield from _split(chunks, segments, any_depth, errors, None, rows)
            _finish(f, chunks)
        finally:
            chunks.close()  # type: ignore[attr-defined]
            if owned:
                f.close()
        return
    raise TypeError("source must be a filename, a binary file object, or bytes or a buffer holding a document")


def _is_buffer(obj: Any) -> bool:
    try:
        memoryview(obj).release()
    except TypeError:
        return False
    return True


def _keep(whitespace: str) -> bool:
    if whitespace not in ("trim", "keep"):
        raise ValueError(f"whitespace must be 'trim' or 'keep', not {whitespace!r}")
    return whitespace == "keep"


def _build(
    source: Any,
    rows: str,
    columns: Any,
    dtypes: Any,
    keep: bool = False,
    source_column: str | None = None,
    on_error: str = "raise",
) -> tuple[list[str], list[Any], dict[str, Any]]:
    names: list[str] | None = None
    paths: list[str] = []
    if columns is not None:
        names, paths = _columns(columns)
    several = _many(source)
    sources = [source] if several is None else several
    counts = [0] * len(sources)  # the records of each source
    errors = _Errors(on_error)

    def batches() -> Generator[tuple[Any, list[tuple[int, int]], Any], None, None]:
        for i, one in enumerate(sources):
            each = _batches(one, rows, _CHUNK, errors)
            try:
                for buf, spans, prefix, _ in each:
                    counts[i] += len(spans)
                    yield buf, spans, prefix
            finally:
                each.close()

    all_batches = batches()
    try:
        names, built, overrides = _build_batches(all_batches, names, paths, dtypes, keep)
    finally:
        all_batches.close()
    if source_column is not None:
        if source_column in names:
            raise ValueError(f"source_column {source_column!r} is also the name of a column")
        names, built = names + [source_column], built + [_SourceColumn(sources, counts)]
    return names, built, overrides


class _SourceColumn:
    """The column telling each row's source: its filename (a file object's
    name, or null for a document in memory), dictionary-encoded."""

    def __init__(self, sources: list[Any], counts: list[int]) -> None:
        self.labels = [_label(s) for s in sources]
        self.counts = counts

    def arrow(self, pa: Any) -> Any:
        from itertools import chain, repeat

        indices = pa.array(chain.from_iterable(repeat(i, n) for i, n in enumerate(self.counts)), pa.int32())
        return pa.DictionaryArray.from_arrays(indices, pa.array(self.labels, pa.string()))


def _label(source: Any) -> str | None:
    if isinstance(source, (str, bytes, os.PathLike)) and not _is_document(source):
        return os.fsdecode(source)
    name = getattr(source, "name", None)
    return name if isinstance(name, str) else None


def _is_document(source: Any) -> bool:
    return isinstance(source, bytes)


def _build_batches(
    batches: Iterable[tuple[Any, list[tuple[int, int]], bytes | list[bytes]]],
    names: list[str] | None,
    paths: list[str],
    dtypes: Any,
    keep: bool = False,
) -> tuple[list[str], list[Any], dict[str, Any]]:
    """The columns of the records of batches (a buffer, the records' spans
    in it, the prefix that goes before each); names None: the default
    columns, from the first batch's records."""
    builder: Any = None
    overrides: dict[str, Any] = {}
    unmatched: list[int] | None = None  # columns no record has matched yet
    looked = 0  # records looked at for them
    for buf, spans, prefix in batches:
        if builder is None and names is not None:
            # A modifier may answer every record (|@count gives 0): not told.
            unmatched = [i for i, p in enumerate(paths) if "|" not in p]
        if unmatched and looked < _LOOK:
            looked += _look(buf, spans[: _LOOK - looked], prefix, paths, unmatched)
            if looked >= _LOOK:
                _warn_unmatched(names or [], paths, unmatched, looked)
                unmatched = None
        if builder is None:
            if names is None:
                view = memoryview(buf)
                try:
                    samples = [
                        to_python(get_bytes((prefix if isinstance(prefix, bytes) else prefix[k]) + bytes(view[s:e]), "*"))
                        for k, (s, e) in enumerate(spans[:_SAMPLE])
                    ]
                finally:
                    view.release()
                found = _default_columns(samples)
                names, paths = list(found), list(found.values())
            overrides = _dtypes(dtypes, names)
            builder = FrameBuilder(paths, [_is_text(overrides.get(n)) for n in names], NativeBuffer, keep)
        if isinstance(prefix, bytes):
            builder.feed(buf, spans, prefix)
            continue
        # One prefix per record (the entities each uses): runs of the same.
        i = 0
        while i < len(spans):
            j = i + 1
            while j < len(spans) and prefix[j] is prefix[i]:
                j += 1
            builder.feed(buf, spans[i:j], prefix[i])
            i = j
    if unmatched and looked:
        _warn_unmatched(names or [], paths, unmatched, looked)
    if names is None:  # no record to find columns in
        names, paths = [], []
    if builder is None:
        overrides = _dtypes(dtypes, names)
        builder = FrameBuilder(paths, [_is_text(overrides.get(n)) for n in names], NativeBuffer, keep)
    return names, builder.finish(), overrides


def _look(buf: Any, spans: list[tuple[int, int]], prefix: Any, paths: list[str], unmatched: list[int]) -> int:
    """Drops from unmatched the columns whose path matches in one of the
    records at spans; the count of records looked at."""
    queries = {i: compile("*." + paths[i]) for i in unmatched}
    with memoryview(buf) as view:
        for k, (s, e) in enumerate(spans):
            if not unmatched:
                break
            doc = (prefix if isinstance(prefix, bytes) else prefix[k]) + bytes(view[s:e])
            unmatched[:] = [i for i in unmatched if not queries[i].get_bytes(doc)]
    return len(spans)


def _warn_unmatched(names: list[str], paths: list[str], unmatched: list[int], looked: int) -> None:
    import warnings

    for i in unmatched:
        shown = f"column {names[i]!r}" if names[i] != paths[i] else "a column"
        warnings.warn(
            f"{shown}: path {paths[i]!r} matched nothing in the first {looked} records "
            "(paths are relative to the record)",
            RuntimeWarning,
            stacklevel=5,
        )


def _arrow_array(pa: Any, column: Any) -> Any:
    if isinstance(column, _SourceColumn):
        return column.arrow(pa)
    kind, rows, row_valid, row_offsets, n, nulls, validity, data, offsets = column

    def buf(b: Any) -> Any:
        return None if b is None else pa.py_buffer(b)

    if kind == "null":
        values = pa.nulls(n)
    elif kind == "string":
        values = pa.Array.from_buffers(pa.large_string(), n, [buf(validity), buf(offsets), buf(data)], nulls)
    else:
        t = {"int64": pa.int64(), "float64": pa.float64(), "bool": pa.bool_()}[kind]
        values = pa.Array.from_buffers(t, n, [buf(validity), buf(data)], nulls)
    if row_offsets is None:
        return values
    return pa.Array.from_buffers(pa.large_list(values.type), rows, [buf(row_valid), buf(row_offsets)], children=[values])


def _arrow_type(pa: Any, dtype: Any) -> Any:
    if isinstance(dtype, pa.DataType):
        return dtype
    if dtype is str or dtype is object or str(dtype) in _TEXT_DTYPES:
        return pa.large_string()
    if dtype is int:
        return pa.int64()
    if dtype is float:
        return pa.float64()
    if dtype is bool:
        return pa.bool_()
    try:
        return pa.type_for_alias(str(dtype))
    except ValueError:
        raise ValueError(f"dtype {dtype!r} has no Arrow type; use to='pandas' for pandas dtypes") from None


def _import(name: str) -> Any:
    import importlib

    try:
        return importlib.import_module(name)
    except ImportError:
        raise ImportError(f"read_frame needs {name}: pip install 'quelmar[frames]'") from None


def read_frame(
    source: Any,
    rows: str,
    columns: Mapping[str, str | Path] | Sequence[str | Path] | None = None,
    *,
    to: Literal["pandas", "arrow", "polars"] = "pandas",
    dtype: Any = None,
    whitespace: Literal["trim", "keep"] = "trim",
    source_column: str | None = None,
    on_error: str = "raise",
) -> Any:
    """The records at rows as a table: one row per record, one column per path.

    source is a filename (``str`` or path-like; gzip, bzip2, xz or zstd are
    read as ``records`` reads them), a binary file object, or a document in
    memory as ``bytes`` or a buffer. A ``str`` is always a filename. source
    may also be a list of those, or a glob pattern of filenames: the records
    of each in turn, in one table; source_column names a column that gives
    each row's filename.

    rows is the record path, as for ``records`` (``"catalog.book"``,
    ``"**.entry"``). columns is a dict ``{name: path}`` of paths relative to
    the record, or a list of paths (each column named by its path); by
    default, the attributes and leaf child elements of the first records,
    attributes named without ``@`` unless a child has that name.

    A path matching nothing in a record gives a missing value; one matching
    several items makes the column a list column. A column's type follows
    its values, as the CSV readers of Arrow and Polars decide it: int64 when
    every value is an integer without a leading zero, float64 when every
    value is a decimal number in any spelling (``35.90``, ``1e-05``,
    ``627.4299999999999``; integers among them exact), bool for
    ``true``/``false``, else string: an integer with a leading zero
    (``004``, a ZIP code) or a plus sign, or a word such as ``nan`` or
    ``inf``, keeps its column's texts as written. An element with child elements gives its
    markup. dtype (one dtype, or a dict per column) overrides: ``str`` keeps
    the texts as written; other dtypes are cast to (``bool`` reads
    ``true``/``false``/``1``/``0``). With pandas, an integer column with
    missing values is a nullable ``Int64``.

    Texts are trimmed of white space, except inside ``xml:space="preserve"``
    (on the field or on an element of its record around it); whitespace
    ``"keep"`` keeps all of them as written.

    to is ``"pandas"`` (a DataFrame: missing numbers are NaN, other missing
    values None, list cells Python lists), ``"arrow"`` (a ``pyarrow.Table``,
    missing values as nulls) or ``"polars"``.

    A document that is not well formed raises NotWellFormed at the break,
    as ``records`` does; on_error="stop" makes the table of the records
    before it, on_error="skip" passes over each break to the next record.
    A record path that matches nothing warns, naming the root element.
    """
    if not isinstance(rows, str):
        raise TypeError("rows must be a str")
    if to not in ("pandas", "arrow", "polars"):
        raise ValueError(f"to must be 'pandas', 'arrow' or 'polars', not {to!r}")
    if isinstance(source, str) and source.lstrip().startswith("<"):
        raise ValueError("a str source is a filename; wrap XML text in io.BytesIO(text.encode())")
    keep = _keep(whitespace)
    _import("pyarrow")  # before reading: a missing extra is told at once
    _Errors(on_error)  # a bad on_error is told before reading
    return _output(*_build(source, rows, columns, dtype, keep, source_column, on_error), to=to)


def _output(names: list[str], built: list[Any], overrides: dict[str, Any], *, to: str, nullable: bool = False) -> Any:
    """The built columns as the table that to names; nullable: pandas
    integer and boolean columns of the nullable kinds (Int64, boolean), so
    that missing values do not turn integers into floats."""
    pa = _import("pyarrow")
    arrays = [_arrow_array(pa, c) for c in built]
    if to != "pandas":
        for i, name in enumerate(names):
            if name in overrides and not _is_text(overrides[name]):
                arrays[i] = arrays[i].cast(_arrow_type(pa, overrides[name]))
    table = pa.Table.from_arrays(arrays, names=names) if len(set(names)) == len(names) else _duplicate(names)
    if to == "arrow":
        return table
    if to == "polars":
        return _import("polars").from_arrow(table)
    pd = _import("pandas")
    mapper = {pa.int64(): pd.Int64Dtype(), pa.bool_(): pd.BooleanDtype()}.get if nullable else None
    frame = table.to_pandas(types_mapper=mapper)
    for i, name in enumerate(names):
        array = arrays[i]
        if pa.types.is_large_list(array.type):
            frame[name] = array.to_pylist()
        elif not nullable and pa.types.is_int64(array.type) and array.null_count:
            # Missing values would make the integers floats (inexact past
            # 2**53): a nullable Int64 column keeps them, as quelmar.dask does.
            frame[name] = array.to_pandas(types_mapper={pa.int64(): pd.Int64Dtype()}.get)
        if name not in overrides:
            continue
        want = overrides[name]
        if want is bool or str(want) in ("bool", "boolean"):
            frame[name] = _booleans(pa, pd, name, array, want)
        elif want not in (str, object, "str", "object"):
            # str and object keep the texts, and None for missing values.
            frame[name] = frame[name].astype(want)
    return frame


def _booleans(pa: Any, pd: Any, name: str, array: Any, want: Any) -> Any:
    """A column as pandas booleans: texts true/false/1/0 (any letter case)
    read as Arrow casts them, numbers by their truth; bool refuses missing
    values (they would become False) where boolean keeps them as NA."""
    if pa.types.is_large_list(array.type):
        raise ValueError(f"column {name!r} holds lists of values; it has no bool dtype")
    if not pa.types.is_boolean(array.type) and not pa.types.is_null(array.type):
        if pa.types.is_large_string(array.type):
            try:
                array = array.cast(pa.bool_())
            except pa.ArrowInvalid as e:
                raise ValueError(f"column {name!r} is not bool: {e}") from None
        else:
            array = array.cast(pa.bool_())
    values = array.to_pandas(types_mapper={pa.bool_(): pd.BooleanDtype()}.get)
    if str(want) != "boolean":
        if array.null_count:
            raise ValueError(f"column {name!r} has missing values, which dtype=bool cannot hold: use 'boolean'")
        return values.astype(bool)
    return values.astype("boolean")


def _duplicate(names: list[str]) -> Any:
    seen = {n for n, k in Counter(names).items() if k > 1}
    raise ValueError(f"column names repeat: {sorted(seen)!r}")
