// Internals shared by the Result type, its views and its iterators: the
// object layout, element bytes of an item, modes, texts and the children of
// a dict-like Result.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <vector>

#include "engine/children.hpp"
#include "pyext/module.hpp"
#include "pyext/result.hpp"

namespace quelmar::py {

// A Result is a variable-size object: its items follow the header in the
// same allocation (ob_size of them), so a one-item Result is one 64-byte
// object and no vector.
struct ResultObject {
    PyObject_VAR_HEAD
};
inline constexpr std::size_t kResultItemsOffset =
    (sizeof(ResultObject) + alignof(PyItem) - 1) / alignof(PyItem) * alignof(PyItem);

using ItemView = std::span<const PyItem>;

inline PyItem* result_items(PyObject* result) {
    return reinterpret_cast<PyItem*>(reinterpret_cast<char*>(result) + kResultItemsOffset);
}
inline ItemView items_of(PyObject* result) {
    return ItemView(result_items(result), static_cast<std::size_t>(Py_SIZE(result)));
}
inline bool is_result(PyObject* o) { return g_types.result != nullptr && Py_IS_TYPE(o, g_types.result); }

// ---------------------------------------------------------------- element bytes

// The bytes of an element item for the duration of one operation. Whole and
// Slice items read their Python object again (a buffer is held until this
// object dies); nothing is cached on the item.
class ElementBytes {
public:
    // False with a Python error set (the object no longer offers usable bytes).
    bool acquire(const PyItem& item);
    // The element's bytes; for a Whole item of a UTF-16 or ISO-2022-JP
    // document, its UTF-8 form (transcode_document).
    Bytes bytes() const noexcept { return bytes_; }
    // The bytes as the Python object holds them: what the engine's
    // whole-document entry points take (they transcode by themselves).
    Bytes source_bytes() const noexcept { return source_; }
    // Whether bytes() is such a UTF-8 form, to be read with UTF-8 fixed.
    bool transcoded() const noexcept { return transcoded_; }
    // Whether the bytes are the UTF-8 form of a str (UTF-8 whatever declared).
    bool unicode() const noexcept { return unicode_; }
    // The document encoding of the element (for a Whole item: what its
    // byte-order mark or declaration says; UTF-8 once transcoded).
    Encoding encoding() const;

private:
    const PyItem* item_ = nullptr;
    HeldBuffer holder_;
    Bytes bytes_;
    Bytes source_;
    std::string decoded_;
    bool transcoded_ = false;
    bool unicode_ = false;
};

// ---------------------------------------------------------------- modes and texts

enum class Mode { Empty, ScalarLike, DictElement, Multi };
const char* mode_word(Mode m) noexcept;  // "empty", "scalar", "multi" (dict-like is never named)

std::optional<Mode> result_mode(ItemView matched);

// The mode of a Result and, for a scalar, the text of its first item
// (untrimmed, what item_text gives): for a one-element Result both come from
// one reader pass that stops at the first child element. The text is valid
// while the probe lives.
class ScalarProbe {
public:
    // Nothing with a Python error set.
    std::optional<Mode> run(ItemView matched);
    Bytes text() const noexcept { return text_; }

private:
    ElementBytes eb_;
    ElementScan scan_;
    Bytes text_;
};

// Text of one item: a Text's bytes, an element's text content.
std::optional<std::string> item_text(const PyItem& item);
// The raw form of one item as text: a Text's bytes, an element's own markup
// decoded from its document's encoding (malformed sequences shown as U+FFFD,
// as invalid UTF-8 is).
std::optional<std::string> item_raw(const PyItem& item);

// ValueError with the decoding message unless `text` is valid UTF-8.
bool require_utf8(Bytes text);
PyObject* str_strict(Bytes text);  // require_utf8 + new str
PyObject* str_lossy(Bytes text);   // invalid sequences become U+FFFD

// An internal invariant failure (SystemError).
extern const char* const kMsgNoDictBytes;
extern const char* const kMsgTagNamesUtf8;
PyObject* internal_failure(const char* msg);

std::optional<std::string> first_text_string_trimmed(ItemView matched);
std::optional<std::vector<std::string>> all_strings(ItemView matched);

// ---------------------------------------------------------------- children

struct ElementCopy {
    std::string bytes;
    Encoding encoding = Encoding::Utf8;
};
// One element item with child elements: an owned copy of its bytes, or
// nothing (not a dict-like item). False with a Python error set.
bool dict_element_bytes(ItemView matched, std::optional<ElementCopy>& out);

// A parent element copy and its direct children.
struct ChildData {
    std::string element;
    Encoding encoding = Encoding::Utf8;
    std::vector<ChildSpan> spans;
};
// For a Result already known to be dict-like: the element copy (absence is
// the internal failure) and its children. Nothing with a Python error set.
std::optional<ChildData> dict_children(ItemView matched);

// A Result of copies of the children `members` (indices into data.spans).
PyObject* children_result(const ChildData& data, const std::vector<std::size_t>& members);
PyObject* child_result(const ChildData& data, const ChildSpan& span);

// Names decoded as strict UTF-8; a failure is the internal failure
// "XML tag names are valid UTF-8".
bool names_are_utf8(const std::vector<std::string>& names);

// ---------------------------------------------------------------- types (views.cpp, iters.cpp)

PyTypeObject* make_result_type(PyObject* module);
PyTypeObject* make_char_iter_type(PyObject* module);
PyTypeObject* make_item_iter_type(PyObject* module);
PyTypeObject* make_child_key_iter_type(PyObject* module);
PyTypeObject* make_child_value_iter_type(PyObject* module);
PyTypeObject* make_child_item_iter_type(PyObject* module);
PyTypeObject* make_child_iter_type(PyObject* module);
PyTypeObject* make_keys_view_type(PyObject* module);
PyTypeObject* make_values_view_type(PyObject* module);
PyTypeObject* make_items_view_type(PyObject* module);
PyTypeObject* make_children_view_type(PyObject* module);

PyObject* char_iter_new(std::string text);
PyObject* item_iter_new(PyObject* parent);
PyObject* child_key_iter_new(std::vector<std::string> names);  // names valid UTF-8
PyObject* child_item_iter_new(ChildData data, ChildGroups groups);  // names valid UTF-8
PyObject* child_value_iter_new(ChildData data, ChildGroups groups);
PyObject* child_iter_new(ChildData data);

PyObject* view_new(PyTypeObject* type, PyObject* parent);

}  // namespace quelmar::py
