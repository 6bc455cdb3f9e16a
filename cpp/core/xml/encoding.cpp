// Label lookup and strict ("fatal" error mode) decoders of the WHATWG
// Encoding Standard. Each decoder follows the standard's handler step by
// step, except that every point where the handler would return error makes
// the whole decode fail; so no decoder needs the standard's byte restoring,
// and none keeps state across calls.
//
// The decoders run only for documents that are not UTF-8. Within one, runs
// of ASCII bytes (which every ASCII-compatible encoding maps to themselves)
// are copied in bulk; other code points collect in a small stack buffer.
#include "xml/encoding.hpp"

#include <algorithm>
#include <cstring>

#include "common/utf8.hpp"
#include "xml/encoding_tables.hpp"

namespace quelmar {

namespace {

namespace tables = encoding_tables;

using Byte = unsigned char;

// ---------------------------------------------------------------------------
// Output

// Collects UTF-8 in a stack buffer and appends it to the output string in
// chunks, so a code point costs one capacity test rather than string growth.
// finish() must be called before the string is read.
class Utf8Sink {
public:
    explicit Utf8Sink(std::string& out) noexcept : out_(out) {}
    Utf8Sink(const Utf8Sink&) = delete;
    Utf8Sink& operator=(const Utf8Sink&) = delete;

    void put(char32_t cp) {
        if (len_ > kCapacity - 4) flush();
        char* d = buf_ + len_;
        if (cp < 0x80) {
            d[0] = static_cast<char>(cp);
            len_ += 1;
        } else if (cp < 0x800) {
            d[0] = static_cast<char>(0xC0 | (cp >> 6));
            d[1] = static_cast<char>(0x80 | (cp & 0x3F));
            len_ += 2;
        } else if (cp < 0x10000) {
            d[0] = static_cast<char>(0xE0 | (cp >> 12));
            d[1] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            d[2] = static_cast<char>(0x80 | (cp & 0x3F));
            len_ += 3;
        } else {
            d[0] = static_cast<char>(0xF0 | (cp >> 18));
            d[1] = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
            d[2] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            d[3] = static_cast<char>(0x80 | (cp & 0x3F));
            len_ += 4;
        }
    }

    // Bytes that are already UTF-8 (ASCII runs).
    void put_bytes(const Byte* p, std::size_t n) {
        if (n <= kCapacity - len_) {
            std::memcpy(buf_ + len_, p, n);
            len_ += n;
            return;
        }
        flush();
        out_.append(reinterpret_cast<const char*>(p), n);
    }

    void finish() { flush(); }

private:
    static constexpr std::size_t kCapacity = 512;

    void flush() {
        out_.append(buf_, len_);
        len_ = 0;
    }

