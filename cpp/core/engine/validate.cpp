#include "engine/validate.hpp"

#include "xml/reader.hpp"

namespace quelmar {

bool validate(Bytes source) {
    Reader reader(source, ReaderConfig::validating());
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
