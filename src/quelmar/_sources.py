"""Where a document's bytes come from.

A source is a filename (``str`` or path-like), a binary file object, or
the document itself in ``bytes`` or a buffer. Whatever it is,
gzip, bzip2, xz and zstd data are told by their first bytes (never by a file
name) and decompressed on the way. The first bytes are peeked, never read
again by seeking back, so pipes, ``/dev/stdin`` and ``<(zcat f)`` work.

A broken compressed stream raises ``NotWellFormed`` at the byte of the
document where its data stopped making sense, with the line and column
there; the bytes before it were delivered (a gzip stream's to the byte,
others' but for the last call of their decompressor). Compressed data are read
to their end once the document is read (``finish``), so a damaged checksum
or length is reported and not streamed silently.

Sources refuse to be read in a process forked from the one that opened them
(the child would steal the parent's file offset, or wait on the parent's
reader thread); reader threads stop before the interpreter finalizes.
"""
from __future__ import annotations

import os
import queue
import stat
import sys
import threading
import time
import weakref
from collections.abc import Iterator
from typing import TYPE_CHECKING, Any, BinaryIO, Union

if TYPE_CHECKING:
    if sys.version_info >= (3, 12):
        from collections.abc import Buffer
    else:
        from typing_extensions import Buffer

from quelmar import _extra
from quelmar._extra import NotWellFormed

__all__ = [
    "Source", "open_source", "chunks", "read_ahead", "finish", "read_all", "read_file", "decompressed",
    "compressed_buffer", "many", "each", "progress_for", "check",
]

_MAGIC = (
    (b"\x1f\x8b", "gzip"),
    (b"BZh", "bzip2"),
    (b"\xfd7zXZ\x00", "xz"),
    (b"\x28\xb5\x2f\xfd", "zstd"),
)
_HEAD = 6  # bytes that tell every format above
_MAGIC_START = frozenset(magic[:1] for magic, _ in _MAGIC)
# The least a reader thread decompresses at a time.
_READ_AHEAD = 4 << 20
# The most read at a time, whatever chunk_size asks: larger reads gain
# nothing, and a buffer of chunk_size is allocated before the first read.
_MAX_CHUNK = 256 << 20
# Compressed bytes read at a time, and the most a bzip2, xz or zstd
# stream is asked to give at once (what a damaged stream's error loses).
_IN = 1 << 18
_STEP = 1 << 18
# gzip files are inflated natively when the module was built with zlib, by
# a thread of the stream's own unless _GZIP_BACKGROUND is false.
_GZIP_STREAM: Any = getattr(_extra, "GzipStream", None)
_GZIP_BACKGROUND = True
_FORKED = "cannot be read in a process forked from the one that opened it"


def compression(head: Any) -> str | None:
    """The compression the first bytes of a document show, or None."""
    head = bytes(head[:_HEAD])
    for magic, kind in _MAGIC:
        if head.startswith(magic):
            return kind
    return None


def _broken(kind: str, detail: str, produced: int, lines: int, column: int, compressed_at: int | None) -> NotWellFormed:
    """The error of a compressed stream that breaks after `produced` bytes
    of the document (line `lines`, character `column` of it)."""
    where = "" if compressed_at is None else f" (near compressed byte {compressed_at})"
    return _error((f"{kind} data broken{where}: {detail}", lines, column, produced))


# ---------------------------------------------------------------- raw bytes


