#include "xml/record_splitter.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
#include <utility>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "common/bytes.hpp"
#include "xml/scan.hpp"

namespace quelmar {
namespace {

using xml_scan::find_byte;

bool space(char c) noexcept { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// A byte that cannot start an element name.
bool bad_name_start(char c) noexcept {
    return space(c) || c == '>' || c == '<' || c == '/' || c == '=' || c == '"' || c == '\'' || c == '&';
}

std::size_t name_length(const char* p, const char* end) noexcept {
    const char* q = p;
    while (q < end && !space(*q) && *q != '/' && *q != '>') ++q;
    return static_cast<std::size_t>(q - p);
}

// A name for a message: at most 100 bytes, cut on a character boundary.
std::string shown_name(const char* p, std::size_t n) {
    if (n <= 100) return std::string(p, n);
    std::size_t k = 100;
    while (k > 0 && (static_cast<unsigned char>(p[k]) & 0xC0) == 0x80) --k;
    return std::string(p, k) + "...";
}

// Characters of UTF-8 in [p, end): the bytes that do not continue one
// (a long line is counted a block at a time).
std::uint64_t characters(const char* p, const char* end) noexcept {
    std::uint64_t n = 0;
#if defined(__SSE2__)
    // A continuation byte is 0x80..0xBF: as a signed byte, below -64.
    const __m128i below = _mm_set1_epi8(-65);
    while (end - p >= 16) {
        // At most 255 blocks per sum: each lane counts up to 255.
        const std::ptrdiff_t blocks = std::min<std::ptrdiff_t>((end - p) / 16, 255);
        __m128i sum = _mm_setzero_si128();
        for (std::ptrdiff_t k = 0; k < blocks; ++k, p += 16)
            sum = _mm_sub_epi8(sum, _mm_cmpgt_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)), below));
        const __m128i wide = _mm_sad_epu8(sum, _mm_setzero_si128());
        n += static_cast<std::uint64_t>(_mm_cvtsi128_si64(wide)) +
             static_cast<std::uint64_t>(_mm_cvtsi128_si64(_mm_unpackhi_epi64(wide, wide)));
    }
#endif
    for (; p < end; ++p) n += (static_cast<unsigned char>(*p) & 0xC0) != 0x80;
    return n;
}

}  // namespace

RecordSplitter::RecordSplitter(std::vector<std::string> segments, bool any_depth)
    : segments_(std::move(segments)), any_depth_(any_depth) {}

bool RecordSplitter::take_doctype(RecordSpan& span) noexcept {
    if (!has_doctype_) return false;
    has_doctype_ = false;
    span = doctype_;
    return true;
}

void RecordSplitter::fail(const char* buf, std::size_t at, std::string message) {
    const Position p = locate(buf, at);
    error_offset_ = p.offset;
    error_record_ = rec_start_ == kNone ? kNoRecord : call_base_ + rec_start_;
    error_at_ = at;
    resume_depth_ = rec_start_ != kNone ? rec_depth_ : depth_;
    error_text_ = std::move(message);
    error_line_ = p.line;
    error_column_ = p.column;
    state_ = State::Error;
}

namespace {

// The line feeds in [p, end): whole blocks compared at once (a search per
// line costs a call per line of a document of short lines).
std::uint64_t line_feeds(const char* p, const char* end) noexcept {
    std::uint64_t n = 0;
#if defined(__SSE2__)
    const __m128i nl = _mm_set1_epi8('\n');
    while (end - p >= 16) {
        // At most 255 blocks per sum: each lane counts up to 255.
        const std::ptrdiff_t blocks = std::min<std::ptrdiff_t>((end - p) / 16, 255);
        __m128i sum = _mm_setzero_si128();
        for (std::ptrdiff_t k = 0; k < blocks; ++k, p += 16)
            sum = _mm_sub_epi8(sum, _mm_cmpeq_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)), nl));
        const __m128i wide = _mm_sad_epu8(sum, _mm_setzero_si128());
        n += static_cast<std::uint64_t>(_mm_cvtsi128_si64(wide)) +
             static_cast<std::uint64_t>(_mm_cvtsi128_si64(_mm_unpackhi_epi64(wide, wide)));
    }
