// The XML event reader: a pull tokenizer over one byte string held in
// memory. Events refer to the input without copying. It builds no tree,
// resolves no namespaces and validates no names.
//
// Position rule: buffer_position() read before read_event() returns a start
// or empty-element tag is the offset of that tag's '<' (also when a text
// event came first); read after an end tag it is the offset just past the
// tag's '>'. Offsets count from the first input byte; a byte-order mark
// counts (detection runs at construction, so the position starts after it).
//
// Every error advances past the offending markup, so no loop over
// read_event() can spin; after a fatal error every read yields Eof.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_set>
#include <vector>

#include "common/bytes.hpp"
#include "common/hash.hpp"
#include "xml/encoding.hpp"
#include "xml/entities.hpp"

namespace quelmar {

enum class EventKind : std::uint8_t {
    Start,    // <name attrs>        content: between '<' and '>'; name_len
    End,      // </name>             content: the name, trailing white space removed
    Empty,    // <name attrs/>       content: between '<' and "/>"; name_len
    Text,     // raw bytes between markups (never empty, not unescaped)
    CData,    // <![CDATA[ ... ]]>   content: between the brackets
    Comment,  // <!-- ... -->        content: between "<!--" and "-->"
    Decl,     // <?xml ...?>         content: between "<?" and "?>" (starts with "xml")
    PI,       // other <? ... ?>     content: between "<?" and "?>"
    DocType,  // <!DOCTYPE ...>      content: from the name to the '>'; an internal
              //                     subset [ ... ] is part of it, skipped whole
    Eof,
    Error,    // see `error`; a fatal error leaves the position at the input's end
};

enum class XmlError : std::uint8_t {
    None,
    // fatal: the reader moves to its end state
    UnclosedTag, UnclosedComment, UnclosedCData, UnclosedDocType, UnclosedPI, BadBang,
    // recoverable: reading may continue after the offending markup
    UnmatchedEnd, MismatchedEnd, DocTypeWithoutName, CommentDoubleDash, MissingEnd,
    // text decoding and unescaping
    Encoding, Escape,
};

struct Event {
    EventKind kind = EventKind::Eof;
    XmlError error = XmlError::None;
    Bytes content;
    std::size_t name_len = 0;  // Start / Empty

    Bytes name() const noexcept { return kind == EventKind::End ? content : content.substr(0, name_len); }
};

struct ReaderConfig {
    bool allow_unmatched_ends = false;
    bool check_comments = false;
    bool check_end_names = true;
    bool expand_empty_elements = false;
    bool trim_markup_names_in_closing_tags = true;
    bool trim_text_start = false;
    bool trim_text_end = false;

    // Every reader the module makes except validate's.
    static constexpr ReaderConfig engine() noexcept {
        ReaderConfig c;
        c.check_end_names = false;
        return c;
    }
    // The reader's default configuration, used by validate.
    static constexpr ReaderConfig validating() noexcept { return ReaderConfig{}; }
};

enum class EncodingSource : std::uint8_t { Implicit, Bom, Declaration, Fixed };

// Encoding detection on the first bytes: the encoding (if any) and how many
// byte-order-mark bytes to skip.
struct DetectedEncoding {
    bool found = false;
    Encoding encoding = Encoding::Utf8;
    std::size_t skip = 0;
};
DetectedEncoding detect_encoding(Bytes first_bytes) noexcept;

// Documents whose markup cannot be found byte by byte: UTF-16 (by byte-order
// mark or first bytes; a declaration cannot override what it is written in)
// and ISO-2022-JP (named by a declaration at the start, and seven-bit
// throughout: its two-byte state spells text with the bytes of '<', '&' and
// quotes). Such a document is decoded whole, once, before any reader sees
// it: `out` receives its UTF-8 form without the byte-order mark, each
// malformed sequence shown as U+FFFD, and the call answers true. A reader
// over that form must keep UTF-8 (Reader::fix_encoding): its declaration
// still names the original encoding. Every other document gives false,
// costing a look at its first bytes (and at a leading declaration).
bool transcode_document(Bytes document, std::string& out);

// How a document read chunk after chunk is read, from its first bytes (its
// byte-order mark and whole XML declaration, when it has them): the
// encoding, the bytes of byte-order mark, the end of the declaration (0
// without one), and whether the stream must be decoded to UTF-8 before its
// markup can be found (as transcode_document decodes a whole document).
struct StreamCoding {
    Encoding encoding = Encoding::Utf8;
    std::size_t skip = 0;
    std::size_t declaration_end = 0;
    bool transcode = false;
};
StreamCoding stream_coding(Bytes head);

// How the text of a document is read: its encoding and the entities of its
// internal subset, with the budget their expansion draws on. Made from an
// Encoding alone (no entities) where nothing else is known, and read as its
// Encoding where only that matters.
struct Coding {
    Encoding encoding = Encoding::Utf8;
    EntityScope scope;

