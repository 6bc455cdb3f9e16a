// Label lookup and strict decoders of the WHATWG encodings.
#include <string>

#include "check.hpp"
#include "common/utf8.hpp"
#include "xml/encoding.hpp"

using namespace quelmar;

namespace {

#include "encoding_test_tables.inc"

std::string utf8_of(std::u32string_view text) {
    std::string s;
    for (char32_t c : text) utf8_append(s, c);
    return s;
}

// The decoded text, or "<error>" when the decoder rejects the input.
std::string decode(Encoding e, std::string_view in) {
    std::string out;
    return decode_to_utf8(e, in, out) ? out : std::string("<error>");
}

Encoding by_name(const char* name) { return *encoding_for_label(name); }

struct DecodeCase {
    Encoding encoding;
    std::string_view in;
    std::u32string_view want;  // ignored when `ok` is false
    bool ok;
};

void run_cases(const DecodeCase* first, const DecodeCase* last) {
    int i = 0;
    for (const DecodeCase* c = first; c != last; ++c, ++i) {
        const std::string got = decode(c->encoding, c->in);
        const std::string want = c->ok ? utf8_of(c->want) : "<error>";
        if (got != want)
            check::fail(__FILE__, __LINE__,
                        std::string(encoding_name(c->encoding)) + " case " + std::to_string(i) +
                            ": got " + got + ", want " + want);
    }
}

}  // namespace

// ---------------------------------------------------------------------------
// Labels

TEST(encoding_every_label_resolves) {
    for (const auto& c : kLabelCases) {
        auto e = encoding_for_label(c.label);
        CHECK(e.has_value());
        if (e) CHECK_EQ(std::string(encoding_name(*e)), std::string(c.name));
        // The same label upper-cased and padded with ASCII white space.
        std::string variant = " \t";
        for (const char* p = c.label; *p; ++p)
            variant += (*p >= 'a' && *p <= 'z') ? static_cast<char>(*p - 'a' + 'A') : *p;
        variant += "\r\n\f";
        auto v = encoding_for_label(variant);
        CHECK(v.has_value() && e.has_value() && *v == *e);
    }
}

TEST(encoding_label_space_and_case) {
    struct Case {
        std::string_view label;
        const char* name;  // nullptr: unknown
    };
    const Case cases[] = {
        {"  UTF-8 ", "UTF-8"},
        {"\t\n\f\rlatin1\r\f\n\t ", "windows-1252"},
        {"Shift_JIS", "Shift_JIS"},
        {"SHIFT_jis", "Shift_JIS"},
        {"X-Mac-Cyrillic", "x-mac-cyrillic"},
        {"ISO-8859-8-I", "ISO-8859-8-I"},
        {"csiso2022kr", "replacement"},
        {"utf-16", "UTF-16LE"},
        {"x-user-defined", "x-user-defined"},
        {"\vutf-8", nullptr},           // vertical tab is not ASCII white space here
        {"utf-8\xC2\xA0", nullptr},     // nor is a no-break space
        {"utf -8", nullptr},            // inner space
        {"lat\xC4\xB0n1", nullptr},     // only ASCII letters fold
        {std::string_view("utf-8\0", 6), nullptr},
        {"", nullptr},
        {"   ", nullptr},
        {"utf-7", nullptr},
        {"utf-8x", nullptr},
        {"utf-", nullptr},
        {"iso-8859-1-extended-label", nullptr},  // longer than every label
        {"0", nullptr},
        {"~", nullptr},
    };
    for (const auto& c : cases) {
        auto e = encoding_for_label(c.label);
        if (c.name == nullptr) {
            if (e) check::fail(__FILE__, __LINE__, "label resolved: " + std::string(c.label));
        } else {
            CHECK(e.has_value());
            if (e) CHECK_EQ(std::string(encoding_name(*e)), std::string(c.name));
        }
    }
}

// ---------------------------------------------------------------------------
// Single-byte encodings: every byte against the index file

TEST(encoding_single_byte_tables) {
    for (const auto& c : kSingleByteCases) {
        const Encoding e = by_name(c.name);
        for (int b = 0; b < 256; ++b) {
            const std::string in(1, static_cast<char>(b));
            const char32_t want = b < 0x80 ? static_cast<char32_t>(b) : c.code_points[b - 0x80];
            const std::string got = decode(e, in);
            const std::string expected = b < 0x80 || want ? utf8_of(std::u32string(1, want)) : "<error>";
            if (got != expected)
                check::fail(__FILE__, __LINE__,
                            std::string(c.name) + ": byte " + std::to_string(b) + " decodes to " + got);
        }
    }
}

