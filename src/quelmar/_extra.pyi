"""Functions beyond the main module's surface, built from the same core."""

import sys
from collections.abc import Callable, Sequence
from typing import Any, Literal, overload

from quelmar._quelmar import Result as Result

# The main module's functions, with a description for help(): the same C
# functions, so the same signatures.
from quelmar._quelmar import compile as compile
from quelmar._quelmar import get as get
from quelmar._quelmar import get_buffer as get_buffer
from quelmar._quelmar import get_bytes as get_bytes
from quelmar._quelmar import get_many as get_many
from quelmar._quelmar import get_many_buffer as get_many_buffer
from quelmar._quelmar import get_many_bytes as get_many_bytes
from quelmar._quelmar import parse as parse
from quelmar._quelmar import validate as validate

if sys.version_info >= (3, 12):
    from collections.abc import Buffer
else:
    from typing_extensions import Buffer

class NotWellFormed(ValueError):
    """A document that is not well-formed XML, with where it breaks."""

    message: str
    line: int
    column: int
    offset: int

def check(data: str | Buffer) -> NotWellFormed | None: ...

def encoding_label(label: bytes) -> str | None: ...

# None, str, int, float, or lists and dicts (str keys) of these, nested:
# typed as json.loads types what it returns, so that code can index it.
def to_python(result: Result, *, numbers: bool = False, whitespace: Literal["trim", "keep"] = "trim") -> Any: ...

class RecordSplitter:
    """Finds the records at a path in a document fed chunk after chunk."""

    def __init__(self, segments: list[bytes], any_depth: bool) -> None: ...
    def start_inside(self, ancestors: int) -> None: ...
    def feed(
        self, buffer: Buffer
    ) -> tuple[list[tuple[int, int]], int, tuple[int, int] | None, bool]: ...
    def error(self) -> tuple[str, int, int, int, int | None] | None: ...
    def end_problem(self, rest: Buffer, /) -> tuple[str, int, int, int, int | None] | None: ...
    def locate(self, buffer: Buffer, offset: int, rest: bool = False, /) -> tuple[int, int, int]: ...
    def locate_all(self, buffer: Buffer, offsets: list[int], /) -> list[tuple[int, int, int]]: ...
    def outside(self, buffer: Buffer, spans: list[tuple[int, int]], start: int, drop: int, /) -> tuple[bytes, bytes]: ...
    def resync(self) -> bool: ...
    def search(self, ancestors: int, offset: int, line: int, column: int, /) -> bool: ...
    def root_name(self) -> bytes: ...
    def open_names(self) -> list[bytes]: ...

class StreamDecoder:
    """Decodes a text that comes in pieces to UTF-8, with the engine's decoders."""

    def __init__(self, encoding: str) -> None: ...
    def decode(self, data: Buffer, last: bool = False, /) -> bytes: ...

def check_records(
    buffer: Buffer,
    spans: list[tuple[int, int]],
    prefix: bytes | list[bytes],
    bound: Sequence[bytes] | None = None,
    /,
) -> tuple[int, str, int, int, int] | None: ...

class CheckStream:
    """The well-formedness check of a document fed in pieces of any size."""

    held: int
    checked: int
    whole: bool
    def feed(self, data: Buffer, /) -> tuple[str, int, int, int] | None: ...
    def feed_in_place(self, document: Buffer, end: int, /) -> tuple[str, int, int, int] | None: ...
    def close(self) -> None: ...
    def finish(self) -> tuple[str, int, int, int] | None: ...
def stream_coding(head: Buffer, /) -> tuple[str, int, int, bool]: ...

class NativeBuffer(Buffer):
    """Read-only memory of a column built natively (the buffer protocol)."""

    def __buffer__(self, flags: int, /) -> memoryview: ...

# One finished column: (type, rows, row_validity, row_offsets, values, nulls,
# validity, data, offsets); see quelmar._frame.
_Column = tuple[
    str, int, NativeBuffer | None, NativeBuffer | None, int, int, NativeBuffer | None, NativeBuffer | None,
    NativeBuffer | None,
]

class FrameBuilder:
    """Columns built from records, one path per column."""

    def __init__(
        self, paths: list[str], strings: list[bool], buffer_type: type[NativeBuffer], keep: bool = False
    ) -> None: ...
    def feed(self, buffer: Buffer, spans: list[tuple[int, int]], prefix: bytes, /) -> None: ...
    def finish(self) -> list[_Column]: ...
    def rows(self) -> int: ...

class GzipStream:
    """The inflated bytes of a gzip file, read ahead by a thread (present
    when the module was built with zlib)."""

    def __init__(self, fd: int, chunk_size: int, background: bool = True) -> None: ...
    def read(self, size: int = -1, /) -> bytes: ...
    def close(self) -> None: ...

@overload
def record_ranges(
    buffer: Buffer, segments: list[bytes], any_depth: bool, step: int, report: Literal[False] = ..., /
) -> list[tuple[int, int]]: ...
@overload
def record_ranges(
    buffer: Buffer, segments: list[bytes], any_depth: bool, step: int, report: Literal[True], /
) -> tuple[list[tuple[int, int]], tuple[str, int, int, int] | None]: ...
def find_doctype(buffer: Buffer, /) -> tuple[int, int] | None: ...
def answer_records(
    buffer: Buffer,
    spans: list[tuple[int, int]],
    prefix: bytes | list[bytes],
    query_for: Callable[[bytes], tuple[Callable[..., Any], Any, bytes]],
    /,
) -> list[Any]: ...