    Coding() noexcept = default;
    Coding(Encoding e) noexcept : encoding(e) {}  // NOLINT: an encoding alone is a coding
    Coding(Encoding e, EntityScope s) noexcept : encoding(e), scope(s) {}
    operator Encoding() const noexcept { return encoding; }  // NOLINT
    const EntityTable* entities() const noexcept { return scope.table; }
};

class Reader {
public:
    explicit Reader(Bytes input, ReaderConfig config = ReaderConfig::engine()) noexcept;
    // A reader in the engine configuration over a fragment of a document
    // read with `coding` (see apply_coding).
    Reader(Bytes fragment, const Coding& coding) noexcept : Reader(fragment) { apply_coding(coding); }

    // Starts with a known encoding that no declaration may change (used for
    // fragments cut out of a document whose encoding was already settled).
    void fix_encoding(Encoding e) noexcept;

    Event read_event();
    // The next event other than text (text runs are passed over as if
    // read); `at` receives the offset where the returned markup starts: the
    // '<' of a tag, or for an expanded end and at the end of the input the
    // position the call started from. In a configuration that trims no text
    // that is buffer_position() before the read_event() returning the event.
    Event read_markup_event(std::uint64_t& at);
    std::uint64_t buffer_position() const noexcept { return pos_; }

    // Reads through the element whose start tag was just returned, as a
    // loop over read_event() that counts levels reads it: a start tag opens
    // one, an end tag (any name) or an error closes the innermost, and the
    // element ends when its own level closes. Returns XmlError::None when an
    // end tag closed it (position then just past that tag's '>'), the error
    // that closed it (position past the offending markup, or at the end of
    // the input after a fatal one), or MissingEnd at the end of the input.
    XmlError read_to_end();

    // Called right after a start tag: when the element is a leaf (plain
    // text, possibly none, then an end tag), reads through that end tag,
    // sets `text` to the raw text between and returns true. Otherwise
    // (child markup, a comment, CDATA, the end of the input, a pending
    // expanded end) nothing moves and it returns false. Whatever the end tag
    // reads as (its End event or an error) is what read_event() would have
    // given after the text.
    bool skip_leaf(Bytes& text);

    // Number of open elements (start tags not yet closed).
    std::size_t depth() const noexcept { return depth_; }

    Encoding encoding() const noexcept { return encoding_; }
    EncodingSource encoding_source() const noexcept { return encoding_source_; }
    Bytes input() const noexcept { return input_; }

    // Decodes a text event's raw bytes from the current encoding (each
    // malformed sequence of a legacy encoding becomes U+FFFD; UTF-8 is
    // taken as it stands, invalid bytes included, for the strict checks of
    // whoever decodes it later), normalises line ends and resolves
    // references (unescape_with, with the document's entities). `out` is set
    // to the result, which refers either to `raw` (nothing changed) or to
    // `scratch`.
    void unescape(Bytes raw, std::string& scratch, Bytes& out) const;
    // The same for an attribute value (unescape_attribute).
    void unescape_attribute(Bytes raw, std::string& scratch, Bytes& out) const;
    // Decodes CDATA (or any raw run) as unescape does, without references.
    void decode(Bytes raw, std::string& scratch, Bytes& out) const;

    // The general entities of the document's internal subset: set when the
    // reader meets its DOCTYPE, or from outside for a fragment cut out of a
    // document that has them. Setting them renews the expansion budget.
    // A fragment reader given the `budget` of the reading it is part of
    // draws on it (else it has its own, renewed here).
    const EntityRef& entities() const noexcept { return entities_; }
    void set_entities(EntityRef entities, std::uint64_t* budget = nullptr) noexcept;
    // The entities with what this reader may still expand.
    EntityScope entity_scope() const noexcept {
        return EntityScope{entities_.get(), shared_budget_ != nullptr ? shared_budget_ : &budget_};
    }
    Coding coding() const noexcept { return Coding(encoding_, entity_scope()); }
    // Reads with the encoding (fixed: never detected from the fragment's
    // own first bytes) and the entities of `c`: a reader over a fragment of
    // that document.
    void apply_coding(const Coding& c) noexcept;

private:
    template <bool kText>
    Event next_event(std::uint64_t& at);
    // Each of these is entered with pos_ at a '<' and leaves pos_ just past
    // the markup (or at the end of the input after a fatal error).
    Event read_markup();
    Event read_end_tag();
    Event read_start_tag();
    Event read_bang();
    Event read_pi();
    Event close_element(Bytes name);
    // The open-name and expansion bookkeeping of a start tag (depth_ is
    // counted by the caller).
    void open_element(Bytes name, bool empty);
    Event error_event(XmlError e, bool fatal) noexcept;
    // At check_at_ before the end: true to stop (an interrupt; the reader
    // is then at its end), else the next check is set.
    bool stop_here() noexcept;
    void apply_declaration(Bytes content);
    void read_internal_subset(Bytes doctype);

