// Helpers shared by the fuzz targets: splitting an input into paths and a
// document, and checks that must hold for every item the engine returns.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "common/bytes.hpp"
#include "engine/children.hpp"
#include "engine/engine.hpp"
#include "engine/scalar.hpp"

namespace quelmar::fuzz {

// A failed invariant: abort so that libFuzzer records the input.
#define FUZZ_ASSERT(cond)                                                                        \
    do {                                                                                         \
        if (!(cond)) {                                                                           \
            __builtin_fprintf(stderr, "%s:%d: invariant failed: %s\n", __FILE__, __LINE__, #cond); \
            std::abort();                                                                        \
        }                                                                                        \
    } while (0)

// Input layout of the query targets: up to `max_paths` paths separated by
// '\n', then a NUL byte, then the document. Without a NUL byte the first
// line is the only path and the rest is the document.
struct QueryInput {
    std::vector<Bytes> paths;
    Bytes document;
};

inline QueryInput split_query_input(const std::uint8_t* data, std::size_t size, std::size_t max_paths) {
    const Bytes all(reinterpret_cast<const char*>(data), size);
    QueryInput in;
    std::size_t nul = all.find('\0');
    Bytes head;
    if (nul == Bytes::npos) {
        const std::size_t nl = all.find('\n');
        head = all.substr(0, nl);
        in.document = nl == Bytes::npos ? Bytes() : all.substr(nl + 1);
        if (!head.empty()) in.paths.push_back(head);
        return in;
    }
    head = all.substr(0, nul);
    in.document = all.substr(nul + 1);
    while (in.paths.size() < max_paths) {
        const std::size_t nl = head.find('\n');
        const Bytes p = head.substr(0, nl);
        if (!p.empty()) in.paths.push_back(p);
        if (nl == Bytes::npos) break;
        head = head.substr(nl + 1);
    }
    return in;
}

// The bytes of a document as the Result layer holds them for relative
// queries: UTF-16 and ISO-2022-JP documents in their UTF-8 form.
struct ElementInput {
    std::string decoded;
    Bytes raw;
    bool transcoded = false;
    Encoding encoding = Encoding::Utf8;
    Bytes bytes() const { return transcoded ? Bytes(decoded) : raw; }
};

inline ElementInput element_input(Bytes doc) {
    ElementInput in;
    in.raw = doc;
    in.transcoded = transcode_document(doc, in.decoded);
    in.encoding = in.transcoded ? Encoding::Utf8 : document_encoding(doc);
    return in;
}

// The direct children of the first element read by a reader loop of its
// own: the reference collect_child_refs and scan_element are held to.
struct ReferenceChild {
    Bytes name;
    std::size_t start, end;
};
inline std::vector<ReferenceChild> reference_children(Bytes element) {
    std::vector<ReferenceChild> out;
    Reader reader(element, Coding(Encoding::Utf8));
    for (bool inside = false;;) {
        const auto p = static_cast<std::size_t>(reader.buffer_position());
        const Event ev = reader.read_event();
        if (ev.kind == EventKind::Start && !inside) {
            inside = true;
        } else if (ev.kind == EventKind::Start || ev.kind == EventKind::Empty) {
            if (!inside) return out;  // the element itself is an empty-element tag
            if (ev.kind == EventKind::Start) (void)reader.read_to_end();
            out.push_back(ReferenceChild{ev.name(), p, static_cast<std::size_t>(reader.buffer_position())});
        } else if (ev.kind == EventKind::End || ev.kind == EventKind::Eof) {
            return out;
        }
    }
}

// What the Result layer does with an element item: its text, whether it has
// child elements, its direct children (each inside the element) and their
// grouping, and the scalar rules over its text.
inline void touch_element(Bytes element, Encoding enc) {
    const std::string text = extract_element_text(element, enc);
    (void)classify_scalar(text);
    (void)lenient_int(text);
    (void)lenient_float(text);
    (void)bool_keyword(text);
    const bool has_children = element_has_child_elements(element);
    const std::vector<ReferenceChild> kids = reference_children(element);
    for (const ReferenceChild& k : kids) {
        FUZZ_ASSERT(k.start <= k.end && k.end <= element.size());
        (void)extract_element_text(element.substr(k.start, k.end - k.start), enc);
    }

    // The one-pass scan answers as the separate operations do.
    const ElementScan scan = scan_element(element, enc);
    FUZZ_ASSERT(scan.has_children == has_children);
    if (!has_children) FUZZ_ASSERT(scan.text() == Bytes(text));
    ChildRefs refs;
    const ElementScan full = scan_element(element, enc, &refs);
    FUZZ_ASSERT(full.has_children == has_children);
    ChildRefs refs2;
    collect_child_refs(element, refs2);
    FUZZ_ASSERT(refs.size() == refs2.size());
    FUZZ_ASSERT(refs2.size() == kids.size());
    std::vector<Bytes> names;
    for (std::size_t i = 0; i < refs2.size(); ++i) {
        const ChildRef& r = refs2[i];
        FUZZ_ASSERT(r.start <= r.end && r.end <= element.size());
        FUZZ_ASSERT(r.name_start >= r.start && r.name_start + r.name_len <= r.end);
        FUZZ_ASSERT(refs[i].start == r.start && refs[i].end == r.end && refs[i].name_start == r.name_start &&
                    refs[i].name_len == r.name_len);
        FUZZ_ASSERT(kids[i].start == r.start && kids[i].end == r.end && kids[i].name == r.name(element));
        names.push_back(r.name(element));
    }
    // Grouping: every name's members, in order, by a quadratic reference
    // (fuzz inputs are small).
    const ChildGrouping grouping = group_child_names(names.data(), names.size());
    std::size_t member = 0;
    for (std::size_t g = 0; g < grouping.size(); ++g) {
        const Bytes name = names[grouping.first[g]];
        for (std::size_t j = 0; j < grouping.first[g]; ++j) FUZZ_ASSERT(names[j] != name);  // first occurrence
        FUZZ_ASSERT(grouping.offsets[g] == member);
        for (std::size_t i = 0; i < names.size(); ++i)
            if (names[i] == name) FUZZ_ASSERT(grouping.members[member++] == i);
        FUZZ_ASSERT(grouping.offsets[g + 1] == member);
    }
    FUZZ_ASSERT(member == names.size());
    (void)document_encoding(element);
}

// The same query with and without span output: item for item, a span
// covers exactly the bytes the owned copy holds.
inline void same_but_spans(const Items& owned, const Items& spans, Bytes source) {
    FUZZ_ASSERT(owned.size() == spans.size());
    for (std::size_t i = 0; i < owned.size(); ++i) {
        const Item& a = owned[i];
        const Item& b = spans[i];
        if (b.kind == Item::Kind::ElementSpan) {
            FUZZ_ASSERT(a.kind == Item::Kind::OwnedElement);
            FUZZ_ASSERT(a.bytes == source.substr(b.start, b.end - b.start));
            FUZZ_ASSERT(a.encoding == b.encoding);
        } else {
            FUZZ_ASSERT(a.kind == b.kind && a.bytes == b.bytes);
        }
    }
}

// Every item is well-formed: spans inside the source, and the Result
// layer's operations run on each.
inline void check_items(const Items& items, Bytes source, bool spans_allowed) {
    for (const Item& it : items) {
        switch (it.kind) {
            case Item::Kind::ElementSpan:
                FUZZ_ASSERT(spans_allowed);
                FUZZ_ASSERT(it.start < it.end && it.end <= source.size());
                FUZZ_ASSERT(source[it.start] == '<');
                touch_element(source.substr(it.start, it.end - it.start), it.encoding);
                break;
            case Item::Kind::OwnedElement:
                FUZZ_ASSERT(!it.bytes.empty() && it.bytes[0] == '<');
                touch_element(it.bytes, it.encoding);
                break;
            case Item::Kind::Text:
                (void)classify_scalar(it.bytes);
                (void)lenient_float(it.bytes);
                break;
        }
        (void)item_text(it, source);
        (void)parse_item_number(it, source);
    }
}

}  // namespace quelmar::fuzz
