// The XML event reader: event streams, positions, skipping, unescaping,
// attribute iteration, encoding detection and error recovery.
#include <string>
#include <vector>

#include "check.hpp"
#include "engine/validate.hpp"
#include "xml/reader.hpp"

using namespace quelmar;

namespace {

const char* error_name(XmlError e) {
    switch (e) {
        case XmlError::None: return "None";
        case XmlError::UnclosedTag: return "UnclosedTag";
        case XmlError::UnclosedComment: return "UnclosedComment";
        case XmlError::UnclosedCData: return "UnclosedCData";
        case XmlError::UnclosedDocType: return "UnclosedDocType";
        case XmlError::UnclosedPI: return "UnclosedPI";
        case XmlError::BadBang: return "BadBang";
        case XmlError::UnmatchedEnd: return "UnmatchedEnd";
        case XmlError::MismatchedEnd: return "MismatchedEnd";
        case XmlError::DocTypeWithoutName: return "DocTypeWithoutName";
        case XmlError::CommentDoubleDash: return "CommentDoubleDash";
        case XmlError::MissingEnd: return "MissingEnd";
        case XmlError::Encoding: return "Encoding";
        case XmlError::Escape: return "Escape";
    }
    return "?";
}

std::string render(const Event& e) {
    const std::string c(e.content);
    switch (e.kind) {
        case EventKind::Start: return "S:" + c + (e.name_len != c.size() ? "#" + std::to_string(e.name_len) : "");
        case EventKind::End: return "E:" + c;
        case EventKind::Empty: return "M:" + c + (e.name_len != c.size() ? "#" + std::to_string(e.name_len) : "");
        case EventKind::Text: return "T:" + c;
        case EventKind::CData: return "C:" + c;
        case EventKind::Comment: return "K:" + c;
        case EventKind::Decl: return "D:" + c;
        case EventKind::PI: return "P:" + c;
        case EventKind::DocType: return "Y:" + c;
        case EventKind::Eof: return "Eof";
        case EventKind::Error: return std::string("X:") + error_name(e.error);
    }
    return "?";
}

// All events up to (not including) end of input, joined by '|'.
std::string events(Bytes input, ReaderConfig cfg = ReaderConfig::engine()) {
    Reader r(input, cfg);
    std::string out;
    for (std::size_t n = 0; n <= input.size() + 2; ++n) {
        const Event e = r.read_event();
        if (e.kind == EventKind::Eof) return out;
        if (!out.empty()) out += '|';
        out += render(e);
    }
    return out + "|SPIN";
}

ReaderConfig expanding() {
    ReaderConfig c = ReaderConfig::engine();
    c.expand_empty_elements = true;
    return c;
}
ReaderConfig trimming() {
    ReaderConfig c = ReaderConfig::engine();
    c.trim_text_start = c.trim_text_end = true;
    return c;
}
ReaderConfig unmatched_ok() {
    ReaderConfig c = ReaderConfig::engine();
    c.allow_unmatched_ends = true;
    return c;
}
ReaderConfig comments_checked() {
    ReaderConfig c = ReaderConfig::engine();
    c.check_comments = true;
    return c;
}

}  // namespace

