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
// offsets would not agree with the whole document's). Read in the ranges
// record_ranges cuts the document into (the high bits of the first byte
// choose the step), each range scanned on its own from inside the document
// gives the records of the whole document that lie in it. A break is found
// at the same place, with the same message, line and column, however the
// document was fed; so is the end of a document cut short. The engine's
// lossy decoders fed piece by piece (LossyStreamDecoder, how a UTF-16 or
// ISO-2022-JP stream is decoded) give what they give over the whole text.
// The record stream (RecordStream: its own buffer, split in pieces, each
// record checked as it is split, with the DOCTYPE's entities it refers to)
// given the document in other chunks finds
// the same records and the same break, says of each record what the
// checker says of it alone, and places the start of each part it scanned
// where it lies in the document.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "records/record_stream.hpp"
#include "xml/encoding.hpp"
#include "xml/record_splitter.hpp"
#include "xml/wellformed.hpp"

using namespace quelmar;

namespace {

void check_at(bool ok, int line) {
    if (ok) return;
    std::fprintf(stderr, "fuzz_records.cpp:%d: check failed\n", line);
    std::abort();
}
#define check(ok) check_at((ok), __LINE__)

std::vector<std::string> segments(std::uint8_t cfg) {
    switch (cfg & 3) {
        case 0: return {"r", "rec"};
        case 1: return {"*", "*"};
        case 2: return {"rec"};
        default: return {"r"};
    }
}

bool any_depth(std::uint8_t cfg) { return (cfg & 3) == 2; }

RecordSplitter make(std::uint8_t cfg) { return RecordSplitter(segments(cfg), any_depth(cfg)); }

}  // namespace

