// The event reader as it was before its scans were vectorised: a plain
// byte-search tokenizer kept as the oracle of test_reader_fast.cpp. Every
// event, position, depth, error and encoding change of the real reader must
// equal this one's, on any input and in any configuration, and its
// read_to_end is the obvious loop over read_event. Do not "optimise" it.
#pragma once

#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "xml/encoding.hpp"
#include "xml/reader.hpp"

namespace quelmar::oracle {

namespace detail {

inline bool is_ws(char c) noexcept { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

inline const char* find_byte(const char* p, const char* end, char ch) noexcept {
    while (p < end && *p != ch) ++p;
    return p;
}

inline Bytes span(const char* b, const char* e) noexcept { return Bytes(b, static_cast<std::size_t>(e - b)); }

inline bool starts_with(const char* p, const char* end, Bytes prefix) noexcept {
    return static_cast<std::size_t>(end - p) >= prefix.size() && std::memcmp(p, prefix.data(), prefix.size()) == 0;
}

inline bool truncated_prefix_of(const char* p, const char* end, Bytes word, bool fold) noexcept {
    const std::size_t n = static_cast<std::size_t>(end - p);
    if (n >= word.size()) return false;
    for (std::size_t i = 0; i < n; ++i) {
        char c = p[i];
        if (fold && c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
        if (c != word[i]) return false;
    }
    return true;
}

inline bool is_doctype_keyword(const char* p, const char* end) noexcept {
    static constexpr char kWord[] = "DOCTYPE";
    if (end - p < 7) return false;
    for (int i = 0; i < 7; ++i) {
        char c = p[i];
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
        if (c != kWord[i]) return false;
    }
    return true;
}

// "ab>" terminators as the reader defines them: the first '>' preceded by
// `a` `b` (or `a` alone when b == 0), starting at or after p.
inline const char* find_terminator(const char* p, const char* end, char a, char b) noexcept {
    const std::ptrdiff_t need = b ? 2 : 1;
    if (end - p <= need) return end;
    for (const char* gt = p + need; gt < end; ++gt)
        if (*gt == '>' && gt[-need] == a && (!b || gt[1 - need] == b)) return gt - need;
    return end;
}

// Byte by byte: outside quotes the first '>' ends the tag; a quote opens a
// value that runs to the same quote.
inline const char* find_tag_end(const char* p, const char* end) noexcept {
    char quote = 0;
    for (; p < end; ++p) {
        if (quote) {
            if (*p == quote) quote = 0;
        } else if (*p == '>') {
            return p;
        } else if (*p == '"' || *p == '\'') {
            quote = *p;
        }
    }
    return end;
}

inline const char* skip_internal_subset(const char* p, const char* end) noexcept {
    while (p < end) {
        const char c = *p;
        if (c == ']') return p + 1;
        if (c == '"' || c == '\'') {
            const char* q = find_byte(p + 1, end, c);
            if (q == end) return end;
            p = q + 1;
        } else if (c == '<' && starts_with(p, end, "<!--")) {
            const char* t = find_terminator(p + 4, end, '-', '-');
            if (t == end) return end;
            p = t + 3;
        } else if (c == '<' && starts_with(p, end, "<?")) {
            const char* t = find_terminator(p + 2, end, '?', 0);
            if (t == end) return end;
            p = t + 2;
        } else {
            ++p;
        }
    }
    return end;
}

inline const char* find_doctype_end(const char* p, const char* end) noexcept {
    while (p < end) {
        const char c = *p;
        if (c == '>') return p;
        if (c == '[') {
            p = skip_internal_subset(p + 1, end);
        } else if (c == '"' || c == '\'') {
            const char* q = find_byte(p + 1, end, c);
            if (q == end) return end;
            p = q + 1;
        } else {
            ++p;
        }
    }
    return end;
}

}  // namespace detail

class OldReader {
public:
    explicit OldReader(Bytes input, ReaderConfig config = ReaderConfig::engine()) : input_(input), config_(config) {
        const DetectedEncoding d = detect_encoding(input);
        if (d.found) {
            encoding_ = d.encoding;
            pos_ = d.skip;
            encoding_source_ = d.skip == 0 ? EncodingSource::Implicit : EncodingSource::Bom;
        }
    }

    std::uint64_t buffer_position() const noexcept { return pos_; }
    std::size_t depth() const noexcept { return depth_; }
    Encoding encoding() const noexcept { return encoding_; }
    EncodingSource encoding_source() const noexcept { return encoding_source_; }

    Event read_event() {
        using namespace detail;
        if (pending_end_) {
            pending_end_ = false;
            return close_element(pending_end_name_);
        }
        if (exit_) return Event{};
        const char* b = input_.data();
        const char* end = b + input_.size();
        while (true) {
            if (pos_ >= input_.size()) {
                exit_ = true;
                return Event{};
            }
            const char* p = b + pos_;
            if (*p == '<') return read_markup();
            const char* lt = find_byte(p, end, '<');
            pos_ = static_cast<std::size_t>(lt - b);
            const char* te = lt;
            if (config_.trim_text_start)
                while (p < te && is_ws(*p)) ++p;
            if (config_.trim_text_end)
                while (te > p && is_ws(te[-1])) --te;
            if (te > p) return make(EventKind::Text, span(p, te));
        }
    }

    // The obvious skip: read events; a start tag opens a level, an end tag
    // or an error closes the innermost, the skipped element's own at depth 0.
    XmlError read_to_end() {
        std::size_t depth = 0;
        while (true) {
            const Event ev = read_event();
            switch (ev.kind) {
                case EventKind::Eof: return XmlError::MissingEnd;
                case EventKind::Start: ++depth; break;
                case EventKind::End:
                case EventKind::Error:
                    if (depth == 0) return ev.kind == EventKind::Error ? ev.error : XmlError::None;
                    --depth;
                    break;
                default: break;
            }
        }
    }

private:
    static Event make(EventKind kind, Bytes content = {}, std::size_t name_len = 0) {
        Event e;
        e.kind = kind;
        e.content = content;
        e.name_len = name_len;
        return e;
    }

    Event error_event(XmlError e, bool fatal) {
        if (fatal) {
            exit_ = true;
            pos_ = input_.size();
        }
        Event ev;
        ev.kind = EventKind::Error;
        ev.error = e;
        return ev;
    }

    Event read_markup() {
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

    Event read_end_tag() {
        using namespace detail;
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

    Event close_element(Bytes name) {
        if (depth_ == 0) {
            if (config_.allow_unmatched_ends) return make(EventKind::End, name);
            return error_event(XmlError::UnmatchedEnd, false);
        }
        --depth_;
        if (config_.check_end_names) {
            const Bytes open = open_names_.back();
            open_names_.pop_back();
            if (open != name) return error_event(XmlError::MismatchedEnd, false);
        }
        return make(EventKind::End, name);
    }

    Event read_start_tag() {
        using namespace detail;
        const char* b = input_.data();
        const char* end = b + input_.size();
        const char* cb = b + pos_ + 1;
        const char* gt = find_tag_end(cb, end);
        if (gt == end) return error_event(XmlError::UnclosedTag, true);
        pos_ = static_cast<std::size_t>(gt + 1 - b);
        const char* ce = gt;
        const bool empty = ce > cb && ce[-1] == '/';
        if (empty) --ce;
        const char* ne = cb;
        while (ne < ce && !is_ws(*ne)) ++ne;
        const std::size_t name_len = static_cast<std::size_t>(ne - cb);
        const Bytes content = span(cb, ce);
        if (empty && !config_.expand_empty_elements) return make(EventKind::Empty, content, name_len);
        const Bytes name = content.substr(0, name_len);
        ++depth_;
        if (config_.check_end_names) open_names_.push_back(name);
        if (empty) {
            pending_end_ = true;
            pending_end_name_ = name;
        }
        return make(EventKind::Start, content, name_len);
    }

    Event read_bang() {
        using namespace detail;
        const char* b = input_.data();
        const char* end = b + input_.size();
        const char* s = b + pos_ + 2;
        if (starts_with(s, end, "--")) {
            const char* cb = s + 2;
            const char* t = find_terminator(cb, end, '-', '-');
            if (t == end) return error_event(XmlError::UnclosedComment, true);
            pos_ = static_cast<std::size_t>(t + 3 - b);
            const Bytes content = span(cb, t);
            if (config_.check_comments &&
                (content.find("--") != Bytes::npos || (!content.empty() && content.back() == '-')))
                return error_event(XmlError::CommentDoubleDash, false);
            return make(EventKind::Comment, content);
        }
        if (starts_with(s, end, "[CDATA[")) {
            const char* cb = s + 7;
            const char* t = find_terminator(cb, end, ']', ']');
            if (t == end) return error_event(XmlError::UnclosedCData, true);
            pos_ = static_cast<std::size_t>(t + 3 - b);
            return make(EventKind::CData, span(cb, t));
        }
        if (is_doctype_keyword(s, end)) {
            const char* db = s + 7;
            const char* gt = find_doctype_end(db, end);
            if (gt == end) return error_event(XmlError::UnclosedDocType, true);
            pos_ = static_cast<std::size_t>(gt + 1 - b);
            const char* nb = db;
            while (nb < gt && is_ws(*nb)) ++nb;
            if (nb == gt || *nb == '[') return error_event(XmlError::DocTypeWithoutName, false);
            return make(EventKind::DocType, span(nb, gt));
        }
        if (truncated_prefix_of(s, end, "--", false)) return error_event(XmlError::UnclosedComment, true);
        if (truncated_prefix_of(s, end, "[CDATA[", false)) return error_event(XmlError::UnclosedCData, true);
        if (truncated_prefix_of(s, end, "DOCTYPE", true)) return error_event(XmlError::UnclosedDocType, true);
        return error_event(XmlError::BadBang, true);
    }

    Event read_pi() {
        using namespace detail;
        const char* b = input_.data();
        const char* end = b + input_.size();
        const char* cb = b + pos_ + 2;
        const char* t = find_terminator(cb, end, '?', 0);
        if (t == end) return error_event(XmlError::UnclosedPI, true);
        pos_ = static_cast<std::size_t>(t + 2 - b);
        const Bytes content = span(cb, t);
        const bool decl = content.substr(0, 3) == "xml" && (content.size() == 3 || is_ws(content[3]));
        if (!decl) return make(EventKind::PI, content);
        if (encoding_source_ == EncodingSource::Implicit) {
            std::optional<Encoding> e;
            AttrIter it(content, 3);
            Attribute a;
            while (it.next(a)) {
                if (a.error || a.key != "encoding") continue;
                e = encoding_for_label(a.value);
                break;
            }
            if (e && *e != Encoding::Utf16Le && *e != Encoding::Utf16Be) {
                encoding_ = *e;
                encoding_source_ = EncodingSource::Declaration;
            }
        }
        return make(EventKind::Decl, content);
    }

    Bytes input_;
    std::size_t pos_ = 0;
    ReaderConfig config_;
    bool exit_ = false;
    Encoding encoding_ = Encoding::Utf8;
    EncodingSource encoding_source_ = EncodingSource::Implicit;
    std::size_t depth_ = 0;
    std::vector<Bytes> open_names_;
    bool pending_end_ = false;
    Bytes pending_end_name_;
};

}  // namespace quelmar::oracle