#endif
    for (; p < end; ++p) n += *p == '\n';
    return n;
}

// Past the last line feed in [p, end), or p when there is none (searched a
// block at a time from the end).
const char* line_start(const char* p, const char* end) noexcept {
#if defined(__SSE2__)
    const __m128i nl = _mm_set1_epi8('\n');
    while (end - p >= 16) {
        const unsigned m = static_cast<unsigned>(
            _mm_movemask_epi8(_mm_cmpeq_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(end - 16)), nl)));
        if (m != 0) return end - 16 + (31 - std::countl_zero(m)) + 1;
        end -= 16;
    }
#endif
    while (end > p && end[-1] != '\n') --end;
    return end;
}

RecordSplitter::Position position_after(std::uint64_t base, std::uint64_t line, std::uint64_t column,
                                        const char* buf, std::size_t offset) noexcept {
    const char* end = buf + offset;
    const char* last = line_start(buf, end);
    if (last == buf) return {line + 1, column + characters(buf, end) + 1, base + offset};
    return {line + line_feeds(buf, last) + 1, characters(last, end) + 1, base + offset};
}

}  // namespace

RecordSplitter::Position RecordSplitter::advance_position(Position from, const char* p, std::size_t n) noexcept {
    return position_after(from.offset, from.line - 1, from.column - 1, p, n);
}

RecordSplitter::Position RecordSplitter::locate(const char* buf, std::size_t offset) const noexcept {
    return position_after(call_base_, call_base_line_, call_base_column_, buf, offset);
}

RecordSplitter::Position RecordSplitter::locate_end(const char* rest, std::size_t size) const noexcept {
    return position_after(base_, base_line_, base_column_, rest, size);
}

void RecordSplitter::advance(const char* buf, std::size_t n) noexcept {
    const Position p = locate(buf, n);
    base_line_ = p.line - 1;
    base_column_ = p.column - 1;
    base_ = p.offset;
}

std::string RecordSplitter::end_problem() const {
    if (state_ == State::Error) return error_text_;
    if (state_ == State::Search) return {};  // the break was reported
    if (!root_seen_) return "no root element";
    if (root_ended_ && state_ == State::Text) return {};
    switch (state_) {
        case State::Comment: return "the document ends inside a comment";
        case State::Cdata: return "the document ends inside a CDATA section";
        case State::Pi: return "the document ends inside a processing instruction";
        case State::Doctype: return "the document ends inside the DOCTYPE declaration";
        case State::Lt:
        case State::Bang:
        case State::Tag:
        case State::EndTag: return "the document ends inside a tag";
        default: break;
    }
    if (!name_starts_.empty()) {
        const std::size_t top = name_starts_.back();
        return "the document ends inside element <" + shown_name(names_.data() + top, names_.size() - top) + ">";
    }
    return "the document ends inside an element";
}

std::vector<std::string> RecordSplitter::open_names() const {
    std::vector<std::string> out;
    std::size_t n = name_starts_.size();
    if (rec_start_ != kNone && n > 0) --n;  // the open record's own name
    for (std::size_t i = 0; i < n; ++i) {
        const std::size_t end = i + 1 < name_starts_.size() ? name_starts_[i + 1] : names_.size();
        out.emplace_back(names_, name_starts_[i], end - name_starts_[i]);
    }
    return out;
}

bool RecordSplitter::resync() {
    if (state_ != State::Error || segments_.back() == "*") return false;
    const std::size_t ancestors = any_depth_ ? resume_depth_ : segments_.size() - 1;
    state_ = State::Search;
    pos_ = resume_from_;
    cstart_ = pos_;
    rec_start_ = kNone;
    skipping_ = false;
    cut_ = 0;
    names_.clear();
    name_starts_.clear();
    root_seen_ = ancestors > 0;
    root_ended_ = false;
    depth_ = ancestors;
    unnamed_ = ancestors;
    matched_ = any_depth_ ? 0 : std::min(ancestors, segments_.size());
    return true;
}

