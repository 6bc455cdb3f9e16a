"""Documents in legacy encodings, end to end: every text the module hands out
(values, attributes, CDATA, element text, raw markup, tag names as keys) is
decoded from the document's encoding; UTF-16 and ISO-2022-JP documents are
read in their UTF-8 form; malformed input drops text, never raises."""

import random

import pytest

from quelmar import _quelmar as q

# ---------------------------------------------------------------- real-world-like feeds


class Sample:
    """One feed: the declared label, Python's codec, the texts it holds."""

    def __init__(self, label, codec, channel, first, second, cdata, lang, tag, bom=b""):
        self.label, self.codec, self.bom = label, codec, bom
        self.channel, self.first, self.second = channel, first, second
        self.cdata, self.lang, self.tag = cdata, lang, tag

    def item0(self):
        return (
            f'<item id="1" lang="{self.lang}"><title>{self.first}</title>'
            f"<note><![CDATA[{self.cdata}]]></note></item>"
        )

    def item1(self):
        return f'<item id="2"><title>{self.second}</title><note>{self.second}</note></item>'

    def text(self):
        return (
            f'<?xml version="1.0" encoding="{self.label}"?>\n'
            f'<rss version="2.0"><channel><title>{self.channel}</title>'
            f"{self.item0()}{self.item1()}<{self.tag}>{self.first}</{self.tag}>"
            "</channel></rss>"
        )

    def doc(self):
        return self.bom + self.text().encode(self.codec)


SAMPLES = [
    Sample("windows-1252", "cp1252", "Cuisine française", "Crème brûlée", "Café — 5 €", "«Œuvre» <b>", "français",
           "catégorie"),
    Sample("iso-8859-2", "iso8859_2", "Wiadomości", "Zażółć gęślą jaźń", "Příliš žluťoučký kůň", "łódź", "polski",
           "źródło"),
    Sample("iso-8859-5", "iso8859_5", "Новости", "Привет, мир", "Съешь ещё", "ёлка & <x>", "русский", "рубрика"),
    Sample("ISO-8859-7", "iso8859_7", "Ειδήσεις", "Καλημέρα κόσμε", "Ξεσκεπάζω", "αβγ", "ελληνικά", "κατηγορία"),
    Sample("koi8-r", "koi8_r", "Новости", "Съешь же ещё этих мягких французских булок", "Да выпей чаю", "ёж",
           "русский", "раздел"),
    Sample("Shift_JIS", "shift_jis", "ニュース", "日本語のタイトル", "東京の天気", "ｶﾀｶﾅ", "日本語", "分類"),
    Sample("EUC-JP", "euc_jp", "ニュース", "日本語のタイトル", "東京の天気", "漢字", "日本語", "分類"),
    # Markup stays ASCII, but the two-byte state spells 実 as "<B", あ as '$"'
    # and 表示 as "I=<(": the document has to be decoded before it is read.
    Sample("ISO-2022-JP", "iso2022_jp", "実際のニュース", "あ実表示", "記事の表示", "実<B>", "あいう", "表示"),
    Sample("gbk", "gbk", "新闻", "中文标题", "北京天气", "汉字", "中文", "分类"),
    # ß and U+20000 take four bytes in gb18030.
    Sample("gb18030", "gb18030", "新闻", "中文标题 ß", "北京 € \U00020000", "汉字", "中文", "分类"),
    Sample("big5", "big5", "新聞", "繁體中文標題", "台北天氣", "漢字", "中文", "分類"),
    Sample("euc-kr", "euc_kr", "뉴스", "한국어 제목", "서울 날씨", "한글", "한국어", "분류"),
    Sample("UTF-16", "utf-16-le", "Grüße", "日本 😀", "Ελλάδα", "<&>", "mixed", "名前", bom=b"\xff\xfe"),
    Sample("UTF-16", "utf-16-be", "Grüße", "日本 😀", "Ελλάδα", "<&>", "mixed", "名前", bom=b"\xfe\xff"),
]


@pytest.fixture(params=SAMPLES, ids=[f"{s.label}-{s.codec}" for s in SAMPLES])
def sample(request):
    return request.param


