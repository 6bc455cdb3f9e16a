"""read_frame: records into Arrow tables, pandas DataFrames and Polars frames."""
from __future__ import annotations

import bz2
import gzip
import lzma
import io

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import quelmar

pa = pytest.importorskip("pyarrow")
pd = pytest.importorskip("pandas")


def rows_of(values: list[str | None]) -> bytes:
    """A document with one <r> per value: <v>value</v>, or no <v> for None."""
    cells = "".join("<r/>" if v is None else f"<r><v>{v}</v></r>" for v in values)
    return f"<t>{cells}</t>".encode()


@pytest.mark.parametrize(
    ("texts", "arrow_type", "values"),
    [
        (["1", "-2", "9223372036854775807"], pa.int64(), [1, -2, 9223372036854775807]),
        (["1", "2.5", "100.0"], pa.float64(), [1.0, 2.5, 100.0]),
        (["true", "false"], pa.bool_(), [True, False]),
        (["1", None, ""], pa.int64(), [1, None, None]),
        # Decimal literals in any spelling make float columns, as Arrow's and
        # Polars' CSV readers read them.
        (["2.10", "1"], pa.float64(), [2.1, 1.0]),
        (["35.90", "1e-05", "627.4299999999999", "1.", ".5", "-2E3"], pa.float64(),
         [35.9, 1e-05, 627.43, 1.0, 0.5, -2000.0]),
        (["1e2", "-0", "+7.5"], pa.float64(), [100.0, 0.0, 7.5]),
        (["-0", " 12 "], pa.int64(), [0, 12]),
        # An integer with a leading zero (ids, ZIP codes), words and numbers
        # beyond a double keep the column's texts.
        (["004", "5"], pa.large_string(), ["004", "5"]),
        (["+7", "5"], pa.large_string(), ["+7", "5"]),
        (["1.5", "-007"], pa.large_string(), ["1.5", "-007"]),
        (["1e2", "-0", "+7", "nan"], pa.large_string(), ["1e2", "-0", "+7", "nan"]),
        (["inf", "2"], pa.large_string(), ["inf", "2"]),
        (["1e999", "2"], pa.large_string(), ["1e999", "2"]),
        (["0x1A", "1"], pa.large_string(), ["0x1A", "1"]),
        (["True", "1"], pa.large_string(), ["True", "1"]),
        (["9223372036854775808"], pa.large_string(), ["9223372036854775808"]),
        (["9007199254740993", "0.5"], pa.large_string(), ["9007199254740993", "0.5"]),
        (["1", "true"], pa.large_string(), ["1", "true"]),
        # Numbers read so far keep their spelling when a text comes.
        (["1", "2.5", None, "100.0", "-0.001", "-7", "x"], pa.large_string(),
         ["1", "2.5", None, "100.0", "-0.001", "-7", "x"]),
        (["+1", "2.50", "1e-05", "x"], pa.large_string(), ["+1", "2.50", "1e-05", "x"]),
        (["true", None, "false", "0"], pa.large_string(), ["true", None, "false", "0"]),
        (["2.5", "9007199254740993"], pa.large_string(), ["2.5", "9007199254740993"]),
        ([" a &amp; b ", "é"], pa.large_string(), ["a & b", "é"]),
        ([None, None], pa.null(), [None, None]),
    ],
)
def test_column_types_follow_the_values(texts, arrow_type, values):
    t = quelmar.read_frame(rows_of(texts), "t.r", ["v"], to="arrow")
    assert t.column("v").type == arrow_type
    assert t.column("v").to_pylist() == values


# Texts on which the CSV readers of Arrow and Polars agree with each other
# (the spellings where they differ, or lose text, are the rows above).
CSV_TEXTS = ["0", "7", "-3", "-0", "42", "123456789", "35.90", "1e-05", "627.4299999999999", ".5", "1.", "-2E3",
             "+1.5", "2.10", "true", "false", "abc", "x y", "1.5.2", "e5"]


