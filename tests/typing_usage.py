"""Typed use of the public API, checked with `mypy --strict` by test_typing.py.

Each line is a way users call quelmar; assert_type pins what the stubs say,
so a stub change that would break user code fails the type check. The file
also runs for real (test_typing.py imports it), which keeps it honest.
"""
from __future__ import annotations

import mmap
import tempfile
from typing import Any

from typing_extensions import assert_type

import quelmar
from quelmar import Path, Result

# A module-level list of paths of both kinds needs its annotation: mypy
# infers list[object] for the literal alone (str and Path share no base).
PATHS: list[str | Path] = [quelmar.compile("shop.book.#.title"), "shop.book.#.price|@sum"]
# records and read_frame take any sequence of paths.
FIELDS = ("title", quelmar.compile("price"))

DOC = "<shop><book id='1'><title>Dune</title><price>9.5</price></book><book id='2'><title>Emma</title><price>12</price></book></shop>"


def module_functions() -> None:
    assert_type(quelmar.get(DOC, "shop.book.#.title"), Result)
    assert_type(quelmar.get_bytes(DOC.encode(), "shop.book.0.title"), Result)
    assert_type(quelmar.get_buffer(bytearray(DOC.encode()), "shop.book.#"), Result)
    assert_type(quelmar.get_buffer(memoryview(DOC.encode()), path="shop"), Result)
    assert_type(quelmar.get(data=DOC, path="shop"), Result)
    assert_type(quelmar.parse(DOC), Result)
    assert_type(quelmar.parse(b"<a/>"), Result)
    assert_type(quelmar.validate(DOC), bool)
    assert_type(quelmar.validate(bytearray(b"<a/>")), bool)
    assert_type(quelmar.check(DOC), "quelmar.NotWellFormed | None")
    err = quelmar.check(b"<a>&x;</a>")
    if err is not None:
        assert_type(err.line, int)
        assert_type(err.message, str)
    assert_type(quelmar.__version__, str)

    titles: list[str] = ["shop.book.#.title", "shop.book.#.price|@sum"]
    compiled: list[Path] = [quelmar.compile("shop.book.#")]
    mixed: list[str | Path] = ["shop.book.0.title", quelmar.compile("shop.book.1.title")]
    assert_type(quelmar.get_many(DOC, titles), list[Result])
    assert_type(quelmar.get_many_bytes(DOC.encode(), compiled), list[Result])
    assert_type(quelmar.get_many_buffer(bytearray(DOC.encode()), mixed), list[Result])
    assert_type(quelmar.get_many(DOC, ["shop.book.0.title", quelmar.compile("shop.book.1.title")]), list[Result])
    assert_type(quelmar.as_list(quelmar.get(DOC, "shop.book")), list[Result])
    assert_type(quelmar.to_python(quelmar.get(DOC, "shop.book")), Any)
    assert quelmar.to_python(quelmar.get(DOC, "shop.book.0"))["@id"] == "1"

    with tempfile.TemporaryFile() as f:
        f.write(DOC.encode())
        f.flush()
        with mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ) as m:
            assert_type(quelmar.get_buffer(m, "shop.book.#.title"), Result)
            assert_type(quelmar.get_many_buffer(m, titles), list[Result])


def compiled_paths() -> None:
    p = quelmar.compile("shop.book.#(price>10)#.title")
    assert_type(p, Path)
    assert_type(p.get(DOC), Result)
    assert_type(p.get_bytes(DOC.encode()), Result)
    assert_type(p.get_buffer(bytearray(DOC.encode())), Result)
    assert_type(repr(p), str)


def conversions(r: Result) -> None:
    assert_type(r.exists(), bool)
    assert_type(r.to_str(), str)
    assert_type(r.to_int(), int)
    assert_type(r.to_float(), float)
    assert_type(r.to_bool(), bool)
    assert_type(len(r), int)
    assert_type(bool(r), bool)
    assert_type(repr(r), str)
    assert_type(r == "Dune", bool)
    assert_type(r != ["a", "b"], bool)
    v = r.value
    if isinstance(v, dict):
        assert_type(v, dict[str, Result])
    elif isinstance(v, list):
        assert_type(v, list[Result])
    elif isinstance(v, (int, float)):
        total: float = v + 1
        del total
    t = r.type_
    if t is not None:
        assert_type(t.__name__, str)


def numbers() -> tuple[int, float]:
    price = quelmar.get(DOC, "shop.book.1.price")
    return int(price), float(price)


def navigation() -> list[str]:
    books = quelmar.get(DOC, "shop.book")
    first: Result = books[0]
    rest: Result = books[1:]
    del rest
    assert_type(first["title"], Result)
    assert_type(first.get("@id"), Result)
    assert_type(first.get_many(["title", "price"]), list[Result])
    out: list[str] = []
    for book in books:
        out.append(book.get("title").to_str())
    return out


def views(book: Result) -> dict[str, Any]:
    keys = book.keys()
    assert_type("title" in keys, bool)
    names: list[str] = list(keys)
    pairs: list[tuple[str, Result]] = list(book.items())
    vals: list[Result] = list(book.values())
    children: list[tuple[str, Result]] = list(book.children())
    assert_type(len(book.children()), int)
    return {"names": names, "pairs": pairs, "values": vals, "children": children}


def iterators(r: Result) -> None:
    key_iter = iter(r.keys())
    assert_type(next(key_iter), str)
    assert_type(iter(key_iter), quelmar._quelmar.ResultChildKeyIter)


def streamed_records() -> list[str]:
    import io

    data = io.BytesIO(DOC.encode())
    titles: list[str] = []
    for book in quelmar.records(data, "shop.book"):
        assert_type(book, Result)
        titles.append(book.get("title").to_str())
    for fields in quelmar.records(io.BytesIO(DOC.encode()), "shop.book", ["title", quelmar.compile("price")]):
        assert_type(fields, list[Result])
    for fields in quelmar.records(io.BytesIO(DOC.encode()), "shop.book", FIELDS):
        assert_type(fields, list[Result])
    totals = quelmar.get_many(DOC, PATHS)
    assert_type(totals, list[Result])
    return titles


def frame_target_is_checked() -> None:
    # `to` is one of three words: a misspelt one fails the type check (the
    # ignore below is used, which --strict verifies) as it fails at run time.
    try:
        quelmar.read_frame(DOC.encode(), "shop.book", to="arow")  # type: ignore[arg-type]
    except ValueError:
        pass


if __name__ == "__main__":
    module_functions()
    compiled_paths()
    conversions(quelmar.get(DOC, "shop.book.0.title"))
    assert numbers() == (12, 12.0)
    assert navigation() == ["Dune", "Emma"]
    book = quelmar.get(DOC, "shop.book.0")
    assert views(book)["names"] == ["title", "price"]
    iterators(book)
    assert len(streamed_records()) == 2
    frame_target_is_checked()
