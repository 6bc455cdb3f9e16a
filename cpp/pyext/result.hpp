// What a Result holds (PyItem) and the entry points the module functions use
// to wrap engine output: lift / lift_with_source and result_new.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "engine/item.hpp"
#include "pyext/binding.hpp"

namespace quelmar::py {

// One matched item. An element's bytes come from one of three sources:
//   Shared  an immutable byte string shared between items (atomic count);
//   Whole   a Python object (bytes, str or buffer) whose entire content is
//           the element: parse() only; the bytes are fetched again on every
//           use and a held buffer is released after the operation;
//   Slice   a str or bytes object and a [start, end) byte range into it.
// Text items own their bytes.
struct PyItem {
    enum class Kind : std::uint8_t { Text, Shared, Whole, Slice };
    Kind kind = Kind::Text;
    Encoding encoding = Encoding::Utf8;          // element items: the document's encoding
    std::string text;                            // Text
    std::shared_ptr<const std::string> shared;   // Shared
    PyRef source;                                // Whole, Slice
    std::uint64_t start = 0, end = 0;            // Slice

    static PyItem make_text(std::string bytes) {
        PyItem it;
        it.text = std::move(bytes);
        return it;
    }
    static PyItem make_shared(std::string bytes, Encoding e) {
        PyItem it;
        it.kind = Kind::Shared;
        it.encoding = e;
        it.shared = std::make_shared<const std::string>(std::move(bytes));
        return it;
    }
    static PyItem make_whole(PyObject* obj) {
        PyItem it;
        it.kind = Kind::Whole;
        it.source = PyRef::borrow(obj);
        return it;
    }
    static PyItem make_slice(PyObject* obj, std::uint64_t s, std::uint64_t e, Encoding enc) {
        PyItem it;
        it.kind = Kind::Slice;
        it.encoding = enc;
        it.source = PyRef::borrow(obj);
        it.start = s;
        it.end = e;
        return it;
    }

    bool is_element() const noexcept { return kind != Kind::Text; }
    // Element storage is shared, the source object gets one more reference;
    // only a Text item's bytes are copied.
    PyItem clone_ref() const;
};

using PyItems = std::vector<PyItem>;

// Engine items to PyItems, in order. With a source, spans become Slices of
// `source` (one new reference per span); `lift` follows evaluations without
// span output, where a span cannot occur (it becomes an empty element).
PyItems lift_with_source(Items&& items, PyObject* source);
PyItems lift(Items&& items);

// A new Result around `items` (moved in); nullptr with a Python error.
PyObject* result_new(PyItems&& items);
PyObject* result_new_empty();

}  // namespace quelmar::py