# Columns with no value at all are generated on purpose: their warning is expected.
@pytest.mark.filterwarnings("ignore:.*matched nothing:RuntimeWarning")
@settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(st.lists(st.one_of(st.none(), st.sampled_from(CSV_TEXTS)), min_size=1, max_size=6))
def test_column_types_agree_with_the_csv_readers(texts):
    pc = pytest.importorskip("pyarrow.csv")
    t = quelmar.read_frame(rows_of(texts), "t.r", ["v"], to="arrow").column("v")
    csv = "i,v\n" + "".join(f"{i},{'' if x is None else x}\n" for i, x in enumerate(texts))
    # Booleans are the words true and false (Arrow also takes 1, 0 and capitals).
    options = pc.ConvertOptions(strings_can_be_null=True, true_values=["true"], false_values=["false"])
    theirs = pc.read_csv(io.BytesIO(csv.encode()), convert_options=options)
    theirs = theirs.column("v")
    if pa.types.is_string(theirs.type):
        theirs = theirs.cast(pa.large_string())
    assert (t.type, t.to_pylist()) == (theirs.type, theirs.to_pylist())
    # pandas and Polars hold the same values.
    got = quelmar.read_frame(rows_of(texts), "t.r", ["v"])["v"].tolist()
    assert [None if x is None or x is pd.NA or x != x else x for x in got] == t.to_pylist()
    pytest.importorskip("polars")
    assert quelmar.read_frame(rows_of(texts), "t.r", ["v"], to="polars")["v"].to_list() == t.to_pylist()


DOC = b"""<?xml version="1.0"?>
<catalog>
  <book id="1" lang="en"><title>Dune</title><author>Herbert</author><price>9.99</price><year>1965</year></book>
  <book id="2"><title>Emma</title><author>Austen</author><author>Anon</author><price>4.50</price></book>
  <book id="3" lang="fr"><title/><price>12</price><year>2011</year><reviews><r>5</r></reviews></book>
</catalog>"""


@pytest.mark.parametrize(
    ("columns", "dtype", "expected"),
    [
        # Default columns: attributes (without @) and leaf children.
        (None, None, {"id": [1, 2, 3], "lang": ["en", None, "fr"], "title": ["Dune", "Emma", None],
                      "author": [["Herbert"], ["Austen", "Anon"], None], "price": [9.99, 4.5, 12.0],
                      "year": [1965, None, 2011]}),
        ({"n": "@id", "rev": "reviews", "ok": "reviews.r"}, None,
         {"n": [1, 2, 3], "rev": [None, None, "<reviews><r>5</r></reviews>"], "ok": [None, None, 5]}),
        (["@id", "price"], {"@id": str, "price": "float64"}, {"@id": ["1", "2", "3"], "price": [9.99, 4.5, 12.0]}),
        (["year"], "int32", {"year": [1965, None, 2011]}),
        (["author|@count"], None, {"author|@count": [1, 2, 0]}),
    ],
)
def test_columns_and_overrides(columns, dtype, expected):
    t = quelmar.read_frame(DOC, "catalog.book", columns, dtype=dtype, to="arrow")
    assert t.to_pydict() == expected


def test_pandas_output():
    df = quelmar.read_frame(DOC, "catalog.book", dtype={"year": "Int64"})
    assert list(df.columns) == ["id", "lang", "title", "author", "price", "year"]
    assert str(df["id"].dtype) == "int64" and str(df["year"].dtype) == "Int64"
    # Missing integers keep the others exact: nullable Int64 without dtype too.
    assert str(quelmar.read_frame(DOC, "catalog.book")["year"].dtype) == "Int64"
    assert str(df["price"].dtype) == "float64"
    assert df["author"].tolist() == [["Herbert"], ["Austen", "Anon"], None]
    assert df["year"].tolist() == [1965, pd.NA, 2011]
    assert pd.isna(df["lang"][1]) and pd.isna(df["title"][2])