def test_texts_and_attributes(sample):
    doc = sample.doc()
    assert q.get_bytes(doc, "rss.channel.title").value == sample.channel
    assert [r.value for r in q.get_bytes(doc, "rss.channel.item.#.title")] == [sample.first, sample.second]
    assert q.get_bytes(doc, "rss.channel.item.0.@lang").value == sample.lang
    assert q.get_bytes(doc, "rss.channel.item.0.title") == sample.first
    # CDATA: as the element's text, and as #text.
    assert q.get_bytes(doc, "rss.channel.item.0.note").value == sample.cdata
    assert q.get_bytes(doc, "rss.channel.item.0.note.#text").value == sample.cdata


def test_raw_markup_of_dict_and_list_results(sample):
    doc = sample.doc()
    assert q.get_bytes(doc, "rss.channel.item.0").to_str() == sample.item0()
    assert q.get_bytes(doc, "rss.channel.item").to_str() == sample.item0() + "\n" + sample.item1()
    assert q.get_bytes(doc, f"rss.channel.item.#.title|@sort").to_str() == "\n".join(
        f"<title>{t}</title>" for t in sorted([sample.first, sample.second])
    )


def test_tag_names_as_keys(sample):
    channel = q.get_bytes(sample.doc(), "rss.channel")
    keys = ["title", "item", sample.tag]
    assert list(channel.keys()) == keys
    assert list(channel.value) == keys
    assert list(channel) == keys
    assert repr(channel.keys()) == "result_keys([" + ", ".join(f'"{k}"' for k in keys) + "])"
    assert sample.tag in channel.keys()
    assert channel[sample.tag].value == sample.first
    assert [(name, r.to_str()) for name, r in channel.items()][2] == (sample.tag, sample.first)
    assert [name for name, _ in channel.children()] == ["title", "item", "item", sample.tag]
    assert [r.to_str() for r in channel.values()][0] == sample.channel


def test_filters_relative_get_and_views(sample):
    doc = sample.doc()
    assert q.get_bytes(doc, f'rss.channel.item.#(title=="{sample.second}").@id').value == 2
    assert q.get_bytes(doc, f'rss.channel.item.#(@lang=="{sample.lang}").title').value == sample.first
    assert q.get_bytes(doc, f'rss.channel.item.#(title!="{sample.first}")#.note').value == sample.second
    channel = q.get_bytes(doc, "rss.channel")
    assert channel.get("item.1.title").value == sample.second
    assert channel.get(f'item.#(note=="{sample.cdata}").@lang').value == sample.lang
    assert channel.get_many(["title", "item.0.@lang"]) == [sample.channel, sample.lang]
    item = channel["item"][0]
    assert item.get("note").value == sample.cdata
    assert [(name, r.value) for name, r in item.children()] == [("title", sample.first), ("note", sample.cdata)]


def test_every_entry_point(sample):
    doc = sample.doc()
    path = "rss.channel.item.1.title"
    assert q.get_buffer(bytearray(doc), path).value == sample.second
    assert q.get_buffer(memoryview(doc), "rss.channel.item.0.@lang").value == sample.lang
    assert q.compile(path).get_bytes(doc).value == sample.second
    assert q.get_many_bytes(doc, [path, "rss.channel.item.0.note"]) == [sample.second, sample.cdata]
    assert q.get_many_buffer(bytearray(doc), [path]) == [sample.second]
    assert q.validate(doc)
    whole = q.parse(doc)
    assert list(whole.keys()) == ["channel"]
    assert whole.get(path).value == sample.second
    assert whole.get_many(["rss.channel.title"]) == [sample.channel]
    assert whole["channel"][sample.tag].value == sample.first


def test_utf16_names_match_in_paths():
    # In the UTF-8 form of a UTF-16 document, non-ASCII tag names are matched
    # by path like any other.
    text = "<?xml version='1.0'?><données><élément>ü</élément></données>"
    for doc in (b"\xff\xfe" + text.encode("utf-16-le"), text.encode("utf-16-be")):
        assert q.get_bytes(doc, "données.élément").value == "ü"


# ---------------------------------------------------------------- detection and declarations