class _Raw:
    """The bytes of a file object or a buffer, with what was peeked put back
    in front. Short reads are fine; a read that answers None (a non-blocking
    stream with no data yet) waits for data on the file's descriptor, or
    raises when there is none to wait on, and is never taken for the end."""

    def __init__(self, f: Any, head: bytes = b"") -> None:
        self._f = f
        self._head = head
        self._read = getattr(f, "read", None)
        self._readinto = getattr(f, "readinto", None)
        self.can_readinto = self._readinto is not None
        self.read_count = len(head)  # bytes read from f

    def _wait(self) -> None:
        try:
            fd = self._f.fileno()
        except (AttributeError, OSError, ValueError):
            raise ValueError(
                "the file object answered None (a non-blocking stream with no data yet) and has no "
                "fileno() to wait on: make it blocking or read it whole first"
            ) from None
        import select

        select.select([fd], [], [])

    def read(self, size: int) -> bytes:
        if self._head:
            out, self._head = self._head[:size], self._head[size:]
            return out
        while True:
            if self._read is not None:
                data = self._read(size)
                if data is None:
                    self._wait()
                    continue
                if not isinstance(data, (bytes, bytearray, memoryview)):
                    raise TypeError("the file object must be opened in binary mode")
                self.read_count += len(data)
                return bytes(data)
            buf = bytearray(size)
            n = self._readinto(buf)  # type: ignore[misc]
            if n is None:
                self._wait()
                continue
            if not isinstance(n, int) or not 0 <= n <= size:
                raise ValueError(f"readinto() returned {n!r}, not a count of bytes between 0 and {size}")
            del buf[n:]
            self.read_count += n
            return bytes(buf)

    def readinto(self, view: Any) -> int:
        if self._head:
            n = min(len(view), len(self._head))
            view[:n] = self._head[:n]
            self._head = self._head[n:]
            return n
        if self._readinto is None:
            data = self.read(len(view))
            n = min(len(data), len(view))
            self._head = data[n:]  # a read that answered more than it was asked
            view[:n] = data[:n]
            return n
        while True:
            n = self._readinto(view)
            if n is None:
                self._wait()
                continue
            if not isinstance(n, int) or not 0 <= n <= len(view):
                raise ValueError(f"readinto() returned {n!r}, not a count of bytes between 0 and {len(view)}")
            self.read_count += n
            return n

    def close(self) -> None:
        close = getattr(self._f, "close", None)
        if close is not None:
            close()


class _Memory:
    """A document held in bytes or a buffer, read without copying it whole."""

    def __init__(self, data: Any) -> None:
        self._view = memoryview(data).cast("B")
        self._pos = 0

    @property
    def read_count(self) -> int:
        return self._pos

    def read(self, size: int) -> bytes:
        out = bytes(self._view[self._pos : self._pos + size])
        self._pos += len(out)
        return out

    def readinto(self, view: Any) -> int:
        n = min(len(view), len(self._view) - self._pos)
        view[:n] = self._view[self._pos : self._pos + n]
        self._pos += n
        return n

    def close(self) -> None:
        self._view.release()


# ---------------------------------------------------------------- decompression


def _decompressor(kind: str) -> tuple[Any, tuple[type[BaseException], ...]]:
    """A function making a decompressor of one stream of `kind`, and the
    exceptions it raises for bad data."""
    if kind == "gzip":
        import zlib

        return (lambda: zlib.decompressobj(31)), (zlib.error,)
    if kind == "bzip2":
        import bz2

        return bz2.BZ2Decompressor, (OSError, ValueError)
    if kind == "xz":
        import lzma

        return lzma.LZMADecompressor, (lzma.LZMAError,)
    try:
        from compression import zstd  # type: ignore[import-not-found, unused-ignore]

        return zstd.ZstdDecompressor, (zstd.ZstdError,)
    except ImportError:
        pass
    try:
        import zstandard  # type: ignore[import-not-found, unused-ignore]
    except ImportError:
        raise ValueError(
            "the data are zstd-compressed: reading them needs Python 3.14's compression.zstd "
            "or the zstandard package (pip install zstandard)"
        ) from None
    return _ZstandardStream, (zstandard.ZstdError,)


class _ZstandardStream:
    """One zstd frame through the zstandard package, with the interface of
    the standard library's decompressors (max_length, needs_input, eof,
    unused_data). zstandard answers all the output of its input at once: it
    is fed a little at a time (_Decompressed), so what waits stays small."""

    def __init__(self) -> None:
        import zstandard  # type: ignore[import-not-found, unused-ignore]

        self._d = zstandard.ZstdDecompressor().decompressobj()
        self._pending = b""  # output made, handed out from _at on
        self._at = 0
        self.unused_data = b""

    @property
    def needs_input(self) -> bool:
        return self._at >= len(self._pending) and not self._d.eof

    @property
    def eof(self) -> bool:
        return bool(self._d.eof) and self._at >= len(self._pending)

    def decompress(self, data: bytes, max_length: int) -> bytes:
        if data:
            self._pending = self._pending[self._at :] + self._d.decompress(data)
            self._at = 0
            if self._d.eof:
                self.unused_data = self._d.unused_data
        out = self._pending[self._at : self._at + max_length]
        self._at += len(out)
        return out