    std::string& out_;
    std::size_t len_ = 0;
    char buf_[kCapacity];
};

// Length of the run of ASCII bytes at p (eight bytes per step while it lasts).
std::size_t ascii_run(const Byte* p, const Byte* end) noexcept {
    const Byte* s = p;
    while (end - p >= 8) {
        std::uint64_t w;
        std::memcpy(&w, p, 8);
        if (w & 0x8080808080808080ull) break;
        p += 8;
    }
    while (p < end && *p < 0x80) ++p;
    return static_cast<std::size_t>(p - s);
}

bool in_range(unsigned b, unsigned lo, unsigned hi) noexcept { return b >= lo && b <= hi; }

// A decoder's error exit: back to the start of the failing sequence.
bool fail(const Byte*& p, const Byte* seq) noexcept {
    p = seq;
    return false;
}

// ---------------------------------------------------------------------------
// Index lookups: 0 stands for null (no index maps a pointer to U+0000).

template <std::size_t N>
char32_t index_code_point(const std::uint16_t (&table)[N], std::uint32_t first,
                          std::uint32_t pointer) noexcept {
    const std::uint32_t i = pointer - first;  // wraps above N for pointers below `first`
    return i < N ? table[i] : 0;
}

char32_t jis0208(std::uint32_t pointer) noexcept {
    return index_code_point(tables::kJis0208, tables::kJis0208First, pointer);
}

char32_t jis0212(std::uint32_t pointer) noexcept {
    return index_code_point(tables::kJis0212, tables::kJis0212First, pointer);
}

char32_t big5(std::uint32_t pointer) noexcept {
    const std::uint32_t i = pointer - tables::kBig5First;
    if (i >= tables::kBig5Size) return 0;
    char32_t cp = tables::kBig5[i];
    if ((tables::kBig5Plane2[i >> 3] >> (i & 7)) & 1) cp |= 0x20000;
    return cp;
}

// The standard's "index gb18030 ranges code point".
char32_t gb18030_ranges(std::uint32_t pointer) noexcept {
    if ((pointer > 39419 && pointer < 189000) || pointer > 1237575) return 0;
    if (pointer == 7457) return 0xE7C7;
    const auto* first = tables::kGb18030Ranges;
    const auto* last = first + tables::kGb18030RangeCount;
    // The last range whose pointer is <= `pointer`; the first range starts at 0.
    const auto* r = std::upper_bound(first, last, pointer,
                                     [](std::uint32_t p, const tables::Gb18030Range& e) {
                                         return p < e.pointer;
                                     }) -
                    1;
    return r->code_point + (pointer - r->pointer);
}

// ---------------------------------------------------------------------------
// Decoders. Each takes [p, end) and writes to the sink; false on the first
// error, with `p` left at the start of the sequence that failed (everything
// before it has been written, and nothing of it). Truncated sequences at the
// end of the input are errors, as the handlers' end-of-queue steps say.

bool decode_single_byte(const std::uint16_t (&row)[128], const Byte*& p, const Byte* end,
                        Utf8Sink& out) {
    while (p < end) {
        if (*p < 0x80) {
            const std::size_t n = ascii_run(p, end);
            out.put_bytes(p, n);
            p += n;
            continue;
        }
        const char32_t cp = row[*p - 0x80];
        if (cp == 0) return false;
        out.put(cp);
        ++p;
    }
    return true;
}

bool decode_x_user_defined(const Byte*& p, const Byte* end, Utf8Sink& out) {
    while (p < end) {
        if (*p < 0x80) {
            const std::size_t n = ascii_run(p, end);
            out.put_bytes(p, n);
            p += n;
            continue;
        }
        out.put(0xF780 + *p - 0x80);
        ++p;
    }
    return true;
}

// gb18030, and GBK, whose decoder is gb18030's.
bool decode_gb18030(const Byte*& p, const Byte* end, Utf8Sink& out) {
    while (p < end) {
        if (*p < 0x80) {
            const std::size_t n = ascii_run(p, end);
            out.put_bytes(p, n);
            p += n;
            continue;
        }
        const Byte* const seq = p;
        const unsigned lead = *p++;
        if (lead == 0x80) {
            out.put(0x20AC);
            continue;
        }
        if (lead == 0xFF || p == end) return fail(p, seq);
        const unsigned b2 = *p++;
        char32_t cp = 0;
        if (in_range(b2, 0x30, 0x39)) {
            // Four bytes: lead, 0x30-0x39, 0x81-0xFE, 0x30-0x39.
            if (end - p < 2) return fail(p, seq);
            const unsigned b3 = p[0], b4 = p[1];
            p += 2;
            if (!in_range(b3, 0x81, 0xFE) || !in_range(b4, 0x30, 0x39)) return fail(p, seq);
            cp = gb18030_ranges((lead - 0x81) * (10 * 126 * 10) + (b2 - 0x30) * (10 * 126) +
                                (b3 - 0x81) * 10 + (b4 - 0x30));
        } else if (in_range(b2, 0x40, 0x7E) || in_range(b2, 0x80, 0xFE)) {
            const unsigned offset = b2 < 0x7F ? 0x40 : 0x41;
            cp = index_code_point(tables::kGb18030, tables::kGb18030First,
                                  (lead - 0x81) * 190 + (b2 - offset));
        }
        if (cp == 0) return fail(p, seq);
        out.put(cp);
    }
    return true;
}

bool decode_big5(const Byte*& p, const Byte* end, Utf8Sink& out) {
    while (p < end) {
        if (*p < 0x80) {
            const std::size_t n = ascii_run(p, end);
            out.put_bytes(p, n);
            p += n;
            continue;
        }
        const Byte* const seq = p;
        const unsigned lead = *p++;
        if (!in_range(lead, 0x81, 0xFE) || p == end) return fail(p, seq);
        const unsigned b = *p++;
        unsigned offset;
        if (in_range(b, 0x40, 0x7E)) offset = 0x40;
        else if (in_range(b, 0xA1, 0xFE)) offset = 0x62;
        else return fail(p, seq);
        const std::uint32_t pointer = (lead - 0x81) * 157 + (b - offset);
        // Four pointers stand for a letter and a combining mark (no index
        // entry can hold two code points).
        switch (pointer) {
            case 1133: out.put(0x00CA); out.put(0x0304); continue;
            case 1135: out.put(0x00CA); out.put(0x030C); continue;
            case 1164: out.put(0x00EA); out.put(0x0304); continue;
            case 1166: out.put(0x00EA); out.put(0x030C); continue;
            default: break;
        }
        const char32_t cp = big5(pointer);
        if (cp == 0) return fail(p, seq);
        out.put(cp);
    }
    return true;
}

bool decode_euc_jp(const Byte*& p, const Byte* end, Utf8Sink& out) {
    while (p < end) {
        if (*p < 0x80) {
            const std::size_t n = ascii_run(p, end);
            out.put_bytes(p, n);
            p += n;
            continue;
        }
        const Byte* const seq = p;
        const unsigned lead = *p++;
        if (p == end) return fail(p, seq);
        const unsigned b = *p++;
        char32_t cp = 0;
        if (lead == 0x8E) {
            // Half-width katakana.
            if (in_range(b, 0xA1, 0xDF)) cp = 0xFF61 - 0xA1 + b;
        } else if (lead == 0x8F) {
            // JIS X 0212: 0x8F and two bytes 0xA1-0xFE.
            if (!in_range(b, 0xA1, 0xFE) || p == end) return fail(p, seq);
            const unsigned b3 = *p++;
            if (in_range(b3, 0xA1, 0xFE)) cp = jis0212((b - 0xA1) * 94 + b3 - 0xA1);
        } else if (in_range(lead, 0xA1, 0xFE) && in_range(b, 0xA1, 0xFE)) {
            cp = jis0208((lead - 0xA1) * 94 + b - 0xA1);
        }
        if (cp == 0) return fail(p, seq);
        out.put(cp);
    }
    return true;
}

bool decode_shift_jis(const Byte*& p, const Byte* end, Utf8Sink& out) {
    while (p < end) {
        if (*p < 0x80) {
            const std::size_t n = ascii_run(p, end);
            out.put_bytes(p, n);
            p += n;
            continue;
        }
        const Byte* const seq = p;
        const unsigned lead = *p++;
        if (lead == 0x80) {
            out.put(0x80);
            continue;
        }
        if (in_range(lead, 0xA1, 0xDF)) {
            out.put(0xFF61 - 0xA1 + lead);  // half-width katakana
            continue;
        }
        if (!(in_range(lead, 0x81, 0x9F) || in_range(lead, 0xE0, 0xFC)) || p == end) return fail(p, seq);
        const unsigned b = *p++;
        if (!(in_range(b, 0x40, 0x7E) || in_range(b, 0x80, 0xFC))) return fail(p, seq);
        const unsigned offset = b < 0x7F ? 0x40 : 0x41;
        const unsigned lead_offset = lead < 0xA0 ? 0x81 : 0xC1;
        const std::uint32_t pointer = (lead - lead_offset) * 188 + b - offset;
        char32_t cp;
        if (in_range(pointer, 8836, 10715)) cp = 0xE000 - 8836 + pointer;  // user-defined area
        else cp = jis0208(pointer);
        if (cp == 0) return fail(p, seq);
        out.put(cp);
    }
    return true;
}

bool decode_euc_kr(const Byte*& p, const Byte* end, Utf8Sink& out) {
    while (p < end) {
        if (*p < 0x80) {
            const std::size_t n = ascii_run(p, end);
            out.put_bytes(p, n);
            p += n;
            continue;
        }
        const Byte* const seq = p;
        const unsigned lead = *p++;
        if (!in_range(lead, 0x81, 0xFE) || p == end) return fail(p, seq);
        const unsigned b = *p++;
        if (!in_range(b, 0x41, 0xFE)) return fail(p, seq);
        const char32_t cp =
            index_code_point(tables::kEucKr, tables::kEucKrFirst, (lead - 0x81) * 190 + (b - 0x41));
        if (cp == 0) return fail(p, seq);
        out.put(cp);
    }
    return true;
}

// ISO-2022-JP: escape sequences switch between four states; the input is
// decoded from the ASCII state. `escaped` is the standard's "ISO-2022-JP
// output" flag: set by an escape sequence, cleared by any decoded byte, so
// two escape sequences in a row are an error.
bool decode_iso_2022_jp(const Byte*& p, const Byte* end, Utf8Sink& out) {
    enum class State { Ascii, Roman, Katakana, Jis0208 };
    State state = State::Ascii;
    bool escaped = false;
    while (p < end) {
        const unsigned b = *p;
        if (b == 0x1B) {
            if (end - p < 3) return false;
            const unsigned b1 = p[1], b2 = p[2];
            if (b1 == 0x28 && b2 == 0x42) state = State::Ascii;          // ESC ( B
            else if (b1 == 0x28 && b2 == 0x4A) state = State::Roman;     // ESC ( J
            else if (b1 == 0x28 && b2 == 0x49) state = State::Katakana;  // ESC ( I
            else if (b1 == 0x24 && (b2 == 0x40 || b2 == 0x42)) state = State::Jis0208;  // ESC $ @, ESC $ B
            else return false;
            if (escaped) return false;
            escaped = true;
            p += 3;
            continue;
        }
        escaped = false;
        switch (state) {
            case State::Ascii: {
                const Byte* s = p;
                while (p < end && *p < 0x80 && *p != 0x0E && *p != 0x0F && *p != 0x1B) ++p;
                if (p == s) return false;
                out.put_bytes(s, static_cast<std::size_t>(p - s));
                continue;
            }
            case State::Roman:
                if (b >= 0x80 || b == 0x0E || b == 0x0F) return false;
                out.put(b == 0x5C ? 0x00A5 : b == 0x7E ? 0x203E : b);
                break;
            case State::Katakana:
                if (!in_range(b, 0x21, 0x5F)) return false;
                out.put(0xFF61 - 0x21 + b);
                break;
            case State::Jis0208: {
                if (!in_range(b, 0x21, 0x7E) || end - p < 2) return false;
                const unsigned t = p[1];
                if (!in_range(t, 0x21, 0x7E)) return false;
                const char32_t cp = jis0208((b - 0x21) * 94 + t - 0x21);
                if (cp == 0) return false;
                out.put(cp);
                ++p;
                break;
            }
        }
        ++p;
    }
    return true;
}

template <bool BigEndian>
bool decode_utf16(const Byte*& p, const Byte* end, Utf8Sink& out) {
    auto unit = [](const Byte* q) -> char32_t {
        return BigEndian ? char32_t(q[0]) << 8 | q[1] : char32_t(q[1]) << 8 | q[0];
    };
    // Whole code units only; an odd byte at the end is an error once they are done.
    const Byte* const units_end = p + ((end - p) & ~std::ptrdiff_t{1});
    while (p < units_end) {
        const Byte* const seq = p;
        const char32_t u = unit(p);
        p += 2;
        if (u < 0xD800 || u > 0xDFFF) {
            out.put(u);
            continue;
        }
        if (u > 0xDBFF || p == units_end) return fail(p, seq);  // trailing surrogate first, or no partner
        const char32_t t = unit(p);
        p += 2;
        if (t < 0xDC00 || t > 0xDFFF) return fail(p, seq);
        out.put(0x10000 + ((u - 0xD800) << 10) + (t - 0xDC00));
    }
    return p == end;
}

// The standard's ISO-2022-JP decoder step by step, each error shown as
// U+FFFD: unlike the strict decoder above, it goes on after an error in the
// state the error leaves. The state lives in the object, so a text may come
// in pieces: a piece other than the last must not end inside an escape
// sequence (after ESC, or ESC and one byte), which the caller holds back.
}  // namespace

struct Iso2022JpMachine {
    enum class State { Ascii, Roman, Katakana, Leading, Trailing, EscapeStart, Escape };
    State state = State::Ascii, output_state = State::Ascii;
    unsigned leading = 0;
    bool output = false;

