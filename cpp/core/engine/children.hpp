// Direct children of one element, as the Result layer needs them: one scan
// for its mode, text and children, and the children's grouping by name; and
// the encoding and entities a whole document declares.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "engine/engine.hpp"
#include "engine/inline_vec.hpp"

namespace quelmar {

// The encoding a reader settles on for a whole document (byte-order mark or
// XML declaration), read up to its first element.
Encoding document_encoding(Bytes document);
// The general entities a whole document's internal subset declares (none
// without a DOCTYPE), read up to its first element.
EntityRef document_entities(Bytes document);

// ---- one pass for the Result layer's questions about one element

// A direct child of an element, by offsets into the element's bytes: the
// child is [start, end), its name [name_start, name_start + name_len).
struct ChildRef {
    std::size_t start = 0;
    std::size_t end = 0;
    std::size_t name_start = 0;
    std::size_t name_len = 0;

    Bytes name(Bytes element) const noexcept { return element.substr(name_start, name_len); }
};

// The children of one element; a few of them need no allocation.
using ChildRefs = InlineVec<ChildRef, 8>;

// What one reader pass over an element tells: whether it has child elements
// (element_has_child_elements) and, when it has none, its text.
class ElementScan {
public:
    bool has_children = false;
    // The start tag is a bare name (`<title>`): no attribute, so nothing
    // said of xml:space. Known for the UTF-8 leaves read in one tag scan.
    bool bare_tag = false;

    // The text (only when !has_children). A text of one run that needed no
    // decoding or unescaping is a view into the element's bytes; anything
    // else is held here.
    Bytes text() const noexcept { return held_ ? Bytes(storage_) : view_; }

    // Adds a run of text; `element` is the input, which a view may point into.
    void add(Bytes piece, Bytes element) {
        if (piece.empty()) return;
        const auto at = reinterpret_cast<std::uintptr_t>(piece.data());
        const auto lo = reinterpret_cast<std::uintptr_t>(element.data());
        const bool in_input = at >= lo && at - lo <= element.size() && piece.size() <= element.size() - (at - lo);
        if (!held_ && view_.empty() && in_input) {
            view_ = piece;
            return;
        }
        if (!held_) {
            storage_.assign(view_);
            held_ = true;
        }
        storage_.append(piece);
    }
    void clear() noexcept {
        view_ = Bytes();
        storage_.clear();
        held_ = false;
    }

private:
    Bytes view_;
    std::string storage_;
    bool held_ = false;
};

// A UTF-8 leaf, `<name ...>text</name>`, the commonest element read: one
// tag scan and one search find its raw text (before unescaping); false for
// anything else, which the reader reads. (A NUL second byte goes the long
// way, where the reader's rules for such a tag are the reference.)
// bare_tag: whether the start tag is a bare name (no attributes).
bool utf8_leaf_text(Bytes element, Encoding encoding, Bytes& raw, bool& bare_tag) noexcept;
inline bool utf8_leaf_text(Bytes element, Encoding encoding, Bytes& raw) noexcept {
    bool bare_tag = false;
    return utf8_leaf_text(element, encoding, raw, bare_tag);
}

// What the start tag of `element` says of its white space: Preserve for
// xml:space="preserve", Default for xml:space="default", Unset otherwise.
// Inside a preserve scope, text is significant as written and is not
// trimmed. A tag without "xml:space" in it costs one search.
enum class XmlSpace : std::uint8_t { Unset, Default, Preserve };
XmlSpace tag_xml_space(Bytes tag_content, std::size_t name_len) noexcept;
XmlSpace element_xml_space(Bytes element) noexcept;
// Whether a ':' may lie in `tag_content` past its first `from` bytes: a few
// vector compares, where a search for "xml:space" costs a call per tag. (A
// ':' in the name may answer true.)
[[gnu::always_inline]] inline bool may_hold_colon(Bytes tag_content, std::size_t from) noexcept {
    const char* p = tag_content.data() + from;
    const char* end = tag_content.data() + tag_content.size();
#if defined(__SSE2__)
    if (tag_content.size() >= 16) {
        // Whole blocks, then one ending at the end (overlapping, or reaching
        // back into the name).
        const __m128i colon = _mm_set1_epi8(':');
        const auto has = [&](const char* at) {
            return _mm_movemask_epi8(_mm_cmpeq_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(at)), colon));
        };
        for (; end - p > 32; p += 16)
            if (has(p)) return true;
        return ((end - p > 16 ? has(p) : 0) | has(end - 16)) != 0;
    }
#endif
    for (; p < end; ++p)
        if (*p == ':') return true;
    return false;
}

// The scope inside the element whose start tag holds `tag_content` (its
// name first, `name_len` bytes), given the scope around it: true inside
// xml:space="preserve". A bare name changes nothing and costs no search.
[[gnu::always_inline]] inline bool preserve_inside(bool around, Bytes tag_content, std::size_t name_len) noexcept {
    if (tag_content.size() <= name_len) [[likely]] return around;
    if (!may_hold_colon(tag_content, name_len)) return around;  // no xml: attribute
    const XmlSpace s = tag_xml_space(tag_content, name_len);
    return s == XmlSpace::Unset ? around : s == XmlSpace::Preserve;
}

// Decides child-or-not and collects the text in the same pass, stopping at
// the first child element. The text is extract_element_text(element,
// encoding). With `children`, an
// element that has children is read on to its end and its direct children
// are appended there, as collect_child_refs gives them.
ElementScan scan_element(Bytes element, const Coding& coding, ChildRefs* children = nullptr);

// The direct children of the first element, in document order, by offsets
// (their names are not copied).
void collect_child_refs(Bytes element, ChildRefs& out);

// Children grouped by name (names compared as byte strings): the groups in
// order of first occurrence, each with its members in document order.
// `names` gives the key of each child. Linear in the number of children.
struct ChildGrouping {
    InlineVec<std::size_t, 8> first;    // per group: the index of its first child
    InlineVec<std::size_t, 8> members;  // child indices, group by group
    InlineVec<std::size_t, 9> offsets;  // per group: where its members start (one more entry: the end)

    std::size_t size() const noexcept { return first.size(); }
};
ChildGrouping group_child_names(const Bytes* names, std::size_t n);

}  // namespace quelmar