@pytest.mark.parametrize(
    ("doc", "expected"),
    [
        # An unknown label changes nothing: the document stays UTF-8.
        ('<?xml version="1.0" encoding="x-no-such-charset"?><a>café</a>'.encode(), "café"),
        # Labels: white space and letter case are ignored; ISO-8859-1 is windows-1252.
        (b'<?xml version="1.0" encoding="  LATIN1 "?><a>\x80 \xe9</a>', "€ é"),
        (b'<?xml version="1.0" encoding="ascii"?><a>\x93q\x94</a>', "\u201cq\u201d"),
        # A UTF-8 byte-order mark decides: a legacy declaration after it does
        # not make its UTF-8 text mojibake.
        (b'\xef\xbb\xbf<?xml version="1.0" encoding="windows-1251"?><a>\xd0\x9c\xd0\xb8\xd1\x80</a>', "Мир"),
        ('\ufeff<?xml version="1.0" encoding="windows-1252"?><a>café 日本</a>'.encode(), "café 日本"),
        # A declaration read byte by byte cannot describe UTF-16: stays UTF-8.
        ('<?xml version="1.0" encoding="UTF-16"?><a>ab é</a>'.encode(), "ab é"),
        ('<?xml version="1.0" encoding="utf-16be"?><a>ab</a>'.encode(), "ab"),
        # A UTF-16 document is decoded by its mark or first bytes, whatever
        # its declaration (readable only once decoded) says.
        (b"\xff\xfe" + '<?xml version="1.0" encoding="windows-1252"?><a>é</a>'.encode("utf-16-le"), "é"),
        ('<?xml version="1.0" encoding="ISO-8859-5"?><a>é</a>'.encode("utf-16-be"), "é"),
        # Only a declaration at the start makes a document ISO-2022-JP.
        (b'<?xml version="1.0" encoding="iso-2022-jp"?><a>\x1b$BF|\x1b(B</a>', "日"),
        (b'\xef\xbb\xbf<?xml version="1.0" encoding="csISO2022JP"?><a>\x1b$BF|\x1b(B</a>', "\x1b$BF|\x1b(B"),
        # x-user-defined maps the upper half to U+F780..U+F7FF.
        (b'<?xml version="1.0" encoding="x-user-defined"?><a>\x80\xff</a>', "\uf780\uf7ff"),
        # The replacement encoding decodes any text to one U+FFFD.
        (b'<?xml version="1.0" encoding="iso-2022-kr"?><a>abc</a>', "\ufffd"),
    ],
)
def test_detection(doc, expected):
    assert q.get_bytes(doc, "a").to_str() == expected
    assert q.get_bytes(doc, "a.#text") == expected


# An element keeps its document's encoding: its first bytes are never taken
# for a byte-order signature (`<\0?\0` reads like "<?" in UTF-16LE).
SIGNATURE_LIKE = b"<r><\0?\0>hello</\0?\0></r>"
SIGNATURE_LIKE_PARENT = b"<r><\0?\0><x>1</x></\0?\0></r>"
SIGNATURE_LIKE_1252 = b'<?xml version="1.0" encoding="windows-1252"?><r><\0?\0>caf\xe9</\0?\0></r>'
# Entities a legacy document declares are decoded like its text.
ENT_1252 = (
    b'<?xml version="1.0" encoding="windows-1252"?><!DOCTYPE r [<!ENTITY e "caf\xe9"><!ENTITY \xe9 "E">]>'
    b'<r><t>&e;</t><u v="&e;"/><w>&\xe9;</w></r>'
)