TEST(reader_event_streams) {
    struct Row {
        const char* input;
        const char* expected;
        ReaderConfig cfg = ReaderConfig::engine();
    };
    const Row rows[] = {
        {"", ""},
        {"plain", "T:plain"},
        {"<a>x</a>", "S:a|T:x|E:a"},
        {"<a b=\"1>2\">t</a  >", "S:a b=\"1>2\"#1|T:t|E:a"},
        {"<a b='x\"y>'/>", "M:a b='x\"y>'#1"},
        {"<a\tb='1'\n/>", "M:a\tb='1'\n#1"},
        {"<a/>tail", "M:a|T:tail"},
        {"<r> x <a>", "S:r|T: x |S:a"},
        {"<?xml version=\"1.0\"?><r/>", "D:xml version=\"1.0\"|M:r"},
        {"<?xml?>", "D:xml"},
        {"<?xml-stylesheet href='a'?>", "P:xml-stylesheet href='a'"},
        {"<?" "?>", "P:"},
        {"<!-- c --><r><![CDATA[<x>]]]></r>", "K: c |S:r|C:<x>]|E:r"},
        {"<!---->", "K:"},
        {"<!-- a -- b -->", "K: a -- b "},
        {"<!doctype html><html/>", "Y:html|M:html"},
        {"<!DOCTYPE r SYSTEM \"a>b\"><r/>", "Y:r SYSTEM \"a>b\"|M:r"},
        {"<!DOCTYPE r [ <!ENTITY e \"]>\"> <!-- ]> --> <?p ]>?> <!ELEMENT r ANY> ]><r/>",
         "Y:r [ <!ENTITY e \"]>\"> <!-- ]> --> <?p ]>?> <!ELEMENT r ANY> ]|M:r"},
        {"<a></b>", "S:a|E:b"},
        {"<a></b>", "S:a|X:MismatchedEnd", ReaderConfig::validating()},
        {"<a><b></a></b>", "S:a|S:b|X:MismatchedEnd|X:MismatchedEnd", ReaderConfig::validating()},
        {"</a><b/>", "X:UnmatchedEnd|M:b"},
        {"</a><b/>", "E:a|M:b", unmatched_ok()},
        {"<!DOCTYPE><r/>", "X:DocTypeWithoutName|M:r"},
        {"<!DOCTYPE [ ]><r/>", "X:DocTypeWithoutName|M:r"},
        {"<!-- a--b --><r/>", "X:CommentDoubleDash|M:r", comments_checked()},
        {"<a/><b x='1'/>", "S:a|E:a|S:b x='1'#1|E:b", expanding()},
        {"<a>  x y \n</a> \t", "S:a|T:x y|E:a", trimming()},
        // Fatal errors: nothing follows.
        {"<", "X:UnclosedTag"},
        {"<a", "X:UnclosedTag"},
        {"x<a b=\"></a>", "T:x|X:UnclosedTag"},
        {"</a", "X:UnclosedTag"},
        {"<!foo><r/>", "X:BadBang"},
        {"<!", "X:UnclosedComment"},
        {"<!-", "X:UnclosedComment"},
        {"<!-->", "X:UnclosedComment"},
        {"<!-- x -- >", "X:UnclosedComment"},
        {"<![CDA", "X:UnclosedCData"},
        {"<![CDATA[x]]", "X:UnclosedCData"},
        {"<!DOCT", "X:UnclosedDocType"},
        {"<!DOCTYPE r [ <!ENTITY e \"]>\">", "X:UnclosedDocType"},
        {"<!DOCTYPE r [ ]", "X:UnclosedDocType"},
        {"<?pi", "X:UnclosedPI"},
        {"<?>", "X:UnclosedPI"},
    };
    for (const Row& row : rows) CHECK_EQ(events(row.input, row.cfg) + "  <- " + row.input,
                                         std::string(row.expected) + "  <- " + row.input);
}

TEST(reader_positions) {
    {
        Reader r("<r> x <a>");
        CHECK(r.read_event().kind == EventKind::Start);
        CHECK(r.read_event().kind == EventKind::Text);
        CHECK_EQ(r.buffer_position(), 6u);
    }
    {
        const std::string doc = "\xEF\xBB\xBF<a/>";
        Reader r(doc);
        CHECK_EQ(r.buffer_position(), 3u);
        CHECK(r.read_event().kind == EventKind::Empty);
        CHECK_EQ(r.buffer_position(), 7u);
    }
    {
        // Before every tag the position is its '<'; after an end tag it is
        // just past the '>'.
        const std::string doc = "<?xml version='1.0'?>\n<r a='>'>t<!--c--><b/><![CDATA[x]]><c>u</c  ></r>";
        Reader r(doc);
        for (int i = 0; i < 30; ++i) {
            const std::size_t before = r.buffer_position();
            const Event e = r.read_event();
            if (e.kind == EventKind::Eof) break;
            if (e.kind == EventKind::Start || e.kind == EventKind::Empty) {
                CHECK_EQ(doc[before], '<');
                CHECK_EQ(doc.substr(before + 1, e.content.size()), std::string(e.content));
            }
            if (e.kind == EventKind::End) {
                CHECK_EQ(doc[r.buffer_position() - 1], '>');
                CHECK_EQ(doc.rfind("</", r.buffer_position() - 1), before);
            }
        }
        CHECK_EQ(r.buffer_position(), doc.size());
    }
    {
        // A fatal error leaves the reader at the end of the input.
        Reader r("<a><b x='");
        CHECK(r.read_event().kind == EventKind::Start);
        CHECK(r.read_event().error == XmlError::UnclosedTag);
        CHECK_EQ(r.buffer_position(), 9u);
        CHECK(r.read_event().kind == EventKind::Eof);
    }
}

