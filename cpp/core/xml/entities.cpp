#include "xml/entities.hpp"

#include <cstring>

#include "common/utf8.hpp"
#include "xml/reader.hpp"
#include "xml/scan.hpp"

namespace quelmar {

using namespace xml_scan;

namespace {

constexpr std::uint64_t kCostCap = std::uint64_t{1} << 62;

bool starts_with(const char* p, const char* end, Bytes prefix) noexcept {
    return static_cast<std::size_t>(end - p) >= prefix.size() && std::memcmp(p, prefix.data(), prefix.size()) == 0;
}

bool predefined(Bytes name) noexcept {
    return name == "lt" || name == "gt" || name == "amp" || name == "apos" || name == "quot";
}

// The '>' closing a markup declaration whose body starts at p (quoted
// literals may hold '>'), or end.
const char* declaration_end(const char* p, const char* end) noexcept {
    while (p < end) {
        const char c = *p;
        if (c == '>') return p;
        if (c == '"' || c == '\'') {
            const char* q = find_byte(p + 1, end, c);
            if (q == end) return end;
            p = q + 1;
        } else {
            ++p;
        }
    }
    return end;
}

// The replacement text of a literal entity value: line ends become LF,
// character references are resolved (one that does not resolve stays as
// written); entity references are kept for expansion at the point of use.
std::string replacement_text(Bytes value) {
    std::string out;
    out.reserve(value.size());
    const char* p = value.data();
    const char* end = p + value.size();
    while (p < end) {
        const char* s = find_either(p, end, '&', '\r');
        out.append(p, static_cast<std::size_t>(s - p));
        if (s == end) break;
        if (*s == '\r') {
            out.push_back('\n');
            p = s + 1;
            if (p < end && *p == '\n') ++p;
            continue;
        }
        const char* n = s + 1;
        const char* t = find_class(n, end, kRefEnd);
        if (t != end && *t == ';' && t > n && *n == '#' && append_character_reference(Bytes(n, static_cast<std::size_t>(t - n)), out)) {
            p = t + 1;
            continue;
        }
        out.push_back('&');
        p = n;
    }
    return out;
}

// The names of the entity references in a replacement text, as the
// expansion reads them.
template <class F>
void for_each_reference(Bytes text, F&& f) {
    const char* p = text.data();
    const char* end = p + text.size();
    while (true) {
        const char* s = find_byte(p, end, '&');
        if (s == end) return;
        const char* n = s + 1;
        const char* t = find_class(n, end, kRefEnd);
        if (t != end && *t == ';' && t > n && *n != '#') {
            f(Bytes(n, static_cast<std::size_t>(t - n)));
            p = t + 1;
        } else {
            p = n;
        }
    }
}

}  // namespace

EntityTable* EntityTable::from_subset(Bytes subset) {
    if (subset.find("<!ENTITY") == Bytes::npos) return nullptr;
    auto* table = new EntityTable();
    std::vector<std::pair<Bytes, Bytes>> found;  // name, literal value
    const char* p = subset.data();
    const char* end = p + subset.size();
    while (true) {
        p = find_byte(p, end, '<');
        if (p == end) break;
        if (starts_with(p, end, "<!--")) {
            const char* t = find_terminator(p + 4, end, '-', '-');
            if (t == end) break;
            p = t + 3;
            continue;
        }
        if (starts_with(p, end, "<?")) {
            const char* t = find_terminator(p + 2, end, '?', 0);
            if (t == end) break;
            p = t + 2;
            continue;
        }
        if (!starts_with(p, end, "<!")) {
            ++p;
            continue;
        }
        const char* close = declaration_end(p + 2, end);
        if (starts_with(p, end, "<!ENTITY") && p + 8 < close && is_ws(p[8])) {
            const char* q = skip_ws(p + 8, close);
            // Parameter entities ("%") are not general entities.
            if (q < close && *q != '%') {
                const char* ne = find_class(q, close, kWs | kQuote);
                const Bytes name(q, static_cast<std::size_t>(ne - q));
                q = skip_ws(ne, close);
                // A literal value (not SYSTEM or PUBLIC: external entities
                // are not read).
                if (!name.empty() && q < close && (*q == '"' || *q == '\'')) {
                    const char* ve = find_byte(q + 1, close, *q);
                    if (ve < close) found.emplace_back(name, Bytes(q + 1, static_cast<std::size_t>(ve - q - 1)));
                }
            }
        }
        if (close == end) break;
        p = close + 1;
    }
    table->names_.reserve(found.size());
    table->entities_.reserve(found.size());
    for (const auto& [name, value] : found) {
        if (predefined(name)) continue;
        table->names_.emplace_back(name);
        Entity e;
        e.text = replacement_text(value);
        table->entities_.push_back(std::move(e));
    }
    for (std::size_t i = 0; i < table->names_.size(); ++i) table->index_.try_emplace(Bytes(table->names_[i]), i);
    table->settle();
    return table;
}

const EntityTable::Entity* EntityTable::find(Bytes name) const {
    auto it = index_.find(name);
    return it == index_.end() ? nullptr : &entities_[it->second];
}

void EntityTable::settle() {
    const std::size_t n = entities_.size();
    // The declared entities each one refers to (a redeclared name is the
    // entity of its first declaration: the index holds that one).
    std::vector<std::size_t> ref_begin(n + 1, 0);
    std::vector<std::size_t> refs;
    for (std::size_t i = 0; i < n; ++i) {
        ref_begin[i] = refs.size();
        for_each_reference(entities_[i].text, [&](Bytes name) {
            auto it = index_.find(name);
            if (it != index_.end()) refs.push_back(it->second);
        });
    }
    ref_begin[n] = refs.size();
    // Depth-first over the references without recursion: an entity
    // settles after all it refers to; meeting one still open is a cycle.
    enum : std::uint8_t { kNew, kOpen, kDone };
    std::vector<std::uint8_t> state(n, kNew);
    std::vector<std::pair<std::size_t, std::size_t>> stack;  // entity, next reference
    for (std::size_t root = 0; root < n; ++root) {
        if (state[root] != kNew) continue;
        state[root] = kOpen;
        entities_[root].expands = entities_[root].text.find('<') == std::string::npos;
        entities_[root].cost = entities_[root].text.size() + 1;
        stack.emplace_back(root, ref_begin[root]);
        while (!stack.empty()) {
            auto& [e, r] = stack.back();
            if (r == ref_begin[e + 1]) {
                state[e] = kDone;
                stack.pop_back();
                if (!stack.empty()) {
                    Entity& parent = entities_[stack.back().first];
                    const Entity& child = entities_[e];
                    parent.expands = parent.expands && child.expands;
                    parent.cost = std::min(kCostCap, parent.cost + child.cost);
                }
                continue;
            }
            const std::size_t c = refs[r++];
            Entity& cur = entities_[e];
            if (state[c] == kOpen) {
                cur.expands = false;  // a cycle
            } else if (state[c] == kDone) {
                cur.expands = cur.expands && entities_[c].expands;
                cur.cost = std::min(kCostCap, cur.cost + entities_[c].cost);
            } else {
                state[c] = kOpen;
                entities_[c].expands = entities_[c].text.find('<') == std::string::npos;
                entities_[c].cost = entities_[c].text.size() + 1;
                stack.emplace_back(c, ref_begin[c]);
            }
        }
    }
}

}  // namespace quelmar