@pytest.mark.parametrize(
    ("doc", "path", "expected"),
    [
        (SIGNATURE_LIKE, "r.*", "hello"),
        (SIGNATURE_LIKE, "r.*.#text", "hello"),
        (SIGNATURE_LIKE, "r.\0?\0|@first", "hello"),
        (SIGNATURE_LIKE, "r.#(*==hello)#.*", "hello"),
        (SIGNATURE_LIKE, "r.#(*.#text==hello)#.*", "hello"),
        (SIGNATURE_LIKE_PARENT, "r.*.x", "1"),
        (SIGNATURE_LIKE_PARENT, "r.*.#(x==1)#.x", "1"),
        (SIGNATURE_LIKE_PARENT, "r.*.#(x.#text==1)#.x", "1"),
        (SIGNATURE_LIKE_PARENT, "r.*.#(x==1)#", "<\0?\0><x>1</x></\0?\0>"),
        (SIGNATURE_LIKE_1252, "r.*", "café"),
        (SIGNATURE_LIKE_1252, "r.#(*==café)#.*", "café"),
        (ENT_1252, "r.t", "café"),
        (ENT_1252, "r.u.@v", "café"),
        (ENT_1252, 'r.#(t=="café")#.t', "café"),
        (ENT_1252, "r.w", "E"),
    ],
)
def test_elements_keep_their_document_encoding(doc, path, expected):
    answers = {
        "get_bytes": q.get_bytes(doc, path),
        "get_buffer": q.get_buffer(bytearray(doc), path),
        "Path.get_bytes": q.compile(path).get_bytes(doc),
        "get_many_bytes": q.get_many_bytes(doc, [path])[0],
        "get_many_buffer": q.get_many_buffer(bytearray(doc), [path])[0],
        "parse().get": q.parse(doc).get(path),
        "parse().get_many": q.parse(doc).get_many([path])[0],
    }
    if not path.startswith("r.#"):
        answers["relative get"] = q.get_bytes(doc, "r").get(path[2:])
        answers["relative get_many"] = q.get_bytes(doc, "r").get_many([path[2:]])[0]
    if b"windows-1252" not in doc:
        answers["get"] = q.get(doc.decode(), path)
        answers["get_many"] = q.get_many(doc.decode(), [path])[0]
    assert {k: r.to_str() for k, r in answers.items()} == dict.fromkeys(answers, expected)


@pytest.mark.parametrize("doc,text", [(SIGNATURE_LIKE, "hello"), (SIGNATURE_LIKE_1252, "café")])
def test_element_results_keep_their_document_encoding(doc, text):
    name = "\0?\0"
    r = q.get_bytes(doc, "r")
    assert {k: v.value for k, v in r.value.items()} == {name: text}
    assert r[name].value == text
    assert [v.value for v in r.values()] == [text]
    assert [(k, v.to_str()) for k, v in r.items()] == [(name, text)]
    assert [v.value for _, v in r.children()] == [text]
    assert q.parse(doc)[name].value == text
    child = q.get_bytes(doc, "r.*")
    assert child.value == child.to_str() == text
    assert list(child) == list(text)
    assert child == text
    assert q.get_bytes(doc, "r.*|@first").to_bool() is False


def test_utf8_documents_are_unchanged():
    # Invalid UTF-8 is kept as it stands in texts and attribute values,
    # which then fail strict decoding (and read as empty in the lenient
    # conversions); raw markup and filters show U+FFFD.
    doc = b'<a x="\xe9"><b>\xe9</b><c>1</c></a>'
    with pytest.raises(ValueError, match="utf-8 .*sequence"):
        q.get_bytes(doc, "a.@x").value
    for r in (q.get_bytes(doc, "a.b"), q.get_bytes(doc, "a.b.#text"), q.get_many_bytes(doc, ["a.b"])[0]):
        with pytest.raises(ValueError, match="^incomplete utf-8 byte sequence from index 0$"):
            r.value
        assert r.to_int() == 0
    assert q.get_bytes(doc, "a").to_str() == '<a x="\ufffd"><b>\ufffd</b><c>1</c></a>'
    # An unknown label leaves the document UTF-8: its Latin-1 text is not
    # dropped but fails to decode.
    feed = b'<?xml version="1.0" encoding="x-no-such-charset"?><a>caf\xe9</a>'
    with pytest.raises(ValueError, match="^incomplete utf-8 byte sequence from index 3$"):
        q.get_bytes(feed, "a").value
    # A filter compares it with U+FFFD in place of the bad byte.
    assert q.get_bytes(feed, 'a.#(#text=="caf\ufffd")').exists()


# ---------------------------------------------------------------- malformed input

SJIS = '<?xml version="1.0" encoding="shift_jis"?>'.encode()