class _Decompressed:
    """The decompressed bytes of a raw reader: every stream of the format
    one after the other, zero bytes between them allowed (gzip's padding,
    xz's stream padding); anything else after a stream is an error, as is a
    stream cut short. gzip's CRC-32 and length are checked by zlib at each
    member's end."""

    def __init__(self, raw: Any, kind: str) -> None:
        self._raw = raw
        self.kind = kind
        self._make, self._errors = _decompressor(kind)
        self._zlib = kind == "gzip"
        # zstandard makes all the output of what it is given: 512 bytes
        # make at most 16 MiB.
        self._feed = 512 if self._make is _ZstandardStream else _IN
        self._d: Any = None  # the stream being read; None between streams
        self._data = b""  # compressed input not given to it yet
        self.consumed = 0  # compressed bytes read from raw
        self.ended = False
        self._failure = ""  # the error the next read raises

    @property
    def read_count(self) -> int:
        return int(self._raw.read_count)

    @property
    def position(self) -> int:
        """Compressed bytes read and given to the decompressor."""
        return self.consumed - len(self._data)

    def _more(self) -> bytes:
        data: bytes = self._raw.read(self._feed)
        self.consumed += len(data)
        return data

    def _next_stream(self) -> bool:
        while True:
            if not self._data:
                self._data = self._more()
                if not self._data:
                    self.ended = True
                    return False
            self._data = self._data.lstrip(b"\0")
            if not self._data:
                continue
            while len(self._data) < _HEAD:
                more = self._more()
                if not more:
                    break
                self._data += more
            if compression(self._data) != self.kind:
                raise _StreamError("data after the end of the compressed stream that are not another stream")
            self._d = self._make()
            return True

    def read(self, size: int) -> bytes:
        size = max(1, size)
        if self._failure:
            raise _StreamError(self._failure)
        try:
            while True:
                d = self._d
                if d is None:
                    if self.ended or not self._next_stream():
                        return b""
                    d = self._d
                if self._zlib:
                    if not self._data:
                        self._data = self._more()
                        if not self._data:
                            raise _StreamError("the compressed data end before the stream does (a cut file?)")
                    saved = d.copy()
                    try:
                        out: bytes = d.decompress(self._data, size)
                    except self._errors:
                        return self._salvage(saved)
                    self._data = d.unconsumed_tail
                else:
                    out = self._step(d, size)
                if d.eof:
                    self._data = d.unused_data
                    self._d = None
                if out:
                    return out
        except self._errors as e:
            raise _StreamError(str(e) or type(e).__name__) from e

    def _salvage(self, d: Any) -> bytes:
        """The bytes a zlib stream gives before its error, from its state
        before the call that failed (and gave nothing): a few kilobytes of
        output at a time, then, from before the piece that failed, a byte
        of input at a time (a bad checksum comes after all the data it
        covers). The error itself is raised by the next read."""
        data = self._data
        out = []
        message = "the compressed stream is damaged"
        while data:
            before = d.copy()
            try:
                piece = d.decompress(data, 1 << 12)
            except self._errors as e:
                message = str(e) or message
                d = before
                break
            data = d.unconsumed_tail
            out.append(piece)
        for i in range(len(data)):
            try:
                out.append(d.decompress(data[i : i + 1]))
            except self._errors as e:
                message = str(e) or message
                data = data[i:]
                break
        self._failure = message
        self._data = data
        if not any(out):
            raise _StreamError(message)
        return b"".join(out)

    def _step(self, d: Any, size: int) -> bytes:
        """Up to size bytes from a bzip2, xz or zstd stream, at most 256 KiB
        at a time: an error loses the output of its own call only."""
        while True:
            if d.needs_input:
                data = self._data or self._more()
                if not data:
                    raise _StreamError("the compressed data end before the stream does (a cut file?)")
                self._data = b""
            else:
                data = b""
            out: bytes = d.decompress(data, min(size, _STEP))
            if out or d.eof:
                return out

    def close(self) -> None:
        self._raw.close()


class _StreamError(Exception):
    """Bad compressed data, told by the reader that found it."""


# ---------------------------------------------------------------- sources


