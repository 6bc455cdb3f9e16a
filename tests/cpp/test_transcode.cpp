// Prefix and lossy decoding, whole-document transcoding, and the reader's
// handling of declarations that name UTF-16.
#include <string>

#include "check.hpp"
#include "xml/encoding.hpp"
#include "xml/reader.hpp"

using namespace quelmar;
using namespace std::string_view_literals;

namespace {

struct PrefixCase {
    Encoding encoding;
    std::string_view in;
    std::size_t covered;  // bytes decoded before the first malformed sequence
    std::string_view text;
};

// The text of the first text event after the first start tag.
std::string first_text(Bytes doc, Encoding* settled = nullptr) {
    Reader r(doc);
    std::string scratch;
    for (;;) {
        const Event ev = r.read_event();
        if (ev.kind == EventKind::Eof) return "<eof>";
        if (ev.kind != EventKind::Text || r.depth() == 0) continue;
        if (settled) *settled = r.encoding();
        Bytes out;
        r.unescape(ev.content, scratch, out);
        return std::string(out);
    }
}

}  // namespace

TEST(decode_prefix_stops_at_the_first_malformed_sequence) {
    const PrefixCase cases[] = {
        {Encoding::Utf8, "ab\xC3\xA9\xC3", 4, "ab\xC3\xA9"},
        {Encoding::Windows1253, "a\xE1\xAA\xE1", 2, "a\xCE\xB1"},        // 0xAA is unassigned
        {Encoding::ShiftJis, "\x93\xFA\x82<", 2, "\xE6\x97\xA5"},         // lead byte, then '<'
        {Encoding::ShiftJis, "\x93\xFA\x82", 2, "\xE6\x97\xA5"},          // lead byte at the end
        {Encoding::Gb18030, "a\x81\x30\x81", 1, "a"},                     // four-byte sequence cut short
        {Encoding::Big5, "\xA4\x40\xA4\x20", 2, "\xE4\xB8\x80"},          // ASCII trail byte
        {Encoding::EucKr, "\xB0\xA1\xB0", 2, "\xEA\xB0\x80"},
        {Encoding::EucJp, "\x8F\xA2", 0, ""},
        {Encoding::Iso2022Jp, "a\x1B$B\x1B(B", 4, "a"},                  // two escapes in a row
        {Encoding::Iso2022Jp, "a\x0E", 1, "a"},
        {Encoding::Utf16Le, "a\0\x00\xDC" "b\0"sv, 2, "a"},              // lone trailing surrogate
        {Encoding::Utf16Le, "a\0\x3D\xD8"sv, 2, "a"},                    // leading surrogate at the end
        {Encoding::Utf16Be, "\0a\0b\0"sv, 4, "ab"},                      // odd byte at the end
        {Encoding::Replacement, "abc", 0, ""},
        {Encoding::Windows1252, "caf\xE9", 4, "caf\xC3\xA9"},
    };
    for (const PrefixCase& c : cases) {
        std::string out = "<";
        CHECK_EQ(decode_prefix_to_utf8(c.encoding, c.in, out), c.covered);
        CHECK_EQ(out, "<" + std::string(c.text));
        std::string strict;
        CHECK_EQ(decode_to_utf8(c.encoding, c.in, strict), c.covered == c.in.size());
    }
}

TEST(decode_lossy_marks_each_malformed_sequence) {
    const struct {
        Encoding encoding;
        std::string_view in;
        std::string_view text;
    } cases[] = {
        {Encoding::ShiftJis, "<n\x82>\x93\xFA</n\x82>", "<n\xEF\xBF\xBD>\xE6\x97\xA5</n\xEF\xBF\xBD>"},
        {Encoding::Windows1253, "\xAA\xAA", "\xEF\xBF\xBD\xEF\xBF\xBD"},
        {Encoding::Big5, "\xA4\x20x", "\xEF\xBF\xBD x"},  // the ASCII trail byte is read again
        {Encoding::Utf8, "a\xFF", "a\xEF\xBF\xBD"},
        {Encoding::Replacement, "abc", "\xEF\xBF\xBD"},
        {Encoding::Replacement, "", ""},
        {Encoding::Koi8R, "\xC1", "\xD0\xB0"},
        // An unmapped pair whose trail byte is not ASCII is one error: the
        // character after it stays whole.
        {Encoding::EucKr, "a\xC9\xA1" "b", "a\xEF\xBF\xBD" "b"},
        {Encoding::EucJp, "x\xA9\xA1\xB0\xA1y", "x\xEF\xBF\xBD\xE4\xBA\x9Cy"},
        {Encoding::ShiftJis, "x\x85\x89" "Ay", "x\xEF\xBF\xBD" "Ay"},
        {Encoding::Big5, "x\x81\xA4" "Ay", "x\xEF\xBF\xBD" "Ay"},
        {Encoding::Gb18030, "\x81\x30\x81\x20", "\xEF\xBF\xBD" "0\xEF\xBF\xBD "},
        {Encoding::Gb18030, "\x81\x30\x81", "\xEF\xBF\xBD" "0\xEF\xBF\xBD"},  // cut short: as if '<' followed
        {Encoding::Gb18030, "\x84\x31\xA5\x30" "a", "\xEF\xBF\xBD" "a"},  // four bytes mapping to nothing
        // UTF-16: a lone surrogate is one unit; a leading one and an odd
        // last byte are one error.
        {Encoding::Utf16Le, "a\0\x00\xDC" "b\0"sv, "a\xEF\xBF\xBD" "b"},
        {Encoding::Utf16Le, "a\0\x3D\xD8" "b\0"sv, "a\xEF\xBF\xBD" "b"},
        {Encoding::Utf16Be, "\0a\xD8\x3D\x01"sv, "a\xEF\xBF\xBD"},
        // ISO-2022-JP goes on in the state the error leaves.
        {Encoding::Iso2022Jp, "a\x1B$B\x22\x2F\x30\x21\x1B(Bb", "a\xEF\xBF\xBD\xE4\xBA\x9C" "b"},
        {Encoding::Iso2022Jp, "a\x0E" "b", "a\xEF\xBF\xBD" "b"},
        {Encoding::Iso2022Jp, "a\x1B$B\x1B(B" "b", "a\xEF\xBF\xBD" "b"},
        {Encoding::Iso2022Jp, "a\x1BXb", "a\xEF\xBF\xBDXb"},
        {Encoding::Iso2022Jp, "\x1B$B\x30", "\xEF\xBF\xBD"},
    };
    for (const auto& c : cases) {
        std::string out;
        decode_lossy_to_utf8(c.encoding, c.in, out);
        CHECK_EQ(out, std::string(c.text));
    }
}