// The prefixes declared in the text of doc before `upto` that lies outside
// the records `recs` (in document order): each name after "xmlns:", the
// text around each record read on its own.
PrefixSet declared_before(Bytes doc, const std::vector<RecordSpan>& recs, std::size_t upto) {
    PrefixSet out;
    const auto scan = [&](Bytes t) {
        for (std::size_t k = t.find("xmlns:"); k != Bytes::npos; k = t.find("xmlns:", k)) {
            k += 6;
            std::size_t j = k;
            while (j < t.size() && std::string_view(" \t\r\n=/>'\"").find(t[j]) == std::string_view::npos) ++j;
            if (j > k) out.emplace(t.substr(k, j - k));
            k = j;
        }
    };
    std::size_t at = 0;
    for (const RecordSpan& r : recs) {
        if (r.start >= upto) break;
        scan(doc.substr(at, r.start - at));
        at = r.end;
    }
    if (upto > at) scan(doc.substr(at, upto - at));
    return out;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::uint8_t cfg = data[0];
    const std::string doc(reinterpret_cast<const char*>(data) + 1, size - 1);
    const std::size_t step = 1 + ((cfg >> 2) & 15);

    RecordSplitter whole = make(cfg);
    std::vector<RecordSpan> expected;
    const std::size_t whole_drop = whole.feed(doc.data(), doc.size(), expected);

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
    if (whole.failed()) {
        check(part.error_message() == whole.error_message() && part.error_offset() == whole.error_offset() &&
              part.error_line() == whole.error_line() && part.error_column() == whole.error_column() &&
              part.error_record() == whole.error_record());
        check(whole.error_offset() <= doc.size());
    } else {
        check(part.end_problem() == whole.end_problem());
        const auto a = part.locate_end(buf.data(), buf.size());
        check(a.offset == doc.size());
        const auto b = whole.locate_end(doc.data() + whole_drop, doc.size() - whole_drop);
        check(a.line == b.line && a.column == b.column && a.offset == b.offset);
    }

    {
        RecordStream stream(segments(cfg), any_depth(cfg));
        stream.set_piece(1 + (static_cast<std::size_t>(cfg) * 7) % 23);
        stream.set_checking(true);
        const std::size_t chunk = 1 + step * 3;
        std::vector<RecordSpan> streamed;
        std::size_t base = 0;  // where the stream's part starts in doc
        for (std::size_t at = 0;; at += chunk) {
            if (at < doc.size()) stream.take(Bytes(doc).substr(at, chunk));
            const Bytes held = stream.part();
            check(held.size() == std::min(doc.size(), at + chunk) - base);
            const RecordStream::Step& st = stream.step();
            check(stream.splitter().locate(held.data(), 0).offset == base);
            check(st.checked);
            {
                check(st.good <= st.spans.size() && (st.good == st.spans.size()) == !st.error);
                for (std::size_t i = 0; i <= st.good && i < st.spans.size(); ++i) {
                    const RecordSpan& s = st.spans[i];
                    const Bytes rec = held.substr(s.start, s.end - s.start);
                    // Its prefixes may be those declared around the records before it.
                    std::vector<RecordSpan> before = streamed;
                    for (std::size_t j = 0; j < i; ++j) before.push_back({st.spans[j].start + base, st.spans[j].end + base});
                    const PrefixSet bound = declared_before(doc, before, s.start + base);
                    const auto e =
                        check_well_formed(stream.prolog().prefix_for(rec) + std::string(rec), false, true, &bound);
                    if (i < st.good) check(!e);
                    else check(e && st.error && e->message == st.error->message && e->offset == st.error->offset);
                }
            }
            for (const RecordSpan& s : st.spans) streamed.push_back({s.start + base, s.end + base});
            base += st.drop;
            stream.advance();
            if (st.finished || at >= doc.size()) break;
        }
        check(streamed.size() == expected.size());
        for (std::size_t i = 0; i < streamed.size(); ++i)
            check(streamed[i].start == expected[i].start && streamed[i].end == expected[i].end);
        const RecordSplitter& sp = stream.splitter();
        check(sp.failed() == whole.failed());
        if (whole.failed())
            check(sp.error_message() == whole.error_message() && sp.error_offset() == whole.error_offset() &&
                  sp.error_line() == whole.error_line() && sp.error_column() == whole.error_column());
        else {
            check(sp.end_problem() == whole.end_problem());
        }
    }

    static constexpr Encoding kPieced[] = {Encoding::Utf16Le, Encoding::Utf16Be, Encoding::Iso2022Jp,
                                           Encoding::ShiftJis, Encoding::Gb18030, Encoding::EucJp};
    const Encoding enc = kPieced[doc.size() % 6];
    std::string at_once;
    decode_lossy_to_utf8(enc, doc, at_once);
    std::string pieced;
    LossyStreamDecoder decoder(enc);
    for (std::size_t at = 0; at < doc.size(); at += step)
        decoder.decode(Bytes(doc).substr(at, step), false, pieced);
    decoder.decode(Bytes(), true, pieced);
    check(pieced == at_once);

    const std::size_t range_step = 1 + static_cast<std::size_t>(cfg >> 6) * 5;
    const std::vector<RecordSpan> ranges =
        record_ranges(doc.data(), doc.size(), segments(cfg), any_depth(cfg), range_step);
    std::vector<RecordSpan> by_range;
    std::size_t range_end = 0;
    for (const RecordSpan& r : ranges) {
        check(r.start >= range_end && r.start < r.end && r.end <= doc.size() && doc[r.start] == '<');
        range_end = r.end;
        RecordSplitter inside = make(cfg);
        inside.start_inside(any_depth(cfg) ? std::size_t{1} << 40 : segments(cfg).size() - 1);
        std::vector<RecordSpan> spans;
        inside.feed(doc.data() + r.start, r.end - r.start, spans);
        // A range runs from its first record to the next range (what lies
        // between records included); the last one ends with its last record.
        check(!spans.empty() && spans.front().start == 0);
        check(&r == &ranges.back() ? spans.back().end == r.end - r.start : spans.back().end <= r.end - r.start);
        for (const RecordSpan& s : spans) by_range.push_back({s.start + r.start, s.end + r.start});
    }
    check(by_range.size() == expected.size());
    for (std::size_t i = 0; i < by_range.size(); ++i)
        check(by_range[i].start == expected[i].start && by_range[i].end == expected[i].end);
    return 0;
}
