// Direct children of one element, as the Result layer needs them: the
// child-element test and ChildSpans (engine.hpp), plus the unique names and
// their grouping, and the encoding a whole document declares.
#pragma once

#include <string>
#include <vector>

#include "engine/engine.hpp"

namespace quelmar {

// Names of the spans without repeats, in order of first occurrence
// (compared as byte strings).
std::vector<std::string> unique_child_names(const std::vector<ChildSpan>& spans);

// The spans grouped by name: `names` as unique_child_names gives them and,
// for each, the indices of the spans with that name in document order. One
// hash lookup per span, so a dict of 100,000 distinct children stays linear.
struct ChildGroups {
    std::vector<std::string> names;
    std::vector<std::vector<std::size_t>> members;
};
ChildGroups group_children(const std::vector<ChildSpan>& spans);

// The encoding a reader settles on for a whole document (byte-order mark or
// XML declaration), read up to its first element.
Encoding document_encoding(Bytes document);

// Tag names of a document in `encoding` (not UTF-8) decoded to UTF-8, so
// that they serve as keys. A name that does not decode shows each malformed
// sequence as U+FFFD; ASCII names are left as they are.
void decode_child_names(std::vector<ChildSpan>& spans, Encoding encoding);

// extract_element_text with the reader's encoding fixed even when it is
// UTF-8: for the UTF-8 form of a document whose declaration still names the
// encoding it was transcoded from (transcode_document).
std::string extract_element_text_fixed(Bytes element, Encoding encoding);

}  // namespace quelmar
