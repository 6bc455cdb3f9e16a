// The incremental record splitter over arbitrary bytes. The first byte
// chooses the record path (r.rec, *.*, **.rec or r) and the chunk step
// (1 to 16 bytes); the rest is the document.
//
// Invariants: fed chunk after chunk like the Python side feeds it (append,
// scan, drop the returned prefix), the splitter reports exactly the records
// it reports on the whole document at once, and in the same state; every
// record lies inside the input, starts with '<' and ends with '>', and the
// records follow one another without overlapping; the dropped prefix never
// exceeds the buffer (what a later record needs is never dropped: its
// offsets would not agree with the whole document's).
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "xml/record_splitter.hpp"

using namespace quelmar;

namespace {

void check(bool ok) {
    if (!ok) std::abort();
}

RecordSplitter make(std::uint8_t cfg) {
    switch (cfg & 3) {
        case 0: return RecordSplitter({"r", "rec"}, false);
        case 1: return RecordSplitter({"*", "*"}, false);
        case 2: return RecordSplitter({"rec"}, true);
        default: return RecordSplitter({"r"}, false);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::uint8_t cfg = data[0];
    const std::string doc(reinterpret_cast<const char*>(data) + 1, size - 1);
    const std::size_t step = 1 + ((cfg >> 2) & 15);

    RecordSplitter whole = make(cfg);
    std::vector<RecordSpan> expected;
    whole.feed(doc.data(), doc.size(), expected);

    RecordSplitter part = make(cfg);
    std::vector<RecordSpan> got;
    std::string buf;
    std::size_t dropped = 0;
    for (std::size_t at = 0; at < doc.size() && !part.finished(); at += step) {
        buf.append(doc, at, step);
        std::vector<RecordSpan> spans;
        const std::size_t drop = part.feed(buf.data(), buf.size(), spans);
        check(drop <= buf.size());
        for (const RecordSpan& s : spans) {
            check(s.start < s.end && s.end <= buf.size());
            got.push_back({s.start + dropped, s.end + dropped});
        }
        RecordSpan dt{0, 0};
        if (part.take_doctype(dt)) check(dt.start < dt.end && dt.end <= buf.size());
        buf.erase(0, drop);
        dropped += drop;
    }
    check(got.size() == expected.size());
    std::size_t last_end = 0;
    for (std::size_t i = 0; i < got.size(); ++i) {
        check(got[i].start == expected[i].start && got[i].end == expected[i].end);
        check(got[i].start >= last_end && got[i].end <= doc.size());
        check(doc[got[i].start] == '<' && doc[got[i].end - 1] == '>');
        last_end = got[i].end;
    }
    check(part.finished() == whole.finished() && part.failed() == whole.failed());
    return 0;
}