bool RecordSplitter::search(std::size_t ancestors, std::uint64_t offset, std::uint64_t line,
                            std::uint64_t column) {
    if (segments_.back() == "*" || line == 0 || column == 0) return false;
    state_ = State::Error;
    resume_from_ = 0;
    resume_depth_ = ancestors;
    base_ = call_base_ = offset;
    base_line_ = call_base_line_ = line - 1;
    base_column_ = call_base_column_ = column - 1;
    if (!any_depth_) resume_depth_ = segments_.size() - 1;
    return resync();
}

void RecordSplitter::start_inside(std::size_t ancestors) noexcept {
    root_seen_ = ancestors > 0;  // at no depth, the record is the root
    depth_ = ancestors;
    unnamed_ = ancestors;
    matched_ = any_depth_ ? 0 : std::min(ancestors, segments_.size());
}

// As a path compares names: a name without ':' with the element's local
// name (after its prefix), one with ':' with the whole name, "*:name" with
// the local name of a prefixed element, "*" with any.
bool RecordSplitter::name_matches(std::size_t level, const char* name, std::size_t len) const noexcept {
    const std::string& seg = segments_[level];
    if (seg == "*") return true;
    const auto same = [](const std::string& s, std::size_t from, const char* p, std::size_t n) {
        return s.size() - from == n && std::memcmp(s.data() + from, p, n) == 0;
    };
    const void* colon = std::memchr(name, ':', len);
    const std::size_t local = colon ? static_cast<std::size_t>(static_cast<const char*>(colon) - name) + 1 : 0;
    if (seg.size() >= 2 && seg[0] == '*' && seg[1] == ':') return colon && same(seg, 2, name + local, len - local);
    if (seg.find(':') != std::string::npos) return same(seg, 0, name, len);
    return same(seg, 0, name + local, len - local);
}

void RecordSplitter::open(const char* buf, std::size_t gt, bool self_closing) {
    const char* name = buf + cstart_ + 1;
    const std::size_t len = name_length(name, buf + gt);
    const std::size_t d = depth_;
    if (d == 0) {
        if (root_seen_) return fail(buf, cstart_, "junk after the root element: a second element");
        root_seen_ = true;
        root_name_.assign(name, len);
    }
    if (rec_start_ == kNone) {
        const bool is_record =
            any_depth_ ? name_matches(0, name, len)
                       : (matched_ == d && d + 1 == segments_.size() && name_matches(d, name, len));
        if (is_record) {
            if (self_closing) {
                out_->push_back({cstart_, gt + 1});
            } else {
                rec_start_ = cstart_;
                rec_depth_ = d;
                skipping_ = true;
                skip_depth_ = 0;
                skip_open_ = 1;  // the record itself
            }
        }
    }
    if (self_closing) {
        if (d == 0) root_ended_ = true;
        return;
    }
    if (!any_depth_ && matched_ == d && d < segments_.size() && name_matches(d, name, len)) matched_ = d + 1;
    name_starts_.push_back(names_.size());
    names_.append(name, len);
    ++depth_;
}

void RecordSplitter::close(const char* buf, std::size_t gt) {
    const char* name = buf + cstart_ + 2;
    const char* end = buf + gt;
    while (end > name && space(end[-1])) --end;
    const std::size_t len = static_cast<std::size_t>(end - name);
    if (depth_ == 0 || (name_starts_.empty() && unnamed_ == 0))
        return fail(buf, cstart_, "end tag </" + shown_name(name, len) + "> with no open element");
    if (name_starts_.empty()) {
        // An ancestor of where start_inside() put us, or the end of the root.
        --unnamed_;
        --depth_;
        matched_ = std::min(matched_, depth_);
        if (depth_ == 0) root_ended_ = true;
        return;
    }
    const std::size_t top = name_starts_.back();
    if (names_.size() - top != len || std::memcmp(names_.data() + top, name, len) != 0) {
        return fail(buf, cstart_,
                    "end tag </" + shown_name(name, len) + "> does not match <" +
                        shown_name(names_.data() + top, names_.size() - top) + ">");
    }
    end_record(gt);
}