@pytest.mark.parametrize(
    ("texts", "dtype", "expected"),
    [
        (["true", "false", "1", "0", "True"], bool, [True, False, True, False, True]),
        (["true", None], "boolean", [True, pd.NA]),
        (["true", None], bool, "missing values, which dtype=bool cannot hold"),
        (["true", "yes"], bool, "is not bool"),
        (["2", "0"], bool, [True, False]),
    ],
)
def test_pandas_bool_dtype(texts, dtype, expected):
    if isinstance(expected, str):
        with pytest.raises(ValueError, match=expected):
            quelmar.read_frame(rows_of(texts), "t.r", ["v"], dtype=dtype)
        return
    df = quelmar.read_frame(rows_of(texts), "t.r", ["v"], dtype=dtype)
    assert df["v"].tolist() == expected


def test_whitespace_keep():
    doc = b"<t><r><v> a </v><w xml:space='preserve'> 1 </w></r></t>"
    assert quelmar.read_frame(doc, "t.r", to="arrow").to_pydict() == {"v": ["a"], "w": [" 1 "]}
    assert quelmar.read_frame(doc, "t.r", whitespace="keep", to="arrow").to_pydict() == {"v": [" a "], "w": [" 1 "]}
    with pytest.raises(ValueError, match="whitespace must be 'trim' or 'keep'"):
        quelmar.read_frame(doc, "t.r", whitespace="strip")


def test_polars_output():
    pl = pytest.importorskip("polars")
    df = quelmar.read_frame(DOC, "catalog.book", ["@id", "title"], to="polars")
    assert isinstance(df, pl.DataFrame) and df["title"].to_list() == ["Dune", "Emma", None]


@pytest.mark.parametrize(
    ("doc", "rows", "expected"),
    [
        # Qualified names as written; an attribute whose name a child has keeps its @.
        (b'<f xmlns:a="u"><a:e a:id="1" id="x"><a:t>T</a:t><id>7</id></a:e></f>', "f.a:e",
         {"a:id": [1], "@id": ["x"], "a:t": ["T"], "id": [7]}),
        ('<?xml version="1.0" encoding="iso-8859-1"?><l><i n="é"><v>ça</v></i></l>'.encode("latin-1"), "l.i",
         {"n": ["é"], "v": ["ça"]}),
        ('<?xml version="1.0" encoding="UTF-16"?><l><i n="ж"><v>ü</v></i></l>'.encode("utf-16"), "l.i",
         {"n": ["ж"], "v": ["ü"]}),
        (b'<!DOCTYPE l [<!ENTITY e "ent">]><l><i><v>&e;</v></i></l>', "l.i", {"v": ["ent"]}),
        # A UTF-8 byte-order mark decides over a legacy declaration.
        ('\ufeff<?xml version="1.0" encoding="windows-1252"?><l><i><v>café 日本</v></i></l>'.encode(), "l.i",
         {"v": ["café 日本"]}),
        # Malformed: an error, or with on_error="stop" the records before it.
        (b"<l><i><v>1</v></i><i><v>2</v></i><i><v>3</v></x>", "l.i", quelmar.NotWellFormed),
        (b"<l><i><v>1</v></i><i><v>2</v></i><i><v>3</v></x>", "l.i stop", {"v": [1, 2]}),
        (b"<l><i><v>1</v></i><i><v>2</x><i><v>3</v></i></l>", "l.i skip", {"v": [1, 3]}),
        (b"<l/>", "l.i", {}),
        # Attribute names that are not path names are escaped in the default columns.
        (b'<l><i a.b="x" c-d="1" e="2"/></l>', "l.i", {"a.b": ["x"], "c-d": [1], "e": [2]}),
        # An element with attributes but no children is a field; under
        # xml:space="preserve" its text keeps its white space.
        (b'<l><i><t xml:space="preserve"> a </t><p cur="EUR"> 3.50 </p><u> b </u></i></l>', "l.i",
         {"t": [" a "], "p": [3.5], "u": ["b"]}),
        # ... and so does a field inside a record that says so.
        (b'<l><i xml:space="preserve"><t> a </t><u xml:space="default"> b </u></i></l>', "l.i",
         {"xml:space": ["preserve"], "t": [" a "], "u": ["b"]}),
    ],
)
def test_documents(doc, rows, expected):
    rows, _, on_error = rows.partition(" ")
    if isinstance(expected, type):
        for source in (doc, io.BytesIO(doc)):
            with pytest.raises(expected):
                quelmar.read_frame(source, rows, to="arrow")
        return
    on_error = on_error or "raise"
    assert quelmar.read_frame(doc, rows, to="arrow", on_error=on_error).to_pydict() == expected
    # read as a stream
    assert quelmar.read_frame(io.BytesIO(doc), rows, to="arrow", on_error=on_error).to_pydict() == expected


