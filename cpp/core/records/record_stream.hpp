// A document's records read chunk after chunk: the stream owns the bytes it
// was given (or reads a document in memory where it lies), turns the text
// into UTF-8 first when the markup cannot be found in its own bytes (UTF-16,
// ISO-2022-JP, a legacy encoding whose record names are not ASCII), splits
// it with a RecordSplitter, keeps the declaration and the internal subset
// every record needs (RecordProlog), checks each record as it is split and
// the text around the records as it comes. The interface is coarse on
// purpose: give input, scan, let go of what was scanned; what the caller
// needs between the calls (the records found and their verdict, the
// splitter's positions, a record's prefix) is read off the stream.
//
// Memory holds what was not let go yet: the record being read and the
// chunk it ends in. The buffer grows by reallocation (a large block is
// remapped, not copied, where the allocator can) and the bytes kept are
// moved to its front only when that frees as much as it moves, so a record
// that grows over many chunks is held once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/bytes.hpp"
#include "records/prolog.hpp"
#include "xml/encoding.hpp"
#include "xml/record_splitter.hpp"
#include "xml/wellformed.hpp"

namespace quelmar {

class RecordStream {
public:
    // `segments` and `any_depth` name the records as for RecordSplitter.
    // With `decode`, the input is in that encoding and is split in its
    // UTF-8 form (malformed sequences read as U+FFFD); `skip` bytes at the
    // very start of the input (its byte-order mark) are passed over then.
    RecordStream(std::vector<std::string> segments, bool any_depth, std::optional<Encoding> decode = std::nullopt,
                 std::size_t skip = 0);
    ~RecordStream();
    RecordStream(const RecordStream&) = delete;
    RecordStream& operator=(const RecordStream&) = delete;

    // Appends the next piece of the input (copied once, or decoded).
    void take(Bytes chunk);
    // The input ends: a decoder's held bytes are decoded, malformed or not.
    void end();

    // A whole document in memory read in place (no copy; the caller keeps
    // it alive and unchanged until the stream is done), `window` bytes
    // more at each extend(). Only without `decode`, and before any take().
    void borrow(Bytes document);
    // Makes `window` more bytes of the borrowed document visible; false
    // when all of it is.
    bool extend(std::size_t window) noexcept;
    bool borrowing() const noexcept { return borrowed_ != nullptr; }

    // What the next step() scans (and the last one scanned, until
    // advance()): the bytes held that were not let go.
    Bytes part() const noexcept;
    std::size_t held() const noexcept { return have_ - start_; }

    // Scans part() from where the splitter stopped: the records completed
    // in it (offsets into part()), how many bytes at its front are not
    // needed again, the DOCTYPE when it was completed, and whether no
    // record can follow (the root ended, or the structure broke).
    struct Step {
        std::vector<RecordSpan> spans;
        std::size_t drop = 0;
        bool has_doctype = false;
        RecordSpan doctype{0, 0};
        bool finished = false;
        // With checking on: whether the records were checked,
        // how many of them, from the first, are well formed, and the error
        // of the next one when one is not (its position in the document
        // made of the prefix and the record).
        bool checked = false;
        std::size_t good = 0;
        std::optional<WfError> error;
    };
    const Step& step();
    // Lets go of what the last step() did not need again.
    void advance() noexcept;

    // What goes before each record to make it a document of its own: the
    // declaration records need (that of a legacy encoding, or nothing;
    // `transcoded`: the records are the UTF-8 form of the document), and
    // the DOCTYPE step() meets (its internal subset read once).
    void set_prolog(std::string declaration, bool transcoded);
    RecordProlog& prolog() noexcept { return prolog_; }

    // Each record step() finds is checked as a document of its own, its
    // prolog before it, its prefixes possibly bound by the elements around
    // it, as soon as it is split (a part is split a piece at a time, and a
    // piece's records are checked while its bytes are still in the cache).
    void set_checking(bool on) noexcept { checking_ = on; }