@pytest.mark.parametrize(
    ("doc", "path", "expected"),
    [
        # Bytes that do not decode become U+FFFD; the rest of the run stays.
        (SJIS + "<a>良い<b/>".encode("sjis") + b"\x82</a>", "a.#text", "良い\ufffd"),
        (SJIS + b"<a>\x82<b/>ok</a>", "a.#text", "\ufffdok"),
        (SJIS + b"<a>x\x82&amp;y</a>", "a", "x\ufffd&y"),
        (SJIS + b"<a><![CDATA[\x82]]>ok</a>", "a", "\ufffdok"),
        (b'<?xml version="1.0" encoding="big5"?><a>\xa4\x20x</a><b>y</b>', "a", "\ufffd x"),
        (b'<?xml version="1.0" encoding="gb18030"?><a>\x81\x30</a>', "a", "\ufffd0"),
        (b'<?xml version="1.0" encoding="euc-kr"?><a>\xb0</a>', "a", "\ufffd"),
        # an unmapped pair with a trail byte from 0x80 up is one error: what follows stays whole
        (b'<?xml version="1.0" encoding="euc-kr"?><a>a\xc9\xa1b</a>', "a", "a\ufffdb"),
        (b'<?xml version="1.0" encoding="euc-jp"?><a>x\xa9\xa1\xb0\xa1y</a>', "a", "x\ufffd\u4e9cy"),
        (SJIS + b"<a>x\x85\x89Ay</a>", "a", "x\ufffdAy"),
        (b'<?xml version="1.0" encoding="big5"?><a x="x\x81\xa4Ay"/>', "a.@x", "x\ufffdAy"),
        (b'<?xml version="1.0" encoding="windows-1253"?><a>\xaa</a>', "a", "\ufffd"),
        (b'<?xml version="1.0" encoding="iso-8859-8"?><a>\xa1</a>', "a", "\ufffd"),
        (SJIS + b'<a x="\x82" y="ok"/>', "a.@x", "\ufffd"),
        (SJIS + b'<a x="\x82" y="ok"/>', "a.@y", "ok"),
        # A filter sees the text with its replacement characters.
        (SJIS + b"<r><a>\x82<i/>x</a><a>y</a></r>", 'r.a.#(#text=="\ufffdx")#.#text', "\ufffdx"),
        (SJIS + b"<r><a><t>x\x82</t></a><a><t>y</t></a></r>", 'r.a.#(t%"x*")#.t', "x\ufffd"),
        (SJIS + b"<r><a>\x82x</a><a>y</a></r>", "r.a|@sort|@first", "y"),
    ],
)
def test_malformed_text_becomes_replacement_characters(doc, path, expected):
    r = q.get_bytes(doc, path)
    assert r.value == expected
    assert q.get_many_bytes(doc, [path, "x"])[0].value == expected
    assert q.get_buffer(doc, path).value == expected


def test_malformed_raw_markup_and_names():
    # Raw markup, tag names and texts show each malformed sequence as U+FFFD
    # (as raw markup of invalid UTF-8 does).
    # (0x82 leads a two-byte sequence; '>' and '<' cannot end one.)
    doc = SJIS + b"<r><n\x82>" + "日本".encode("sjis") + b"</n\x82><ok>a\x82</ok></r>"
    r = q.get_bytes(doc, "r")
    assert r.to_str() == "<r><n\ufffd>日本</n\ufffd><ok>a\ufffd</ok></r>"
    assert list(r.keys()) == ["n\ufffd", "ok"]
    assert r["n\ufffd"].value == "日本"
    assert r["ok"].value == "a\ufffd"


