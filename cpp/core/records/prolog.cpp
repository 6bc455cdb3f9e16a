#include "records/prolog.hpp"

#include <algorithm>
#include <cstring>
#include <utility>

namespace quelmar {
namespace {

// White space as the subset's reading takes it (ASCII, form feed and
// vertical tab included).
bool blank(char c) noexcept { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v'; }

// A byte that cannot be in an entity name as references are found.
bool ends_reference_name(char c) noexcept {
    return blank(c) || c == '&' || c == ';' || c == '#' || c == '<' || c == '>' || c == '"' || c == '\'';
}

// Past a quoted value opened at s[i]; npos when it is not closed.
std::size_t past_quote(Bytes s, std::size_t i) noexcept {
    const std::size_t q = s.find(s[i], i + 1);
    return q == Bytes::npos ? Bytes::npos : q + 1;
}

// The end of the subset token at s[pos] (white space, a comment, a PI, a
// parameter entity reference, a markup declaration up to its '>' outside
// quoted values), or npos when none starts there.
std::size_t token_end(Bytes s, std::size_t pos) noexcept {
    if (blank(s[pos])) {
        std::size_t i = pos;
        while (i < s.size() && blank(s[i])) ++i;
        return i;
    }
    if (s.substr(pos, 4) == "<!--") {
        const std::size_t e = s.find("-->", pos + 4);
        if (e != Bytes::npos) return e + 3;
    }
    if (s.substr(pos, 2) == "<?") {
        const std::size_t e = s.find("?>", pos + 2);
        if (e != Bytes::npos) return e + 2;
    }
    if (s[pos] == '%') {
        std::size_t i = pos + 1;
        while (i < s.size() && s[i] != ';' && !blank(s[i])) ++i;
        if (i < s.size() && s[i] == ';') return i + 1;
    }
    if (s.substr(pos, 2) == "<!") {
        std::size_t i = pos + 2;
        while (i < s.size()) {
            if (s[i] == '>') return i + 1;
            if (s[i] == '"' || s[i] == '\'') {
                i = past_quote(s, i);
                if (i == Bytes::npos) return Bytes::npos;
            } else {
                ++i;
            }
        }
    }
    return Bytes::npos;
}

// The name declared by "<!ENTITY name " at the start of a token (a general
// entity: not "%"); empty when the token is not one.
Bytes general_entity_name(Bytes token) noexcept {
    if (token.substr(0, 8) != "<!ENTITY") return {};
    std::size_t i = 8;
    if (i >= token.size() || !blank(token[i])) return {};
    while (i < token.size() && blank(token[i])) ++i;
    const std::size_t start = i;
    while (i < token.size() && !blank(token[i]) && token[i] != '%' && token[i] != '"' && token[i] != '\'') ++i;
    if (i == start || i >= token.size() || !blank(token[i])) return {};
    return token.substr(start, i - start);
}

}  // namespace

std::vector<Bytes> entity_references(Bytes text) {
    std::vector<Bytes> out;
    for (std::size_t i = text.find('&'); i != Bytes::npos; i = text.find('&', i)) {
        std::size_t j = i + 1;
        while (j < text.size() && !ends_reference_name(text[j])) ++j;
        if (j > i + 1 && j < text.size() && text[j] == ';') {
            out.push_back(text.substr(i + 1, j - i - 1));
            i = j + 1;
        } else {
            i += 1;
        }
    }
    return out;
}

RecordProlog::RecordProlog(std::string declaration, bool transcoded)
    : declaration_(std::move(declaration)), transcoded_(transcoded), full_(declaration_), base_(declaration_) {}

std::string RecordProlog::with_doctype(Bytes doctype) const {
    std::string prefix = declaration_;
    if (prefix.empty() && !transcoded_) prefix = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>";
    prefix += '\n';
    prefix.append(doctype.data(), doctype.size());
    prefix += '\n';
    if (prefix.front() == '\n') prefix.erase(0, 1);
    return prefix;
}

void RecordProlog::set_doctype(Bytes doctype) {
    full_ = base_ = with_doctype(doctype);
    entities_.clear();
    by_names_.clear();
    always_.clear();
    head_.clear();
    rest_.clear();
    // "<!DOCTYPE" and what precedes the subset's '[' (quoted values passed over).
    if (doctype.substr(0, 9) != "<!DOCTYPE" || doctype.empty() || doctype.back() != '>') return;
    std::size_t i = 9;
    while (i < doctype.size() && doctype[i] != '[') {
        if (doctype[i] == '>') return;
        if (doctype[i] == '"' || doctype[i] == '\'') {
            i = past_quote(doctype, i);
            if (i == Bytes::npos) return;
        } else {
            ++i;
        }
    }
    if (i >= doctype.size()) return;
    const std::size_t open = i + 1;
    const std::size_t close = doctype.rfind(']');
    if (close == Bytes::npos || close < open) return;
    for (std::size_t k = close + 1; k + 1 < doctype.size(); ++k)
        if (!blank(doctype[k])) return;
    const Bytes subset = doctype.substr(open, close - open);
    std::string rest;
    std::map<std::string, Entity, std::less<>> entities;
    for (std::size_t pos = 0; pos < subset.size();) {
        const std::size_t end = token_end(subset, pos);
        if (end == Bytes::npos || end == pos) return;
        const Bytes token = subset.substr(pos, end - pos);
        pos = end;
        if (token.front() == '%') return;
        const Bytes name = general_entity_name(token);
        if (!name.empty()) {
            if (entities.find(name) == entities.end()) {
                Entity e{std::string(token), {}, entities.size()};
                for (const Bytes r : entity_references(token)) e.refers.emplace_back(r);
                entities.emplace(std::string(name), std::move(e));
            }
            continue;
        }
        if (token.substr(0, 2) == "<!" && token.substr(0, 4) != "<!--") rest.append(token.data(), token.size());
    }
    if (entities.empty()) return;
    head_.assign(doctype.data(), open - 1);
    rest_ = std::move(rest);
    entities_ = std::move(entities);
    for (const Bytes r : entity_references(rest_)) always_.emplace_back(r);
    close_over(always_);
    base_ = build({});
}

void RecordProlog::close_over(std::vector<std::string>& names) const {
    std::vector<std::string> todo;
    std::vector<std::string> seen;
    for (std::string& n : names)
        if (entities_.find(n) != entities_.end()) todo.push_back(std::move(n));
    std::sort(todo.begin(), todo.end());
    todo.erase(std::unique(todo.begin(), todo.end()), todo.end());
    seen = todo;
    while (!todo.empty()) {
        const std::string n = std::move(todo.back());
        todo.pop_back();
        for (const std::string& m : entities_.find(n)->second.refers) {
            if (entities_.find(m) == entities_.end()) continue;
            const auto at = std::lower_bound(seen.begin(), seen.end(), m);
            if (at != seen.end() && *at == m) continue;
            seen.insert(at, m);
            todo.push_back(m);
        }
    }
    names = std::move(seen);
}

std::string RecordProlog::build(std::vector<std::string> names) const {
    names.insert(names.end(), always_.begin(), always_.end());
    close_over(names);
    // In the order of the subset; entities first (an attribute default may
    // refer to them: the whole subset's order was checked once).
    std::vector<const Entity*> chosen;
    chosen.reserve(names.size());
    for (const std::string& n : names) chosen.push_back(&entities_.find(n)->second);
    std::sort(chosen.begin(), chosen.end(), [](const Entity* a, const Entity* b) { return a->order < b->order; });
    std::string doctype = head_;
    doctype += '[';
    for (const Entity* e : chosen) doctype += e->declaration;
    doctype += rest_;
    doctype += "]>";
    return with_doctype(doctype);
}

const std::string& RecordProlog::prefix_for(Bytes record) {
    if (entities_.empty()) return base_;
    std::vector<std::string> names;
    for (const Bytes r : entity_references(record))
        if (entities_.find(r) != entities_.end()) names.emplace_back(r);
    if (names.empty()) return base_;
    std::sort(names.begin(), names.end());
    names.erase(std::unique(names.begin(), names.end()), names.end());
    std::string key;
    for (const std::string& n : names) key.append(n).push_back('\0');
    auto found = by_names_.find(key);
    if (found != by_names_.end()) return found->second;
    if (by_names_.size() >= kPrefixes) by_names_.clear();
    return by_names_.emplace(std::move(key), build(std::move(names))).first->second;
}

}  // namespace quelmar