    // The prefixes a record may take from the elements around it: every one
    // declared in the text around the records read so far (a superset: a
    // declaration on an element already closed counts too), noted before
    // the records after it are checked; nullptr (any prefix) once
    // bind_any() was called.
    const PrefixSet* bound() const noexcept { return any_bound_ ? nullptr : &bound_; }
    void bind_any() noexcept { any_bound_ = true; }
    bool checking() const noexcept { return checking_; }
    // The size of the pieces a part is split and checked in (tests use
    // small ones: the pieces' records are the part's).
    void set_piece(std::size_t bytes) noexcept { piece_ = bytes == 0 ? 1 : bytes; }

    RecordSplitter& splitter() noexcept { return splitter_; }
    const RecordSplitter& splitter() const noexcept { return splitter_; }

    // What lies around the records (the prolog, the elements around them,
    // the text between them) is kept, each record standing as an empty
    // element, and checked as a document of its own a piece at a time, so
    // that damage outside the records is not passed over.
    //
    // Keeps what the last step() scanned outside its records, from `from`
    // (an offset in part(), past a declaration checked on its own) to its
    // drop.
    void keep_around(std::size_t from);
    // Checks what was kept when it holds kAroundPiece bytes (or `now`, or
    // `last`: the input ended). Before the end a piece ends with its last
    // '>' (the text after it may be cut there). The first piece gets
    // `first_head` before it (the declaration), later ones `later_head`
    // (the declaration and the DOCTYPE) and start tags for the elements
    // open where they begin; end tags close those open where a piece ends.
    // The first break found (its place in the input); none after that.
    struct Break {
        std::string message;
        std::uint64_t line = 0;
        std::uint64_t column = 0;
        std::uint64_t offset = 0;
    };
    std::optional<Break> check_around(bool now, bool last, Bytes first_head, Bytes later_head);
    static constexpr std::size_t kAroundPiece = std::size_t{1} << 20;

private:
    // Where a run of the input kept around the records starts: its offset
    // in around_, and its place in the input.
    struct Mark {
        std::size_t at;
        RecordSplitter::Position place;
    };
    RecordSplitter::Position around_place(const std::vector<Mark>& marks, Bytes piece, std::size_t x) const;
    void reserve_more(std::size_t n);
    void split_and_check(Bytes p);
    std::optional<WfError> check_record(Bytes rec);
    // Notes the prefixes declared in part()[decl_at_, to) (outside the
    // records), a declaration cut by `to` finished by the next bytes.
    void note_declarations(Bytes part, std::size_t to);
    // Passes over a record ending at `end` in part().
    void pass_record(std::size_t end);

    RecordSplitter splitter_;
    std::unique_ptr<LossyStreamDecoder> decoder_;
    std::size_t skip_ = 0;      // bytes of the input still to pass over (decoding)
    char* buf_ = nullptr;       // malloc'd: grows by realloc
    std::size_t cap_ = 0;
    std::size_t start_ = 0;     // part() is [start_, have_)
    std::size_t have_ = 0;
    const char* borrowed_ = nullptr;
    std::size_t borrowed_size_ = 0;
    std::string decoded_;       // a piece's UTF-8 form, reused
    Step step_;
    bool ended_ = false;
    bool checking_ = false;
    RecordProlog prolog_;
    PrefixSet bound_;
    bool any_bound_ = false;
    std::size_t decl_at_ = 0;       // part() was read for declarations up to here
    std::size_t decl_matched_ = 0;  // of "xmlns:" at the end of what was read; 6: in the name
    std::string decl_name_;
    std::string doc_;  // a prefix and a record, reused
    std::size_t piece_ = std::size_t{64} << 10;
    // A buffer larger than this shrinks once it holds less than a quarter.
    static constexpr std::size_t kShrinkAbove = std::size_t{16} << 20;
    std::size_t seen_ = 0;  // bytes at the front of part() the splitter was given
    std::string around_;
    std::vector<Mark> marks_;
    std::vector<std::string> opens_;  // elements open where around_ starts
    bool around_first_ = true;        // around_ starts at the document's start
    bool around_failed_ = false;
};

}  // namespace quelmar
