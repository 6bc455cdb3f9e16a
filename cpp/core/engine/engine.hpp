// The streaming engine: one Program (run_with) or several (run_many) over
// the bytes of a document in one forward pass, producing Items.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "common/expected.hpp"
#include "engine/item.hpp"
#include "path/program.hpp"
#include "xml/reader.hpp"

namespace quelmar {

// The bytes a whole-document pass reads, made once for run_with, run_many
// and the Result layer. UTF-16 and ISO-2022-JP documents are read in their
// UTF-8 form (a copy held here: captures are copies of it, never spans), and
// so is the UTF-8 form of a text string (`unicode`), which is read as UTF-8
// whatever its declaration names, since the text was decoded already.
class DocumentText {
public:
    DocumentText() = default;
    DocumentText(Bytes source, bool unicode) { open(source, unicode); }
    DocumentText(const DocumentText&) = delete;
    DocumentText& operator=(const DocumentText&) = delete;

    void open(Bytes source, bool unicode);
    Bytes bytes() const noexcept { return bytes_; }
    // Whether bytes() is a UTF-8 copy of another encoding.
    bool transcoded() const noexcept { return transcoded_; }
    // Whether a reader over bytes() must have UTF-8 fixed.
    bool utf8_fixed() const noexcept { return transcoded_ || unicode_; }
    // A reader over bytes(), its encoding fixed when it must be.
    void prepare(Reader& reader) const {
        if (utf8_fixed()) reader.fix_encoding(Encoding::Utf8);
    }

private:
    Bytes bytes_;
    std::string decoded_;
    bool transcoded_ = false;
    bool unicode_ = false;
};

// Where run_many answers differently from run_with, by design (each is
// pinned by a test of get_many, and the differential fuzzer leaves exactly
// these out):
// - empty-element tags take no part in the ambiguity rule of their level
//   (run_with_many_rules is run_with under that rule); inside filtered
//   fragments, which the pass evaluates with the single-path matcher, they do;
// - a program whose ResultHint is Texts keeps its captured elements as their
//   texts, and one whose hint is Placeholders keeps empty texts (the
//   modifiers read nothing else of them);
// - a first step @attr or #text at the top of a whole document yields
//   nothing (the single-path engine gives #text an empty text there).

// Evaluates one program over a whole document. With `emit_spans`, captured
// non-empty elements are reported as spans into `source`.
//
// `unicode` says that `source` is the UTF-8 form of a text string (a Python
// str): it is read as UTF-8 whatever its declaration names, since the text
// was decoded already (honouring the declaration would garble it).
Expected<Items, EngineError> run_with(const Program& program, Bytes source, bool emit_spans, bool unicode = false);

// Evaluates the steps of `program` relative to one element (the bytes of
// that element; the first step names its children, or is @attr / #text of
// the element itself), then applies the modifiers. `encoding` is the
// encoding of the document the element came from. `preserve`: the element
// lies in an xml:space="preserve" scope, which what is found inside inherits
// (unless the element's own tag ends it).
Expected<Items, EngineError> run_in_element(const Program& program, Bytes element, const Coding& coding,
                                            bool preserve = false);

// Several programs in one pass; one item sequence per program, in order.
Expected<std::vector<Items>, EngineError> run_many(const std::vector<const Program*>& programs, Bytes source,
                                                   bool emit_spans, bool unicode = false);
// The fragment form of the same pass, relative to one element.
Expected<std::vector<Items>, EngineError> run_many_in_element(const std::vector<const Program*>& programs,
                                                              Bytes element, const Coding& coding,
                                                              bool preserve = false);

// The single-path engine under the multi-path pass's one rule of its own:
// empty-element matches take no part in the ambiguity rule of their level
// (inside filtered fragments they still do, as there the pass runs this
// engine). Apart from that the two engines answer alike, so these are the
// reference the multi-path pass is held to by the differential fuzzer.
Expected<Items, EngineError> run_with_many_rules(const Program& program, Bytes source, bool emit_spans);
Expected<Items, EngineError> run_in_element_many_rules(const Program& program, Bytes element, const Coding& encoding);

// ---- element text and attributes, shared with the Result layer

// Concatenated text and CDATA inside the element whose start tag the reader
// just returned, at any depth, decoded and unescaped (Reader::unescape,
// Reader::decode); consumes through the element's end tag.
std::string read_text_in_scope(Reader& reader);
// The same into `out` (its storage reused).
void read_text_in_scope(Reader& reader, std::string& out);
// The same reading every event (read_text_in_scope takes a leaf in one
// search); kept as the reference the short routes are tested against.
std::string read_text_events(Reader& reader);

// Text content of the first element in `element` ("" for an empty-element
// tag or no element). `coding` is the document's encoding and entities.
std::string extract_element_text(Bytes element, const Coding& coding = Coding());
// The same by reading every event: the reference for tests.
std::string extract_element_text_by_events(Bytes element, const Coding& coding = Coding());

// The attribute of a start or empty-element tag that `name` asks for, among
// the well-formed ones: a name with a prefix (any ':') is the qualified name
// of the attribute; a name without one is the attribute named exactly so,
// or else the first whose local name it is (so "id" also finds xml:id).
// False when there is none. One pass over the attributes.
bool find_attr(Bytes tag_content, std::size_t name_len, Bytes name, Encoding encoding, Attribute& out);

// The value of the attribute find_attr picks, decoded (a legacy encoding's
// malformed sequences as U+FFFD, UTF-8 as it stands) and unescaped
// (unescape_attribute), or nothing.
std::optional<std::string> read_attr(Bytes tag_content, std::size_t name_len, Bytes name,
                                     const Coding& coding = Coding());

// "<" + content + "/>": the source bytes of an empty-element tag.
std::string serialize_empty(Bytes content);

// The bytes after the first ':', or the whole name.
inline Bytes local_name_bytes(Bytes name) noexcept {
    // Tag names are short: a plain loop beats a library search call here.
    for (std::size_t i = 0; i < name.size(); ++i)
        if (name[i] == ':') return name.substr(i + 1);
    return name;
}

// Text of an item (element text for element items; a copy for Text).
std::string item_text(const Item& item, Bytes source);
// Numeric value of an item's text (valid UTF-8, trimmed, decimal float).
std::optional<double> parse_item_number(const Item& item, Bytes source);

// Applies the modifiers in order (modifiers.cpp).
void apply_modifiers(const std::vector<Modifier>& modifiers, Items& items, Bytes source);
// The same, split around an evaluation: begin_modifiers makes the sink the
// evaluation fills, one that folds the items as they arrive (nothing is
// kept) when the first modifier is a count, sum, avg, min or max;
// finish_modifiers completes the fold and applies the rest.
ItemSink begin_modifiers(const Program& program, Bytes source) noexcept;
Items finish_modifiers(const Program& program, ItemSink&& sink, Bytes source);

// ---- the Result layer's element operations (and children.hpp)

// Whether a start or empty-element tag occurs inside the first element.
bool element_has_child_elements(Bytes element);

}  // namespace quelmar