class Source:
    """A document's bytes, decompressed, read by one process: read(size)
    answers at most size bytes (b"" at the end); readinto(view) is there
    when no decompression is needed."""

    owned: bool
    threaded: bool  # decompression a reader thread is worth having for
    kind: str | None  # the compression, or None
    size: int | None = None  # the bytes to read (compressed or not), when known

    def __init__(self, inner: Any, owned: bool, kind: str | None, threaded: bool) -> None:
        self._inner = inner
        self.owned = owned
        self.kind = kind
        self.threaded = threaded
        self._owner = os.getpid()
        self._closed = False
        # Where the document is: bytes handed out, lines begun, and the
        # characters since the last line began (for a broken stream's error).
        self._produced = 0
        self._lines = 1
        self._line_chars = 0
        if kind is None and getattr(inner, "can_readinto", True):
            self.readinto = self._readinto

    def _usable(self) -> None:
        if self._closed:
            raise ValueError("read of a closed source")
        if os.getpid() != self._owner:
            raise RuntimeError(f"a document source {_FORKED}")

    def read(self, size: int = _IN) -> bytes:
        self._usable()
        if self.kind is None:
            data: bytes = self._inner.read(size)
            return data
        try:
            data = self._inner.read(size)
        except _StreamError as e:
            raise self._error(str(e), getattr(self._inner, "position", None)) from None
        except EOFError as e:  # the native gzip reader: a cut stream
            raise self._error(str(e), None) from None
        except Exception as e:
            if not _is_zlib_error(e):  # the native gzip reader: bad data
                raise
            raise self._error(str(e), None) from None
        self._advance(data)
        return data

    def bytes_read(self) -> int:
        """The bytes read from the source so far (compressed bytes when it
        is compressed; a reader thread may have read ahead)."""
        inner = self._inner
        count = inner.bytes_read() if hasattr(inner, "bytes_read") else inner.read_count
        return int(count)

    def _readinto(self, view: Any) -> int:
        self._usable()
        n: int = self._inner.readinto(view)
        return n

    def _advance(self, data: bytes) -> None:
        self._produced += len(data)
        newlines = data.count(b"\n")
        if newlines:
            self._lines += newlines
            tail = data[data.rindex(b"\n") + 1 :]
            self._line_chars = 0
        else:
            tail = data
        # Characters, not bytes: UTF-8 continuation bytes do not count.
        self._line_chars += len(tail) - len(tail.translate(None, _NOT_CONTINUATION))

    def _error(self, detail: str, compressed_at: int | None) -> NotWellFormed:
        if detail.startswith("Compressed file ended"):
            detail = "the compressed data end before the stream does (a cut file?)"
        elif detail.startswith("Error -") and ": " in detail:  # zlib's code is of no use here
            detail = detail.split(": ", 1)[1]
        return _broken(self.kind or "compressed", detail, self._produced, self._lines, self._line_chars + 1, compressed_at)

    def close(self) -> None:
        if self._closed:
            return
        self._closed = True
        # A forked child leaves what it shares with its parent alone: a
        # reader's lock may be held by a thread the child does not have.
        if os.getpid() == self._owner and self.owned:
            self._inner.close()


def _is_zlib_error(e: BaseException) -> bool:
    try:
        import zlib
    except ImportError:  # pragma: no cover
        return False
    return isinstance(e, zlib.error)


_NOT_CONTINUATION = bytes(b for b in range(256) if not 0x80 <= b < 0xC0)


def _document_str(source: str) -> bool:
    return source.lstrip().startswith("<")


def is_buffer(obj: Any) -> bool:
    if isinstance(obj, (bytes, bytearray, memoryview)):
        return True
    if isinstance(obj, (str, os.PathLike)) or hasattr(obj, "read") or hasattr(obj, "readinto"):
        return False
    try:
        memoryview(obj).release()
    except TypeError:
        return False
    return True


def open_source(source: Any, chunk_size: int = 1 << 20) -> tuple[Source, bool, bool]:
    """A binary reader of the decompressed document, whether it was opened
    here (and is closed with the reader), and whether it decompresses in the
    reading thread (a reader thread is then worth having; the native gzip
    reader has a thread of its own)."""
    if is_buffer(source):
        with memoryview(source) as view, view.cast("B") as flat:
            kind = compression(flat[:_HEAD])
            size: int | None = flat.nbytes
        raw: Any = _Memory(source)
        src = Source(raw if kind is None else _Decompressed(raw, kind), True, kind, kind is not None)
        src.size = size
        return src, True, kind is not None
    if isinstance(source, str) and _document_str(source):
        raise ValueError("a str source is a filename; pass XML text as bytes (text.encode())")
    if isinstance(source, (str, os.PathLike)):
        f = open(source, "rb", buffering=0)  # no lock of a buffered reader a forked child could inherit held
        try:
            return _open_file(f, chunk_size)
        except BaseException:
            f.close()
            raise
    if hasattr(source, "read") or hasattr(source, "readinto"):
        size = _size_left(source)
        raw = _Raw(source)
        head = _peek(raw)
        kind = compression(head)
        raw = _Raw(source, head)
        src = Source(raw if kind is None else _Decompressed(raw, kind), False, kind, kind is not None)
        src.size = size
        return src, False, kind is not None
    raise TypeError("source must be a filename, a binary file object, or bytes or a buffer holding a document")