    void run(const Byte* p, const Byte* end, Utf8Sink& out, bool last) {
        const auto error = [&] { out.put(0xFFFD); };
        while (true) {
            const bool eoq = p == end;
            const unsigned b = eoq ? 0 : *p;
            switch (state) {
                case State::Ascii:
                case State::Roman:
                case State::Katakana:
                case State::Leading:
                    if (eoq) return;
                    if (b == 0x1B) {
                        ++p;
                        state = State::EscapeStart;
                        continue;
                    }
                    output = false;
                    if (state == State::Ascii && b < 0x80 && b != 0x0E && b != 0x0F) {
                        const Byte* s = p;  // the run of such bytes at once
                        while (p < end && *p < 0x80 && *p != 0x0E && *p != 0x0F && *p != 0x1B) ++p;
                        out.put_bytes(s, static_cast<std::size_t>(p - s));
                        continue;
                    }
                    ++p;
                    if (state == State::Roman && b < 0x80 && b != 0x0E && b != 0x0F) {
                        out.put(b == 0x5C ? 0x00A5 : b == 0x7E ? 0x203E : b);
                    } else if (state == State::Katakana && in_range(b, 0x21, 0x5F)) {
                        out.put(0xFF61 - 0x21 + b);
                    } else if (state == State::Leading && in_range(b, 0x21, 0x7E)) {
                        leading = b;
                        state = State::Trailing;
                    } else {
                        error();
                    }
                    continue;
                case State::Trailing: {
                    if (eoq) {
                        if (last) {
                            state = State::Leading;
                            error();
                        }
                        return;
                    }
                    state = State::Leading;
                    ++p;
                    if (b == 0x1B) {
                        state = State::EscapeStart;
                        error();
                        continue;
                    }
                    const char32_t cp = in_range(b, 0x21, 0x7E) ? jis0208((leading - 0x21) * 94 + b - 0x21) : 0;
                    if (cp == 0) error();
                    else out.put(cp);
                    continue;
                }
                case State::EscapeStart:
                    if (b == 0x24 || b == 0x28) {  // (never at the end: b is 0 there)
                        leading = b;
                        state = State::Escape;
                        ++p;
                        continue;
                    }
                    output = false;  // the byte is read again in the output state
                    state = output_state;
                    error();
                    if (eoq) return;
                    continue;
                case State::Escape: {
                    const unsigned lead = leading;
                    leading = 0;
                    State next = State::Escape;  // none
                    if (lead == 0x28 && b == 0x42) next = State::Ascii;
                    else if (lead == 0x28 && b == 0x4A) next = State::Roman;
                    else if (lead == 0x28 && b == 0x49) next = State::Katakana;
                    else if (lead == 0x24 && (b == 0x40 || b == 0x42)) next = State::Leading;
                    if (next != State::Escape && !eoq) {
                        state = output_state = next;
                        ++p;
                        if (output) error();
                        output = true;
                        continue;
                    }
                    --p;  // the leading byte (and this one) are read again in the output state
                    output = false;
                    state = output_state;
                    error();
                    continue;
                }
            }
        }
    }
};

namespace {

void decode_iso_2022_jp_lossy(const Byte* p, const Byte* end, Utf8Sink& out) {
    Iso2022JpMachine m;
    m.run(p, end, out, true);
}

// How many bytes the standard's decoder takes up with the malformed
// sequence that starts `s` (not empty) in a stateless encoding of two-byte
// or four-byte sequences: a trail byte that is ASCII is read again. What is
// decoded piecewise (a text, a value, a name) ends where markup starts, at
// an ASCII byte, so a sequence cut short by the end of `s` is taken up as the
// decoder would take it up before that byte.
std::size_t malformed_length(Encoding e, Bytes s) noexcept {
    const Byte* b = ubegin(s);
    const std::size_t n = s.size();
    auto pair = [&](bool lead_ok) -> std::size_t { return !lead_ok || n < 2 || b[1] < 0x80 ? 1 : 2; };
    switch (e) {
        case Encoding::Utf16Be:
        case Encoding::Utf16Le: {
            // A lone surrogate or an odd last byte; a leading surrogate with
            // nothing after it but an odd byte is one error with it.
            if (n < 2) return n;
            const unsigned u = e == Encoding::Utf16Be ? unsigned{b[0]} << 8 | b[1] : unsigned{b[1]} << 8 | b[0];
            return n == 3 && u >= 0xD800 && u <= 0xDBFF ? 3 : 2;
        }
        case Encoding::Gbk:
        case Encoding::Gb18030:
            if (b[0] == 0xFF || n < 2) return 1;
            if (in_range(b[1], 0x30, 0x39))  // four bytes: a bad third or fourth byte costs the first
                return n >= 4 && in_range(b[2], 0x81, 0xFE) && in_range(b[3], 0x30, 0x39) ? 4 : 1;
            return pair(true);
        case Encoding::Big5:
        case Encoding::EucKr: return pair(in_range(b[0], 0x81, 0xFE));
        case Encoding::ShiftJis: return pair(in_range(b[0], 0x81, 0x9F) || in_range(b[0], 0xE0, 0xFC));
        case Encoding::EucJp:
            if (b[0] == 0x8F && n >= 2 && in_range(b[1], 0xA1, 0xFE)) return n < 3 ? n : (b[2] < 0x80 ? 2 : 3);
            return pair(b[0] == 0x8E || b[0] == 0x8F || in_range(b[0], 0xA1, 0xFE));
        default: return 1;
    }
}

bool is_label_space(char c) noexcept {
    return c == '\t' || c == '\n' || c == '\f' || c == '\r' || c == ' ';
}

}  // namespace

// ---------------------------------------------------------------------------
// Public interface

std::optional<Encoding> encoding_for_label(Bytes label) noexcept {
    while (!label.empty() && is_label_space(label.front())) label.remove_prefix(1);
    while (!label.empty() && is_label_space(label.back())) label.remove_suffix(1);
    if (label.empty() || label.size() > tables::kMaxLabelLength) return std::nullopt;
    char buf[tables::kMaxLabelLength];
    for (std::size_t i = 0; i < label.size(); ++i) {
        const char c = label[i];
        buf[i] = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
    }
    const std::string_view key(buf, label.size());
    const auto* first = tables::kLabels;
    const auto* last = first + tables::kLabelCount;
    const auto* it = std::lower_bound(first, last, key, [](const tables::LabelEntry& e, std::string_view k) {
        return e.label < k;
    });
    if (it == last || it->label != key) return std::nullopt;
    return it->encoding;
}

const char* encoding_name(Encoding e) noexcept {
    const auto i = static_cast<std::size_t>(e);
    return i < tables::kEncodingCount ? tables::kEncodingNames[i] : "";
}

namespace {

// Runs the decoder of `e` (not UTF-8) over [p, end); see the decoders' contract.
bool run_decoder(Encoding e, const Byte*& p, const Byte* end, Utf8Sink& sink) {
    const auto value = static_cast<unsigned>(e);
    if (value >= static_cast<unsigned>(Encoding::Ibm866) && value <= static_cast<unsigned>(Encoding::XMacCyrillic)) {
        const auto row = tables::kSingleByteRow[value - static_cast<unsigned>(Encoding::Ibm866)];
        return decode_single_byte(tables::kSingleByte[row], p, end, sink);
    }
    switch (e) {
        case Encoding::Gbk:
        case Encoding::Gb18030: return decode_gb18030(p, end, sink);
        case Encoding::Big5: return decode_big5(p, end, sink);
        case Encoding::EucJp: return decode_euc_jp(p, end, sink);
        case Encoding::Iso2022Jp: return decode_iso_2022_jp(p, end, sink);
        case Encoding::ShiftJis: return decode_shift_jis(p, end, sink);
        case Encoding::EucKr: return decode_euc_kr(p, end, sink);
        case Encoding::Utf16Be: return decode_utf16<true>(p, end, sink);
        case Encoding::Utf16Le: return decode_utf16<false>(p, end, sink);
        case Encoding::XUserDefined: return decode_x_user_defined(p, end, sink);
        default: return p == end;  // replacement: only empty input decodes
    }
}

}  // namespace

bool decode_to_utf8(Encoding e, Bytes in, std::string& out) {
    if (e == Encoding::Utf8) {
        if (!utf8_valid(in)) return false;
        out.append(in);
        return true;
    }
    const Byte* p = ubegin(in);
    Utf8Sink sink(out);
    const bool ok = run_decoder(e, p, p + in.size(), sink);
    if (ok) sink.finish();
    return ok;
}

std::size_t decode_prefix_to_utf8(Encoding e, Bytes in, std::string& out) {
    if (e == Encoding::Utf8) {
        const auto err = utf8_check(in);
        const std::size_t n = err ? err->valid_up_to : in.size();
        out.append(in.substr(0, n));
        return n;
    }
    const Byte* const begin = ubegin(in);
    const Byte* p = begin;
    Utf8Sink sink(out);
    (void)run_decoder(e, p, begin + in.size(), sink);
    sink.finish();
    return static_cast<std::size_t>(p - begin);
}

void decode_lossy_to_utf8(Encoding e, Bytes in, std::string& out) {
    if (e == Encoding::Utf8) {
        out += utf8_lossy(in);
        return;
    }
    if (e == Encoding::Replacement) {
        if (!in.empty()) out.append("\xEF\xBF\xBD");
        return;
    }
    if (e == Encoding::Iso2022Jp) {
        // The strict decoder is the quicker; a damaged text is decoded
        // again from its start, since its state at the error is gone.
        const std::size_t mark = out.size();
        if (decode_prefix_to_utf8(e, in, out) == in.size()) return;
        out.resize(mark);
        Utf8Sink sink(out);
        decode_iso_2022_jp_lossy(ubegin(in), ubegin(in) + in.size(), sink);
        sink.finish();
        return;
    }
    // Each malformed sequence is one U+FFFD; decoding resumes where the
    // standard's decoder would.
    for (;;) {
        const std::size_t n = decode_prefix_to_utf8(e, in, out);
        if (n >= in.size()) return;
        out.append("\xEF\xBF\xBD");
        in.remove_prefix(n + malformed_length(e, in.substr(n)));
    }
}

// ---------------------------------------------------------------------------
// Pieces of one text

LossyStreamDecoder::LossyStreamDecoder(Encoding e) : e_(e) {
    if (e == Encoding::Iso2022Jp) iso_ = std::make_unique<Iso2022JpMachine>();
}

LossyStreamDecoder::~LossyStreamDecoder() = default;

void LossyStreamDecoder::decode(Bytes in, bool last, std::string& out) {
    std::string joined;
    if (!held_.empty()) {
        joined = held_;
        joined.append(in.data(), in.size());
        held_.clear();
        in = joined;
    }
    if (iso_) {
        // An escape sequence cut by the end of the piece waits for its bytes.
        std::size_t n = in.size();
        if (!last) {
            if (n >= 1 && in[n - 1] == '\x1B') n -= 1;
            else if (n >= 2 && in[n - 2] == '\x1B') n -= 2;
        }
        std::string tail(in.data() + n, in.size() - n);  // `in` may be `joined`, never held_
        held_ = std::move(tail);
        Utf8Sink sink(out);
        iso_->run(ubegin(in), ubegin(in) + n, sink, last);
        sink.finish();
        return;
    }
    // Stateless encodings: a malformed sequence near the end of a piece may
    // be a character cut short, and is decoded with the next piece.
    for (;;) {
        const std::size_t n = decode_prefix_to_utf8(e_, in, out);
        if (n >= in.size()) return;
        if (!last && in.size() - n < 8) {
            std::string tail(in.data() + n, in.size() - n);
            held_ = std::move(tail);
            return;
        }
        out.append("\xEF\xBF\xBD");
        in.remove_prefix(n + malformed_length(e_, in.substr(n)));
    }
}

}  // namespace quelmar
