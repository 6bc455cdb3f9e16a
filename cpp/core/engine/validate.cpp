#include "engine/validate.hpp"

#include <string>

#include "xml/reader.hpp"

namespace quelmar {

bool validate(Bytes source) {
    // UTF-16 and ISO-2022-JP documents are checked in their UTF-8 form; one
    // with a malformed sequence is not well formed.
    std::string decoded;
    const Transcoded t = transcode_document(source, decoded);
    if (t == Transcoded::CutShort) return false;
    const bool transcoded = t == Transcoded::Whole;
    if (transcoded) source = decoded;
    Reader reader(source, ReaderConfig::validating());
    if (transcoded) reader.fix_encoding(Encoding::Utf8);
    // `depth` counts open elements; the reader itself rejects an end tag
    // with no open element, so it never goes below 0 here.
    std::size_t depth = 0;
    bool root_seen = false;
    while (true) {
        const Event ev = reader.read_event();
        switch (ev.kind) {
            case EventKind::Start:
                if (depth == 0) {
                    if (root_seen) return false;  // a second root
                    root_seen = true;
                }
                ++depth;
                break;
            case EventKind::End:
                if (depth == 0) return false;
                --depth;
                break;
            case EventKind::Empty:
                if (depth == 0) {
                    if (root_seen) return false;
                    root_seen = true;
                }
                break;
            case EventKind::Eof:
                return depth == 0 && root_seen;
            case EventKind::Error:
                return false;
            default:
                break;  // text, CDATA, comments, declarations, PIs, doctype
        }
    }
}

}  // namespace quelmar