TEST(reader_read_to_end) {
    struct Row {
        const char* input;
        XmlError result;
        std::size_t pos;   // position afterwards
        const char* rest;  // events after the skip
        ReaderConfig cfg = ReaderConfig::engine();
    };
    const Row rows[] = {
        {"<a><a/><b></b><a></a></a>x", XmlError::None, 25, "T:x"},
        {"<a>t<!-- <a> --><![CDATA[<a>]]><?p <a>?><b x=\"<a>\"/></a>y", XmlError::None, 56, "T:y"},
        {"<a><ab></ab><a \n></a ></a>", XmlError::None, 26, ""},
        {"<n:a><n:a></n:a><a></a></n:a></r>", XmlError::None, 29, "X:UnmatchedEnd"},
        {"<a><a>", XmlError::MissingEnd, 6, ""},
        {"<a>text", XmlError::MissingEnd, 7, ""},
        {"<a><b x=\"></a>", XmlError::UnclosedTag, 14, ""},
        {"<a><!-- </a>", XmlError::UnclosedComment, 12, ""},
        // Any end tag closes the innermost level, whatever its name; an
        // error closes it too (the skipped element's own when nothing is
        // open inside it).
        {"<a><b></c></a>", XmlError::None, 14, "", ReaderConfig::validating()},
        {"<a><b></c></a>", XmlError::None, 14, ""},
        {"<b>x</ b>t", XmlError::None, 9, "T:t"},
        {"<a><b></a><c>1</c></r>", XmlError::None, 22, ""},
        {"<a><c></a><d/>", XmlError::MissingEnd, 14, ""},
        {"<a><!DOCTYPE></a>", XmlError::DocTypeWithoutName, 13, "E:a"},
        {"<a><b><!DOCTYPE></a>x", XmlError::None, 20, "T:x"},
        {"<a><b><!-- </a>", XmlError::MissingEnd, 15, ""},
        {"<a/><b/>", XmlError::None, 4, "S:b|E:b", expanding()},
        {"<a><a/></a>", XmlError::None, 11, "", expanding()},
    };
    for (const Row& row : rows) {
        Reader r(row.input, row.cfg);
        const Event first = r.read_event();
        CHECK(first.kind == EventKind::Start);
        const XmlError got = r.read_to_end();
        CHECK_EQ(std::string(error_name(got)) + " " + row.input,
                 std::string(error_name(row.result)) + " " + row.input);
        CHECK_EQ(r.buffer_position(), row.pos);
        std::string rest;
        for (int i = 0; i < 10; ++i) {
            const Event e = r.read_event();
            if (e.kind == EventKind::Eof) break;
            rest += (rest.empty() ? "" : "|") + render(e);
        }
        CHECK_EQ(rest + " " + row.input, std::string(row.rest) + " " + row.input);
    }
    {
        // Inner end tags still pop the reader's open names: after skipping
        // <a> the enclosing </r> closes the right element.
        Reader r("<r><a><b></b><a></a></a></r>", ReaderConfig::validating());
        CHECK(r.read_event().kind == EventKind::Start);
        CHECK(r.read_event().kind == EventKind::Start);
        CHECK_EQ(r.depth(), 2u);
        CHECK(r.read_to_end() == XmlError::None);
        CHECK_EQ(r.depth(), 1u);
        CHECK_EQ(render(r.read_event()), std::string("E:r"));
    }
}

