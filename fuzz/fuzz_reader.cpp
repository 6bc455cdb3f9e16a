// The XML event reader over arbitrary bytes. The first byte chooses the
// configuration (the engine's, validate's, or any mix of the flags) and how
// often a start tag is skipped with read_to_end instead of being entered;
// the rest is the document. Every event's attributes are iterated and its
// text decoded and unescaped. A skip ends an element where a loop over
// events that counts levels ends it (skip_ends_like_events).
//
// Invariants: the position never moves backwards and stays inside the
// input; every event's content lies inside the input; the loop ends in at
// most two events per input byte (plus the final Eof); after Eof every read
// is Eof again.
//
// The well-formedness check runs on every document, as bytes and as text:
// validate gives exactly its verdict, an error lies inside the document
// (offset, line and column), and it never crashes.
#include <cstdint>
#include <string>
#include <vector>

#include "common/utf8.hpp"
#include "engine/engine.hpp"
#include "engine/validate.hpp"
#include "fuzz_common.hpp"
#include "xml/reader.hpp"
#include "xml/scan.hpp"
#include "xml/wellformed.hpp"

using namespace quelmar;

namespace {

bool inside(Bytes part, Bytes whole) {
    if (part.empty()) return true;
    const char* b = whole.data();
    return part.data() >= b && part.data() + part.size() <= b + whole.size();
}

void run(Bytes doc, ReaderConfig cfg, unsigned skip_every, const Encoding* fixed = nullptr) {
    Reader r(doc, cfg);
    if (fixed) r.fix_encoding(*fixed);
    std::string scratch;
    std::uint64_t last = r.buffer_position();
    FUZZ_ASSERT(last <= doc.size());
    const std::size_t limit = 2 * doc.size() + 4;
    std::size_t events = 0;
    unsigned starts = 0;
    for (;;) {
        const Event ev = r.read_event();
        FUZZ_ASSERT(++events <= limit);
        const std::uint64_t pos = r.buffer_position();
        FUZZ_ASSERT(pos >= last && pos <= doc.size());
        last = pos;
        if (ev.kind == EventKind::Eof) break;
        FUZZ_ASSERT(inside(ev.content, doc));
        switch (ev.kind) {
            case EventKind::Start:
            case EventKind::Empty: {
                FUZZ_ASSERT(ev.name_len <= ev.content.size());
                AttrIter it(ev.content, ev.name_len);
                Attribute a;
                std::size_t n = 0;
                while (it.next(a)) {
                    FUZZ_ASSERT(++n <= ev.content.size());
                    FUZZ_ASSERT(inside(a.key, doc) && inside(a.value, doc));
                    Bytes out;
                    r.unescape_attribute(a.value, scratch, out);
                    (void)out.size();
                }
                if (ev.kind == EventKind::Start && skip_every && ++starts % skip_every == 0) {
                    const XmlError e = r.read_to_end();
                    FUZZ_ASSERT(r.buffer_position() >= last && r.buffer_position() <= doc.size());
                    if (e == XmlError::None) FUZZ_ASSERT(doc.substr(0, r.buffer_position()).back() == '>');
                    last = r.buffer_position();
                }
                break;
            }
            case EventKind::Text: {
                FUZZ_ASSERT(!ev.content.empty());
                Bytes out;
                r.unescape(ev.content, scratch, out);
                (void)out.size();
                break;
            }
            case EventKind::CData: {
                Bytes out;
                r.decode(ev.content, scratch, out);
                (void)out.size();
                break;
            }
            case EventKind::Decl:
            case EventKind::PI: {
                AttrIter it(ev.content, 3 <= ev.content.size() ? 3 : ev.content.size());
                Attribute a;
                while (it.next(a)) {
                }
                break;
            }
            default:
                break;
        }
    }
    for (int i = 0; i < 3; ++i) FUZZ_ASSERT(r.read_event().kind == EventKind::Eof);
}

// The event stream as offsets, so that runs can be compared.
struct Rec {
    EventKind kind;
    XmlError error;
    std::ptrdiff_t offset;
    std::size_t len, name_len;
    std::uint64_t pos;
    bool operator==(const Rec&) const = default;
};

std::vector<Rec> record(Bytes doc, ReaderConfig cfg, unsigned skip_every) {
    std::vector<Rec> out;
    Reader r(doc, cfg);
    unsigned starts = 0;
    for (;;) {
        const Event ev = r.read_event();
        out.push_back(Rec{ev.kind, ev.error, ev.content.empty() ? 0 : ev.content.data() - doc.data(),
                          ev.content.size(), ev.name_len, r.buffer_position()});
        if (ev.kind == EventKind::Eof) return out;
        if (ev.kind == EventKind::Start && skip_every && ++starts % skip_every == 0) {
            const XmlError e = r.read_to_end();
            out.push_back(Rec{EventKind::Eof, e, -1, 0, 0, r.buffer_position()});
        }
    }
}

// Every vector width the CPU has reads the same events as the word-wide
// scan, in the engine's and validate's configurations, with and without
// skips.
void same_for_every_width(Bytes doc, unsigned skip_every) {
    namespace scan = xml_scan;
    const scan::Isa best = scan::limit_isa(scan::Isa::Avx2);
    scan::limit_isa(scan::Isa::Word);
    const auto engine = record(doc, ReaderConfig::engine(), skip_every);
    const auto validating = record(doc, ReaderConfig::validating(), 0);
    for (scan::Isa w : {scan::Isa::Sse2, scan::Isa::Avx2}) {
        if (w > best) break;
        scan::limit_isa(w);
        FUZZ_ASSERT(record(doc, ReaderConfig::engine(), skip_every) == engine);
        FUZZ_ASSERT(record(doc, ReaderConfig::validating(), 0) == validating);
    }
    scan::limit_isa(scan::Isa::Avx2);
}

// read_markup_event gives read_event's events without the text, with the
// offset where each markup starts; skip_leaf after a start tag passes a leaf
// exactly as reading its text and end tag does, and leaves anything else
// alone. Element texts by the short routes equal those read event by event.
void markup_and_leaves(Bytes doc, ReaderConfig cfg, Encoding enc, bool texts) {
    Reader a(doc, cfg), b(doc, cfg), c(doc, cfg), d(doc, cfg);
    for (Reader* r : {&a, &b, &c, &d}) r->fix_encoding(enc);
    for (;;) {
        std::uint64_t at = 0;
        const Event ea = a.read_markup_event(at);
        std::uint64_t before = b.buffer_position();
        Event eb = b.read_event();
        while (eb.kind == EventKind::Text) {
            before = b.buffer_position();
            eb = b.read_event();
        }
        FUZZ_ASSERT(ea.kind == eb.kind && ea.error == eb.error && ea.content == eb.content &&
                    ea.content.data() == eb.content.data() && ea.name_len == eb.name_len);
        FUZZ_ASSERT(a.buffer_position() == b.buffer_position() && a.depth() == b.depth());
        FUZZ_ASSERT(at >= before && at <= a.buffer_position());
        if (ea.kind == EventKind::Eof) break;
    }
    std::size_t elements = 0;
    for (;;) {
        const std::uint64_t p = c.buffer_position();
        const Event ec = c.read_event();
        const Event ed = d.read_event();
        FUZZ_ASSERT(ec.kind == ed.kind && c.buffer_position() == d.buffer_position());
        if (ec.kind == EventKind::Eof) break;
        if (ec.kind != EventKind::Start) continue;
        if (texts && ++elements <= 16) {
            // The element's text by both routes (its extent as read_to_end
            // gives it, on a copy of the reader). The first elements only:
            // each extraction reads the element again.
            Reader e = c;
            if (e.read_to_end() == XmlError::None) {
                const Bytes element = doc.substr(p, e.buffer_position() - p);
                FUZZ_ASSERT(extract_element_text(element, enc) == extract_element_text_by_events(element, enc));
                FUZZ_ASSERT(extract_element_text(element) == extract_element_text_by_events(element));
            }
        }
        Bytes leaf;
        if (!c.skip_leaf(leaf)) continue;
        FUZZ_ASSERT(inside(leaf, doc));
        Event t = d.read_event();
        if (t.kind == EventKind::Text) {
            FUZZ_ASSERT(t.content == leaf && t.content.data() == leaf.data());
            t = d.read_event();
        } else {
            FUZZ_ASSERT(leaf.find_first_not_of(" \t\r\n") == Bytes::npos);
        }
        FUZZ_ASSERT(t.kind == EventKind::End || t.kind == EventKind::Error);
        FUZZ_ASSERT(c.buffer_position() == d.buffer_position() && c.depth() == d.depth());
    }
}

// A skip ends an element exactly where the engines' event loops end its
// level: read_to_end after a start tag lands where a loop over read_event
// does that opens a level at each start tag, closes the innermost at each
// end tag (any name) or error, and stops when the element's own level
// closes or the input ends: same position, depth and result (None for an
// end tag, the error that closed it, MissingEnd at the end). Tried after
// each of the first start tags, from a copy of the reader.
void skip_ends_like_events(Bytes doc, ReaderConfig cfg) {
    Reader r(doc, cfg);
    for (std::size_t starts = 0; starts < 64;) {
        const Event ev = r.read_event();
        if (ev.kind == EventKind::Eof) break;
        if (ev.kind != EventKind::Start) continue;
        ++starts;
        Reader skip = r, events = r;
        const XmlError got = skip.read_to_end();
        XmlError want = XmlError::MissingEnd;
        for (std::size_t depth = 1; depth > 0;) {
            const Event e = events.read_event();
            if (e.kind == EventKind::Eof) break;
            if (e.kind == EventKind::Start) ++depth;
            else if ((e.kind == EventKind::End || e.kind == EventKind::Error) && --depth == 0)
                want = e.kind == EventKind::Error ? e.error : XmlError::None;
        }
        if (got != want || skip.buffer_position() != events.buffer_position() || skip.depth() != events.depth()) {
            __builtin_fprintf(stderr, "skip after the start tag ending at %llu: result %d at %llu (depth %zu), events %d at %llu (depth %zu)\n",
                              static_cast<unsigned long long>(r.buffer_position()), static_cast<int>(got),
                              static_cast<unsigned long long>(skip.buffer_position()), skip.depth(),
                              static_cast<int>(want), static_cast<unsigned long long>(events.buffer_position()),
                              events.depth());
            std::abort();
        }
        // Both readers go on alike.
        FUZZ_ASSERT(skip.read_event().kind == events.read_event().kind);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const unsigned sel = data[0];
    const Bytes doc(reinterpret_cast<const char*>(data + 1), size - 1);

    run(doc, ReaderConfig::engine(), 0);
    run(doc, ReaderConfig::validating(), 0);
    run(doc, ReaderConfig::engine(), 1 + (sel & 3));
    // Any mix of the flags.
    ReaderConfig cfg;
    cfg.allow_unmatched_ends = sel & 0x04;
    cfg.check_comments = sel & 0x08;
    cfg.check_end_names = sel & 0x10;
    cfg.expand_empty_elements = sel & 0x20;
    cfg.trim_markup_names_in_closing_tags = sel & 0x40;
    cfg.trim_text_start = cfg.trim_text_end = sel & 0x80;
    run(doc, cfg, (sel & 1) ? 2 : 0);

    // A fixed encoding (as for fragments of a decoded document), and the
    // decoders on their own: whatever they accept comes out as UTF-8; the
    // prefix decoder stops exactly where the strict one fails.
    const auto enc = static_cast<Encoding>(sel % (static_cast<unsigned>(Encoding::XUserDefined) + 1));
    run(doc, ReaderConfig::engine(), 0, &enc);
    std::string decoded;
    const bool ok = decode_to_utf8(enc, doc, decoded);
    if (ok) FUZZ_ASSERT(utf8_valid(decoded));
    std::string prefix;
    const std::size_t covered = decode_prefix_to_utf8(enc, doc, prefix);
    FUZZ_ASSERT(covered <= doc.size() && utf8_valid(prefix));
    FUZZ_ASSERT(ok == (covered == doc.size()));
    if (ok) FUZZ_ASSERT(prefix == decoded);
    std::string lossy;
    decode_lossy_to_utf8(enc, doc, lossy);
    FUZZ_ASSERT(utf8_valid(lossy));

    skip_ends_like_events(doc, ReaderConfig::engine());
    skip_ends_like_events(doc, ReaderConfig::validating());
    skip_ends_like_events(doc, cfg);

    same_for_every_width(doc, 1 + (sel & 3));
    markup_and_leaves(doc, ReaderConfig::engine(), Encoding::Utf8, true);
    markup_and_leaves(doc, cfg, enc, false);

    for (const bool text_input : {false, true}) {
        const auto wf = check_well_formed(doc, text_input);
        FUZZ_ASSERT(validate(doc, text_input) == !wf.has_value());
        if (wf) {
            FUZZ_ASSERT(wf->offset <= doc.size() && !wf->message.empty());
            FUZZ_ASSERT(wf->line >= 1 && wf->column >= 1 && wf->line <= doc.size() + 1);
        }
        if (!text_input) {
            // The document in pieces (one byte each, and sizes taken from
            // the selector in turn): the same answer to the column.
            const std::size_t widths[2][3] = {{1, 1, 1}, {1 + (sel & 7), 1 + ((sel >> 3) & 3), 9 + (sel >> 5)}};
            for (const auto& w : widths) {
                WellFormedStream stream;
                std::size_t at = 0;
                for (std::size_t turn = 0; at < doc.size() && stream.feed(doc.substr(at, w[turn % 3])); ++turn)
                    at += w[turn % 3];
                const auto& got = stream.finish();
                // In place: the document grows where it is.
                WellFormedStream here;
                for (std::size_t end = w[0]; end < doc.size() && here.feed_in_place(doc.substr(0, end)); end += w[1])
                    ;
                here.feed_in_place(doc);
                const auto& got_here = here.finish();
                FUZZ_ASSERT(got_here.has_value() == got.has_value());
                if (got)
                    FUZZ_ASSERT(got_here->message == got->message && got_here->offset == got->offset &&
                                got_here->line == got->line && got_here->column == got->column);
                FUZZ_ASSERT(got.has_value() == wf.has_value());
                if (wf) {
                    if (got->message != wf->message || got->offset != wf->offset || got->line != wf->line ||
                        got->column != wf->column || got->code != wf->code) {
                        __builtin_fprintf(stderr, "in pieces of %zu/%zu/%zu: '%s' %zu:%zu @%zu, whole: '%s' %zu:%zu @%zu\n",
                                          w[0], w[1], w[2], got->message.c_str(), got->line, got->column, got->offset,
                                          wf->message.c_str(), wf->line, wf->column, wf->offset);
                        std::abort();
                    }
                }
            }
        }
    }

    // Unescaping on its own, over the raw bytes.
    std::string scratch;
    Bytes out;
    // Without entities nothing grows: references shrink or stay as written.
    unescape_with(doc, scratch, out);
    FUZZ_ASSERT(out.size() <= doc.size());
    unescape_attribute(doc, scratch, out);
    FUZZ_ASSERT(out.size() <= doc.size());
    (void)detect_encoding(doc);
    return 0;
}