TEST(encoding_x_user_defined) {
    for (int b = 0; b < 256; ++b) {
        const char32_t want = b < 0x80 ? static_cast<char32_t>(b) : 0xF780 + static_cast<char32_t>(b) - 0x80;
        CHECK_EQ(decode(Encoding::XUserDefined, std::string(1, static_cast<char>(b))),
                 utf8_of(std::u32string(1, want)));
    }
}

// Long mixed input: ASCII runs of every length around the output buffer's
// size, non-ASCII bytes between them, and output appended after existing text.
TEST(encoding_long_mixed_input) {
    std::string in, want = "prefix:";
    for (std::size_t run = 0; run < 1200; run += 7) {
        in.append(run, 'a');
        want.append(run, 'a');
        in += "\xE9\x80";
        want += "\xCE\xB9\xE2\x82\xAC";  // U+03B9, U+20AC
    }
    std::string out = "prefix:";
    CHECK(decode_to_utf8(Encoding::Windows1253, in, out));
    CHECK(out == want);
    in += "\xAA";  // undefined in windows-1253: the whole decode fails
    std::string out2;
    CHECK(!decode_to_utf8(Encoding::Windows1253, in, out2));
}

// ---------------------------------------------------------------------------
// Multi-byte encodings

#define OK(e, in, want) {Encoding::e, std::string_view(in, sizeof(in) - 1), want, true}
#define BAD(e, in) {Encoding::e, std::string_view(in, sizeof(in) - 1), U"", false}

TEST(encoding_cjk_known_pairs) {
    static const DecodeCase cases[] = {
        OK(ShiftJis, "\x93\xFA\x96\x7B\x8C\xEA", U"日本語"),
        OK(ShiftJis, "a\\~\x80", U"a\\~\u0080"),
        OK(ShiftJis, "\xB1\xDF", U"\uFF71\uFF9F"),           // half-width katakana
        OK(ShiftJis, "\x87\x40\xFA\x40", U"\u2460\u2170"),   // NEC and IBM extensions
        OK(ShiftJis, "\xF0\x40\xF9\xFC", U"\uE000\uE757"),   // user-defined area
        OK(EucJp, "\xC6\xFC\xCB\xDC\xB8\xEC", U"日本語"),
        OK(EucJp, "\x8E\xB1", U"\uFF71"),
        OK(EucJp, "\x8F\xB0\xA1", U"\u4E02"),                // JIS X 0212
        OK(Iso2022Jp, "\x1B$BF|K\\8l\x1B(B.", U"日本語."),
        OK(Iso2022Jp, "\x1B(Ba\x1B$@F|", U"a日"),           // leading escape; ESC $ @
        OK(Iso2022Jp, "\x1B(J\\~a\x1B(B\\~", U"\u00A5\u203Ea\\~"),
        OK(Iso2022Jp, "\x1B(I\x31\x5F", U"\uFF71\uFF9F"),
        OK(Iso2022Jp, "ab\x1B$B", U"ab"),                     // ends right after an escape
        OK(Gbk, "\xD6\xD0\xCE\xC4", U"中文"),
        OK(Gbk, "\x80\xA3\xA0", U"\u20AC\u3000"),
        OK(Gb18030, "\x81\x30\x81\x30", U"\u0080"),
        OK(Gb18030, "\x81\x35\xF4\x37", U"\uE7C7"),
        OK(Gb18030, "\x84\x31\xA4\x39", U"\uFFFF"),
        OK(Gb18030, "\x90\x30\x81\x30", U"\U00010000"),
        OK(Gb18030, "\xE3\x32\x9A\x35", U"\U0010FFFF"),
        OK(Gbk, "\x90\x30\x81\x30", U"\U00010000"),           // GBK decodes as gb18030
        OK(Big5, "\xA4\xA4\xA4\xE5", U"中文"),
        OK(Big5, "\x87\x45", U"\U00027267"),                  // plane 2
        OK(Big5, "\x88\x62\x88\x64\x88\xA3\x88\xA5", U"\u00CA\u0304\u00CA\u030C\u00EA\u0304\u00EA\u030C"),
        OK(EucKr, "\xC7\xD1\xB1\xB9\xBE\xEE", U"한국어"),
        OK(EucKr, "\x81\x41", U"\uAC02"),                     // extension of KS X 1001
        OK(Utf16Le, "a\0\x3D\xD8\x00\xDE", U"a\U0001F600"),
        OK(Utf16Be, "\0a\xD8\x3D\xDE\x00", U"a\U0001F600"),
        OK(Utf16Le, "\xFF\xFE", U"\uFEFF"),                   // a mark inside text is text
        OK(Utf8, "caf\xC3\xA9", U"café"),
        OK(Replacement, "", U""),
    };
    run_cases(std::begin(cases), std::end(cases));
}