TEST(reader_unescape_with) {
    struct Row {
        const char* in;
        const char* out;
    };
    // A reference that does not resolve stays exactly as written.
    const Row rows[] = {
        {"", ""},
        {"no refs", "no refs"},
        {"&#x41;&#65;&lt;", "AA<"},
        {"&gt;&amp;&apos;&quot;", ">&'\""},
        {"a&amp;lt;b", "a&lt;b"},
        {"&#0065;&#xe9;&#xE9;", "A\xC3\xA9\xC3\xA9"},
        {"&#x1F600;", "\xF0\x9F\x98\x80"},
        {"&#x10FFFF;", "\xF4\x8F\xBF\xBF"},
        {"&#X41;", "&#X41;"},
        {"&#0;", "&#0;"},
        {"&#x0;", "&#x0;"},
        {"&#xD800;", "&#xD800;"},
        {"&#xDFFF;", "&#xDFFF;"},
        {"&#x110000;", "&#x110000;"},
        {"&#99999999999999999999;", "&#99999999999999999999;"},
        {"&#-65;", "&#-65;"},
        {"&#+65;", "&#+65;"},
        {"&#;", "&#;"},
        {"&#x;", "&#x;"},
        {"&#12a;", "&#12a;"},
        {"&nbsp;", "&nbsp;"},
        {"AT&amp;T &copy; 2024", "AT&T &copy; 2024"},
        {"&LT;", "&LT;"},
        {"&;", "&;"},
        {"a & b", "a & b"},
        {"&a&b;", "&a&b;"},
        {"&a&amp;", "&a&"},
        {"&lt", "&lt"},
        {"&", "&"},
        {"&lt;&", "<&"},
        {"&&&&;", "&&&&;"},
        {"a\r\nb\rc\n\r", "a\nb\nc\n\n"},
        {"&#13;&#10;\r", "\r\n\n"},
        {"\t \n", "\t \n"},
    };
    for (const Row& row : rows) {
        std::string scratch;
        Bytes out;
        unescape_with(row.in, scratch, out);
        CHECK_EQ(std::string(out), std::string(row.out));
    }
    const Row attr_rows[] = {
        {"a\tb\nc\rd\r\ne", "a b c d e"},
        {"&#9;&#10;&#13;", "\t\n\r"},
        {"x &bogus; &amp;", "x &bogus; &"},
        {"plain", "plain"},
    };
    for (const Row& row : attr_rows) {
        std::string scratch;
        Bytes out;
        unescape_attribute(row.in, scratch, out);
        CHECK_EQ(std::string(out), std::string(row.out));
    }
    // Nothing to resolve: the result is the input itself, not a copy.
    const Bytes text = "plain text";
    std::string scratch;
    Bytes out;
    unescape_with(text, scratch, out);
    CHECK(out.data() == text.data());
    // A long run of '&' stays linear and as written.
    const std::string amps(1 << 20, '&');
    unescape_with(amps + ";", scratch, out);
    CHECK_EQ(out.size(), amps.size() + 1);
}

TEST(reader_unescape_and_decode) {
    {
        Reader r("<a>caf\xC3\xA9 &amp; x</a>");
        CHECK(r.read_event().kind == EventKind::Start);
        const Event t = r.read_event();
        std::string scratch;
        Bytes out;
        r.unescape(t.content, scratch, out);
        CHECK_EQ(std::string(out), std::string("caf\xC3\xA9 & x"));
        r.decode(t.content, scratch, out);
        CHECK(out.data() == t.content.data());  // UTF-8 without CR: not copied
    }
    {
        // Invalid UTF-8 is kept as it stands, for the strict checks of the
        // Result layer.
        Reader r("<a>bad \xC3 utf8 &amp;</a>");
        CHECK(r.read_event().kind == EventKind::Start);
        const Event t = r.read_event();
        std::string scratch;
        Bytes out;
        r.unescape(t.content, scratch, out);
        CHECK_EQ(std::string(out), std::string("bad \xC3 utf8 &"));
        r.decode(t.content, scratch, out);
        CHECK_EQ(std::string(out), std::string("bad \xC3 utf8 &amp;"));
    }
    {
        Reader r("<?xml version=\"1.0\" encoding=\"windows-1252\"?><a>\xE9&lt;\r\n</a>");
        CHECK(r.read_event().kind == EventKind::Decl);
        CHECK(r.encoding() == Encoding::Windows1252);
        CHECK(r.read_event().kind == EventKind::Start);
        const Event t = r.read_event();
        std::string scratch;
        Bytes out;
        r.unescape(t.content, scratch, out);
        CHECK_EQ(std::string(out), std::string("\xC3\xA9<\n"));
        r.decode(t.content, scratch, out);
        CHECK_EQ(std::string(out), std::string("\xC3\xA9&lt;\n"));
    }
    {
        // A byte that does not decode becomes U+FFFD; the rest stays.
        Reader r("<?xml version=\"1.0\" encoding=\"shift_jis\"?><a>x\x82</a>");
        CHECK(r.read_event().kind == EventKind::Decl);
        CHECK(r.read_event().kind == EventKind::Start);
        const Event t = r.read_event();
        std::string scratch;
        Bytes out;
        r.unescape(t.content, scratch, out);
        CHECK_EQ(std::string(out), std::string("x\xEF\xBF\xBD"));
    }
}

