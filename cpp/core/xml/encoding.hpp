// Text encodings of the WHATWG Encoding Standard: label lookup and decoding
// to UTF-8, strict (malformed input fails) or with replacement characters.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "common/bytes.hpp"

namespace quelmar {

// Every encoding of the standard, in the order of its table.
enum class Encoding : std::uint8_t {
    Utf8,
    Ibm866, Iso8859_2, Iso8859_3, Iso8859_4, Iso8859_5, Iso8859_6, Iso8859_7, Iso8859_8,
    Iso8859_8I, Iso8859_10, Iso8859_13, Iso8859_14, Iso8859_15, Iso8859_16, Koi8R, Koi8U,
    Macintosh, Windows874, Windows1250, Windows1251, Windows1252, Windows1253, Windows1254,
    Windows1255, Windows1256, Windows1257, Windows1258, XMacCyrillic,
    Gbk, Gb18030, Big5, EucJp, Iso2022Jp, ShiftJis, EucKr,
    Replacement, Utf16Be, Utf16Le, XUserDefined,
};

// The encoding a label names (ASCII white space around it and ASCII case
// ignored), or nothing for a label the standard does not define.
std::optional<Encoding> encoding_for_label(Bytes label) noexcept;

// The standard's canonical name ("UTF-8", "windows-1252", ...).
const char* encoding_name(Encoding e) noexcept;

// Decodes `in` to UTF-8, appending to `out`. Returns false on malformed
// input (what was appended is then unspecified). For UTF-8 this is
// validation plus a copy.
bool decode_to_utf8(Encoding e, Bytes in, std::string& out);

// Decodes the longest well-formed prefix of `in`, appending it to `out`.
// Returns the number of input bytes it covers: in.size() when all of `in`
// is well formed, else the offset of the first malformed sequence.
std::size_t decode_prefix_to_utf8(Encoding e, Bytes in, std::string& out);

// Decodes `in` with each malformed sequence shown as U+FFFD, as the
// standard's decode does: how texts, values and raw markup of a legacy
// document are read.
void decode_lossy_to_utf8(Encoding e, Bytes in, std::string& out);

// decode_lossy_to_utf8 over a text that comes in pieces (a stream read
// chunk after chunk): the pieces' output, end to end, is what decoding the
// whole text at once gives. Bytes that may start a character or an escape
// sequence completed by the next piece are held until it comes.
struct Iso2022JpMachine;
class LossyStreamDecoder {
public:
    explicit LossyStreamDecoder(Encoding e);
    ~LossyStreamDecoder();
    LossyStreamDecoder(const LossyStreamDecoder&) = delete;
    LossyStreamDecoder& operator=(const LossyStreamDecoder&) = delete;

    // Appends the UTF-8 form of the next piece to `out`; `last`: no piece
    // follows (what is held is then decoded, malformed or not).
    void decode(Bytes in, bool last, std::string& out);

private:
    Encoding e_;
    std::string held_;
    std::unique_ptr<Iso2022JpMachine> iso_;
};

}  // namespace quelmar
