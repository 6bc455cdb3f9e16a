"""Streaming path queries over XML documents held in memory.

    >>> import quelmar
    >>> quelmar.get("<shop><book><title>Dune</title></book></shop>", "shop.book.title").value
    'Dune'

The functions and classes live in the compiled module ``quelmar._quelmar``,
whose functions carry only their signatures. This package re-exports its
classes, and its functions as twins from a second compiled module,
``quelmar._extra``: the same C functions, called the same way, with a
description for help(). ``NotWellFormed`` and ``to_python`` come from
``quelmar._extra`` too; ``as_list``, ``records`` and ``read_frame`` are
written in Python, as is ``check``, which reads files (``os.PathLike``) and
compressed data before ``quelmar._extra.check`` checks the document.
"""
from importlib.metadata import PackageNotFoundError, version as _dist_version

from quelmar._quelmar import Path, Result
from quelmar._extra import (
    NotWellFormed,
    compile,
    get,
    get_buffer,
    get_bytes,
    get_many,
    get_many_buffer,
    get_many_bytes,
    parse,
    to_python,
    validate,
)
from quelmar._helpers import as_list
from quelmar._sources import check
from quelmar._records import records
from quelmar._frame import read_frame

__all__ = [
    "get",
    "get_bytes",
    "get_buffer",
    "get_many",
    "get_many_bytes",
    "get_many_buffer",
    "parse",
    "validate",
    "check",
    "NotWellFormed",
    "compile",
    "Path",
    "Result",
    "as_list",
    "to_python",
    "records",
    "read_frame",
]

# The version is written once, in pyproject.toml, and reaches us through the
# installed distribution's metadata. A tree that was built but not installed
# (tools/dev-build) has no metadata and reports a local "unknown" version.
try:
    __version__: str = _dist_version("quelmar")
except PackageNotFoundError:  # pragma: no cover - only in uninstalled builds
    __version__ = "0+unknown"

del PackageNotFoundError