def _size_left(f: Any) -> int | None:
    """The bytes left in a regular file open as f, or None."""
    try:
        st = os.fstat(f.fileno())
        if not stat.S_ISREG(st.st_mode):
            return None
        return max(0, st.st_size - int(f.tell()))
    except (AttributeError, OSError, ValueError, TypeError):
        return None


def _peek(raw: _Raw) -> bytes:
    head = b""
    while len(head) < _HEAD:
        data = raw.read(_HEAD - len(head))
        if not data:
            break
        head += data
    return head


def _open_file(f: Any, chunk_size: int) -> tuple[Source, bool, bool]:
    size = _size_left(f)
    raw = _Raw(f)
    head = _peek(raw)
    kind = compression(head)
    regular = size is not None
    if kind == "gzip" and _GZIP_STREAM is not None and regular:
        # The native stream reads a descriptor of its own, from the start
        # (a regular file can be read again from there).
        os.lseek(f.fileno(), 0, os.SEEK_SET)
        stream = _GZIP_STREAM(f.fileno(), min(max(chunk_size, 1 << 16), _MAX_CHUNK), _GZIP_BACKGROUND)
        f.close()
        src = Source(stream, True, kind, False)
    else:
        raw = _Raw(f, head)
        src = Source(raw if kind is None else _Decompressed(raw, kind), True, kind, kind is not None)
    src.size = size
    return src, True, src.threaded


def finish(f: Any, source: Iterator[Any]) -> None:
    """Reads compressed data to their end once the document is read, so a
    bad checksum, a bad length or a cut stream after the root element is
    reported; source is the iterator of f's chunks."""
    if getattr(f, "kind", None) is not None:
        for _ in source:
            pass


# ---------------------------------------------------------------- chunks


def chunks(f: Any, size: int) -> Iterator[bytes | bytearray | memoryview]:
    """The bytes of f, size at a time. A file with readinto is read into one
    buffer again and again: each chunk is valid until the next one is asked
    for (the consumer copies it), and no chunk-sized block is allocated and
    freed per read."""
    size = min(size, _MAX_CHUNK)
    readinto = getattr(f, "readinto", None)
    if readinto is None:
        while True:
            data = f.read(size)
            if not data:
                return
            if not isinstance(data, (bytes, bytearray)):
                raise TypeError("the file object must be opened in binary mode")
            yield data
    chunk = bytearray(size)
    with memoryview(chunk) as view:
        while True:
            n = readinto(view)
            if not n:
                return
            if not isinstance(n, int) or not 0 < n <= size:
                raise ValueError(f"readinto() returned {n!r}, not a count of bytes between 0 and {size}")
            with view[:n] as data:
                yield data


class _Reader:
    """A reader thread and its queue: at most two chunks wait in it."""

    def __init__(self, f: Any, size: int) -> None:
        self.f = f
        self.size = size
        self.q: Any = queue.Queue(maxsize=2)
        self.stop = threading.Event()
        self.owner = os.getpid()
        self.thread = threading.Thread(target=self.run, name="quelmar-records-reader", daemon=True)

    def run(self) -> None:
        try:
            # read, not readinto: each queued chunk is a bytes object of its own.
            while data := self.f.read(self.size):
                self.q.put(data)
                if self.stop.is_set():
                    return
            self.q.put(b"")
        except BaseException as e:  # handed to the consuming thread
            self.q.put(e)

    def end(self, patience: float | None = None) -> None:
        """Stops the thread and waits for it (in the process that started
        it), for at most `patience` seconds when given (a read from a pipe
        may never return)."""
        self.stop.set()
        if os.getpid() != self.owner:
            return
        deadline = None if patience is None else time.monotonic() + patience
        while self.thread.is_alive():
            if deadline is not None and time.monotonic() > deadline:
                return
            try:
                self.q.get(timeout=0.05)  # unblock a pending put
            except queue.Empty:
                pass
        self.thread.join()


_readers: weakref.WeakSet[_Reader] = weakref.WeakSet()
_registered = False
_lock = threading.Lock()


def _stop_readers() -> None:
    # Run as the interpreter shuts down, before it finalizes: a reader
    # thread left decompressing would then hold locks the finalization waits
    # for (the process aborts, losing output not flushed yet).
    for reader in list(_readers):
        if reader.owner == os.getpid():
            reader.end(patience=2.0)
            try:
                while not reader.q.empty():
                    reader.q.get_nowait()
                reader.q.put_nowait(RuntimeError("the document's reader thread was stopped as the interpreter exits"))
            except (queue.Empty, queue.Full):  # a thread still reading a pipe
                pass


