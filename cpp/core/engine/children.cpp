// The Result layer's element operations. Each runs a fresh reader in the
// engine configuration over one element's bytes; reader errors are dropped
// and reading goes on (every error advances past the offending markup, and
// after a fatal one the reader only yields Eof, so the loops end). Skipping a
// child goes through Reader::read_to_end, which counts depth without
// recursion, so any nesting depth is safe.
#include "engine/children.hpp"

#include <algorithm>
#include <string_view>
#include <unordered_map>
#include <unordered_set>

namespace quelmar {

bool element_has_child_elements(Bytes element) {
    Reader reader(element, ReaderConfig::engine());
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

std::vector<ChildSpan> collect_direct_children(Bytes element) {
    std::vector<ChildSpan> out;
    Reader reader(element, ReaderConfig::engine());
    bool inside = false;
    for (;;) {
        // Before a tag's event this is the offset of its '<'.
        const auto p = static_cast<std::size_t>(reader.buffer_position());
        const Event ev = reader.read_event();
        switch (ev.kind) {
            case EventKind::Start: {
                if (!inside) {
                    inside = true;
                    break;
                }
                std::string name(ev.name());
                (void)reader.read_to_end(name);  // a broken child ends where the reader stopped
                out.push_back(ChildSpan{std::move(name), p, static_cast<std::size_t>(reader.buffer_position())});
                break;
            }
            case EventKind::Empty:
                if (!inside) return out;  // the element itself is an empty-element tag
                out.push_back(ChildSpan{std::string(ev.name()), p, static_cast<std::size_t>(reader.buffer_position())});
                break;
            case EventKind::End:
            case EventKind::Eof: return out;
            default: break;
        }
    }
}

std::vector<std::string> unique_child_names(const std::vector<ChildSpan>& spans) {
    std::vector<std::string> names;
    std::unordered_set<std::string_view> seen;
    for (const ChildSpan& s : spans)
        if (seen.insert(s.name).second) names.push_back(s.name);
    return names;
}

ChildGroups group_children(const std::vector<ChildSpan>& spans) {
    ChildGroups g;
    std::unordered_map<std::string_view, std::size_t> index;  // name -> position in g.names
    for (std::size_t i = 0; i < spans.size(); ++i) {
        auto [it, fresh] = index.try_emplace(spans[i].name, g.names.size());
        if (fresh) {
            g.names.push_back(spans[i].name);
            g.members.emplace_back();
        }
        g.members[it->second].push_back(i);
    }
    return g;
}

Encoding document_encoding(Bytes document) {
    Reader reader(document, ReaderConfig::engine());
    for (;;) {
        const EventKind k = reader.read_event().kind;
        if (k == EventKind::Start || k == EventKind::Empty || k == EventKind::Eof) return reader.encoding();
    }
}

void decode_child_names(std::vector<ChildSpan>& spans, Encoding encoding) {
    for (ChildSpan& span : spans) {
        const bool ascii = std::all_of(span.name.begin(), span.name.end(),
                                       [](char c) { return static_cast<unsigned char>(c) < 0x80; });
        if (ascii) continue;
        std::string decoded;
        decode_lossy_to_utf8(encoding, span.name, decoded);
        span.name = std::move(decoded);
    }
}

std::string extract_element_text_fixed(Bytes element, Encoding encoding) {
    Reader reader(element, ReaderConfig::engine());
    reader.fix_encoding(encoding);
    for (;;) {
        const Event ev = reader.read_event();
        switch (ev.kind) {
            case EventKind::Start: return read_text_in_scope(reader);
            case EventKind::Empty:
            case EventKind::Eof: return std::string();
            default: break;
        }
    }
}

}  // namespace quelmar
