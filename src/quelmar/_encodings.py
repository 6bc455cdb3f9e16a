"""Declared encodings the reader does not know, read through Python's codecs.

The reader decodes the encodings of the WHATWG Encoding Standard; a label
outside its table (``MacCyrillic``, ``IBM855``, ``cp437``) changes nothing
there, and the document is read as UTF-8. Where the package reads documents
itself (``records``, ``read_frame``, the command), such a label, when Python's
codec registry knows it as a text encoding, is decoded by that codec
instead, to a UTF-8 copy, as UTF-16 is. Not when the declaration reads
otherwise in that codec: a UTF-32 or EBCDIC label on a declaration
readable as ASCII is a wrong label, and changes nothing. The decoding is
strict: a byte sequence the codec refuses raises ValueError naming the
declared label and the sequence's byte offset in the document.
"""
from __future__ import annotations

import codecs
import re
from typing import Any

from quelmar._extra import encoding_label

__all__ = ["declared_label", "foreign_codec", "LabelDecoder", "decode_document"]

_DECLARATION = re.compile(rb"<\?xml\s[^>]*?\?>")
_ENCODING = re.compile(rb"""\sencoding\s*=\s*(?:"([^"]*)"|'([^']*)')""")


def declared_label(head: Any) -> bytes | None:
    """The encoding label of the XML declaration at the start of head (the
    first bytes of a document), or None: no declaration, no encoding in it,
    or a byte-order mark (which wins over any declaration)."""
    head = bytes(head[:1024])
    if head.startswith((b"\xef\xbb\xbf", b"\xff\xfe", b"\xfe\xff")):
        return None
    m = _DECLARATION.match(head)
    if m is None:
        return None
    e = _ENCODING.search(m.group(0))
    if e is None:
        return None
    return (e.group(1) if e.group(1) is not None else e.group(2)).strip()


def foreign_codec(label: bytes | None) -> str | None:
    """The Python codec that decodes a label the reader leaves alone (one
    outside the standard's table); None for the labels in the table (its
    "replacement" labels included: every route reads those as the query
    functions do), and for those Python does not know as a text encoding
    (rot13, base64 and the like are not)."""
    if not label:
        return None
    known = encoding_label(label)
    if known is not None:
        return None
    try:
        name = label.decode("ascii")
        info = codecs.lookup(name)
    except (UnicodeDecodeError, LookupError, ValueError):  # ValueError: a NUL in the label
        return None
    if not getattr(info, "_is_text_encoding", True) or info.incrementaldecoder is None or info.name in _NOT_CHARSETS:
        return None
    # The declaration was read as ASCII: a codec in which it reads otherwise
    # (UTF-32, UTF-16 by a Python name, EBCDIC) is not the document's, which
    # is mislabelled and read as UTF-8, as the reader reads a UTF-16 label.
    probe = b'<?xml version="1.0" encoding="' + label + b'"?>'
    try:
        if probe.decode(info.name) != probe.decode("ascii"):
            return None
    except (UnicodeError, ValueError):
        return None
    return info.name


# Text codecs that are not character sets of documents: UTF-8 itself (the
# reader's own), and transforms of text.
_NOT_CHARSETS = {"utf-8", "idna", "punycode", "unicode-escape", "raw-unicode-escape"}


def _error(label: bytes, offset: int, e: UnicodeDecodeError) -> ValueError:
    name = label.decode("ascii", "replace")
    return ValueError(f"invalid {name} sequence at byte offset {offset} (the document's declared encoding): {e.reason}")


class LabelDecoder:
    """An incremental decoder of a declared codec to UTF-8 bytes that knows
    how far into the document it is, for its errors."""

    def __init__(self, label: bytes, codec: str) -> None:
        self._label = label
        self._decoder = codecs.getincrementaldecoder(codec)("strict")
        self._offset = 0  # bytes given to the decoder so far

    def decode(self, data: Any, final: bool = False) -> str:
        pending = self._decoder.getstate()[0]
        try:
            text: str = self._decoder.decode(data, final)
        except UnicodeDecodeError as e:
            offset = self._offset - len(pending) + e.start if isinstance(pending, bytes) else self._offset + e.start
            raise _error(self._label, max(offset, 0), e) from None
        self._offset += len(data)
        return text


def decode_document(data: Any, label: bytes, codec: str) -> str:
    """The whole document decoded by the codec of its declared label."""
    # A copy, not a view: a mapped file must be free to close whatever the
    # codec keeps of its input (an error holds it).
    raw = data if isinstance(data, bytes) else bytes(data)
    try:
        return codecs.decode(raw, codec, "strict")
    except UnicodeDecodeError as e:
        raise _error(label, e.start, e) from None