def _register(reader: _Reader) -> None:
    global _registered
    with _lock:
        if not _registered:
            register = getattr(threading, "_register_atexit", None)
            if register is not None:
                register(_stop_readers)
            else:  # pragma: no cover - every supported Python has it
                import atexit

                atexit.register(_stop_readers)
            _registered = True
        _readers.add(reader)


def read_ahead(f: Any, size: int) -> Iterator[bytes | bytearray]:
    """The chunks of a compressed file, decompressed by a reader thread.

    Decompression releases the interpreter lock, so the next chunk is
    decompressed while the current one is split and queried. The thread
    takes the lock back a few times per chunk, and waits for it while the
    scanning thread holds it (up to the interpreter's switch interval,
    5 ms): chunks of a few megabytes keep those waits from setting the pace.
    """
    reader = _Reader(f, min(max(size, _READ_AHEAD), _MAX_CHUNK))
    _register(reader)
    reader.thread.start()
    try:
        while True:
            if os.getpid() != reader.owner:
                # A forked child has the iterator but not the reader thread.
                raise RuntimeError(f"records of a compressed document {_FORKED}")
            item = reader.q.get()
            if isinstance(item, BaseException):
                raise item
            if not item:
                return
            yield item
    finally:
        reader.end()
        _readers.discard(reader)


# ---------------------------------------------------------------- many sources, progress


def many(source: Any) -> list[Any] | None:
    """The sources a list or tuple holds, or the files a glob pattern
    (a str with *, ? or [ that names no file) matches, sorted; None for
    one source."""
    if isinstance(source, (list, tuple)):
        return list(source)
    if isinstance(source, str) and any(c in source for c in "*?[") and not os.path.exists(source):
        import glob

        found = sorted(glob.glob(source))
        if not found:
            raise FileNotFoundError(f"no file matches {source!r}")
        return found
    return None


class Progress:
    """Reports how far records are: calls progress(bytes_read, records)
    (bytes of the sources read so far, compressed bytes for compressed
    ones), or, for progress=True, shows a tqdm bar on standard error."""

    def __init__(self, progress: Any, total: int | None) -> None:
        self._call = None if progress is True else progress
        self._bar: Any = None
        self.done = 0  # bytes of the sources read before the current one
        self.records = 0
        self.own = False  # closed with its one source
        self._shown = 0
        if progress is True:
            try:
                from tqdm import tqdm  # type: ignore[import-untyped, unused-ignore]
            except ImportError:
                raise ImportError("progress=True shows a bar with the tqdm package: pip install tqdm") from None
            self._bar = tqdm(total=total, unit="B", unit_scale=True, unit_divisor=1024, leave=False, dynamic_ncols=True)
        elif not callable(progress):
            raise TypeError("progress must be a callable of (bytes_read, records), True or None")

    def __call__(self, f: Any, records: int) -> None:
        self.records += records
        now = self.done + f.bytes_read()
        if self._call is not None:
            self._call(now, self.records)
        else:
            self._bar.update(now - self._shown)
            self._bar.set_postfix(records=self.records, refresh=False)
        self._shown = now

    def end(self, f: Any) -> None:
        """One source is read: the next one's bytes add to its."""
        self(f, 0)
        self.done += f.bytes_read()
        if self.own:
            self.close()

    def close(self) -> None:
        if self._bar is not None:
            self._bar.close()


def progress_for(progress: Any, f: Any) -> Progress | None:
    """The report of one source's progress: the one of many sources that
    `each` passes on, or one of its own."""
    if progress is None or progress is False:
        return None
    if isinstance(progress, Progress):
        return progress
    report = Progress(progress, f.size)
    report.own = True
    return report


def each(sources: list[Any], one: Any, progress: Any) -> Iterator[Any]:
    """The records of each source in turn, one(source, report) giving
    those of one, with one report of progress over them all."""
    report = None
    if progress is not None and progress is not False:
        total = 0
        for s in sources:
            try:
                total += os.stat(s).st_size if isinstance(s, (str, bytes, os.PathLike)) else len(memoryview(s))
            except (OSError, TypeError, ValueError):
                total = -1
                break
        report = Progress(progress, None if total < 0 else total)
    try:
        for s in sources:
            yield from one(s, report)
    finally:
        if report is not None:
            report.close()


# ---------------------------------------------------------------- whole documents


def read_all(source: Any) -> bytes:
    """The whole decompressed document of a source."""
    f, owned, _ = open_source(source)
    try:
        parts = []
        while data := f.read(_READ_AHEAD):
            parts.append(data)
        return b"".join(parts)
    finally:
        f.close()