@pytest.mark.parametrize(
    ("doc", "same_in_utf8"),
    [
        # A lone trailing surrogate in the middle of a UTF-16 document.
        (
            b"\xff\xfe" + "<a><b>1</b><b>2</b>".encode("utf-16-le") + b"\x00\xdc" + "<b>3</b></a>".encode("utf-16-le"),
            "<a><b>1</b><b>2</b>\ufffd<b>3</b></a>",
        ),
        (
            b"\xfe\xff" + "<a><b>1</b><b>2</b>".encode("utf-16-be") + b"\xd8\x00" + "<b>3</b></a>".encode("utf-16-be"),
            "<a><b>1</b><b>2</b>\ufffd<b>3</b></a>",
        ),
        # A bad unit inside a text keeps the text around it.
        (
            b"\xff\xfe" + "<a><b>x".encode("utf-16-le") + b"\x00\xd8" + "y</b><b>2</b><b>3</b></a>".encode("utf-16-le"),
            "<a><b>x\ufffdy</b><b>2</b><b>3</b></a>",
        ),
        # An odd byte at the end.
        (
            b"\xff\xfe" + "<a><b>1</b><b>2</b><b>3</b></a>".encode("utf-16-le") + b"\x00",
            "<a><b>1</b><b>2</b><b>3</b></a>\ufffd",
        ),
        # ISO-2022-JP: an unmapped pair; a shift-out byte.
        (
            '<?xml version="1.0" encoding="ISO-2022-JP"?><a><b>実</b><b>2</b>'.encode("iso2022_jp")
            + b"\x1b$B\x22\x2f\x1b(B<b>3</b></a>",
            '<?xml version="1.0" encoding="UTF-8"?><a><b>実</b><b>2</b>\ufffd<b>3</b></a>',
        ),
        (
            '<?xml version="1.0" encoding="ISO-2022-JP"?><a><b>1</b>'.encode("iso2022_jp") + b"<b>2\x0e</b><b>3</b></a>",
            '<?xml version="1.0" encoding="UTF-8"?><a><b>1</b><b>2\ufffd</b><b>3</b></a>',
        ),
    ],
)
def test_malformed_whole_document_reads_on_with_replacement(doc, same_in_utf8):
    for path in ("a.b", "a", "a.b.#.#text", "a.b.#", "a.b.2"):
        assert q.get_bytes(doc, path) == q.get(same_in_utf8, path)
    assert q.get_many_bytes(doc, ["a.b.#", "a.b.2"]) == q.get_many(same_in_utf8, ["a.b.#", "a.b.2"])
    assert q.parse(doc).get("a.b.#") == q.get(same_in_utf8, "a.b.#")
    assert not q.validate(doc)


LEGACY = ["windows-1252", "iso-8859-7", "koi8-r", "shift_jis", "euc-jp", "gbk", "gb18030", "big5", "euc-kr",
          "iso-2022-jp", "utf-16le"]


def test_random_damage_never_raises():
    rng = random.Random(7)
    paths = ["r.*", "r.a.#.#text", "r.a.#.@x", "r.**.a", 'r.a.#(#text=="x")#', "r.a.#.#text|@sort", "r"]
    for label in LEGACY:
        for _ in range(40):
            parts = [f'<?xml version="1.0" encoding="{label}"?><r>'.encode()]
            for _ in range(rng.randrange(1, 6)):
                junk = bytes(rng.randrange(256) for _ in range(rng.randrange(0, 6)))
                parts.append(b'<a x="' + junk.replace(b'"', b"") + b'">' + junk + b"</a>")
            parts.append(b"</r>")
            doc = b"".join(parts)
            if label == "utf-16le":
                doc = b"\xff\xfe" + doc.decode("latin-1").encode("utf-16-le")[:-1]
            q.validate(doc)
            for r in [q.get_bytes(doc, p) for p in paths] + q.get_many_bytes(doc, paths):
                r.to_str()
                items = list(r) if len(r) > 1 else [r]
                for item in items:
                    item.value


# ---------------------------------------------------------------- single-byte tables against Python's codecs

SINGLE_BYTE = {
    "IBM866": "cp866", "ISO-8859-2": "iso8859_2", "ISO-8859-3": "iso8859_3", "ISO-8859-4": "iso8859_4",
    "ISO-8859-5": "iso8859_5", "ISO-8859-6": "iso8859_6", "ISO-8859-7": "iso8859_7", "ISO-8859-8": "iso8859_8",
    "ISO-8859-8-I": "iso8859_8", "ISO-8859-10": "iso8859_10", "ISO-8859-13": "iso8859_13",
    "ISO-8859-14": "iso8859_14", "ISO-8859-15": "iso8859_15", "ISO-8859-16": "iso8859_16", "KOI8-R": "koi8_r",
    "KOI8-U": "koi8_u", "macintosh": "mac_roman", "windows-874": "cp874", "windows-1250": "cp1250",
    "windows-1251": "cp1251", "windows-1252": "cp1252", "windows-1253": "cp1253", "windows-1254": "cp1254",
    "windows-1255": "cp1255", "windows-1256": "cp1256", "windows-1257": "cp1257", "windows-1258": "cp1258",
    "x-mac-cyrillic": "mac_cyrillic",
}

