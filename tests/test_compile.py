"""Path compile errors through compile(): the full message with the path echo
and the caret line, and the Path repr."""
import pickle
import threading
import warnings

import pytest

import quelmar
from quelmar import _quelmar


def caret(p):
    # 12 = len("  in path: ") + the opening quote
    return "\n" + " " * (p + 12) + "^"


EMPTY = "empty path"
IDX = "index without preceding name"
EACH = "# without preceding name"
PAREN = "unmatched ( in filter"
EMOD = "modifier name is empty"
MOP = "filter expression missing operator: "
DNAME = "** must be followed by an element name"
DSEL = "** does not accept an explicit selector (no index/#/filter)"

# (path, display text, echoed path, caret byte offset or None)
ERRORS = [
    ("", EMPTY, '""', None),
    (".", EMPTY, '"."', None),
    ("...", EMPTY, '"..."', None),
    ("|@count", EMPTY, '"|@count"', None),
    ("a.18446744073709551616", "bad index: 18446744073709551616", '"a.18446744073709551616"', 2),
    ("0", IDX, '"0"', None),
    ("a.0.1", IDX, '"a.0.1"', None),
    ("a.#.0", IDX, '"a.#.0"', None),
    ("#", EACH, '"#"', None),
    ("#(x=1)", EACH, '"#(x=1)"', None),
    ("a.0.#", EACH, '"a.0.#"', None),
    ("a.@id.b", "@attr must be the last component", '"a.@id.b"', 2),
    ("a.#text.b", "#text must be the last component", '"a.#text.b"', 2),
    ("a.@", "@ must be followed by an attribute name", '"a.@"', 2),
    ("é.@", "@ must be followed by an attribute name", '"é.@"', 3),  # byte offset
    ("**", DNAME, '"**"', 0),
    ("**.0", DNAME, '"**.0"', 0),
    ("x.**", DNAME, '"x.**"', 2),
    ("**.a.0", DSEL, '"**.a.0"', 0),
    ("**.a.#", DSEL, '"**.a.#"', 0),
    ("**.a.#(x=1)", DSEL, '"**.a.#(x=1)"', 0),
    ("a.#(x=1", PAREN, '"a.#(x=1"', 3),
    ("a)", PAREN, '"a)"', 1),
    ("(a)(b", PAREN, '"(a)(b"', 3),
    ("a'.#(x=1'", PAREN, "\"a'.#(x=1'\"", None),
    ("a.#(x.#(y==1).z==2)", PAREN, '"a.#(x.#(y==1).z==2)"', 3),
    ("a|first", EMOD, '"a|first"', 1),
    ("a|", EMOD, '"a|"', 1),
    ("a|@", EMOD, '"a|@"', 1),
    ("a|@first|", EMOD, '"a|@first|"', 1),
    ("a|@frist", "unknown modifier: @frist", '"a|@frist"', 2),
    ("a|@Sort", "unknown modifier: @Sort", '"a|@Sort"', 2),
    ("a.#(x)", MOP + "x", '"a.#(x)"', 4),
    ("x.#(x)", MOP + "x", '"x.#(x)"', 0),
    ("a.#(x ! y)", MOP + "! y", '"a.#(x ! y)"', 6),
    ("a.#()", MOP, '"a.#()"', 0),
    ("a.#(=1)", EMPTY, '"a.#(=1)"', None),
    # the echo escapes quotes, backslashes, controls, NUL and invisible characters
    ('a"b.0.1', IDX, '"a\\"b.0.1"', None),
    ("a\\\\.0.1", IDX, '"a\\\\\\\\.0.1"', None),
    ("a\x00.0.1", IDX, '"a\\0.0.1"', None),
    ("a\t\r\n.0.1", IDX, '"a\\t\\r\\n.0.1"', None),
    ("a\u200b'é.0.1", IDX, "\"a\\u{200b}'é.0.1\"", None),
    # a NUL in the message itself keeps the rest of the message
    ("a.#(x\x00y)", MOP + "x\x00y", '"a.#(x\\0y)"', 4),
    ("a|@b\x00c", "unknown modifier: @b\x00c", '"a|@b\\0c"', 2),
    ("\x00.#(x\x00)", MOP + "x\x00", '"\\0.#(x\\0)"', 4),  # caret at the byte offset
    # checks run in order: split, tokenize, empty, steps, modifiers
    ("a.0.1|@bogus", IDX, '"a.0.1|@bogus"', None),
    ("|@bogus", EMPTY, '"|@bogus"', None),
]


