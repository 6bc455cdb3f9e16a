// PyItems and the shared operations of the Result layer: lifting engine
// items, modes, item texts and the children of a dict-like Result (element
// bytes and UTF-8 texts are in element_bytes.cpp).
#include <algorithm>
#include <cstring>
#include <utility>

#include "common/text.hpp"
#include "common/utf8.hpp"
#include "pyext/result_impl.hpp"

namespace quelmar::py {

// ---------------------------------------------------------------- lifting

namespace {

PyItem lift_one(Item&& item, PyObject* source) {
    const bool preserve = item.preserve != 0;
    switch (item.kind) {
        case Item::Kind::OwnedElement:
            return PyItem::make_shared(std::move(item.bytes), item.encoding).in_scope(preserve);
        case Item::Kind::ElementSpan:
            if (source != nullptr)
                return PyItem::make_slice(source, item.start, item.end, item.encoding).in_scope(preserve);
            return PyItem::make_shared(SharedString(), item.encoding);
        case Item::Kind::Text: break;
    }
    return PyItem::make_text(std::move(item.bytes)).in_scope(preserve);
}

}  // namespace

LiftedItems lift_with_source(const ModuleState& st, Items&& items, PyObject* source) {
    PyObject* result = result_alloc(st, items.size());
    if (result != nullptr) {
        PyItem* out = result_items(result);
        for (std::size_t i = 0; i < items.size(); ++i) {
            new (&out[i]) PyItem(lift_one(std::move(items[i]), source));
            Py_SET_SIZE(result, static_cast<Py_ssize_t>(i + 1));
        }
    }
    items = Items();  // the engine's storage goes now, not when the caller drops it
    return LiftedItems(result);
}

LiftedItems lift(const ModuleState& st, Items&& items) { return lift_with_source(st, std::move(items), nullptr); }

// ---------------------------------------------------------------- modes and texts

const char* mode_word(Mode m) noexcept {
    switch (m) {
        case Mode::Empty: return "empty";
        case Mode::ScalarLike: return "scalar";
        case Mode::Multi: return "multi";
        case Mode::DictElement: break;
    }
    return "dict";
}

std::optional<Mode> result_mode(ItemView matched) {
    if (matched.empty()) return Mode::Empty;
    if (matched.size() >= 2) return Mode::Multi;
    if (!matched[0].is_element()) return Mode::ScalarLike;
    ElementBytes eb;
    if (!eb.acquire(matched[0])) return std::nullopt;
    return element_has_child_elements(eb.bytes()) ? Mode::DictElement : Mode::ScalarLike;
}

namespace {

// Runs scan_element over an element item's bytes, reading them as item_text
// does: in the encoding ElementBytes settles (UTF-8 for a str's UTF-8 form
// or a transcoded document, else the document's), never one detected from
// the element's own first bytes.
ElementScan scan_item(const ElementBytes& eb, ChildRefs* children) {
    return scan_element(eb.bytes(), Coding(eb.encoding(), EntityScope{eb.entities(), nullptr}), children);
}

}  // namespace

bool element_preserves(const PyItem& item, Bytes element) noexcept {
    switch (element_xml_space(element)) {
        case XmlSpace::Preserve: return true;
        case XmlSpace::Default: return false;
        case XmlSpace::Unset: break;
    }
    return item.preserve();
}

std::optional<Mode> ScalarProbe::run(ItemView matched, ChildRefs* children) {
    if (matched.empty()) return Mode::Empty;
    if (matched.size() >= 2) return Mode::Multi;
    if (!matched[0].is_element()) {
        text_ = matched[0].held_bytes();
        preserve_ = matched[0].preserve();
        return Mode::ScalarLike;
    }
    if (!eb_.acquire(matched[0])) return std::nullopt;
    scan_ = scan_item(eb_, children);
    if (scan_.has_children) return Mode::DictElement;
    text_ = scan_.text();
    preserve_ = scan_.bare_tag ? matched[0].preserve() : element_preserves(matched[0], eb_.bytes());
    return Mode::ScalarLike;
}

std::optional<std::string> item_text(const PyItem& item) {
    if (!item.is_element()) return std::string(item.held_bytes());
    ElementBytes eb;
    if (!eb.acquire(item)) return std::nullopt;
    return extract_element_text(eb.bytes(), Coding(eb.encoding(), EntityScope{eb.entities(), nullptr}));
}

std::optional<std::string> item_raw(const PyItem& item) {
    ElementBytes eb;
    if (!eb.acquire(item)) return std::nullopt;
    const Encoding enc = item.is_element() ? eb.encoding() : Encoding::Utf8;
    if (enc == Encoding::Utf8) return std::string(eb.bytes());
    std::string text;
    decode_lossy_to_utf8(enc, eb.bytes(), text);
    return text;
}

std::optional<std::string> first_text_string_trimmed(ItemView matched) {
    if (matched.empty()) return std::string();
    auto text = item_text(matched[0]);
    if (!text || !require_utf8(*text)) return std::nullopt;
    if (matched[0].is_element()) {
        ElementBytes eb;
        if (!eb.acquire(matched[0])) return std::nullopt;
        if (element_preserves(matched[0], eb.bytes())) return text;
    } else if (matched[0].preserve()) {
        return text;
    }
    return std::string(trim_unicode_ws(*text));
}

std::optional<std::vector<std::string>> all_strings(ItemView matched) {
    std::vector<std::string> out;
    out.reserve(matched.size());
    for (const PyItem& item : matched) {
        auto text = item_text(item);
        if (!text || !require_utf8(*text)) return std::nullopt;
        out.push_back(std::move(*text));
    }
    return out;
}

// ---------------------------------------------------------------- children

namespace {

// Child items point into a shared block instead of each holding a copy of
// its bytes, as long as memory stays proportional: a child Result kept
// alone holds at most max(kShareSmall, kShareFactor x its own size) bytes.
//  - A parent already in a block (an engine copy, or itself a child): its
//    children point into that block when the rule allows; others copy.
//  - A parent read from a Python object: when the children's bytes add up
//    to kShareSmall at most (the fields of a record), they are packed back
//    to back into one new block that they all point into: one allocation
//    instead of one per child, and no bytes between them are kept. Larger
//    ones copy their bytes each, so keeping one child of a 100 MB element
//    never keeps the element.
constexpr std::size_t kShareSmall = 4096;
constexpr std::size_t kShareFactor = 8;

bool shares(std::size_t block_size, std::size_t child_size) noexcept {
    return block_size <= kShareSmall || child_size >= block_size / kShareFactor;
}

// A child's range in the element; the children were found in these very
// bytes, so clamping is only a guard.
std::pair<std::size_t, std::size_t> child_range(const ChildRef& r, std::size_t n) noexcept {
    const std::size_t s = std::min(r.start, n);
    return {s, std::clamp(r.end, s, n)};
}

PyItem child_item(const ChildData& d, std::size_t i) {
    if (!d.unpaid.empty() && d.unpaid[i]) {
        const auto [s, e] = child_range(d.refs[i], d.element.size());
        return PyItem::make_shared(SharedString(d.element.substr(s, e - s)), d.encoding).in_scope(d.preserve);
    }
    if (SharedBlock* pack = d.pack.block(); pack != nullptr)
        return PyItem::make_shared_part(pack, d.pack_at[i], d.pack_at[i + 1], d.encoding).in_scope(d.preserve);
    const auto [s, e] = child_range(d.refs[i], d.element.size());
    SharedBlock* block = d.block.block();
    if (block != nullptr && e > s && shares(block->size(), e - s))
        return PyItem::make_shared_part(block, d.base + s, d.base + e, d.encoding).in_scope(d.preserve);
    SharedString copy(d.element.substr(s, e - s));
    if (copy.block() != nullptr) copy.block()->set_entities(d.entities.get());
    return PyItem::make_shared(std::move(copy), d.encoding).in_scope(d.preserve);
}

// Packs the children's bytes into one block when they are small together.
// Names then point into the pack (a name lies inside its child's tag).
bool pack_children(ChildData& d, Bytes bytes) {
    std::size_t total = 0;
    for (const ChildRef& r : d.refs) {
        const auto [s, e] = child_range(r, bytes.size());
        if (r.name_start < s || r.name_start + r.name_len > e) return false;
        total += e - s;
    }
    if (total == 0 || total > kShareSmall) return false;
    SharedBlock* pack = SharedBlock::allocate(total);
    pack->set_entities(d.entities.get());
    d.pack = SharedString::adopt(pack);
    d.pack_at.reserve(d.refs.size() + 1);
    std::size_t at = 0;
    for (const ChildRef& r : d.refs) {
        const auto [s, e] = child_range(r, bytes.size());
        std::memcpy(pack->buffer() + at, bytes.data() + s, e - s);
        d.pack_at.push_back(at);
        at += e - s;
    }
    d.pack_at.push_back(at);
    return true;
}

}  // namespace

ChildData child_data(const PyItem& item, const ElementBytes& eb, ChildRefs&& refs, bool hold) {
    ChildData d;
    d.encoding = eb.encoding();
    d.entities = EntityRef::share(eb.entities());
    d.refs = std::move(refs);
    const Bytes bytes = eb.bytes();
    d.preserve = element_preserves(item, bytes);
    const bool from_block = item.kind() == PyItem::Kind::Shared && item.block() != nullptr;
    if (d.entities) {
        // Reading an element's children is a pass of its own: what they may
        // expand is charged to it now, whatever the element paid when found.
        std::uint64_t budget = expansion_budget(bytes.size());
        const EntityScope scope{d.entities.get(), &budget};
        for (std::size_t i = 0; i < d.refs.size(); ++i) {
            const auto [s, e] = child_range(d.refs[i], bytes.size());
            if (charge_expansions(scope, bytes.substr(s, e - s), d.encoding)) continue;
            if (d.unpaid.empty()) d.unpaid.assign(d.refs.size(), false);
            d.unpaid[i] = true;
        }
    }
    bool packed = false;
    if (from_block) {
        item.block()->retain();
        d.block = SharedString::adopt(item.block());
        d.base = static_cast<std::size_t>(item.start());
        d.element = d.block.view().substr(d.base, bytes.size());
    } else if (d.unpaid.empty() && pack_children(d, bytes)) {
        packed = true;
    } else if (hold) {
        // Iterators outlive the bytes of the Python object: keep a copy.
        d.block = SharedString(bytes);
        if (d.block.block() != nullptr) d.block.block()->set_entities(d.entities.get());
        d.element = d.block.view();
    } else {
        d.element = bytes;
    }
    d.names.reserve(d.refs.size());
    const bool legacy = d.encoding != Encoding::Utf8;
    if (legacy) d.decoded.reserve(d.refs.size());
    for (std::size_t i = 0; i < d.refs.size(); ++i) {
        const ChildRef& r = d.refs[i];
        const Bytes name = packed ? d.pack.view().substr(d.pack_at[i] + (r.name_start - child_range(r, bytes.size()).first),
                                                         r.name_len)
                                  : r.name(d.element);
        const bool ascii =
            !legacy || std::all_of(name.begin(), name.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
        if (ascii) {
            d.names.push_back(name);
            continue;
        }
        // Tag names of a legacy document are decoded to serve as keys; a
        // malformed sequence shows as U+FFFD.
        std::string text;
        decode_lossy_to_utf8(d.encoding, name, text);
        d.decoded.push_back(std::move(text));
        d.names.push_back(d.decoded.back());
    }
    // In a pack nothing reads the element again; its bytes may go.
    if (packed) d.element = Bytes();
    return d;
}

PyObject* not_dict_like(const char* method, Mode m) {
    PyErr_Format(PyExc_TypeError, "Result.%s() requires a dict-like Result (single element with children); got %s",
                 method, mode_word(m));
    return nullptr;
}

std::optional<ChildData> dict_children(ItemView matched, ElementBytes& eb, bool hold, const char* method) {
    // A Result's items never change, but a Whole item's buffer can have been
    // rewritten since the caller saw an element with children.
    if (matched.size() != 1 || !matched[0].is_element()) {
        not_dict_like(method, matched.empty() ? Mode::Empty : matched.size() >= 2 ? Mode::Multi : Mode::ScalarLike);
        return std::nullopt;
    }
    if (!eb.acquire(matched[0])) return std::nullopt;
    ChildRefs refs;
    if (!scan_item(eb, &refs).has_children) {
        not_dict_like(method, Mode::ScalarLike);
        return std::nullopt;
    }
    return child_data(matched[0], eb, std::move(refs), hold);
}

PyObject* children_result(const ModuleState& st, const ChildData& data, const std::size_t* members, std::size_t n) {
    return result_build(st, n, [&](std::size_t i) { return child_item(data, members[i]); });
}

PyObject* child_result(const ModuleState& st, const ChildData& data, std::size_t index) {
    return result_new_one(st, child_item(data, index));
}

std::vector<Bytes> group_names(const ChildData& data, const ChildGrouping& groups) {
    std::vector<Bytes> names;
    names.reserve(groups.size());
    for (std::size_t first : groups.first) names.push_back(data.names[first]);
    return names;
}

bool names_are_utf8(const std::vector<Bytes>& names) {
    for (Bytes n : names)
        if (!require_utf8(n)) return false;
    return true;
}

}  // namespace quelmar::py