@pytest.mark.parametrize("wrap", ["bytes", "bytearray", "memoryview", "str", "path", "file", "gzip", "bz2", "gzip-bytes", "xz-file"])
def test_sources(tmp_path, wrap):
    data = DOC
    if wrap in ("gzip", "bz2"):
        data = gzip.compress(DOC) if wrap == "gzip" else bz2.compress(DOC)
    f = tmp_path / "c.xml"
    f.write_bytes(data)
    source = {"bytes": DOC, "bytearray": bytearray(DOC), "memoryview": memoryview(DOC), "path": f,
              "file": io.BytesIO(DOC), "gzip-bytes": gzip.compress(DOC), "xz-file": io.BytesIO(lzma.compress(DOC))}.get(wrap, str(f))
    t = quelmar.read_frame(source, "catalog.book", ["@id", "title"], to="arrow")
    assert t.column("title").to_pylist() == ["Dune", "Emma", None]


def test_many_sources_and_a_source_column(tmp_path, monkeypatch):
    (tmp_path / "a.xml").write_bytes(DOC)
    (tmp_path / "b.xml.gz").write_bytes(gzip.compress(DOC.replace(b"Dune", b"Nod")))
    sources = [tmp_path / "a.xml", str(tmp_path / "b.xml.gz"), io.BytesIO(DOC), DOC]
    t = quelmar.read_frame(sources, "catalog.book", ["title"], to="arrow", source_column="file")
    assert t.column("title").to_pylist() == ["Dune", "Emma", None, "Nod", "Emma", None] + ["Dune", "Emma", None] * 2
    assert t.column("file").to_pylist() == [str(tmp_path / "a.xml")] * 3 + [str(tmp_path / "b.xml.gz")] * 3 + [None] * 6
    monkeypatch.chdir(tmp_path)
    frame = quelmar.read_frame("*.xml*", "catalog.book", source_column="src")
    assert list(frame.columns) == ["id", "lang", "title", "author", "price", "year", "src"]
    assert list(frame["src"]) == ["a.xml"] * 3 + ["b.xml.gz"] * 3
    with pytest.raises(ValueError, match="also the name of a column"):
        quelmar.read_frame(DOC, "catalog.book", ["title"], source_column="title")


def test_chunks_and_many_records():
    values = [str(i) if i % 7 else f"x{i}" for i in range(5000)]
    doc = rows_of(values)
    from quelmar import _frame

    old, _frame._CHUNK = _frame._CHUNK, 1000  # records cut across many chunks
    try:
        t = quelmar.read_frame(io.BytesIO(doc), "t.r", ["v"], to="arrow")
    finally:
        _frame._CHUNK = old
    assert t.column("v").to_pylist() == values


@pytest.mark.parametrize(
    ("args", "kwargs", "exc", "message"),
    [
        (("<a/>", "a.b"), {}, ValueError, "a str source is a filename"),
        ((DOC, "catalog.book"), {"to": "excel"}, ValueError, "to must be"),
        ((DOC, "catalog..#"), {}, ValueError, "record path"),
        ((DOC, "catalog.book", "title"), {}, TypeError, "columns must be"),
        ((DOC, "catalog.book", ["title", "title"]), {}, ValueError, "column names repeat"),
        ((DOC, "catalog.book", ["title"]), {"dtype": {"year": int}}, ValueError, "not read"),
        ((DOC, "catalog.book", ["a.#(x"]), {}, ValueError, "in path"),
        ((DOC, "catalog.book", ["title"]), {"dtype": "int64"}, ValueError, None),
        ((3, "catalog.book"), {}, TypeError, "source must be"),
    ],
)
def test_errors(args, kwargs, exc, message):
    with pytest.raises(exc, match=message):
        quelmar.read_frame(*args, **{"to": "arrow", **kwargs})


