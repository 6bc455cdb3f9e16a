#include "xml/reader.hpp"

#include <algorithm>

#include "common/interrupt.hpp"
#include "common/utf8.hpp"
#include "xml/entities.hpp"
#include "xml/scan.hpp"

namespace quelmar {

using namespace xml_scan;

namespace {

Event make_event(EventKind kind, Bytes content = {}, std::size_t name_len = 0) noexcept {
    Event e;
    e.kind = kind;
    e.content = content;
    e.name_len = name_len;
    return e;
}

Bytes span(const char* b, const char* e) noexcept {
    return Bytes(b, static_cast<std::size_t>(e - b));
}

bool starts_with(const char* p, const char* end, Bytes prefix) noexcept {
    return static_cast<std::size_t>(end - p) >= prefix.size() &&
           std::memcmp(p, prefix.data(), prefix.size()) == 0;
}

// True when [p, end) is a proper prefix of `word` (the input ends inside it).
// `fold` compares ASCII letters case-insensitively.
bool truncated_prefix_of(const char* p, const char* end, Bytes word, bool fold) noexcept {
    const std::size_t n = static_cast<std::size_t>(end - p);
    if (n >= word.size()) return false;
    for (std::size_t i = 0; i < n; ++i) {
        char c = p[i];
        if (fold && c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
        if (c != word[i]) return false;
    }
    return true;
}

bool is_doctype_keyword(const char* p, const char* end) noexcept {
    static constexpr char kWord[] = "DOCTYPE";
    if (end - p < 7) return false;
    for (int i = 0; i < 7; ++i) {
        char c = p[i];
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
        if (c != kWord[i]) return false;
    }
    return true;
}

// Skips a DOCTYPE internal subset whose '[' is just before p. Quoted
// literals, comments and processing instructions inside it are passed over
// whole, so a ']' or '>' in them does not end it. Returns the position just
// past the closing ']', or end.
const char* skip_internal_subset(const char* p, const char* end) noexcept {
    while (true) {
        p = find_class(p, end, kSubsetStop);
        if (p == end) return end;
        const char c = *p;
        if (c == ']') return p + 1;
        if (c == '"' || c == '\'') {
            const char* q = find_byte(p + 1, end, c);
            if (q == end) return end;
            p = q + 1;
        } else if (starts_with(p, end, "<!--")) {
            const char* t = find_terminator(p + 4, end, '-', '-');
            if (t == end) return end;
            p = t + 3;
        } else if (starts_with(p, end, "<?")) {
            const char* t = find_terminator(p + 2, end, '?', 0);
            if (t == end) return end;
            p = t + 2;
        } else {
            ++p;  // the '<' of a markup declaration
        }
    }
}

// The '>' ending a DOCTYPE whose body begins at p, or end. Quoted literals
// (the external identifier) and the internal subset may contain '>'.
const char* find_doctype_end(const char* p, const char* end, bool& has_subset) noexcept {
    while (true) {
        p = find_class(p, end, kDoctypeStop);
        if (p == end) return end;
        const char c = *p;
        if (c == '>') return p;
        if (c == '[') {
            has_subset = true;
            p = skip_internal_subset(p + 1, end);
            if (p == end) return end;
        } else {
            const char* q = find_byte(p + 1, end, c);
            if (q == end) return end;
            p = q + 1;
        }
    }
}

}  // namespace

// ---------------------------------------------------------------------------
// Encoding detection

DetectedEncoding detect_encoding(Bytes first) noexcept {
    const unsigned char* s = ubegin(first);
    const std::size_t n = first.size();
    auto at = [&](std::size_t i, unsigned char v) { return i < n && s[i] == v; };
    if (at(0, 0xFE) && at(1, 0xFF)) return {true, Encoding::Utf16Be, 2};
    if (at(0, 0xFF) && at(1, 0xFE)) return {true, Encoding::Utf16Le, 2};
    if (at(0, 0xEF) && at(1, 0xBB) && at(2, 0xBF)) return {true, Encoding::Utf8, 3};
    if (at(0, 0x00) && at(1, 0x3C) && at(2, 0x00) && at(3, 0x3F)) return {true, Encoding::Utf16Be, 0};
    if (at(0, 0x3C) && at(1, 0x00) && at(2, 0x3F) && at(3, 0x00)) return {true, Encoding::Utf16Le, 0};
    if (at(0, 0x3C) && at(1, 0x3F) && at(2, 0x78) && at(3, 0x6D)) return {true, Encoding::Utf8, 0};
    return {};
}

// ---------------------------------------------------------------------------
// Reader

Reader::Reader(Bytes input, ReaderConfig config) noexcept : input_(input), config_(config) {
    const DetectedEncoding d = detect_encoding(input);
    if (d.found) {
        encoding_ = d.encoding;
        pos_ = d.skip;
        // A byte-order mark decides the encoding: a declaration naming
        // another one does not override it (a UTF-8 mark before a legacy
        // declaration is UTF-8). First bytes without a mark ("<?xm", the
        // UTF-16 patterns of "<?") leave the encoding open to a declaration.
        encoding_source_ = d.skip == 0 ? EncodingSource::Implicit : EncodingSource::Bom;
    }
    check_at_ = next_interrupt_check(pos_, input_.size());
}

bool Reader::stop_here() noexcept {
    if (interrupt_requested()) {
        pos_ = input_.size();
        return true;
    }
    check_at_ = next_interrupt_check(pos_, input_.size());
    return false;
}

void Reader::fix_encoding(Encoding e) noexcept {
    encoding_ = e;
    encoding_source_ = EncodingSource::Fixed;
}

Event Reader::error_event(XmlError e, bool fatal) noexcept {
    if (fatal) {
        // The unclosed construct ran to the end of the input: that is where
        // the reader stops.
        exit_ = true;
        pos_ = input_.size();
    }
    Event ev;
    ev.kind = EventKind::Error;
    ev.error = e;
    return ev;
}

[[gnu::always_inline]] inline Event Reader::read_start_tag() {
    const char* b = input_.data();
    const char* end = b + input_.size();
    const char* cb = b + pos_ + 1;
    const TagScan t = scan_tag(cb, end);
    if (t.gt == end) return error_event(XmlError::UnclosedTag, true);
    pos_ = static_cast<std::size_t>(t.gt + 1 - b);
    const char* ce = t.gt;
    const bool empty = ce > cb && ce[-1] == '/';
    if (empty) --ce;
    const std::size_t name_len = static_cast<std::size_t>((t.name_end < ce ? t.name_end : ce) - cb);
    const Bytes content = span(cb, ce);
    if (empty && !config_.expand_empty_elements) return make_event(EventKind::Empty, content, name_len);
    ++depth_;
    if (config_.check_end_names || empty) [[unlikely]]
        open_element(content.substr(0, name_len), empty);
    return make_event(EventKind::Start, content, name_len);
}

// The common markup (start, end and empty-element tags in a reader that
// does not check end names) and text are read inline here; the rest goes
// through read_markup. Callgrind, `**.review` over the 10 MB catalog (every
// element entered): 10.7 instructions per byte through the read_markup
// calls, 9.7 inline.
template <bool kText>
[[gnu::always_inline]] inline Event Reader::next_event(std::uint64_t& at) {
    at = pos_;
    if (pending_end_ || exit_) [[unlikely]] {
        if (!pending_end_) return Event{};
        pending_end_ = false;
        return close_element(pending_end_name_);
    }
    const char* b = input_.data();
    const char* end = b + input_.size();
    while (true) {
        if (pos_ >= check_at_ && (pos_ >= input_.size() || stop_here())) [[unlikely]] {
            exit_ = true;
            at = pos_;
            return Event{};
        }
        const char* p = b + pos_;
        if (*p == '<') {
            at = pos_;
            if (end - p < 2) return error_event(XmlError::UnclosedTag, true);
            const char c = p[1];
            if (c == '/') {
                const char* nb = p + 2;
                const char* gt = find_byte(nb, end, '>');
                if (gt == end) return error_event(XmlError::UnclosedTag, true);
                pos_ = static_cast<std::size_t>(gt + 1 - b);
                const char* ne = gt;
                if (config_.trim_markup_names_in_closing_tags)
                    while (ne > nb && is_ws(ne[-1])) --ne;
                if (depth_ == 0 || config_.check_end_names) return close_element(span(nb, ne));
                --depth_;
                return make_event(EventKind::End, span(nb, ne));
            }
            if (c == '!' || c == '?') return read_markup();
            return read_start_tag();
        }
        // Text up to the next '<' (or the end of the input). The reader
        // stops in front of the '<', so buffer_position() is then the
        // offset of the next markup.
        const char* lt = find_byte(p, end, '<');
        pos_ = static_cast<std::size_t>(lt - b);
        if constexpr (!kText) continue;
        const char* te = lt;
        if (config_.trim_text_start) p = skip_ws(p, te);
        if (config_.trim_text_end)
            while (te > p && is_ws(te[-1])) --te;
        if (te > p) return make_event(EventKind::Text, span(p, te));
        // A run of white space trimmed away: go on with the markup.
    }
}

Event Reader::read_event() {
    std::uint64_t at;
    return next_event<true>(at);
}

Event Reader::read_markup_event(std::uint64_t& at) { return next_event<false>(at); }

void Reader::open_element(Bytes name, bool empty) {
    if (config_.check_end_names) open_names_.push_back(name);
    if (empty) {
        pending_end_ = true;
        pending_end_name_ = name;
    }
}

Event Reader::read_markup() {
    const char* lt = input_.data() + pos_;
    const char* end = input_.data() + input_.size();
    if (end - lt < 2) return error_event(XmlError::UnclosedTag, true);
    switch (lt[1]) {
        case '/': return read_end_tag();
        case '!': return read_bang();
        case '?': return read_pi();
        default: return read_start_tag();
    }
}

Event Reader::read_end_tag() {
    const char* b = input_.data();
    const char* end = b + input_.size();
    const char* nb = b + pos_ + 2;
    const char* gt = find_byte(nb, end, '>');
    if (gt == end) return error_event(XmlError::UnclosedTag, true);
    pos_ = static_cast<std::size_t>(gt + 1 - b);
    const char* ne = gt;
    if (config_.trim_markup_names_in_closing_tags)
        while (ne > nb && is_ws(ne[-1])) --ne;
    return close_element(span(nb, ne));
}

Event Reader::close_element(Bytes name) {
    if (depth_ == 0) {
        if (config_.allow_unmatched_ends) return make_event(EventKind::End, name);
        return error_event(XmlError::UnmatchedEnd, false);
    }
    --depth_;
    if (config_.check_end_names) {
        const Bytes open = open_names_.back();
        open_names_.pop_back();
        if (open != name) return error_event(XmlError::MismatchedEnd, false);
    }
    return make_event(EventKind::End, name);
}

Event Reader::read_bang() {
    const char* b = input_.data();
    const char* end = b + input_.size();
    const char* s = b + pos_ + 2;  // after "<!"
    if (starts_with(s, end, "--")) {
        const char* cb = s + 2;
        const char* t = find_terminator(cb, end, '-', '-');
        if (t == end) return error_event(XmlError::UnclosedComment, true);
        pos_ = static_cast<std::size_t>(t + 3 - b);
        const Bytes content = span(cb, t);
        if (config_.check_comments &&
            (content.find("--") != Bytes::npos || (!content.empty() && content.back() == '-')))
            return error_event(XmlError::CommentDoubleDash, false);
        return make_event(EventKind::Comment, content);
    }
    if (starts_with(s, end, "[CDATA[")) {
        const char* cb = s + 7;
        const char* t = find_terminator(cb, end, ']', ']');
        if (t == end) return error_event(XmlError::UnclosedCData, true);
        pos_ = static_cast<std::size_t>(t + 3 - b);
        return make_event(EventKind::CData, span(cb, t));
    }
    if (is_doctype_keyword(s, end)) {
        const char* db = s + 7;
        bool has_subset = false;
        const char* gt = find_doctype_end(db, end, has_subset);
        if (gt == end) return error_event(XmlError::UnclosedDocType, true);
        pos_ = static_cast<std::size_t>(gt + 1 - b);
        const char* nb = skip_ws(db, gt);
        if (nb == gt || *nb == '[') return error_event(XmlError::DocTypeWithoutName, false);
        const Bytes content = span(nb, gt);
        if (has_subset) read_internal_subset(content);
        return make_event(EventKind::DocType, content);
    }
    // The input ends inside one of the three keywords: the construct is
    // unclosed. Anything else after "<!" is not markup we know.
    if (truncated_prefix_of(s, end, "--", false)) return error_event(XmlError::UnclosedComment, true);
    if (truncated_prefix_of(s, end, "[CDATA[", false)) return error_event(XmlError::UnclosedCData, true);
    if (truncated_prefix_of(s, end, "DOCTYPE", true)) return error_event(XmlError::UnclosedDocType, true);
    return error_event(XmlError::BadBang, true);
}

Event Reader::read_pi() {
    const char* b = input_.data();
    const char* end = b + input_.size();
    const char* cb = b + pos_ + 2;  // after "<?"
    const char* t = find_terminator(cb, end, '?', 0);
    if (t == end) return error_event(XmlError::UnclosedPI, true);
    pos_ = static_cast<std::size_t>(t + 2 - b);
    const Bytes content = span(cb, t);
    const bool decl = content.substr(0, 3) == "xml" && (content.size() == 3 || is_ws(content[3]));
    if (!decl) return make_event(EventKind::PI, content);
    if (encoding_source_ == EncodingSource::Implicit) apply_declaration(content);
    return make_event(EventKind::Decl, content);
}

namespace {

// The encoding a declaration's content names, if it is a known label.
std::optional<Encoding> declared_encoding(Bytes content) {
    AttrIter it(content, 3);
    Attribute a;
    while (it.next(a)) {
        if (a.error || a.key != "encoding") continue;
        return encoding_for_label(a.value);
    }
    return std::nullopt;
}

}  // namespace

void Reader::apply_declaration(Bytes content) {
    const auto e = declared_encoding(content);
    // A declaration this reader could read byte by byte does not stand in a
    // UTF-16 document: the input is either the UTF-8 form transcode_document
    // made of one, or a document mislabelled as UTF-16 (its ASCII text would
    // otherwise decode to unrelated CJK characters two bytes at a time).
    if (!e || *e == Encoding::Utf16Le || *e == Encoding::Utf16Be) return;
    encoding_ = *e;
    encoding_source_ = EncodingSource::Declaration;
}

// ---------------------------------------------------------------------------
// Documents decoded whole

namespace {

// ISO-2022-JP when an XML declaration at the very start of `doc` (after
// `skip` bytes of byte-order mark) names it; otherwise nothing or another
// encoding.
std::optional<Encoding> leading_declaration_encoding(Bytes doc, std::size_t skip) {
    Bytes rest = doc.substr(skip);
    if (rest.substr(0, 5) != "<?xml" || rest.size() < 6 || !is_ws(rest[5])) return std::nullopt;
    const std::size_t close = rest.find("?>", 5);
    if (close == Bytes::npos) return std::nullopt;
    const Bytes content = rest.substr(2, close - 2);
    // Every label of ISO-2022-JP holds "2022"; any other declaration (nearly
    // all of them) is passed over without parsing its attributes.
    if (content.find("2022") == Bytes::npos) return std::nullopt;
    return declared_encoding(content);
}

}  // namespace

StreamCoding stream_coding(Bytes head) {
    StreamCoding c;
    const DetectedEncoding d = detect_encoding(head);
    if (d.found && (d.encoding == Encoding::Utf16Le || d.encoding == Encoding::Utf16Be)) {
        c.encoding = d.encoding;
        c.skip = d.skip;
        c.transcode = true;
        return c;
    }
    // A UTF-8 mark decides: the document is UTF-8 whatever it declares.
    if (d.found && d.skip != 0) {
        c.skip = d.skip;
        return c;
    }
    const Bytes rest = head;
    if (rest.substr(0, 5) != "<?xml" || rest.size() < 6 || !is_ws(rest[5])) return c;
    const std::size_t close = rest.find("?>", 5);
    if (close == Bytes::npos) return c;
    c.declaration_end = close + 2;
    const auto e = declared_encoding(rest.substr(2, close - 2));
    // A declaration naming UTF-16 in a document that is not (its first
    // bytes said so) is passed over, as the reader passes over it.
    if (!e || *e == Encoding::Utf16Le || *e == Encoding::Utf16Be) return c;
    c.encoding = *e;
    c.transcode = *e == Encoding::Iso2022Jp;
    return c;
}

bool transcode_document(Bytes document, std::string& out) {
    const DetectedEncoding d = detect_encoding(document);
    Encoding e;
    std::size_t skip = 0;
    if (d.found && (d.encoding == Encoding::Utf16Le || d.encoding == Encoding::Utf16Be)) {
        e = d.encoding;
        skip = d.skip;
    } else {
        // Only documents that begin with a declaration can name ISO-2022-JP;
        // for any other the test ends at the first byte. A UTF-8 mark
        // decides: the document is UTF-8 whatever it declares.
        if (d.found && d.skip != 0) return false;
        const auto declared = leading_declaration_encoding(document, 0);
        if (!declared || *declared != Encoding::Iso2022Jp) return false;
        // ISO-2022-JP is a seven-bit encoding: a document holding a byte from
        // 0x80 up is not in it, whatever it declares (typically the UTF-8 form
        // of a str that kept its declaration), and is read as it stands.
        const bool seven_bit = std::all_of(document.begin(), document.end(),
                                           [](char c) { return static_cast<unsigned char>(c) < 0x80; });
        if (!seven_bit) return false;
        e = *declared;
    }
    out.clear();
    out.reserve(document.size() - skip);
    const Bytes text = document.substr(skip);
    decode_lossy_to_utf8(e, text, out);
    return true;
}

bool Reader::skip_leaf(Bytes& text) {
    if (pending_end_ || exit_) return false;
    const char* b = input_.data();
    const char* end = b + input_.size();
    const char* p = b + pos_;
    const char* lt = find_byte(p, end, '<');
    if (end - lt < 2 || lt[1] != '/') return false;
    const char* te = lt;
    if (config_.trim_text_start) p = skip_ws(p, te);
    if (config_.trim_text_end)
        while (te > p && is_ws(te[-1])) --te;
    text = span(p, te);
    pos_ = static_cast<std::size_t>(lt - b);
    (void)read_event();
    return true;
}

// The skip reads an element as the engines' event loops read one level: a
// start tag opens a level, an end tag (whatever its name) or a reader error
// closes the innermost one, and the end of the input closes them all. So an
// element lasts the same whether it is skipped or entered, and an answer
// never depends on whether some other path of a batch looks inside it.
//
// It never builds an event for the markup it passes over: the loop of
// skip_element_markup jumps from '<' to '<' and looks only at the bytes
// after each one, doing the reader's depth bookkeeping itself. It must leave
// the reader exactly where read_event would (same result, position, depth,
// encoding), so every construct is delimited as read_event delimits it: an
// end tag runs to its first '>', a start tag to its first '>' outside quoted
// values (a '<' inside either belongs to the tag). What that loop leaves to
// the reader (comments, CDATA, DOCTYPEs, declarations and PIs, which are rare
// inside elements; unclosed tags; end tags with no open element) is read
// here as one event, and the loop resumes after it. A reader that checks end
// names (validate's, which never skips) reads every markup here.
//
// `catalog.book.#` (a skip of every book), 100 MB catalog: 2.2 GB/s with
// the read_event loop, 2.6 with an event-less loop of searches (each one
// waiting for the last: 3.3 instructions per byte but ~25 cycles per tag),
// 4.5 with the block loop (4.3 instructions per byte; memchr counting '<'
// runs at 4.8 GB/s).
XmlError Reader::read_to_end() {
    // `depth` counts the levels open inside the element being skipped; the
    // reader's own depth and open names are kept as usual.
    std::size_t depth = 0;
    const char* b = input_.data();
    const char* end = b + input_.size();
    // An event at the skip's level: an end tag or an error closes the
    // innermost open level, the skipped element itself at depth 0.
    const auto closes = [&depth](const Event& ev, XmlError& result) {
        if (ev.kind == EventKind::Start) {
            ++depth;
        } else if (ev.kind == EventKind::End || ev.kind == EventKind::Error) {
            if (depth == 0) {
                result = ev.kind == EventKind::Error ? ev.error : XmlError::None;
                return true;
            }
            --depth;
        }
        return false;
    };
    XmlError result = XmlError::None;
    while (true) {
        if (pending_end_) {
            // An expanded empty-element tag was just returned: its end comes
            // first.
            pending_end_ = false;
            if (closes(close_element(pending_end_name_), result)) return result;
        }
        if (exit_) return XmlError::MissingEnd;
        if (!config_.check_end_names) {
            // The loop runs to the next interrupt check (the end of the input
            // without one) as if the input ended there: text goes on after
            // it, and a tag it cuts comes back as markup read below.
            if (pos_ >= check_at_ && pos_ < input_.size() && stop_here()) {
                exit_ = true;
                return XmlError::MissingEnd;
            }
            const char* limit = b + std::max(check_at_, pos_);  // the end, once pos_ is there
            SkipRun run{b + pos_, depth, depth_};
            const SkipStop stop = skip_element_markup(run, limit, config_.allow_unmatched_ends);
            pos_ = static_cast<std::size_t>(run.p - b);
            depth = run.depth;
            depth_ = run.open;
            if (stop == SkipStop::Closed) return XmlError::None;
            if (stop == SkipStop::EndOfInput) {
                if (limit != end) continue;
                exit_ = true;
                return XmlError::MissingEnd;
            }
        }
        // One markup as an event (text is never looked at).
        const char* lt = find_byte(b + pos_, end, '<');
        pos_ = static_cast<std::size_t>(lt - b);
        if (lt == end) {
            exit_ = true;
            return XmlError::MissingEnd;
        }
        if (closes(read_markup(), result)) return result;
    }
}

void Reader::decode(Bytes raw, std::string& scratch, Bytes& out) const {
    if (encoding_ == Encoding::Utf8) {
        normalize_line_ends(raw, scratch, out);
        return;
    }
    std::string decoded;
    decode_lossy_to_utf8(encoding_, raw, decoded);
    normalize_line_ends(decoded, scratch, out);
    if (out.data() == decoded.data()) {
        scratch = std::move(decoded);
        out = as_bytes(scratch);
    }
}

void Reader::unescape(Bytes raw, std::string& scratch, Bytes& out) const {
    const EntityScope scope = entity_scope();
    if (encoding_ == Encoding::Utf8) {
        unescape_with(raw, scratch, out, scope);
        return;
    }
    std::string decoded;
    decode_lossy_to_utf8(encoding_, raw, decoded);
    unescape_with(decoded, scratch, out, scope);
    if (out.data() == decoded.data()) {
        scratch = std::move(decoded);
        out = as_bytes(scratch);
    }
}

void Reader::unescape_attribute(Bytes raw, std::string& scratch, Bytes& out) const {
    const EntityScope scope = entity_scope();
    if (encoding_ == Encoding::Utf8) {
        quelmar::unescape_attribute(raw, scratch, out, scope);
        return;
    }
    std::string decoded;
    decode_lossy_to_utf8(encoding_, raw, decoded);
    quelmar::unescape_attribute(decoded, scratch, out, scope);
    if (out.data() == decoded.data()) {
        scratch = std::move(decoded);
        out = as_bytes(scratch);
    }
}

void Reader::set_entities(EntityRef entities, std::uint64_t* budget) noexcept {
    entities_ = std::move(entities);
    budget_ = expansion_budget(input_.size());
    shared_budget_ = budget;
}

void Reader::apply_coding(const Coding& c) noexcept {
    fix_encoding(c.encoding);
    if (c.scope.table != nullptr) set_entities(EntityRef::share(c.scope.table), c.scope.budget);
}

void Reader::read_internal_subset(Bytes doctype) {
    // Only the first DOCTYPE declares anything; a reader given the
    // entities of its document already has them.
    if (subset_read_ || entities_) return;
    subset_read_ = true;
    // The '[' opening the subset, past any quoted external identifier.
    const char* end = doctype.data() + doctype.size();
    const char* b = doctype.data();
    while (true) {
        b = find_class(b, end, kDoctypeStop);
        if (b == end) return;
        if (*b == '[') break;
        if (*b == '>') return;
        const char* q = find_byte(b + 1, end, *b);
        if (q == end) return;
        b = q + 1;
    }
    ++b;
    const char* e = skip_internal_subset(b, end);
    if (e > b && e[-1] == ']') --e;
    Bytes subset(b, static_cast<std::size_t>(e - b));
    // Texts are decoded before their references are resolved, so the
    // entities' names and texts are kept decoded too.
    std::string decoded;
    if (encoding_ != Encoding::Utf8) {
        decode_lossy_to_utf8(encoding_, subset, decoded);
        subset = decoded;
    }
    if (EntityTable* t = EntityTable::from_subset(subset)) set_entities(EntityRef::adopt(t));
}

// ---------------------------------------------------------------------------
// Unescaping

bool append_character_reference(Bytes name, std::string& out) {
    if (name.empty() || name[0] != '#') return false;
    const bool hex = name.size() > 1 && name[1] == 'x';
    const Bytes digits = name.substr(hex ? 2 : 1);
    if (digits.empty()) return false;
    std::uint32_t v = 0;
    for (const char c : digits) {
        std::uint32_t d;
        if (c >= '0' && c <= '9') d = static_cast<std::uint32_t>(c - '0');
        else if (hex && c >= 'a' && c <= 'f') d = static_cast<std::uint32_t>(c - 'a' + 10);
        else if (hex && c >= 'A' && c <= 'F') d = static_cast<std::uint32_t>(c - 'A' + 10);
        else return false;  // also a sign, which is not allowed
        v = v * (hex ? 16u : 10u) + d;
        // Stop before the 32-bit range can overflow: nothing past
        // U+10FFFF is a scalar value anyway.
        if (v > 0x10FFFF) return false;
    }
    // A reference to a character XML does not allow stays as written.
    if (!is_xml_char(v)) return false;
    utf8_append(out, static_cast<char32_t>(v));
    return true;
}

namespace {

// Appends the replacement of a character reference or a predefined entity
// (`name` is what stands between '&' and ';').
bool append_builtin_reference(Bytes name, std::string& out) {
    if (name[0] == '#') return append_character_reference(name, out);
    if (name == "lt") out.push_back('<');
    else if (name == "gt") out.push_back('>');
    else if (name == "amp") out.push_back('&');
    else if (name == "apos") out.push_back('\'');
    else if (name == "quot") out.push_back('"');
    else return false;
    return true;
}

// Appends `text` with its references resolved. A reference that does not
// resolve (an unknown name, a bad character reference, an '&' that starts
// no reference, an entity past the budget) is copied as written.
// Content text: CR LF and lone CR become LF. Attribute values: tab, LF, CR
// and CR LF become one space each (characters from character references
// stay as they are). Entity replacement texts are read in place, with an
// explicit stack: their line ends are LF already, and in attribute values
// their white space becomes spaces too.
void resolve_into(Bytes text, bool attribute, const EntityScope& scope, std::string& out) {
    struct Frame {
        const char* p;
        const char* end;
    };
    std::vector<Frame> stack;
    std::uint64_t own_budget = expansion_budget(text.size());
    std::uint64_t* const budget = scope.budget != nullptr ? scope.budget : &own_budget;
    const char* p = text.data();
    const char* end = p + text.size();
    for (;;) {
        const bool top = stack.empty();
        const char* s = attribute ? find_class(p, end, kValueStop)
                        : top     ? find_either(p, end, '&', '\r')
                                  : find_byte(p, end, '&');
        out.append(p, static_cast<std::size_t>(s - p));
        if (s == end) {
            if (top) return;
            p = stack.back().p;
            end = stack.back().end;
            stack.pop_back();
            continue;
        }
        if (*s != '&') {
            // CR (LF) in text; tab, LF, CR (LF) in a value.
            out.push_back(attribute ? ' ' : '\n');
            p = s + 1;
            if (*s == '\r' && top && p < end && *p == '\n') ++p;
            continue;
        }
        const char* n = s + 1;
        const char* t = find_class(n, end, kRefEnd);
        if (t == end || *t != ';' || t == n) {
            out.push_back('&');
            p = n;
            continue;
        }
        const Bytes name(n, static_cast<std::size_t>(t - n));
        p = t + 1;
        if (append_builtin_reference(name, out)) continue;
        if (scope.table != nullptr) {
            const EntityTable::Entity* e = scope.table->find(name);
            // The cost of a whole expansion is paid where it starts.
            if (e != nullptr && e->expands && (!top || *budget >= e->cost)) {
                if (top) *budget -= e->cost;
                stack.push_back(Frame{p, end});
                p = e->text.data();
                end = p + e->text.size();
                continue;
            }
        }
        out.append(s, static_cast<std::size_t>(p - s));
    }
}

}  // namespace

bool charge_expansions(const EntityScope& scope, Bytes element, Encoding encoding) {
    if (scope.table == nullptr || scope.budget == nullptr) return true;
    std::uint64_t cost = 0;
    bool some_fits = false;  // a reference that the budget left could expand
    std::string decoded;
    const char* p = element.data();
    const char* const end = p + element.size();
    while ((p = find_byte(p, end, '&')) != end) {
        const char* n = p + 1;
        const char* t = find_class(n, end, kRefEnd);
        p = n;
        if (t == end || *t != ';' || t == n || *n == '#') continue;
        Bytes name(n, static_cast<std::size_t>(t - n));
        const bool ascii = std::all_of(name.begin(), name.end(), [](char c) { return (c & 0x80) == 0; });
        if (encoding != Encoding::Utf8 && !ascii) {  // the table's names are decoded
            decoded.clear();
            decode_lossy_to_utf8(encoding, name, decoded);
            name = decoded;
        }
        const EntityTable::Entity* e = scope.table->find(name);
        if (e == nullptr || !e->expands) continue;
        some_fits = some_fits || e->cost <= *scope.budget;
        cost += std::min(e->cost, *scope.budget + 1);  // (no wrap-around)
        if (cost > *scope.budget && some_fits) break;
    }
    if (cost <= *scope.budget) {
        *scope.budget -= cost;
        return true;
    }
    // Not all of it: the element takes what is left, and reads as far as its
    // own budget goes, if any of its references can expand at all.
    if (!some_fits) return false;
    *scope.budget = 0;
    return true;
}

void unescape_with(Bytes text, std::string& scratch, Bytes& out, EntityScope scope) {
    const char* b = text.data();
    const char* end = b + text.size();
    if (find_either(b, end, '&', '\r') == end) {
        out = text;
        return;
    }
    scratch.clear();
    scratch.reserve(text.size());
    resolve_into(text, false, scope, scratch);
    out = as_bytes(scratch);
}

void unescape_attribute(Bytes value, std::string& scratch, Bytes& out, EntityScope scope) {
    const char* b = value.data();
    const char* end = b + value.size();
    if (find_class(b, end, kValueStop) == end) {
        out = value;
        return;
    }
    scratch.clear();
    scratch.reserve(value.size());
    resolve_into(value, true, scope, scratch);
    out = as_bytes(scratch);
}

void normalize_line_ends(Bytes text, std::string& scratch, Bytes& out) {
    const char* p = text.data();
    const char* end = p + text.size();
    const char* cr = find_byte(p, end, '\r');
    if (cr == end) {
        out = text;
        return;
    }
    scratch.clear();
    scratch.reserve(text.size());
    while (cr != end) {
        scratch.append(p, static_cast<std::size_t>(cr - p));
        scratch.push_back('\n');
        p = cr + 1;
        if (p < end && *p == '\n') ++p;
        cr = find_byte(p, end, '\r');
    }
    scratch.append(p, static_cast<std::size_t>(end - p));
    out = as_bytes(scratch);
}

// ---------------------------------------------------------------------------
// Attributes

AttrIter::AttrIter(Bytes content, std::size_t name_len) noexcept
    : rest_(name_len < content.size() ? content.substr(name_len) : Bytes()) {}

bool AttrIter::remember(Bytes key) {
    if (!seen_) {
        for (std::size_t i = 0; i < n_small_; ++i)
            if (small_[i] == key) return false;
        if (n_small_ < kSmall) {
            small_[n_small_++] = key;
            return true;
        }
        seen_ = std::make_unique<std::unordered_set<Bytes, KeyedHash>>(small_, small_ + n_small_);
    }
    return seen_->insert(key).second;
}

namespace {

// Reads a value at p: quoted (true, past the closing quote) or, as an error,
// an unquoted run up to white space, or an unterminated quoted run to the end.
std::pair<const char*, bool> read_attr_value(const char* p, const char* end, Bytes& value) noexcept {
    if (p < end && (*p == '"' || *p == '\'')) {
        const char* close = find_byte(p + 1, end, *p);
        value = span(p + 1, close);
        if (close == end) return {end, false};
        return {close + 1, true};
    }
    const char* ve = find_class(p, end, kWs);
    value = span(p, ve);
    return {ve, false};
}

}  // namespace

bool AttrIter::next(Attribute& out) {
    const char* end = rest_.data() + rest_.size();
    const char* p = skip_ws(rest_.data(), end);
    if (p == end) {
        rest_ = Bytes();
        return false;
    }
    out = Attribute{};
    const char* ke = find_class(p, end, kKeyStop);
    if (ke == p) {
        // A stray '=' or a quoted run where a key should be: one error entry
        // that passes over it (and over the value after a '=').
        out.error = true;
        if (*p == '=') p = skip_ws(p + 1, end);
        const auto [next, quoted] = read_attr_value(p, end, out.value);
        (void)quoted;
        rest_ = span(next, end);
        return true;
    }
    out.key = span(p, ke);
    p = skip_ws(ke, end);
    if (p == end || *p != '=') {
        // A key without '=': resume at the next token, which starts the
        // next attribute.
        out.error = true;
        rest_ = span(p, end);
        return true;
    }
    p = skip_ws(p + 1, end);
    const auto [next, quoted] = read_attr_value(p, end, out.value);
    rest_ = span(next, end);
    if (!quoted || !remember(out.key)) out.error = true;
    return true;
}

}  // namespace quelmar