TEST(reader_encoding_detection) {
    struct Row {
        std::string first;
        bool found;
        Encoding enc;
        std::size_t skip;
    };
    const Row rows[] = {
        {std::string("\xFE\xFF\x00<", 4), true, Encoding::Utf16Be, 2},
        {std::string("\xFF\xFE<\x00", 4), true, Encoding::Utf16Le, 2},
        {"\xEF\xBB\xBF<a/>", true, Encoding::Utf8, 3},
        {std::string("\x00<\x00?", 4), true, Encoding::Utf16Be, 0},
        {std::string("<\x00?\x00", 4), true, Encoding::Utf16Le, 0},
        {"<?xml", true, Encoding::Utf8, 0},
        {"<?xm", true, Encoding::Utf8, 0},
        {"<?x", false, Encoding::Utf8, 0},
        {"<a/>", false, Encoding::Utf8, 0},
        {"\xEF\xBB", false, Encoding::Utf8, 0},
        {"\xFE", false, Encoding::Utf8, 0},
        {"", false, Encoding::Utf8, 0},
    };
    for (const Row& row : rows) {
        const DetectedEncoding d = detect_encoding(row.first);
        CHECK_EQ(d.found, row.found);
        if (d.found) {
            CHECK(d.encoding == row.enc);
            CHECK_EQ(d.skip, row.skip);
        }
    }

    // Which declarations may change the encoding.
    struct DeclRow {
        std::string doc;
        bool fix_utf8;
        Encoding enc;
        EncodingSource source;
    };
    const DeclRow decl_rows[] = {
        {"<?xml version='1.0' encoding='latin1'?><a/>", false, Encoding::Windows1252, EncodingSource::Declaration},
        {"<?xml encoding=' ISO-8859-2 '?><a/>", false, Encoding::Iso8859_2, EncodingSource::Declaration},
        // A byte-order mark decides; first bytes without one leave the
        // encoding open.
        {"\xEF\xBB\xBF<?xml encoding='koi8-r'?><a/>", false, Encoding::Utf8, EncodingSource::Bom},
        {"<?xml encoding='no-such-label'?><a/>", false, Encoding::Utf8, EncodingSource::Implicit},
        {"<?xml version='1.0'?><a/>", false, Encoding::Utf8, EncodingSource::Implicit},
        {"<?xml encoding='latin1'?><a/>", true, Encoding::Utf8, EncodingSource::Fixed},
        {"<?xml encoding='latin1'?><?xml encoding='koi8-r'?><a/>", false, Encoding::Windows1252,
         EncodingSource::Declaration},
        {"<a/><?xml encoding='latin1'?>", false, Encoding::Windows1252, EncodingSource::Declaration},
        {"<?xml-x encoding='latin1'?><a/>", false, Encoding::Utf8, EncodingSource::Implicit},
    };
    for (const DeclRow& row : decl_rows) {
        Reader r(row.doc);
        if (row.fix_utf8) r.fix_encoding(Encoding::Utf8);
        while (r.read_event().kind != EventKind::Eof) {
        }
        CHECK_EQ(std::string(encoding_name(r.encoding())) + " " + row.doc,
                 std::string(encoding_name(row.enc)) + " " + row.doc);
        CHECK(r.encoding_source() == row.source);
    }
}