@pytest.mark.parametrize("path,display,echo,pos", ERRORS)
def test_compile_error_message(path, display, echo, pos):
    expected = display + "\n  in path: " + echo + ("" if pos is None else caret(pos))
    with pytest.raises(ValueError) as info:
        _quelmar.compile(path)
    assert str(info.value) == expected
    # Failures are not cached: the same text fails the same way again.
    with pytest.raises(ValueError) as again:
        _quelmar.compile(path)
    assert str(again.value) == expected


def test_empty_path_message_spelled_out():
    with pytest.raises(ValueError) as info:
        _quelmar.compile("")
    assert str(info.value) == 'empty path\n  in path: ""'


@pytest.mark.parametrize(
    "path",
    [
        "a.b", "a..b", ".a.b.", "a.0", "a.#", "a.#.b", "a.#(x=1)", "a.#(x=1)#",
        "items#(x==1)", "**.a.b", "**a", "a|@first|@count", "a| @first ",
        "a.#(x=='p|q')", "a\\.b", "a.\\5", "a. b", "a.@*", "#text", "@id",
        "a.#('#(b=1)'==5)", "a|@sort_n|@sortn|@unique|@mean|@tostr|@flatten",
    ],
)
def test_compiles(path):
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        quelmar.compile(path)  # the package's compile warns of none of these
    p = _quelmar.compile(path)
    assert repr(p) == repr_of(path)
    # A Path pickles as its text and compiles again where it is loaded.
    for copy in (pickle.loads(pickle.dumps(p, protocol)) for protocol in (0, pickle.HIGHEST_PROTOCOL)):
        assert type(copy) is type(p) and repr(copy) == repr(p)
        doc = "<a><b>1</b><x>1</x></a>"
        assert copy.get(doc).value == p.get(doc).value


COUNT_OF_COUNT = "name.#|@count is always 1: name.# is already the count (write name.# or name|@count)"
ONE_COMPARISON = ("a filter holds one comparison: 'and'/'or' and what follows are part of the compared value "
                  "(chain the conditions in Python, or query the parts with get_many)")


@pytest.mark.parametrize(
    ("path", "why"),
    [
        ("r.b.#|@count", COUNT_OF_COUNT),
        ("r.b.# | @count|@first", COUNT_OF_COUNT),
        ("r.#(b>1 and b<5)#", ONE_COMPARISON),
        ("r.#(@x==1 || @y==2).z", ONE_COMPARISON),
        # counted filters, names and quoted values are not suspicious
        ("r.b.#(x>1)#|@count", None),
        ("r.b|@count", None),
        ("r.#(t=='War and Peace')#", None),
        ("r.#(t==War and Peace)#", None),
    ],
)
def test_package_compile_warns_of_paths_that_cannot_mean_what_they_say(path, why):
    # Only the package's compile looks (the main module's, and the query
    # functions, do not); the Path is the same either way.
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        p = quelmar.compile(path)
        _quelmar.compile(path)
    assert [str(w.message) for w in caught] == ([] if why is None else [f"path {path!r}: {why}"])
    assert repr(p) == repr(_quelmar.compile(path))


def repr_of(text):
    return 'Path("' + text.replace("\\", "\\\\").replace('"', '\\"') + '")'


@pytest.mark.parametrize(
    "path,expected",
    [
        ("a.b", 'Path("a.b")'),
        ('a.#(x=="y")', 'Path("a.#(x==\\"y\\")")'),
        ("a\\.b", 'Path("a\\\\.b")'),
        ("é.ü", 'Path("é.ü")'),
    ],
)
def test_path_repr(path, expected):
    assert repr(_quelmar.compile(path)) == expected


def test_adversarial_texts_compile_or_fail_cleanly():
    texts = [
        "a." * 100_000,
        "(" * 10_000 + ")" * 10_000,
        "a." + "#(" * 10_000 + "x=1" + ")" * 10_000,
        "(" * 10_000,
        "\\", "a\\", "#(\\", "\x00" * 5, "a.#(x=\\",
    ]
    for text in texts:
        try:
            _quelmar.compile(text)
        except ValueError as e:
            assert "\n  in path: " in str(e)


def test_each_thread_compiles_on_its_own():
    errors = []

    def work():
        try:
            for i in range(600):  # past the cache bound, forcing a clearing
                _quelmar.compile(f"t{i}.x")
            with pytest.raises(ValueError):
                _quelmar.compile("a.0.1")
        except BaseException as e:  # pragma: no cover - reported below
            errors.append(e)

    threads = [threading.Thread(target=work) for _ in range(3)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert errors == []
