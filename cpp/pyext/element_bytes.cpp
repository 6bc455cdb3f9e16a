// The pieces of the Result layer that only read items: the element bytes
// of an item and the strict and lenient UTF-8 texts. They need no module
// state, so the second module (quelmar._extra) is built with them too, to
// read the items of a Result.
#include <algorithm>

#include "common/utf8.hpp"
#include "engine/children.hpp"
#include "pyext/result_impl.hpp"

namespace quelmar::py {

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
        whole_.open(bytes_, false);
        bytes_ = whole_.bytes();
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
    if (whole_.transcoded() || unicode_) return Encoding::Utf8;
    if (item_ != nullptr && item_->kind() == PyItem::Kind::Whole) return document_encoding(bytes_);
    return item_ != nullptr ? item_->encoding() : Encoding::Utf8;
}

const EntityTable* ElementBytes::entities() const {
    if (item_ == nullptr) return nullptr;
    if (item_->kind() == PyItem::Kind::Shared) return item_->block() != nullptr ? item_->block()->entities() : nullptr;
    if (item_->kind() != PyItem::Kind::Whole) return nullptr;
    if (!whole_entities_read_) {
        whole_entities_read_ = true;
        whole_entities_ = document_entities(bytes_);
    }
    return whole_entities_.get();
}

// ---------------------------------------------------------------- UTF-8 texts

bool require_utf8(Bytes text) {
    if (auto err = utf8_check(text)) {
        raise_message(PyExc_ValueError, utf8_error_message(*err));
        return false;
    }
    return true;
}

PyObject* str_strict(Bytes text) {
    // The interpreter's decoder checks the text; ours only words the error.
    PyObject* s = new_str(text);
    if (s == nullptr && PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) {
        PyErr_Clear();
        if (require_utf8(text)) return new_str(text);  // not expected: the two checks agree
    }
    return s;
}

PyObject* str_lossy(Bytes text) { return utf8_valid(text) ? new_str(text) : new_str(utf8_lossy(text)); }

}  // namespace quelmar::py