def test_values_equal_read_xml():
    # A catalog of the bench's shape, with values whose spelling is canonical
    # (read_xml would read 4.50 as 4.5; read_frame keeps its text).
    books = "".join(
        f'<book id="{i}" lang="{"en" if i % 3 else "de"}"><title>Title {i} &amp; ü</title>'
        f"<price>{i * 1.25}</price><year>{1900 + i}</year></book>"
        for i in range(1, 60)
    )
    doc = f"<catalog>{books}</catalog>".encode()
    ours = quelmar.read_frame(doc, "catalog.book", ["@id", "@lang", "title", "price", "year"])
    theirs = pd.read_xml(io.BytesIO(doc), xpath="./book", parser="etree")
    ours.columns = ["id", "lang", "title", "price", "year"]
    pd.testing.assert_frame_equal(ours, theirs[ours.columns], check_dtype=False)


@pytest.mark.parametrize(
    ("values", "dtype", "expected"),
    [
        # The first partition decides; later ones follow where no value is lost.
        (["1", "2", "3.5", "4"], None, "column 'v' is Int64 in the first partition and float64"),
        (["1", None, "3", "9007199254740993"], None, [1, None, 3, 9007199254740993]),
        (["35.90", "1e-05", None, "2"], None, [35.9, 1e-05, None, 2.0]),
        (["true", "0", "1", "FALSE"], {"v": bool}, [True, False, True, False]),
        (["1", "2", "3.5", "4"], {"v": float}, [1.0, 2.0, 3.5, 4.0]),
        (["x", "2", "3", "004"], None, ["x", "2", "3", "004"]),
        (["1.5", "2", "3", None], None, [1.5, 2.0, 3.0, None]),
        (["1", "2", "3.5", "4"], {"v": str}, ["1", "2", "3.5", "4"]),
        (["1", "2", "x", "4"], None, "column 'v' is Int64"),
        ([], None, []),
    ],
)
def test_dask_read_frame_agrees_across_partitions(tmp_path, values, dtype, expected):
    qdask = pytest.importorskip("quelmar.dask")
    pytest.importorskip("dask.dataframe")
    f = tmp_path / "t.xml"
    f.write_bytes(b"<?xml version='1.0' encoding='iso-8859-1'?>" + rows_of(values))
    frame = qdask.read_frame(f, "t.r", ["v"], partitions=len(values) or 1, dtype=dtype) if values else None
    if isinstance(expected, str):
        with pytest.raises(ValueError, match=expected):
            frame.compute(scheduler="sync")
        return
    if frame is None:
        frame = qdask.read_frame(f, "t.r", ["v"])
    got = frame.compute(scheduler="sync")["v"].tolist()
    assert [None if x is None or x is pd.NA or x != x else x for x in got] == expected
    # quelmar.read_frame agrees, missing integers included (nullable Int64).
    plain = quelmar.read_frame(f, "t.r", ["v"], dtype=dtype)["v"].tolist() if values else []
    assert [None if x is None or x is pd.NA or x != x else x for x in plain] == expected


def test_import_leaves_frame_libraries_alone():
    import subprocess
    import sys

    code = "import sys, quelmar; print(sorted({'pandas', 'pyarrow', 'polars'} & set(sys.modules)))"
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True).stdout
    assert out.strip() == "[]"


def test_a_column_that_matches_nothing_warns():
    with pytest.warns(RuntimeWarning, match=r"column 'title': path 'catalog.book.title' matched nothing in the first 3"):
        t = quelmar.read_frame(DOC, "catalog.book", {"title": "catalog.book.title", "n": "@id"}, to="arrow")
    assert t.column("title").null_count == 3
