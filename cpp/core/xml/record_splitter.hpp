// Incremental record splitter: finds the elements at a record path in a
// document fed chunk after chunk, without building anything. The caller
// keeps a buffer, appends each chunk, calls feed() on the whole buffer and
// then drops the returned number of bytes from its front. Scanning resumes
// where the previous call stopped (the markup state survives chunk
// boundaries), so the total work is linear in the document.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace quelmar {

struct RecordSpan {
    std::size_t start;  // the record's '<'
    std::size_t end;    // one past its final '>'
};

class RecordSplitter {
public:
    // `segments`: element names from the root to the record ("*" matches any
    // name). With `any_depth`, `segments` holds one name and records are the
    // outermost elements of that name at any depth.
    RecordSplitter(std::vector<std::string> segments, bool any_depth);

    // Scans buffer[0, size) from where the last call stopped and appends the
    // records completed in it to `out` (offsets into this buffer). Returns
    // how many bytes at the front the caller may drop before the next call
    // (nothing before that point is needed again).
    std::size_t feed(const char* buffer, std::size_t size, std::vector<RecordSpan>& out);

    // Once the document's structure is broken no further record can come.
    // After the root element ends, scanning goes on over what follows it
    // (comments, PIs and white space only; anything else is an error), so
    // that a second document or junk behind the first one is not passed
    // over in silence.
    bool finished() const noexcept { return state_ == State::Done || state_ == State::Error; }
    bool failed() const noexcept { return state_ == State::Error; }
    // Whether the root element ended (the document is complete when the
    // input ends now).
    bool root_ended() const noexcept { return root_ended_; }

    // Where and why the structure broke (after failed()): the message, the
    // byte offset from the start of everything fed, and the start of the
    // record that was open then (kNone when none was; a byte offset from
    // the start of everything fed too).
    const std::string& error_message() const noexcept { return error_text_; }
    std::uint64_t error_line() const noexcept { return error_line_; }
    std::uint64_t error_column() const noexcept { return error_column_; }
    std::uint64_t error_offset() const noexcept { return error_offset_; }
    std::uint64_t error_record() const noexcept { return error_record_; }

    // The input ended: what is wrong with stopping here (empty when the
    // root element ended), and the offset of the end.
    std::string end_problem() const;
    // Where the record open after the last feed() starts (bytes from the
    // start of everything fed), or kNoRecord.
    std::uint64_t open_record() const noexcept { return rec_start_ == kNone ? kNoRecord : base_ + rec_start_; }
    // Where the markup the input ended in starts (a tag, comment, PI, CDATA
    // section or the DOCTYPE), in what the last feed() did not drop; or
    // the end of that when it did not end inside markup.
    std::size_t open_construct(std::size_t rest) const noexcept {
        return state_ == State::Text || state_ == State::Search || state_ == State::Error ? rest : cstart_;
    }

    // The position of byte `offset` of the buffer given to the last feed():
    // its line (1-based), column (1-based, in characters of UTF-8) and byte
    // offset from the start of everything fed.
    struct Position {
        std::uint64_t line;
        std::uint64_t column;
        std::uint64_t offset;
    };
    Position locate(const char* buffer, std::size_t offset) const noexcept;
    // Where the buffer of the last feed() starts, in everything fed; a
    // caller that fed one buffer in several calls (a growing prefix of it,
    // dropping what each call let go) gives back the start of the first,
    // so that locate() counts from that buffer's start.
    Position call_start() const noexcept { return {call_base_line_ + 1, call_base_column_ + 1, call_base_}; }
    void set_call_start(Position p) noexcept {
        call_base_ = p.offset;
        call_base_line_ = p.line - 1;
        call_base_column_ = p.column - 1;
    }
    // The position after `n` more bytes at `p` from `from`.
    static Position advance_position(Position from, const char* p, std::size_t n) noexcept;
    // The position of byte `size` of `rest`: the bytes not dropped by the
    // last feed() (what it was given from the returned count on).
    Position locate_end(const char* rest, std::size_t size) const noexcept;

    // After failed(): scan on for the next start tag named like the records
    // (after the start of the record that was open at the break, or after
    // the break), and split again from there, taking the elements around it
    // as the ancestors of a record. False when the records' name is "*"
    // (no start can be told). The feed() that failed kept the bytes from
    // the record's start (or the break) on.
    bool resync();

    // Before the first feed(): the buffer starts at byte `offset` of a
    // document (on line `line`, `column` characters into it, both 1-based)
    // inside `ancestors` open elements; records are found from the first
    // start tag named like them on, as resync() finds them. False when the
    // records' name is "*".
    bool search(std::size_t ancestors, std::uint64_t offset, std::uint64_t line, std::uint64_t column);

    // The names of the elements open outside a record, outermost first
    // (none above where start_inside() or resync() put the splitter).
    std::vector<std::string> open_names() const;

    // The name of the root element (empty before it is met).
    const std::string& root_name() const noexcept { return root_name_; }

    static constexpr std::uint64_t kNoRecord = static_cast<std::uint64_t>(-1);