// Closes the innermost open element (its end tag's '>' at gt), and the
// record when it is the record.
void RecordSplitter::end_record(std::size_t gt) {
    names_.resize(name_starts_.back());
    name_starts_.pop_back();
    --depth_;
    matched_ = std::min(matched_, depth_);
    if (rec_start_ != kNone && depth_ == rec_depth_) {
        out_->push_back({rec_start_, gt + 1});
        rec_start_ = kNone;
        skipping_ = false;
    }
    if (depth_ == 0) root_ended_ = true;
}

// Skips the inside of the open record from pos_ with the queries' skip
// loop. True when scanning goes on in the state set here (the record
// closed, or markup the loop leaves to the state machine: a comment, CDATA,
// a PI, an end tag with no element open inside the record); false when the
// buffer ended (pos_ is where to resume, a tag cut short included).
bool RecordSplitter::skip_record(const char* buf, std::size_t size) {
    const char* const end = buf + size;
    const std::size_t top = name_starts_.back();
    // The record's name, from its start tag (kept in the buffer while the
    // record is open).
    const xml_scan::SkipName name(Bytes(buf + rec_start_ + 1, names_.size() - top), Bytes(buf, size));
    if (cut_ > 0) {
        // A start tag that an earlier buffer cut short (pos_ is its '<'):
        // its '>' is searched for from where that search stopped, with the
        // quote open there, so that a long tag is not scanned again from
        // its start at every chunk.
        std::size_t i = pos_ + cut_;
        bool ended = false;
        while (i < size) {
            if (quote_) {
                const char* q = find_byte(buf + i, end, quote_);
                if (q >= end) {
                    i = size;
                    break;
                }
                quote_ = 0;
                i = static_cast<std::size_t>(q - buf) + 1;
                continue;
            }
            const char c = buf[i];
            if (c == '>') {
                ended = true;
                break;
            }
            if (c == '"' || c == '\'') quote_ = c;
            ++i;
        }
        if (!ended) {
            cut_ = size - pos_;
            return false;
        }
        cut_ = 0;
        quote_ = 0;
        // The whole tag lies in the buffer now: the skip takes it (once).
        xml_scan::SkipRun tag{buf + pos_, skip_depth_, skip_open_};
        const xml_scan::SkipStop stop = xml_scan::skip_plain_markup(tag, buf + i + 1, name, true, false);
        if (stop != xml_scan::SkipStop::EndOfInput || tag.p != buf + i + 1) return false;  // not reached
        skip_depth_ = tag.depth;
        skip_open_ = tag.open;
        pos_ = i + 1;
    }
    xml_scan::SkipRun run{buf + pos_, skip_depth_, skip_open_};
    const xml_scan::SkipStop stop = xml_scan::skip_plain_markup(run, end, name, true, false);
    skip_depth_ = run.depth;
    skip_open_ = run.open;
    pos_ = static_cast<std::size_t>(run.p - buf);
    if (stop == xml_scan::SkipStop::Closed) {
        end_record(pos_ - 1);
        return true;
    }
    if (stop == xml_scan::SkipStop::EndOfInput || size - pos_ < 2) return false;
    const char c = buf[pos_ + 1];
    if (c == '!' || c == '?') {
        cstart_ = pos_;
        ++pos_;
        state_ = State::Lt;
        return true;
    }
    if (c == '/' && find_byte(buf + pos_, end, '>') < end) {
        // More end tags than start tags inside the record: this one is
        // checked against the record's name.
        cstart_ = pos_;
        pos_ += 2;
        skipping_ = false;
        state_ = State::EndTag;
        return true;
    }
    if (c != '/') {
        // A start tag cut short by the end of the buffer: its end is
        // searched for from here on.
        cut_ = 1;
        quote_ = 0;
        return skip_record(buf, size);
    }
    return false;  // an end tag cut short by the end of the buffer
}