# Where the index files differ from Python's codecs: KOI8-U is the standard's
# KOI8-RU, and windows-1255 has a point at 0xCA. Bytes Python leaves
# undefined in the windows code pages are C1 controls in the standard.
INDEX_ONLY = {("KOI8-U", 0xAE): "\u045e", ("KOI8-U", 0xBE): "\u040e", ("windows-1255", 0xCA): "\u05ba"}


@pytest.mark.parametrize("label", sorted(SINGLE_BYTE))
def test_single_byte_decoders_match_python_where_they_agree(label):
    body = b"".join(b"<b>" + bytes([x]) + b"</b>" for x in range(0x80, 0x100))
    doc = f'<?xml version="1.0" encoding="{label}"?><a>'.encode() + body + b"</a>"
    # r[:] is the untrimmed text; a byte the index leaves out is U+FFFD.
    got = [r[:] for r in q.get_bytes(doc, "a.b")]
    assert len(got) == 128
    for byte, text in zip(range(0x80, 0x100), got):
        try:
            python = bytes([byte]).decode(SINGLE_BYTE[label])
        except UnicodeDecodeError:
            python = None
        if (label, byte) in INDEX_ONLY:
            assert text == INDEX_ONLY[label, byte]
        elif python is not None:
            assert text == python, hex(byte)
        else:
            assert text in ("\ufffd", chr(byte)) and (text == "\ufffd" or label.startswith("windows-")), hex(byte)


# A str is already decoded text: its declaration cannot apply to it. Reading
# its UTF-8 form as the declared encoding would garble every non-ASCII
# character, so text strings are read as UTF-8 whatever they declare.
STR_DECLARED = '<?xml version="1.0" encoding="windows-1252"?><a><b>é</b><c x="ü">ß</c></a>'


@pytest.mark.parametrize(
    "query",
    [
        lambda d: q.get(d, "a.b").value,
        lambda d: q.compile("a.b").get(d).value,
        lambda d: q.get_many(d, ["a.b"])[0].value,
        lambda d: q.parse(d).get("a.b").value,
        lambda d: q.parse(d).get_many(["a.b"])[0].value,
        lambda d: q.parse(d)["b"].value,
        lambda d: q.get(d, "a")["b"].value,
    ],
)
def test_str_documents_ignore_their_declared_encoding(query):
    assert query(STR_DECLARED) == "é"


def test_str_documents_keep_attributes_and_markup_intact():
    assert q.get(STR_DECLARED, "a.c.@x").value == "ü"
    assert q.get(STR_DECLARED, "a.c").value == "ß"
    assert q.get(STR_DECLARED, "a").to_str() == '<a><b>é</b><c x="ü">ß</c></a>'
    # The same document as bytes is read as it declares.
    assert q.get_bytes(STR_DECLARED.encode("cp1252"), "a.b").value == "é"


# Element and attribute names of legacy documents are compared as text, so a
# path written in Unicode finds them whatever the document's encoding.
JA_NAMES = '<?xml version="1.0" encoding="{}"?><ルート><項目 属性="値">日本</項目><項目>語</項目></ルート>'