def read_file(f: Any) -> bytes | None:
    """The whole decompressed document of an open binary file, or None for
    a plain regular file, left at its start to be read or mapped as it is.
    A pipe or device is read whole here (its first bytes cannot be read
    again)."""
    head = f.read(_HEAD)
    kind = compression(head)
    regular = stat.S_ISREG(os.fstat(f.fileno()).st_mode)
    if kind is None and regular:
        f.seek(0)
        return None
    if kind is None:
        data: bytes = head + f.read()
        return data
    if regular:
        f.seek(0)
        return read_all(f)
    return read_all(_Raw(f, head))


def compressed_buffer(data: Any) -> bool:
    """Whether a document held in bytes or a buffer is compressed."""
    try:
        with memoryview(data) as view, view.cast("B") as flat:
            return compression(flat[:_HEAD]) is not None
    except TypeError:
        return False


def decompressed(data: Any) -> Any:
    """data itself, or its decompressed bytes when it is compressed."""
    if not compressed_buffer(data):
        return data
    return read_all(data)


_check = _extra.check


def check(data: Union[str, "Buffer", "os.PathLike[str]", "os.PathLike[bytes]", BinaryIO]) -> NotWellFormed | None:
    """None when data is a well-formed XML document, else a NotWellFormed
    (a ValueError) describing the first error: message, line, column
    (1-based, in characters) and offset (bytes into the document; for a str,
    into its UTF-8 form). It is returned, not raised.

    data is the document (a str, bytes or a buffer), a file given as an
    os.PathLike such as pathlib.Path, or a binary file object, of any size:
    a file or file object is read and checked a piece at a time, in memory
    that does not grow with the document. Compressed data (gzip, bzip2, xz,
    zstd, told by their first bytes) are checked decompressed. A str is
    always the document (the error of one that names a file says so in a
    note).
    """
    if isinstance(data, (bytes, bytearray)):
        if data[:1] in _MAGIC_START and compression(data):
            f, _, _ = open_source(data)
            return _check_pieces(f, spill=False)
        return _check(data)
    if isinstance(data, os.PathLike):
        return _check_file(data)
    if is_buffer(data) and compressed_buffer(data):
        f, _, _ = open_source(data)
        return _check_pieces(f, spill=False)
    if not isinstance(data, str) and (hasattr(data, "read") or hasattr(data, "readinto")):
        f, _, _ = open_source(data)
        return _check_pieces(f, spill=True)
    return _check(data)


def _check_mapped(m: Any) -> NotWellFormed | None:
    """Checks a mapped file, read once from its start: the kernel may read
    ahead and drop the pages behind."""
    import mmap

    if hasattr(m, "madvise") and hasattr(mmap, "MADV_SEQUENTIAL"):
        m.madvise(mmap.MADV_SEQUENTIAL)
    return _check(m)


# The bytes handed to the streaming check at once.
_PIECE = 1 << 20


def _error(answer: tuple[str, int, int, int]) -> NotWellFormed:
    message, line, column, offset = answer
    err = NotWellFormed(f"{line}:{column}: {message}")
    err.message = message
    err.line = line
    err.column = column
    err.offset = offset
    return err


class _Whole(Exception):
    """The document is checked whole: it is in UTF-16 or declares an
    encoding other than UTF-8."""

    def __init__(self, pieces: list[bytes]) -> None:
        self.pieces = pieces


def _check_pieces(src: Source, spill: bool, mapped: Any = None) -> NotWellFormed | None:
    """Checks a document a piece at a time, in the memory of the piece not
    checked yet. The check holds a document in UTF-16, or declaring an
    encoding other than UTF-8, whole: with spill it goes to a temporary
    file instead (or, given `mapped`, the plain file it is, reopened and
    mapped), which is then mapped and checked. When compressed data break,
    the first error is the document's if it stands before the break (and
    is not one of a document cut short), else the broken stream's."""
    stream = _extra.CheckStream()
    kept: list[bytes] | None = []  # what was fed while the check held it all
    fed = 0
    broken = None
    answer = None
    # A plain file is read into one buffer again and again.
    into = bytearray(_PIECE) if hasattr(src, "readinto") else None
    try:
        while True:
            try:
                if into is not None:
                    data: Any = memoryview(into)[: src.readinto(into)]
                else:
                    data = src.read(_PIECE)
            except NotWellFormed as e:
                broken = e
                break
            if not data:
                break
            answer = stream.feed(data)
            if answer is not None:
                return _error(answer)
            fed += len(data)
            if kept is not None:
                if stream.held < fed:
                    kept = None
                else:
                    kept.append(bytes(data) if into is not None else data)
                    if stream.whole and spill:
                        return _spilled(kept, src, mapped)
        answer = stream.finish()
    finally:
        src.close()
    found = None if answer is None else _error(answer)
    if broken is None or found is None:
        return found or broken
    cut = found.message.startswith(("unclosed", "no element found"))
    if not cut and found.offset + 4 < broken.offset:
        return found
    return broken