TEST(encoding_cjk_malformed) {
    static const DecodeCase cases[] = {
        BAD(ShiftJis, "\x93"),          // lead byte at the end
        BAD(ShiftJis, "\x93\x20"),      // bad trail byte
        BAD(ShiftJis, "\x93\x7F"),
        BAD(ShiftJis, "\x85\x40"),      // unmapped pointer
        BAD(ShiftJis, "\xA0"),
        BAD(ShiftJis, "\xFD"),
        BAD(EucJp, "\xC6"),
        BAD(EucJp, "\xC6\x41"),
        BAD(EucJp, "\x8E\xE0"),
        BAD(EucJp, "\x8F\xB0"),         // JIS X 0212 cut short
        BAD(EucJp, "\x8F\x41\xA1"),
        BAD(EucJp, "\x8F\xA2\xA1"),     // unmapped in JIS X 0212
        BAD(EucJp, "\xFF"),
        BAD(Iso2022Jp, "\x1B$B\x1B(B"), // two escapes without text between
        BAD(Iso2022Jp, "\x1B(Z"),       // unknown escape
        BAD(Iso2022Jp, "\x1B"),
        BAD(Iso2022Jp, "\x1B$"),
        BAD(Iso2022Jp, "a\x1B"),
        BAD(Iso2022Jp, "\x1B$BF"),      // lead byte without trail
        BAD(Iso2022Jp, "\x1B$BF\x1B(B"),
        BAD(Iso2022Jp, "\x1B$B\n"),     // no line break in the two-byte state
        BAD(Iso2022Jp, "\x1B$B\x22\x2F"),  // unmapped
        BAD(Iso2022Jp, "a\x0E"),
        BAD(Iso2022Jp, "a\x0F"),
        BAD(Iso2022Jp, "\xA4\xA2"),     // eight-bit bytes are never valid
        BAD(Iso2022Jp, "\x1B(J\x80"),
        BAD(Iso2022Jp, "\x1B(I\x60"),
        BAD(Gb18030, "\xFF"),
        BAD(Gb18030, "\x81"),
        BAD(Gb18030, "\x81\x30"),
        BAD(Gb18030, "\x81\x30\x81"),
        BAD(Gb18030, "\x81\x30\x20\x30"),
        BAD(Gb18030, "\x81\x30\x81\x41"),
        BAD(Gb18030, "\x81\x7F"),
        BAD(Gb18030, "\x81\xFF"),
        BAD(Gb18030, "\x84\x31\xA5\x30"),  // pointer 39420: no code point
        BAD(Gb18030, "\x8F\x39\xFE\x39"),  // pointer 188999
        BAD(Gb18030, "\xE3\x32\x9A\x36"),  // past U+10FFFF
        BAD(Gb18030, "\xFE\x39\xFE\x39"),
        BAD(Big5, "\xA4"),
        BAD(Big5, "\xA4\x30"),
        BAD(Big5, "\xA4\x80"),
        BAD(Big5, "\x81\x40"),          // unmapped
        BAD(Big5, "\x80"),
        BAD(Big5, "\xFF\x40"),
        BAD(EucKr, "\xC7"),
        BAD(EucKr, "\xC7\x20"),
        BAD(EucKr, "\xC9\xA1"),         // unmapped
        BAD(EucKr, "\x80\x41"),
        BAD(EucKr, "\xFF\x41"),
        BAD(Utf16Le, "a"),              // odd byte
        BAD(Utf16Le, "a\0b"),
        BAD(Utf16Le, "\x3D\xD8"),       // leading surrogate at the end
        BAD(Utf16Le, "\x00\xDE"),       // lone trailing surrogate
        BAD(Utf16Le, "\x3D\xD8\x41\x00"),
        BAD(Utf16Le, "\x3D\xD8\x3D\xD8\x00\xDE"),
        BAD(Utf16Be, "\xD8\x3D"),
        BAD(Utf16Be, "\xDE\x00"),
        BAD(Utf16Be, "\xD8\x3D\x00\x41"),
        BAD(Utf8, "caf\xE9"),
        BAD(Utf8, "\xED\xA0\x80"),      // encoded surrogate
        BAD(Replacement, "a"),
    };
    run_cases(std::begin(cases), std::end(cases));
}

// A malformed sequence after valid text still fails the whole decode.
TEST(encoding_error_after_text) {
    const Encoding all[] = {Encoding::Gb18030, Encoding::Big5, Encoding::EucJp, Encoding::ShiftJis,
                            Encoding::EucKr, Encoding::Iso2022Jp};
    for (Encoding e : all) {
        std::string in(5000, 'x');
        std::string out;
        CHECK(decode_to_utf8(e, in, out));
        CHECK_EQ(out.size(), in.size());
        in += "\xFF";
        out.clear();
        CHECK(!decode_to_utf8(e, in, out));
    }
}

#undef OK
#undef BAD