    // The DOCTYPE declaration met before the root element, reported by the
    // feed() call that completed it (offsets into that call's buffer).
    bool take_doctype(RecordSpan& span) noexcept;

    // Whether the root element's start tag was met.
    bool root_seen() const noexcept { return root_seen_; }

    // Before the first feed(): the buffer will start at the '<' of a record
    // in the middle of a document, inside `ancestors` open elements that
    // match the path and whose names are not known. Their end tags are taken
    // as they come (the document was checked up to there by the pass that
    // found the record). For any-depth records the depth does not matter:
    // pass a count larger than the number of end tags the buffer may hold.
    void start_inside(std::size_t ancestors) noexcept;

private:
    enum class State : std::uint8_t { Text, Lt, Bang, Tag, EndTag, Pi, Comment, Cdata, Doctype, Done, Error, Search };

    bool name_matches(std::size_t level, const char* name, std::size_t len) const noexcept;
    void open(const char* buf, std::size_t gt, bool self_closing);
    void close(const char* buf, std::size_t gt);
    bool scan_doctype(const char* buf, std::size_t size);
    bool skip_record(const char* buf, std::size_t size);
    void end_record(std::size_t gt);
    void fail(const char* buf, std::size_t at, std::string message);
    void advance(const char* buf, std::size_t n) noexcept;

    std::vector<std::string> segments_;
    bool any_depth_;
    State state_ = State::Text;
    std::size_t pos_ = 0;      // where scanning resumes
    std::size_t cstart_ = 0;   // the '<' of the construct being scanned
    std::size_t rec_start_ = kNone;
    std::size_t rec_depth_ = 0;
    std::size_t depth_ = 0;
    std::size_t matched_ = 0;  // leading open levels that match the path
    std::size_t unnamed_ = 0;  // open levels below names_ (start_inside)
    bool root_seen_ = false;
    bool root_ended_ = false;
    std::string root_name_;
    std::string error_text_;
    std::uint64_t error_line_ = 0;
    std::uint64_t error_column_ = 0;
    std::uint64_t error_offset_ = 0;
    std::uint64_t error_record_ = kNoRecord;
    std::size_t error_at_ = 0;     // the break, in the buffer of the failing feed()
    std::size_t resume_from_ = 0;  // where resync() searches, in the next buffer
    std::size_t resume_depth_ = 0;
    // The buffer of the last feed() starts at byte base_ of everything fed,
    // on line base_line_ (0-based), base_column_ characters into it.
    std::uint64_t base_ = 0;
    std::uint64_t base_line_ = 0;
    std::uint64_t base_column_ = 0;
    std::uint64_t call_base_ = 0;
    std::uint64_t call_base_line_ = 0;
    std::uint64_t call_base_column_ = 0;
    // Inside a record, tags are counted as the queries' skip loop counts
    // them (elements named like the record, and all open elements), not
    // named one by one: the record's inside is read when it is queried.
    bool skipping_ = false;
    std::size_t skip_depth_ = 0;
    std::size_t skip_open_ = 0;
    // A start tag inside the record cut short by the end of a buffer: how
    // many bytes of it from its '<' (at pos_) were searched for its end
    // (0: none is cut), the quote open there in quote_.
    std::size_t cut_ = 0;
    char quote_ = 0;           // open quote inside a tag or the DOCTYPE
    char last_ = 0;            // last non-space byte in a start tag
    // DOCTYPE: inside the internal subset, and inside a comment or PI there.
    bool dt_subset_ = false;
    std::uint8_t dt_mode_ = 0;  // 0 markup, 1 comment, 2 PI
    std::uint8_t dt_dashes_ = 0;
    char dt_prev_ = 0;
    bool has_doctype_ = false;
    RecordSpan doctype_{0, 0};
    // Names of the open elements, end to end, for matching end tags.
    std::string names_;
    std::vector<std::size_t> name_starts_;
    std::vector<RecordSpan>* out_ = nullptr;

    static constexpr std::size_t kNone = static_cast<std::size_t>(-1);
};

// The byte ranges of a whole document in memory that hold its records,
// found at the splitter's speed for reading the ranges in parallel: each
// range but the last starts at the first record at or after a multiple of
// `step`, and runs to the start of the next range; the last one ends after
// the last record. No range when there is no record. A document whose
// structure breaks ends with the last record before the break.
// `problem` (when given) receives why the document is not complete: the
// message, empty when it is, with the position of the break.
struct StreamProblem {
    std::string message;
    std::uint64_t line = 0;
    std::uint64_t column = 0;
    std::uint64_t offset = 0;
};
std::vector<RecordSpan> record_ranges(const char* doc, std::size_t size, std::vector<std::string> segments,
                                      bool any_depth, std::size_t step, StreamProblem* problem = nullptr);

// The DOCTYPE declaration of a document in memory (scanning stops at the
// root element); false when it has none before the root.
bool find_doctype(const char* doc, std::size_t size, RecordSpan& span);

}  // namespace quelmar