// Scans the DOCTYPE from pos_; true when it ended (pos_ past its '>').
bool RecordSplitter::scan_doctype(const char* buf, std::size_t size) {
    std::size_t i = pos_;
    while (i < size) {
        const char c = buf[i];
        if (dt_mode_ == 1) {  // comment in the internal subset
            if (c == '>' && dt_dashes_ >= 2) dt_mode_ = 0;
            dt_dashes_ = c == '-' ? static_cast<std::uint8_t>(std::min(dt_dashes_ + 1, 2)) : 0;
            ++i;
            continue;
        }
        if (dt_mode_ == 2) {  // processing instruction in the internal subset
            if (c == '>' && dt_prev_ == '?') dt_mode_ = 0;
            dt_prev_ = c;
            ++i;
            continue;
        }
        if (quote_) {
            if (c == quote_) quote_ = 0;
            ++i;
            continue;
        }
        if (c == '"' || c == '\'') {
            quote_ = c;
        } else if (dt_subset_ && c == '<') {
            if (size - i < 4) break;  // decide once "<!--" or "<?" can be seen
            if (buf[i + 1] == '?') {
                dt_mode_ = 2;
                dt_prev_ = 0;
                i += 2;
                continue;
            }
            if (std::memcmp(buf + i, "<!--", 4) == 0) {
                dt_mode_ = 1;
                dt_dashes_ = 0;
                i += 4;
                continue;
            }
        } else if (c == '[') {
            dt_subset_ = true;
        } else if (c == ']') {
            dt_subset_ = false;
        } else if (c == '>' && !dt_subset_) {
            pos_ = i + 1;
            return true;
        }
        ++i;
    }
    pos_ = i;
    return false;
}