    Bytes input_;
    std::size_t pos_ = 0;
    // Where next_event next looks up from the input: its end, or before it
    // the next interrupt check (common/interrupt.hpp).
    std::size_t check_at_ = 0;
    ReaderConfig config_;
    bool exit_ = false;
    Encoding encoding_ = Encoding::Utf8;
    EncodingSource encoding_source_ = EncodingSource::Implicit;
    // Open elements. Names are only compared when end names are checked, so
    // otherwise the depth alone is kept (open_names_ stays empty).
    std::size_t depth_ = 0;
    std::vector<Bytes> open_names_;
    // An empty-element tag expanded into start + end (expand_empty_elements).
    bool pending_end_ = false;
    Bytes pending_end_name_;
    // Entities of the internal subset (none without a DOCTYPE) and what
    // their expansion may still read.
    EntityRef entities_;
    mutable std::uint64_t budget_ = 0;
    std::uint64_t* shared_budget_ = nullptr;
    bool subset_read_ = false;
};

// Resolves references in UTF-8 content text: character references, the
// five predefined entities and the entities of `scope`; a reference that
// does not resolve (unknown name, malformed or illegal character
// reference, a lone '&', an entity past the budget) stays as written. Line
// ends (CR LF, lone CR) become LF. `out` refers to `text` when there is no
// '&' and no CR, else to `scratch`. Linear in the text plus what entities
// expand to.
void unescape_with(Bytes text, std::string& scratch, Bytes& out, EntityScope scope = {});
// The same for an attribute value, whose tab, LF, CR and CR LF become one
// space each (a character reference still gives its character).
void unescape_attribute(Bytes value, std::string& scratch, Bytes& out, EntityScope scope = {});
// CR LF and lone CR become LF (CDATA); `out` as above.
void normalize_line_ends(Bytes text, std::string& scratch, Bytes& out);
// An element kept to be read later (its raw bytes, in `encoding`) draws on
// the budget of the pass that found it: the cost of expanding every
// reference in it is taken from `scope`'s budget now, when it fits, and the
// answer is true. When it does not, the first such element that could still
// expand something takes what is left (true; it reads as far as its own
// budget goes), and any other gets false: it is kept without the document's
// entities, and its references stay as written. So the items of one pass
// expand at most the pass's budget and one element's own, however often or
// late they are read.
bool charge_expansions(const EntityScope& scope, Bytes element, Encoding encoding);
// Whether XML allows `c` in a document (the Char production).
inline bool is_xml_char(char32_t c) noexcept {
    return c == 0x9 || c == 0xA || c == 0xD || (c >= 0x20 && c <= 0xD7FF) || (c >= 0xE000 && c <= 0xFFFD) ||
           (c >= 0x10000 && c <= 0x10FFFF);
}
// Appends the character of a character reference (`name` between '&' and
// ';', starting with '#'); false when it is malformed or names no
// allowed character.
bool append_character_reference(Bytes name, std::string& out);

// Attributes of a start or empty-element tag, in document order (XML rules,
// duplicate detection on). Malformed attributes come out as error entries
// and the iteration goes on.
struct Attribute {
    Bytes key;
    Bytes value;  // raw, between the quotes
    bool error = false;
};

// Recovery inside a malformed list: a key not followed by '=' is an error
// entry and iteration resumes at the next token; an unquoted value is an
// error entry spanning up to the next white space; a repeated key is an
// error entry with its (quoted) value; a stray '=' or quoted run where a key
// should be is an error entry with an empty key, passing over the value.
// Every entry consumes at least one byte, so iteration always ends. A
// quoted value directly followed by the next key (no white space) is accepted.
class AttrIter {
public:
    // `content` is the tag content, `name_len` the length of the tag name.
    AttrIter(Bytes content, std::size_t name_len) noexcept;
    bool next(Attribute& out);

private:
    // Remembers `key`; false when it was already seen in this tag.
    bool remember(Bytes key);

    Bytes rest_;
    // Keys so far, for duplicate detection: a few in place, then a hash set,
    // so a tag with 100,000 attributes stays linear.
    static constexpr std::size_t kSmall = 8;
    Bytes small_[kSmall];
    std::size_t n_small_ = 0;
    std::unique_ptr<std::unordered_set<Bytes, KeyedHash>> seen_;
};

}  // namespace quelmar
