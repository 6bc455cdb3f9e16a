#include "records/record_stream.hpp"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>

namespace quelmar {

RecordStream::RecordStream(std::vector<std::string> segments, bool any_depth, std::optional<Encoding> decode,
                           std::size_t skip)
    : splitter_(std::move(segments), any_depth) {
    if (decode) {
        decoder_ = std::make_unique<LossyStreamDecoder>(*decode);
        skip_ = skip;
    }
}

RecordStream::~RecordStream() { std::free(buf_); }

void RecordStream::reserve_more(std::size_t n) {
    if (have_ + n <= cap_) return;
    const std::size_t kept = have_ - start_;
    // Moving the kept bytes to the front pays when it frees at least as
    // much as it moves; otherwise the buffer grows (a record that grows
    // over many chunks is not moved once per chunk).
    if (start_ > 0 && start_ >= kept && kept + n <= cap_) {
        std::memmove(buf_, buf_ + start_, kept);
        start_ = 0;
        have_ = kept;
        return;
    }
    if (start_ > 0 && start_ >= kept) {
        std::memmove(buf_, buf_ + start_, kept);
        start_ = 0;
        have_ = kept;
    }
    const std::size_t need = have_ + n;
    std::size_t cap = std::max<std::size_t>(cap_ == 0 ? std::size_t{64} << 10 : cap_ * 2, need);
    if (cap < cap_) throw std::bad_alloc();  // overflowed
    char* grown = static_cast<char*>(std::realloc(buf_, cap));
    if (grown == nullptr) throw std::bad_alloc();
    buf_ = grown;
    cap_ = cap;
}

void RecordStream::take(Bytes chunk) {
    if (decoder_) {
        if (skip_ > 0) {
            const std::size_t k = std::min(skip_, chunk.size());
            skip_ -= k;
            chunk = chunk.substr(k);
        }
        decoded_.clear();
        decoder_->decode(chunk, false, decoded_);
        chunk = Bytes(decoded_.data(), decoded_.size());
    }
    if (chunk.empty()) return;
    reserve_more(chunk.size());
    std::memcpy(buf_ + have_, chunk.data(), chunk.size());
    have_ += chunk.size();
}

void RecordStream::end() {
    if (ended_) return;
    ended_ = true;
    if (!decoder_) return;
    decoded_.clear();
    decoder_->decode(Bytes(), true, decoded_);
    if (decoded_.empty()) return;
    reserve_more(decoded_.size());
    std::memcpy(buf_ + have_, decoded_.data(), decoded_.size());
    have_ += decoded_.size();
}

void RecordStream::borrow(Bytes document) {
    borrowed_ = document.data();
    borrowed_size_ = document.size();
    start_ = have_ = 0;
}

bool RecordStream::extend(std::size_t window) noexcept {
    if (have_ >= borrowed_size_) return false;
    have_ = borrowed_size_ - have_ > window ? have_ + window : borrowed_size_;
    return true;
}

Bytes RecordStream::part() const noexcept {
    const char* base = borrowed_ != nullptr ? borrowed_ : buf_;
    return base == nullptr ? Bytes() : Bytes(base + start_, have_ - start_);
}

const RecordStream::Step& RecordStream::step() {
    step_.spans.clear();
    step_.checked = false;
    step_.good = 0;
    step_.error.reset();
    step_.has_doctype = false;
    const Bytes p = part();
    if (checking_) {
        split_and_check(p);
        return step_;
    }
    step_.drop = splitter_.feed(p.data(), p.size(), step_.spans);
    for (const RecordSpan& s : step_.spans) {
        note_declarations(p, s.start);
        pass_record(s.end);
    }
    note_declarations(p, step_.drop);
    step_.has_doctype = splitter_.take_doctype(step_.doctype);
    if (step_.has_doctype) prolog_.set_doctype(p.substr(step_.doctype.start, step_.doctype.end - step_.doctype.start));
    step_.finished = splitter_.finished();
    seen_ = p.size() - step_.drop;
    return step_;
}

void RecordStream::set_prolog(std::string declaration, bool transcoded) {
    prolog_ = RecordProlog(std::move(declaration), transcoded);
}

std::optional<WfError> RecordStream::check_record(Bytes rec) {
    const std::string& prefix = prolog_.prefix_for(rec);
    if (prefix.empty()) return check_well_formed(rec, false, true, bound());
    doc_.assign(prefix);
    doc_.append(rec.data(), rec.size());
    return check_well_formed(doc_, false, true, bound());
}

void RecordStream::pass_record(std::size_t end) {
    if (decl_matched_ == 6 && !decl_name_.empty()) bound_.insert(decl_name_);
    decl_name_.clear();
    decl_matched_ = 0;
    decl_at_ = std::max(decl_at_, end);
}

void RecordStream::note_declarations(Bytes p, std::size_t to) {
    static constexpr Bytes kXmlns = "xmlns:";
    to = std::min(to, p.size());
    if (to <= decl_at_) return;
    const Bytes t = p.substr(decl_at_, to - decl_at_);
    decl_at_ = to;
    if (any_bound_) return;
    const auto name_end = [](char c) {
        return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '=' || c == '/' || c == '>' || c == '\'' ||
               c == '"';
    };
    std::size_t i = 0;
    while (i < t.size()) {
        if (decl_matched_ == kXmlns.size()) {  // in the name
            std::size_t j = i;
            while (j < t.size() && !name_end(t[j])) ++j;
            decl_name_.append(t.data() + i, j - i);
            i = j;
            if (i == t.size()) return;
            if (!decl_name_.empty()) bound_.insert(decl_name_);
            decl_name_.clear();
            decl_matched_ = 0;
        } else if (decl_matched_ > 0) {  // "xmlns:" cut by the last bytes read
            if (t[i] == kXmlns[decl_matched_]) {
                ++decl_matched_;
                ++i;
            } else {
                decl_matched_ = 0;
            }
        } else {
            const std::size_t k = t.find(kXmlns, i);
            if (k != Bytes::npos) {
                decl_matched_ = kXmlns.size();
                i = k + kXmlns.size();
                continue;
            }
            // The bytes may end in the start of one.
            for (std::size_t s = std::max(i, t.size() > kXmlns.size() ? t.size() - kXmlns.size() + 1 : 0); s < t.size();
                 ++s) {
                if (kXmlns.starts_with(t.substr(s))) {
                    decl_matched_ = t.size() - s;
                    break;
                }
            }
            return;
        }
    }
}

void RecordStream::split_and_check(Bytes p) {
    // Where the part starts: what locate() counts from once it is split.
    const RecordSplitter::Position first = splitter_.locate_end(p.data(), 0);
    std::vector<RecordSpan>& spans = step_.spans;
    std::vector<RecordSpan> local;
    std::size_t base = 0;  // the piece fed starts here (what earlier pieces let go)
    // The splitter was given the bytes held before (and may have scanned
    // them all): each buffer it gets holds them and more.
    std::size_t end = std::min(seen_, p.size());
    bool bad = false;
    do {
        end = p.size() - end > piece_ ? end + piece_ : p.size();
        local.clear();
        const std::size_t drop = splitter_.feed(p.data() + base, end - base, local);
        RecordSpan dt{0, 0};
        if (splitter_.take_doctype(dt)) {
            // Before the root: no record of this part comes before it.
            step_.has_doctype = true;
            step_.doctype = {base + dt.start, base + dt.end};
            prolog_.set_doctype(p.substr(base + dt.start, dt.end - dt.start));
        }
        for (const RecordSpan& r : local) {
            const RecordSpan s{base + r.start, base + r.end};
            spans.push_back(s);
            note_declarations(p, s.start);
            pass_record(s.end);
            if (bad) continue;
            step_.error = check_record(p.substr(s.start, s.end - s.start));
            if (step_.error) bad = true;
            else ++step_.good;
        }
        base += drop;
    } while (end < p.size() && !splitter_.finished());
    step_.drop = base;
    note_declarations(p, base);
    step_.finished = splitter_.finished();
    seen_ = p.size() - base;
    splitter_.set_call_start(first);
    step_.checked = true;
}

void RecordStream::keep_around(std::size_t from) {
    if (around_failed_) return;
    const Bytes p = part();
    const std::size_t drop = std::min(step_.drop, p.size());
    RecordSplitter::Position at = splitter_.locate(p.data(), 0);
    std::size_t counted = 0;
    const auto take = [&](std::size_t a, std::size_t b) {
        if (b <= a) return;
        at = RecordSplitter::advance_position(at, p.data() + counted, a - counted);
        counted = a;
        marks_.push_back({around_.size(), at});
        around_.append(p.data() + a, b - a);
    };
    for (const RecordSpan& r : step_.spans) {
        if (r.start < from) continue;
        take(from, r.start);
        around_ += "<_/>";
        from = r.end;
    }
    take(from, std::max(from, drop));
}

namespace {

// Characters of a text as Python's lenient UTF-8 decoding counts them: each
// malformed sequence one U+FFFD.
std::uint64_t decoded_characters(Bytes text) {
    std::string out;
    decode_lossy_to_utf8(Encoding::Utf8, text, out);
    std::uint64_t n = 0;
    for (const char c : out) n += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
    return n;
}

}  // namespace

RecordSplitter::Position RecordStream::around_place(const std::vector<Mark>& marks, Bytes piece,
                                                    std::size_t x) const {
    std::size_t mo = 0;
    RecordSplitter::Position place{1, 1, 0};
    // The last run that starts at or before x.
    auto it = std::upper_bound(marks.begin(), marks.end(), x, [](std::size_t v, const Mark& m) { return v < m.at; });
    if (it != marks.begin()) {
        --it;
        mo = it->at;
        place = it->place;
    }
    const Bytes run = piece.substr(mo, x - mo);
    const std::size_t nl = run.rfind('\n');
    if (nl == Bytes::npos) return {place.line, place.column + decoded_characters(run), place.offset + (x - mo)};
    std::uint64_t lines = 0;
    for (const char c : run) lines += c == '\n';
    return {place.line + lines, decoded_characters(run.substr(nl + 1)) + 1, place.offset + (x - mo)};
}

std::optional<RecordStream::Break> RecordStream::check_around(bool now, bool last, Bytes first_head,
                                                              Bytes later_head) {
    if (around_failed_ || around_.empty() || !(now || last || around_.size() >= kAroundPiece)) return std::nullopt;
    std::size_t cut = around_.size();
    if (!last) {
        const std::size_t gt = around_.rfind('>');
        cut = gt == std::string::npos ? 0 : gt + 1;
    }
    if (cut == 0) return std::nullopt;
    std::vector<std::string> closes;
    if (!last) closes = splitter_.open_names();
    std::string piece = around_.substr(0, cut);
    around_.erase(0, cut);
    std::vector<Mark> marks = std::move(marks_);
    marks_.clear();
    if (!around_.empty()) marks_.push_back({0, around_place(marks, piece, cut)});
    std::vector<std::string> opens = std::move(opens_);
    opens_ = closes;
    const bool first = around_first_;
    around_first_ = false;
    if (!first && opens.empty()) return std::nullopt;  // before or after the root: the splitter reads it
    std::string doc(first ? first_head : later_head);
    if (!first)
        for (const std::string& n : opens) doc.append("<").append(n).append(">");
    const std::size_t head = doc.size();
    doc += piece;
    for (auto it = closes.rbegin(); it != closes.rend(); ++it) doc.append("</").append(*it).append(">");
    const std::optional<WfError> err = check_well_formed(doc, false, true);
    if (!err) return std::nullopt;
    around_failed_ = true;
    const std::size_t x = std::min(err->offset > head ? err->offset - head : 0, piece.size());
    const RecordSplitter::Position at = around_place(marks, piece, x);
    return Break{err->message, at.line, at.column, at.offset};
}

void RecordStream::advance() noexcept {
    decl_at_ -= std::min(decl_at_, step_.drop);
    start_ += std::min(step_.drop, have_ - start_);
    step_.drop = 0;
    if (borrowed_ != nullptr) return;
    if (start_ == have_) start_ = have_ = 0;
    // After a large record the buffer gives back what it no longer needs
    // (its pages stay resident otherwise): the bytes kept move to the
    // front, and the block shrinks to twice their size.
    const std::size_t kept = have_ - start_;
    if (cap_ > kShrinkAbove && kept < cap_ / 4) {
        if (start_ > 0) std::memmove(buf_, buf_ + start_, kept);
        start_ = 0;
        have_ = kept;
        const std::size_t cap = std::max(kept * 2, kShrinkAbove);
        if (char* smaller = static_cast<char*>(std::realloc(buf_, cap))) {
            buf_ = smaller;
            cap_ = cap;
        }
    }
}

}  // namespace quelmar