@pytest.mark.parametrize("encoding", ["shift_jis", "euc_jp", "utf-8"])
def test_non_ascii_names_match_in_any_encoding(encoding):
    label = {"shift_jis": "Shift_JIS", "euc_jp": "EUC-JP", "utf-8": "UTF-8"}[encoding]
    doc = JA_NAMES.format(label).encode(encoding)
    assert q.get_bytes(doc, "ルート.項目") == ["日本", "語"]
    assert q.get_bytes(doc, "ルート.項目.0.@属性").value == "値"
    assert q.get_bytes(doc, "ルート.項?.#").value == 2
    assert q.get_bytes(doc, "ルート.項目.#(@属性==\"値\")").value == "日本"
    assert q.get_bytes(doc, "**.項目|@count").value == 2
    counts, first = q.get_many_bytes(doc, ["ルート.項目.#", "ルート.項目.#(属性!=\"x\")#"])
    assert counts.value == 2
    assert q.get_bytes(doc, "ルート.#(項目==\"日本\").項目.1").value == "語"


# ---------------------------------------------------------------- labels only Python's codecs know
#
# The reader leaves a label outside the standard's table alone (the document
# stays UTF-8); records, read_frame and the command decode it with Python's
# codec, strictly, and name the label and the byte offset of what does not
# decode.

BEYOND = [
    ("MacCyrillic", "mac_cyrillic", "Привет, мир"),
    ("IBM855", "cp855", "Привет"),
    ("cp437", "cp437", "café ░"),
    ("shift_jis_2004", "shift_jis_2004", "日本語"),
]


@pytest.mark.parametrize(("label", "codec", "text"), BEYOND, ids=[b[0] for b in BEYOND])
@pytest.mark.parametrize("chunk_size", [1 << 20, 3])
def test_labels_beyond_the_reader_through_records(label, codec, text, chunk_size):
    import io

    import quelmar

    doc = f'<?xml version="1.0" encoding="{label}"?><r><a n="{text}">{text}</a><a>2</a></r>'.encode(codec)
    rows = quelmar.records(io.BytesIO(doc), "r.a", ["#text", "@n"], chunk_size=chunk_size)
    assert [[x.to_str() for x in row] for row in rows] == [[text, text], ["2", ""]]
    if chunk_size > 3:
        pytest.importorskip("pyarrow")
        pytest.importorskip("pandas")
        frame = quelmar.read_frame(doc, "r.a", {"t": "#text"}, dtype=str)
        assert list(frame["t"]) == [text, "2"]


@pytest.mark.parametrize(
    ("doc", "message"),
    [
        (b'<?xml version="1.0" encoding="shift_jis_2004"?><r><a>ok</a><a>\x82</a></r>',
         "invalid shift_jis_2004 sequence at byte offset 62 (the document's declared encoding): "),
        # cut short at the end of the document
        (b'<?xml version="1.0" encoding="shift_jis_2004"?><r><a>ok</a><a>x\x82',
         "invalid shift_jis_2004 sequence at byte offset 63 (the document's declared encoding): incomplete"),
    ],
)
def test_labels_beyond_the_reader_name_label_and_offset(doc, message):
    import io

    import quelmar

    with pytest.raises(ValueError) as e:
        list(quelmar.records(io.BytesIO(doc), "r.a", chunk_size=7))
    assert str(e.value).startswith(message)


@pytest.mark.parametrize("label", ["UTF-32", "utf_32_le", "utf_16", "cp037", "x-nothing", "rot13", "idna"])
def test_labels_that_cannot_describe_the_document_change_nothing(label):
    # A declaration readable as ASCII cannot be UTF-32, UTF-16 or EBCDIC, and
    # what is no character set is no encoding: the document stays UTF-8.
    import io

    import quelmar

    doc = f'<?xml version="1.0" encoding="{label}"?><r><a>é</a></r>'.encode()
    assert [a.value for a in quelmar.records(io.BytesIO(doc), "r.a")] == ["é"]


def test_labels_beyond_the_reader_leave_the_main_module_alone():
    # The reader's rule holds in quelmar._quelmar: such a label changes
    # nothing, the document is read as UTF-8.
    doc = '<?xml version="1.0" encoding="MacCyrillic"?><r>мир</r>'.encode("mac_cyrillic")
    assert q.get_bytes(doc, "r").to_int() == 0
    with pytest.raises(ValueError, match="utf-8"):
        q.get_bytes(doc, "r").to_str()
    assert q.get_bytes('<?xml version="1.0" encoding="MacCyrillic"?><r>мир</r>'.encode(), "r").value == "мир"