TEST(reader_attributes) {
    struct Row {
        const char* content;
        const char* expected;  // key=value, '!' marks an error entry
    };
    const Row rows[] = {
        {"a", ""},
        {"a  ", ""},
        {"a b=\"1\" c='2'", "b=1|c=2"},
        {"a  b = \"1\"\tc\n=\n'x y'", "b=1|c=x y"},
        {"a b=\"x>y\" c='\"'", "b=x>y|c=\""},
        {"a b=\"\"", "b="},
        {"a n:b='1' b='2'", "n:b=1|b=2"},
        {"a b=\"1\"c=\"2\"", "b=1|c=2"},
        {"a b=1 c=\"2\"", "!b=1|c=2"},
        {"a b c=\"2\"", "!b=|c=2"},
        {"a b", "!b="},
        {"a b=", "!b="},
        {"a b=\"1\" b=\"2\" c='3'", "b=1|!b=2|c=3"},
        {"a =\"x\" c=\"2\"", "!=x|c=2"},
        {"a \"q\" c=\"2\"", "!=q|c=2"},
        {"a b \"q\"", "!b=|!=q"},
        {"a b=\"open", "!b=open"},
        {"a /", "!/="},
    };
    for (const Row& row : rows) {
        const Bytes content = row.content;
        AttrIter it(content, content.find(' ') == Bytes::npos ? content.size() : content.find(' '));
        std::string got;
        Attribute a;
        for (int i = 0; i < 20 && it.next(a); ++i)
            got += (got.empty() ? "" : "|") + std::string(a.error ? "!" : "") + std::string(a.key) + "=" +
                   std::string(a.value);
        CHECK_EQ(got + "  <- " + row.content, std::string(row.expected) + "  <- " + row.content);
    }
    {
        // 100,000 attributes stay linear (hash set past the first few), and
        // a repeat far from the first occurrence is still found.
        std::string tag = "t";
        const int n = 100000;
        for (int i = 0; i < n; ++i) tag += " k" + std::to_string(i) + "=\"v\"";
        tag += " k7=\"again\" k99999='again'";
        AttrIter it(tag, 1);
        Attribute a;
        int good = 0, bad = 0;
        while (it.next(a)) (a.error ? bad : good)++;
        CHECK_EQ(good, n);
        CHECK_EQ(bad, 2);
        // The reader finds the end of such a tag in linear time as well.
        const std::string doc = "<" + tag + ">";
        Reader r(doc);
        const Event e = r.read_event();
        CHECK(e.kind == EventKind::Start);
        CHECK_EQ(e.content.size(), tag.size());
    }
}

TEST(reader_no_spin_on_damaged_input) {
    // Every read consumes input or ends it, so reading to Eof takes at most
    // (input length + 2) reads whatever the damage; once Eof is reached it
    // stays. Skips are mixed in to exercise read_to_end's own loop.
    const std::string samples[] = {
        "<?xml version=\"1.0\" encoding=\"latin1\"?>\n<!DOCTYPE r [ <!ENTITY e \"]>\"> ]>\n"
        "<r a=\"1\" b='>'><x>t &amp; u</x><!-- c --><![CDATA[d]]><?p q?><y/></r>",
        "<a><b><c>text</c></b><b x='1'/><b>more</b></a>",
        "\xEF\xBB\xBF<a/>",
    };
    const char marks[] = "<>/!?\"'-[]= x";
    const ReaderConfig cfgs[] = {ReaderConfig::engine(), ReaderConfig::validating(), expanding()};
    auto run = [&](const std::string& doc, const ReaderConfig& cfg, bool skip) {
        Reader r(doc, cfg);
        std::size_t reads = 0;
        std::size_t last = r.buffer_position();
        while (true) {
            const Event e = r.read_event();
            ++reads;
            if (reads > doc.size() + 2) {
                CHECK(!"reader did not reach Eof in time");
                return;
            }
            if (e.kind == EventKind::Eof) break;
            CHECK(r.buffer_position() >= last);
            last = r.buffer_position();
            if (skip && e.kind == EventKind::Start && (reads % 2) == 0) {
                ++reads;
                (void)r.read_to_end();
            }
        }
        CHECK(r.read_event().kind == EventKind::Eof);
        CHECK(r.read_to_end() == XmlError::MissingEnd);
        (void)validate(doc);
    };
    for (const std::string& s : samples) {
        for (const ReaderConfig& cfg : cfgs) {
            for (std::size_t cut = 0; cut <= s.size(); ++cut) {
                run(s.substr(0, cut), cfg, false);
                run(s.substr(0, cut), cfg, true);
            }
            for (std::size_t i = 0; i < s.size(); ++i) {
                for (const char m : marks) {
                    if (m == '\0') continue;
                    std::string d = s;
                    d[i] = m;
                    run(d, cfg, (i % 2) == 0);
                }
            }
        }
    }
}

TEST(validate_deep_nesting) {
    const std::size_t n = 1000000;
    std::string doc;
    doc.reserve(7 * n);
    for (std::size_t i = 0; i < n; ++i) doc += "<a>";
    for (std::size_t i = 0; i < n; ++i) doc += "</a>";
    CHECK(validate(doc));
    doc.resize(doc.size() - 4);
    CHECK(!validate(doc));
}
