// Internals shared by the Result type, its views and its iterators: the
// object layout, element bytes of an item, modes, texts and the children of
// a dict-like Result.
#pragma once

#include <new>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "common/text.hpp"
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

// A new, untracked Result with room for `n` items and none in it yet
// (nullptr with a Python error); result_publish hands it out, tracked by the
// collector when one of its items can be part of a cycle.
PyObject* result_alloc(const ModuleState& st, std::size_t n);
PyObject* result_publish(PyObject* self);

// A new Result of the `n` items make(0), ..., make(n - 1).
template <class F>
PyObject* result_build(const ModuleState& st, std::size_t n, F&& make) {
    PyObject* self = result_alloc(st, n);
    if (self == nullptr) return nullptr;
    PyItem* out = result_items(self);
    try {
        for (std::size_t i = 0; i < n; ++i) {
            new (&out[i]) PyItem(make(i));
            Py_SET_SIZE(self, static_cast<Py_ssize_t>(i + 1));
        }
    } catch (...) {
        Py_DECREF(self);
        throw;
    }
    return result_publish(self);
}
inline bool is_result(const ModuleState& st, PyObject* o) { return st.result != nullptr && Py_IS_TYPE(o, st.result); }

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
    bool transcoded() const noexcept { return whole_.transcoded(); }
    // Whether the bytes are the UTF-8 form of a str (UTF-8 whatever declared).
    bool unicode() const noexcept { return unicode_; }
    // The document encoding of the element (for a Whole item: what its
    // byte-order mark or declaration says; UTF-8 once transcoded).
    Encoding encoding() const;
    // The general entities of the element's document: those its block
    // carries, or for a Whole item those of its internal subset.
    const EntityTable* entities() const;
    // The encoding and entities together, as readers over the bytes need them.
    Coding coding() const { return Coding(encoding(), EntityScope{entities(), nullptr}); }
    const PyItem* item() const noexcept { return item_; }

private:
    const PyItem* item_ = nullptr;
    HeldBuffer holder_;
    Bytes bytes_;
    Bytes source_;
    DocumentText whole_;  // a Whole item's document as the reader takes it
    bool unicode_ = false;
    mutable EntityRef whole_entities_;
    mutable bool whole_entities_read_ = false;
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
    // Nothing with a Python error set. With `children`, a dict-like
    // element's direct children are collected in the same pass.
    std::optional<Mode> run(ItemView matched, ChildRefs* children = nullptr);
    Bytes text() const noexcept { return text_; }
    // The text as a scalar hands it out: trimmed, except inside an
    // xml:space="preserve" scope, where white space is part of the text.
    Bytes trimmed_text() const noexcept { return preserve_ ? text_ : trim_unicode_ws(text_); }
    const ElementBytes& element() const noexcept { return eb_; }

private:
    ElementBytes eb_;
    ElementScan scan_;
    Bytes text_;
    bool preserve_ = false;
};

// Whether the element `item` (whose bytes are `element`) keeps its white
// space: its own tag's xml:space, else the scope it lies in.
bool element_preserves(const PyItem& item, Bytes element) noexcept;

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

std::optional<std::string> first_text_string_trimmed(ItemView matched);
std::optional<std::vector<std::string>> all_strings(ItemView matched);

// ---------------------------------------------------------------- children

// The direct children of a dict-like Result's element and where their bytes
// come from (see child_item in result_items.cpp): a pack of all of them, a
// block holding the element, or the element's bytes of the moment.
struct ChildData {
    Encoding encoding = Encoding::Utf8;
    EntityRef entities;                // of the document, given to new blocks
    ChildRefs refs;                    // document order, offsets into the element
    InlineVec<Bytes, 8> names;         // per child; decoded to UTF-8 in legacy documents
    std::vector<std::string> decoded;  // storage of decoded names (reserved up front)
    SharedString pack;                 // the children's bytes back to back, when small
    InlineVec<std::size_t, 9> pack_at; // child i is [pack_at[i], pack_at[i + 1]) of the pack
    SharedString block;                // holds the element at offset `base`, when set
    std::size_t base = 0;
    Bytes element;                     // else valid while its ElementBytes lives (empty with a pack)
    // Children whose expansions did not fit the reading's budget: they are
    // kept without the entities. Empty when all fit (or nothing was charged).
    std::vector<bool> unpaid;
    // The children lie in an xml:space="preserve" scope (the element's own,
    // or the one it lies in).
    bool preserve = false;
};

// The TypeError of `Result.<method>()` on a Result of mode `m` (never the
// dict-like mode); returns nullptr.
PyObject* not_dict_like(const char* method, Mode m);

// The children of a dict-like Result, read from `eb` (acquired here). With
// `hold` the bytes are kept in a shared block, for iterators that outlive
// the call. Nothing with a Python error set. A Result over a buffer that was
// rewritten since its view was made can have stopped being dict-like: that
// is the TypeError `Result.<method>()` raises on such a Result, never an
// internal failure.
std::optional<ChildData> dict_children(ItemView matched, ElementBytes& eb, bool hold, const char* method);
// The same from children already found over `eb` (item is its element).
ChildData child_data(const PyItem& item, const ElementBytes& eb, ChildRefs&& refs, bool hold);
// The children grouped by name.
inline ChildGrouping group_children(const ChildData& data) {
    return group_child_names(data.names.data(), data.names.size());
}

// A Result of the children `members[0..n)` (indices into data.refs).
PyObject* children_result(const ModuleState& st, const ChildData& data, const std::size_t* members, std::size_t n);
PyObject* child_result(const ModuleState& st, const ChildData& data, std::size_t index);

// The names of the groups (first occurrences), in order.
std::vector<Bytes> group_names(const ChildData& data, const ChildGrouping& groups);
// Names decoded as strict UTF-8. A malformed document can hold a name that
// is not (`<\xff/>`): that is bad input, so ValueError with the decoding
// message, as `value` raises, not an internal failure.
bool names_are_utf8(const std::vector<Bytes>& names);

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

// Each made with the type of the module state `st`; an iterator finds the
// state again from its own type for the Results it makes.
PyObject* char_iter_new(const ModuleState& st, std::string text);
PyObject* item_iter_new(const ModuleState& st, PyObject* parent);
PyObject* child_key_iter_new(const ModuleState& st, std::vector<std::string> names);  // names valid UTF-8
// A ResultChildKeyIter over the unique child names of a dict-like Result.
// `method` names the call for the TypeError when it no longer is dict-like.
PyObject* keys_iter_of(const ModuleState& st, ItemView matched, const char* method);
PyObject* child_item_iter_new(const ModuleState& st, ChildData data, ChildGrouping groups);  // names valid UTF-8
PyObject* child_value_iter_new(const ModuleState& st, ChildData data, ChildGrouping groups);
PyObject* child_iter_new(const ModuleState& st, ChildData data);

PyObject* view_new(PyTypeObject* type, PyObject* parent);

}  // namespace quelmar::py