std::size_t RecordSplitter::feed(const char* buf, std::size_t size, std::vector<RecordSpan>& out) {
    out_ = &out;
    call_base_ = base_;
    call_base_line_ = base_line_;
    call_base_column_ = base_column_;
    const char* const end = buf + size;
    while (pos_ < size && state_ != State::Done && state_ != State::Error) {
        switch (state_) {
            case State::Text: {
                if (skipping_) {
                    if (!skip_record(buf, size)) goto wait;
                    break;
                }
                if (depth_ == 0) {
                    // Before and after the root: white space and markup only
                    // (a UTF-8 byte-order mark at the very start).
                    std::size_t i = pos_;
                    if (base_ + i == 0 && std::memcmp(buf, "\xEF\xBB\xBF", std::min<std::size_t>(size, 3)) == 0) {
                        if (size < 3) goto wait;  // a byte-order mark, or not: its bytes decide
                        i = 3;
                    }
                    while (i < size && space(buf[i])) ++i;
                    if (i == size) {
                        pos_ = size;
                        break;
                    }
                    if (buf[i] != '<') {
                        fail(buf, i, root_seen_ ? "junk after the root element" : "text before the root element");
                        break;
                    }
                    cstart_ = i;
                    pos_ = i + 1;
                    state_ = State::Lt;
                    break;
                }
                const char* lt = find_byte(buf + pos_, end, '<');
                if (lt >= end) {
                    pos_ = size;
                    break;
                }
                cstart_ = static_cast<std::size_t>(lt - buf);
                pos_ = cstart_ + 1;
                state_ = State::Lt;
                break;
            }
            case State::Lt: {
                const char c = buf[pos_];
                if (c == '/') {
                    state_ = State::EndTag;
                    ++pos_;
                } else if (c == '?') {
                    state_ = State::Pi;
                    ++pos_;
                } else if (c == '!') {
                    state_ = State::Bang;
                } else if (bad_name_start(c)) {
                    fail(buf, cstart_, "'<' not followed by a name");
                } else {
                    state_ = State::Tag;
                    quote_ = 0;
                    last_ = 0;
                }
                break;
            }
            case State::Bang: {
                static constexpr const char* kOpeners[] = {"<!--", "<![CDATA[", "<!DOCTYPE"};
                const std::size_t have = size - cstart_;
                bool prefix = false;
                int which = -1;
                for (int k = 0; k < 3; ++k) {
                    const std::size_t n = std::strlen(kOpeners[k]);
                    const std::size_t m = std::min(n, have);
                    if (std::memcmp(buf + cstart_, kOpeners[k], m) != 0) continue;
                    if (m == n) which = k;
                    else prefix = true;
                }
                if (which == 0) {
                    state_ = State::Comment;
                    pos_ = cstart_ + 4;
                } else if (which == 1) {
                    state_ = State::Cdata;
                    pos_ = cstart_ + 9;
                } else if (which == 2 && depth_ == 0 && !root_seen_) {
                    state_ = State::Doctype;
                    pos_ = cstart_ + 9;
                    quote_ = 0;
                    dt_subset_ = false;
                    dt_mode_ = 0;
                } else if (prefix) {
                    pos_ = size;  // wait for the bytes that decide
                } else {
                    fail(buf, cstart_, "'<!' that opens no comment, CDATA section or DOCTYPE here");
                }
                break;
            }
            case State::Tag: {
                if (pos_ == cstart_ + 1) {
                    // A fresh tag: the wide scan finds its end in one go when
                    // it lies in the buffer; otherwise the byte loop below
                    // carries the quote state to the next call.
                    const xml_scan::TagScan t = xml_scan::scan_tag(buf + pos_, end);
                    if (t.gt < end) {
                        const std::size_t g = static_cast<std::size_t>(t.gt - buf);
                        std::size_t k = g;
                        while (k > pos_ && space(buf[k - 1])) --k;
                        pos_ = g + 1;
                        state_ = State::Text;
                        open(buf, g, k > cstart_ + 1 && buf[k - 1] == '/');
                        break;
                    }
                }
                std::size_t i = pos_;
                bool ended = false;
                while (i < size) {
                    if (quote_) {
                        const char* q = find_byte(buf + i, end, quote_);
                        if (q >= end) {
                            i = size;
                            break;
                        }
                        quote_ = 0;
                        last_ = '"';
                        i = static_cast<std::size_t>(q - buf) + 1;
                        continue;
                    }
                    const char c = buf[i];
                    if (c == '>') {
                        ended = true;
                        break;
                    }
                    if (c == '"' || c == '\'') quote_ = c;
                    if (!space(c)) last_ = c;
                    ++i;
                }
                if (!ended) {
                    pos_ = size;
                    break;
                }
                pos_ = i + 1;
                state_ = State::Text;
                open(buf, i, last_ == '/');
                break;
            }
            case State::EndTag: {
                const char* gt = find_byte(buf + pos_, end, '>');
                if (gt >= end) {
                    pos_ = size;
                    break;
                }
                const std::size_t g = static_cast<std::size_t>(gt - buf);
                pos_ = g + 1;
                state_ = State::Text;
                close(buf, g);
                break;
            }
            case State::Pi:
            case State::Comment:
            case State::Cdata: {
                // The terminator must follow the opener: "<??>" "<!---->" "<![CDATA[]]>".
                const std::size_t min_gt = cstart_ + (state_ == State::Pi ? 3 : state_ == State::Comment ? 6 : 11);
                std::size_t i = std::max(pos_, min_gt);
                bool ended = false;
                while (i < size) {
                    const char* gt = find_byte(buf + i, end, '>');
                    if (gt >= end) break;
                    const std::size_t g = static_cast<std::size_t>(gt - buf);
                    const bool hit = state_ == State::Pi        ? buf[g - 1] == '?'
                                     : state_ == State::Comment ? (buf[g - 1] == '-' && buf[g - 2] == '-')
                                                                : (buf[g - 1] == ']' && buf[g - 2] == ']');
                    i = g + 1;
                    if (hit) {
                        ended = true;
                        break;
                    }
                }
                if (!ended) {
                    // Every '>' up to here was looked at; a later one looks back.
                    pos_ = std::max(size, min_gt);
                    goto wait;
                }
                pos_ = i;
                state_ = State::Text;
                break;
            }
            case State::Doctype: {
                if (scan_doctype(buf, size)) {
                    doctype_ = {cstart_, pos_};
                    has_doctype_ = true;
                    state_ = State::Text;
                } else {
                    goto wait;
                }
                break;
            }
            case State::Search: {
                // The next start tag named like the records.
                const char* lt = find_byte(buf + pos_, end, '<');
                const std::size_t i = static_cast<std::size_t>(lt - buf);
                const std::size_t len = lt < end ? name_length(lt + 1, end) : 0;
                if (lt >= end || lt + 1 + len >= end) {
                    pos_ = lt >= end ? size : i;
                    cstart_ = pos_;
                    goto wait;  // decide with the bytes that follow
                }
                if (len > 0 && !bad_name_start(lt[1]) && name_matches(segments_.size() - 1, lt + 1, len)) {
                    state_ = State::Text;
                    pos_ = i;
                } else {
                    pos_ = i + 1;
                    cstart_ = pos_;
                }
                break;
            }
            case State::Done:
            case State::Error:
                break;
        }
    }
wait:
    if (state_ == State::Error) {
        // What resync() needs stays: the open record's start, or the break.
        std::size_t keep = std::min(error_at_, size);
        if (rec_start_ != kNone) keep = std::min(keep, rec_start_);
        resume_from_ = (rec_start_ != kNone ? rec_start_ : error_at_) + 1 - keep;
        rec_start_ = kNone;
        skipping_ = false;
        cut_ = 0;
        pos_ = 0;
        cstart_ = 0;
        advance(buf, keep);
        return keep;
    }
    if (state_ == State::Done) {
        rec_start_ = kNone;
        skipping_ = false;
        cut_ = 0;
        pos_ = 0;
        cstart_ = 0;
        return size;
    }
    std::size_t keep = std::min(pos_, size);
    if (state_ != State::Text) keep = std::min(keep, cstart_);
    if (rec_start_ != kNone) keep = std::min(keep, rec_start_);
    advance(buf, keep);
    pos_ -= keep;
    if (state_ != State::Text) cstart_ -= keep;
    if (rec_start_ != kNone) rec_start_ -= keep;
    return keep;
}