TEST(transcode_document_decodes_what_cannot_be_read_byte_wise) {
    std::string out;
    // UTF-16 by byte-order mark and by first bytes; the mark is dropped.
    CHECK(transcode_document("\xFF\xFE<\0a\0/\0>\0"sv, out));
    CHECK_EQ(out, "<a/>");
    CHECK(transcode_document("\xFE\xFF\0<\0a\0/\0>"sv, out));
    CHECK_EQ(out, "<a/>");
    CHECK(transcode_document("<\0?\0x\0m\0l\0 \0?\0>\0"sv, out));
    CHECK_EQ(out, "<?xml ?>");
    // A damaged document is read whole, U+FFFD for what does not decode.
    CHECK(transcode_document("\xFF\xFE<\0a\0>\0\x00\xDC<\0"sv, out));
    CHECK_EQ(out, "<a>\xEF\xBF\xBD<");
    // ISO-2022-JP when a declaration at the start names it.
    CHECK(transcode_document("<?xml version='1.0' encoding='ISO-2022-JP'?><a>\x1B$B<B\x1B(B</a>", out));
    CHECK_EQ(out, "<?xml version='1.0' encoding='ISO-2022-JP'?><a>\xE5\xAE\x9F</a>");
    CHECK(transcode_document("<?xml encoding='iso-2022-jp'?><a>\x0E</a>", out));
    CHECK_EQ(out, "<?xml encoding='iso-2022-jp'?><a>\xEF\xBF\xBD</a>");
    // Everything else is read as it stands: no declaration, another label, a
    // declaration not at the start, or eight-bit bytes (no ISO-2022-JP text).
    const std::string_view as_is[] = {
        "<a>\x1B$B<B\x1B(B</a>",
        "<?xml encoding='shift_jis'?><a/>",
        " <?xml encoding='iso-2022-jp'?><a/>",
        "<?xml encoding='iso-2022-jp'<a/>",
        "<?xml encoding='iso-2022-jp'?><a>\xE5\xAE\x9F</a>",
        "<?xml-stylesheet encoding='iso-2022-jp'?><a/>",
        "\xEF\xBB\xBF<a/>",
        "\xEF\xBB\xBF<?xml encoding=\"csiso2022jp\"?><a/>",  // a UTF-8 mark decides
        "",
        "\xFF",
    };
    for (std::string_view doc : as_is) {
        out = "untouched";
        CHECK(!transcode_document(doc, out));
        CHECK_EQ(out, "untouched");
    }
}

TEST(declarations_naming_utf16_leave_the_encoding) {
    Encoding e = Encoding::Big5;
    CHECK_EQ(first_text("<?xml version='1.0' encoding='UTF-16'?><a>ab</a>", &e), "ab");
    CHECK(e == Encoding::Utf8);
    CHECK_EQ(first_text("<?xml version='1.0' encoding='utf-16be'?><a>ab</a>", &e), "ab");
    CHECK(e == Encoding::Utf8);
    CHECK_EQ(first_text("\xEF\xBB\xBF<?xml version='1.0' encoding='unicodefffe'?><a>\xC3\xA9</a>", &e), "\xC3\xA9");
    CHECK(e == Encoding::Utf8);
    // Nor does any other label: a byte-order mark decides.
    CHECK_EQ(first_text("\xEF\xBB\xBF<?xml version='1.0' encoding='latin1'?><a>\xC3\xA9</a>", &e), "\xC3\xA9");
    CHECK(e == Encoding::Utf8);
    CHECK_EQ(first_text("<?xml version='1.0' encoding='latin1'?><a>\xE9</a>", &e), "\xC3\xA9");
    CHECK(e == Encoding::Windows1252);
}
