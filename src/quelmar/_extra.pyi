"""Functions beyond the main module's surface, built from the same core."""

import sys
from typing import Any

from quelmar._quelmar import Result

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

# None, str, int, float, or lists and dicts (str keys) of these, nested:
# typed as json.loads types what it returns, so that code can index it.
def to_python(result: Result) -> Any: ...

class RecordSplitter:
    """Finds the records at a path in a document fed chunk after chunk."""

    def __init__(self, segments: list[bytes], any_depth: bool) -> None: ...
    def start_inside(self, ancestors: int) -> None: ...
    def feed(
        self, buffer: Buffer
    ) -> tuple[list[tuple[int, int]], int, tuple[int, int] | None, bool]: ...

def record_ranges(buffer: Buffer, segments: list[bytes], any_depth: bool, step: int, /) -> list[tuple[int, int]]: ...
def find_doctype(buffer: Buffer, /) -> tuple[int, int] | None: ...
