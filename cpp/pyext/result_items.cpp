// PyItems and the shared operations of the Result layer: lifting engine
// items, element bytes, modes, item texts, UTF-8 checks and the children of
// a dict-like Result.
#include <algorithm>

#include "common/text.hpp"
#include "common/utf8.hpp"
#include "pyext/result_impl.hpp"

namespace quelmar::py {

const char* const kMsgNoDictBytes = "DictElement mode implies element bytes are available";
const char* const kMsgTagNamesUtf8 = "XML tag names are valid UTF-8";

PyObject* internal_failure(const char* msg) {
    PyErr_SetString(PyExc_SystemError, msg);
    return nullptr;
}

// ---------------------------------------------------------------- lifting

namespace {

PyItem lift_one(Item&& item, PyObject* source) {
    switch (item.kind) {
        case Item::Kind::OwnedElement: return PyItem::make_shared(std::move(item.bytes), item.encoding);
        case Item::Kind::ElementSpan:
            if (source != nullptr) return PyItem::make_slice(source, item.start, item.end, item.encoding);
            return PyItem::make_shared(SharedString(), item.encoding);
        case Item::Kind::Text: break;
    }
    return PyItem::make_text(std::move(item.bytes));
}

}  // namespace

PyItems lift_with_source(Items&& items, PyObject* source) {
    PyItems out;
    out.reserve(items.size());
    for (Item& item : items) out.push_back(lift_one(std::move(item), source));
    items.clear();
    return out;
}

PyItems lift(Items&& items) { return lift_with_source(std::move(items), nullptr); }

// ---------------------------------------------------------------- element bytes

bool ElementBytes::acquire(const PyItem& item) {
    item_ = &item;
    if (!item.has_source()) {
        bytes_ = source_ = item.held_bytes();
        return true;
    }
    auto all = document_bytes(item.source(), holder_, kMsgNotDocument);
    if (!all) return false;
    bytes_ = source_ = *all;
    // A text string's UTF-8 form is UTF-8 whatever its declaration says.
    unicode_ = PyUnicode_Check(item.source());
    if (item.kind() == PyItem::Kind::Whole && !unicode_) {
        // A whole document the reader cannot read byte by byte is decoded
        // again on every use, as its bytes are read again.
        transcoded_ = transcode_document(bytes_, decoded_) != Transcoded::No;
        if (transcoded_) bytes_ = decoded_;
    }
    if (item.kind() == PyItem::Kind::Slice) {
        // Slices refer to immutable str / bytes objects, so the range lies
        // inside; clamping only keeps a broken invariant from reading out of bounds.
        const std::size_t s = static_cast<std::size_t>(std::min<std::uint64_t>(item.start(), bytes_.size()));
        const std::size_t e = static_cast<std::size_t>(std::clamp<std::uint64_t>(item.end(), s, bytes_.size()));
        bytes_ = source_ = bytes_.substr(s, e - s);
    }
    return true;
}

Encoding ElementBytes::encoding() const {
    if (transcoded_ || unicode_) return Encoding::Utf8;
    if (item_ != nullptr && item_->kind() == PyItem::Kind::Whole) return document_encoding(bytes_);
    return item_ != nullptr ? item_->encoding() : Encoding::Utf8;
}

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
// does: a str's UTF-8 form or a transcoded document with UTF-8 fixed, other
// elements in their document's encoding.
ElementScan scan_item(const ElementBytes& eb, std::vector<ChildRef>* children) {
    if (eb.transcoded() || eb.unicode()) return scan_element(eb.bytes(), Encoding::Utf8, true, children);
    return scan_element(eb.bytes(), eb.encoding(), false, children);
}

}  // namespace

std::optional<Mode> ScalarProbe::run(ItemView matched) {
    if (matched.empty()) return Mode::Empty;
    if (matched.size() >= 2) return Mode::Multi;
    if (!matched[0].is_element()) {
        text_ = matched[0].held_bytes();
        return Mode::ScalarLike;
    }
    if (!eb_.acquire(matched[0])) return std::nullopt;
    scan_ = scan_item(eb_, nullptr);
    if (scan_.has_children) return Mode::DictElement;
    text_ = scan_.text();
    return Mode::ScalarLike;
}

std::optional<std::string> item_text(const PyItem& item) {
    if (!item.is_element()) return std::string(item.held_bytes());
    ElementBytes eb;
    if (!eb.acquire(item)) return std::nullopt;
    if (eb.transcoded() || eb.unicode()) return extract_element_text_fixed(eb.bytes(), Encoding::Utf8);
    return extract_element_text(eb.bytes(), eb.encoding());
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

bool require_utf8(Bytes text) {
    if (auto err = utf8_check(text)) {
        PyErr_SetString(PyExc_ValueError, utf8_error_message(*err).c_str());
        return false;
    }
    return true;
}

PyObject* str_strict(Bytes text) { return require_utf8(text) ? new_str(text) : nullptr; }

PyObject* str_lossy(Bytes text) { return utf8_valid(text) ? new_str(text) : new_str(utf8_lossy(text)); }

std::optional<std::string> first_text_string_trimmed(ItemView matched) {
    if (matched.empty()) return std::string();
    auto text = item_text(matched[0]);
    if (!text || !require_utf8(*text)) return std::nullopt;
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

bool dict_element_bytes(ItemView matched, std::optional<ElementCopy>& out) {
    out.reset();
    if (matched.size() != 1 || !matched[0].is_element()) return true;
    ElementBytes eb;
    if (!eb.acquire(matched[0])) return false;
    ElementCopy copy{std::string(eb.bytes()), eb.encoding()};
    if (element_has_child_elements(copy.bytes)) out = std::move(copy);
    return true;
}

std::optional<ChildData> dict_children(ItemView matched) {
    std::optional<ElementCopy> copy;
    if (!dict_element_bytes(matched, copy)) return std::nullopt;
    if (!copy) {
        internal_failure(kMsgNoDictBytes);
        return std::nullopt;
    }
    ChildData data{std::move(copy->bytes), copy->encoding, {}};
    data.spans = collect_direct_children(data.element);
    if (data.encoding != Encoding::Utf8) decode_child_names(data.spans, data.encoding);
    return data;
}

namespace {

PyItem child_item(const ChildData& data, const ChildSpan& span) {
    // The spans were computed from this very copy; clamping is only a guard.
    const std::size_t n = data.element.size();
    const std::size_t s = std::min(span.start, n);
    const std::size_t e = std::clamp(span.end, s, n);
    return PyItem::make_shared(SharedString(Bytes(data.element).substr(s, e - s)), data.encoding);
}

}  // namespace

PyObject* children_result(const ChildData& data, const std::vector<std::size_t>& members) {
    PyItems items;
    items.reserve(members.size());
    for (std::size_t i : members) items.push_back(child_item(data, data.spans[i]));
    return result_new(std::move(items));
}

PyObject* child_result(const ChildData& data, const ChildSpan& span) { return result_new_one(child_item(data, span)); }

bool names_are_utf8(const std::vector<std::string>& names) {
    for (const std::string& n : names)
        if (!utf8_valid(n)) {
            internal_failure(kMsgTagNamesUtf8);
            return false;
        }
    return true;
}

}  // namespace quelmar::py