// ---------------------------------------------------------------------------
// Whole documents in memory
// ---------------------------------------------------------------------------

std::vector<RecordSpan> record_ranges(const char* doc, std::size_t size, std::vector<std::string> segments,
                                      bool any_depth, std::size_t step, StreamProblem* problem) {
    if (step == 0) step = 1;
    RecordSplitter splitter(std::move(segments), any_depth);
    std::vector<RecordSpan> ranges;
    std::size_t next = 0;  // a record starting at or after this opens a range
    // Fed in windows, so that the spans of one window at a time are held
    // however many records the document has.
    constexpr std::size_t kWindow = std::size_t{4} << 20;
    std::vector<RecordSpan> spans;
    std::size_t base = 0;   // doc offset of the buffer given to feed()
    std::size_t limit = 0;  // end of the bytes fed so far
    while (limit < size && !splitter.finished()) {
        limit = size - limit > kWindow ? limit + kWindow : size;
        spans.clear();
        const std::size_t drop = splitter.feed(doc + base, limit - base, spans);
        for (const RecordSpan& r : spans) {
            const RecordSpan s{base + r.start, base + r.end};
            if (ranges.empty() || s.start >= next) {
                if (!ranges.empty()) ranges.back().end = s.start;
                ranges.push_back(s);
                next = (s.start / step + 1) * step;
            } else {
                ranges.back().end = s.end;
            }
        }
        base += drop;
    }
    if (problem != nullptr) {
        if (splitter.failed()) {
            *problem = {splitter.error_message(), splitter.error_line(), splitter.error_column(),
                        splitter.error_offset()};
        } else {
            std::string why = splitter.end_problem();
            if (!why.empty()) {
                // locate() counts from the buffer of the last feed, which began at `base - drop`:
                // everything after the last drop is still in doc[base, size).
                const RecordSplitter::Position p = splitter.locate_end(doc + base, size - base);
                *problem = {std::move(why), p.line, p.column, p.offset};
            }
        }
    }
    return ranges;
}

bool find_doctype(const char* doc, std::size_t size, RecordSpan& span) {
    // The root element as the record: no span comes before its end, and
    // scanning stops in the window where its start tag is.
    RecordSplitter splitter({"*"}, false);
    std::vector<RecordSpan> spans;
    constexpr std::size_t kWindow = 64 << 10;
    std::size_t base = 0;
    std::size_t limit = 0;
    while (limit < size && !splitter.finished() && !splitter.root_seen()) {
        limit = size - limit > kWindow ? limit + kWindow : size;
        const std::size_t drop = splitter.feed(doc + base, limit - base, spans);
        RecordSpan dt{0, 0};
        if (splitter.take_doctype(dt)) {
            span = {base + dt.start, base + dt.end};
            return true;
        }
        base += drop;
    }
    return false;
}

}  // namespace quelmar
