// The Result layer's element operations. Each runs a fresh reader in the
// engine configuration over one element's bytes; reader errors are dropped
// and reading goes on (every error advances past the offending markup, and
// after a fatal one the reader only yields Eof, so the loops end). Skipping a
// child goes through Reader::read_to_end, which counts depth without
// recursion, so any nesting depth is safe, and ends it where the engines'
// event loops end it.
//
// No reader here detects an encoding from the bytes it is given: an element
// keeps its document's encoding (the markup-only readers fix UTF-8, as they
// decode nothing), so a fragment whose first bytes happen to look like a
// byte-order signature (`<\0?\0`) is not taken for UTF-16.
#include "engine/children.hpp"

#include <unordered_map>

#include "common/hash.hpp"

namespace quelmar {

bool element_has_child_elements(Bytes element) {
    Reader reader(element, Coding(Encoding::Utf8));
    bool inside = false;  // the element's own start tag has been read
    for (;;) {
        const Event ev = reader.read_event();
        switch (ev.kind) {
            case EventKind::Start:
                if (inside) return true;
                inside = true;
                break;
            case EventKind::Empty: return inside;
            case EventKind::End:
            case EventKind::Eof: return false;
            default: break;  // text, comments, prolog, reader errors
        }
    }
}

namespace {

// Reads up to the document's first element (or its end): its encoding and
// entities are settled there.
void read_prolog(Reader& reader) {
    for (;;) {
        const EventKind k = reader.read_event().kind;
        if (k == EventKind::Start || k == EventKind::Empty || k == EventKind::Eof) return;
    }
}

}  // namespace

Encoding document_encoding(Bytes document) {
    Reader reader(document, ReaderConfig::engine());
    read_prolog(reader);
    return reader.encoding();
}

EntityRef document_entities(Bytes document) {
    Reader reader(document, ReaderConfig::engine());
    read_prolog(reader);
    return reader.entities();
}

namespace {

// Appends the child whose start or empty-element tag `ev` the reader just
// returned (its '<' at p), skipping a start tag's content.
void take_child(Reader& reader, Bytes element, const Event& ev, std::size_t p, ChildRefs& out) {
    const Bytes name = ev.name();
    const auto name_start = static_cast<std::size_t>(name.data() - element.data());
    if (ev.kind == EventKind::Start) (void)reader.read_to_end();  // a broken child ends where the reader stopped
    out.push_back(ChildRef{p, static_cast<std::size_t>(reader.buffer_position()), name_start, name.size()});
}

// The rest of collect_child_refs once the element's own start tag is read.
void collect_rest(Reader& reader, Bytes element, ChildRefs& out) {
    for (;;) {
        const auto p = static_cast<std::size_t>(reader.buffer_position());
        const Event ev = reader.read_event();
        switch (ev.kind) {
            case EventKind::Start:
            case EventKind::Empty: take_child(reader, element, ev, p, out); break;
            case EventKind::End:
            case EventKind::Eof: return;
            default: break;
        }
    }
}

}  // namespace

void collect_child_refs(Bytes element, ChildRefs& out) {
    Reader reader(element, Coding(Encoding::Utf8));
    for (;;) {
        const Event ev = reader.read_event();
        switch (ev.kind) {
            case EventKind::Start: collect_rest(reader, element, out); return;
            case EventKind::Empty:  // the element itself is an empty-element tag
            case EventKind::End:
            case EventKind::Eof: return;
            default: break;
        }
    }
}

ElementScan scan_element(Bytes element, const Coding& coding, ChildRefs* children) {
    ElementScan out;
    Bytes raw;
    if (utf8_leaf_text(element, coding.encoding, raw, out.bare_tag)) {
        std::string scratch;
        Bytes text;
        unescape_with(raw, scratch, text, coding.scope);
        out.add(text, element);
        return out;
    }
    // The reader's encoding decides only how text is decoded, never where
    // markup is: the child test and the child spans come out as they do from
    // the markup-only readers above.
    Reader reader(element, coding);
    // Up to the element's own start tag.
    for (;;) {
        const Event ev = reader.read_event();
        if (ev.kind == EventKind::Start) break;
        if (ev.kind == EventKind::Empty || ev.kind == EventKind::Eof) return out;
        if (ev.kind == EventKind::End) {
            // An end tag before any element: no children, but the text is
            // that of the next element, read whole.
            for (;;) {
                const Event next = reader.read_event();
                if (next.kind == EventKind::Start) {
                    out.add(read_text_in_scope(reader), element);
                    return out;
                }
                if (next.kind == EventKind::Empty || next.kind == EventKind::Eof) return out;
            }
        }
    }
    // Inside the element: its text, as read_text_in_scope collects it, until
    // its end or its first child.
    std::string scratch;
    for (;;) {
        const auto p = static_cast<std::size_t>(reader.buffer_position());
        const Event ev = reader.read_event();
        switch (ev.kind) {
            case EventKind::Start:
            case EventKind::Empty:
                out.has_children = true;
                out.clear();
                if (children != nullptr) {
                    take_child(reader, element, ev, p, *children);
                    collect_rest(reader, element, *children);
                }
                return out;
            case EventKind::End:
            case EventKind::Eof: return out;
            case EventKind::Text: {
                Bytes text;
                reader.unescape(ev.content, scratch, text);
                out.add(text, element);
                break;
            }
            case EventKind::CData: {
                Bytes text;
                reader.decode(ev.content, scratch, text);
                out.add(text, element);
                break;
            }
            default: break;
        }
    }
}

ChildGrouping group_child_names(const Bytes* names, std::size_t n) {
    ChildGrouping g;
    InlineVec<std::size_t, 16> group_of;  // per child
    group_of.assign(n, 0);
    // A few names are told apart by comparing them; many through a hash map.
    constexpr std::size_t kLinear = 16;
    std::unordered_map<Bytes, std::size_t, KeyedHash> index;
    for (std::size_t i = 0; i < n; ++i) {
        std::size_t k = g.first.size();
        if (g.first.size() <= kLinear) {
            for (std::size_t j = 0; j < g.first.size(); ++j)
                if (names[g.first[j]] == names[i]) {
                    k = j;
                    break;
                }
            if (k == g.first.size()) {
                g.first.push_back(i);
                if (g.first.size() > kLinear)
                    for (std::size_t j = 0; j < g.first.size(); ++j) index.emplace(names[g.first[j]], j);
            }
        } else {
            auto [it, fresh] = index.try_emplace(names[i], g.first.size());
            if (fresh) g.first.push_back(i);
            k = it->second;
        }
        group_of[i] = k;
    }
    // Counting sort by group, stable: members in document order.
    const std::size_t groups = g.first.size();
    g.offsets.assign(groups + 1, 0);
    for (std::size_t i = 0; i < n; ++i) ++g.offsets[group_of[i] + 1];
    for (std::size_t k = 0; k < groups; ++k) g.offsets[k + 1] += g.offsets[k];
    g.members.assign(n, 0);
    InlineVec<std::size_t, 9> fill(g.offsets);
    for (std::size_t i = 0; i < n; ++i) g.members[fill[group_of[i]]++] = i;
    return g;
}

}  // namespace quelmar