def _spilled(kept: list[bytes], src: Source, mapped: Any) -> NotWellFormed | None:
    import mmap

    if mapped is not None:
        src.close()
        with open(mapped, "rb", buffering=0) as f, mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ) as m:
            return _check_mapped(m)
    import tempfile

    with tempfile.TemporaryFile() as tmp:
        for piece in kept:
            tmp.write(piece)
        kept.clear()
        return _check_stream(src, _OnDisk(tmp))


class _OnDisk:
    """A decompressed document in a temporary file, mapped into memory to be
    checked."""

    def __init__(self, tmp: Any) -> None:
        self.tmp = tmp
        self.write = tmp.write

    def check(self) -> NotWellFormed | None:
        import mmap

        self.tmp.flush()
        if self.tmp.tell() == 0:
            return _check(b"")
        with mmap.mmap(self.tmp.fileno(), 0, access=mmap.ACCESS_READ) as m:
            return _check_mapped(m)


def _check_stream(src: Source, sink: Any) -> NotWellFormed | None:
    """Checks a decompressed document written whole to sink, with the rule
    of _check_pieces for a broken stream."""
    broken = None
    try:
        while data := src.read(_READ_AHEAD):
            sink.write(data)
    except NotWellFormed as e:
        broken = e
    finally:
        src.close()
    found: NotWellFormed | None = sink.check()
    if broken is None or found is None:
        return found or broken
    cut = found.message.startswith(("unclosed", "no element found"))
    if not cut and found.offset + 4 < broken.offset:
        return found
    return broken


class _Behind:
    """A source's bytes with the first ones, already read, put back."""

    def __init__(self, head: bytes, src: Source) -> None:
        self.head, self.src = head, src

    def read(self, size: int) -> bytes:
        if self.head:
            head, self.head = self.head, b""
            return head
        return self.src.read(size)

    def close(self) -> None:
        self.src.close()


def check_after(head: bytes, src: Source) -> NotWellFormed | None:
    """check of the document whose first bytes head were read from src and
    whose others src gives (decompressed), a piece at a time."""
    return _check_pieces(_Behind(head, src), spill=True)  # type: ignore[arg-type]


def _check_map(fd: int, size: int) -> NotWellFormed | None:
    """Checks a plain file, mapped, a piece at a time: each piece is
    dropped from the process's memory once it is checked (the kernel keeps
    the pages cached), so neither a read's copy nor the whole file's pages
    are paid for."""
    import mmap

    with mmap.mmap(fd, 0, access=mmap.ACCESS_READ) as m:
        if hasattr(mmap, "MADV_SEQUENTIAL"):
            m.madvise(mmap.MADV_SEQUENTIAL)
        drop = getattr(mmap, "MADV_DONTNEED", None)
        stream = _extra.CheckStream()
        try:
            dropped = 0
            for end in range(_PIECE, size + _PIECE, _PIECE):
                answer = stream.feed_in_place(m, min(end, size))
                if answer is not None:
                    return _error(answer)
                # What lies behind the check goes (read again from the
                # kernel's cache should the check look back at a name).
                done = stream.checked // mmap.PAGESIZE * mmap.PAGESIZE
                if drop is not None and done > dropped:
                    m.madvise(drop, dropped, done - dropped)
                    dropped = done
            answer = stream.finish()
        finally:
            stream.close()
        return None if answer is None else _error(answer)


def _check_file(path: Any) -> NotWellFormed | None:
    with open(path, "rb", buffering=0) as f:
        raw = _Raw(f)
        head = _peek(raw)
        kind = compression(head)
        st = os.fstat(f.fileno())
        if stat.S_ISREG(st.st_mode) and kind is None and st.st_size:
            return _check_map(f.fileno(), st.st_size)
        if stat.S_ISREG(st.st_mode):
            os.lseek(f.fileno(), 0, os.SEEK_SET)
            src, _, _ = _open_file(f, _PIECE)
            return _check_pieces(src, spill=True, mapped=path if kind is None and st.st_size else None)
        # A pipe: its first bytes cannot be read again.
        src = Source(_Raw(f, head) if kind is None else _Decompressed(_Raw(f, head), kind), False, kind, kind is not None)
        return _check_pieces(src, spill=True)
