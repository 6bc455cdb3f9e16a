// to_python(result): a Result as plain data (None, str, int, float, list,
// dict) that keeps what the document says.
//
//  - no item: None; one item: its value; several: a list of their values;
//  - a text item (attribute value, #text, a modifier's output): its text as
//    it is, a str; with numbers=True a number when the text is that
//    number's canonical spelling (canonical_number), so that by default one
//    field has one type in every record;
//  - an element: a dict when it has attributes or child elements, with
//    "@name" keys for the attributes (names as written), one key per child
//    name (a list of values where the name repeats, in document order) and
//    "#text" for its own text pieces, joined and trimmed (white space alone
//    is dropped); otherwise its trimmed text, or None when that is empty.
//    Inside an xml:space="preserve" scope (the element's own tag, or one
//    of the elements read around it) and with whitespace="keep", texts are
//    not trimmed: the spaces of `<w:t xml:space="preserve">grew </w:t>` are
//    part of the text.
//
// Elements are read in one reader pass with a stack of open elements, not
// by recursion, so the depth of a document costs memory, never the C stack.
// Texts, attribute values and names are decoded as everywhere in the Result
// layer (the document's encoding and entities, line ends normalised); text
// that is not UTF-8 raises the ValueError `value` raises.
#include "extra/to_python.hpp"

#include <cmath>
#include <string>
#include <unordered_map>
#include <vector>

#include "common/canonical.hpp"
#include "common/hash.hpp"
#include "common/text.hpp"
#include "engine/children.hpp"
#include "pyext/result_impl.hpp"
#include "xml/reader.hpp"
#include "xml/scan.hpp"

namespace quelmar::py {
namespace {

// ---------------------------------------------------------------- numbers

// The Python number a text is the canonical spelling of (classify_number),
// or nullptr without an error set when it is a text. An integer beyond
// int64 goes through the interpreter's own conversion, with its limit on
// digits: a number past that limit could not be printed either, so it stays
// a text.
PyObject* canonical_number(Bytes t) {
    const CanonicalNumber n = classify_number(t);
    switch (n.kind) {
        case CanonicalNumber::Kind::None: return nullptr;
        case CanonicalNumber::Kind::Int: return PyLong_FromLongLong(n.integer);
        case CanonicalNumber::Kind::Float: return PyFloat_FromDouble(n.real);
        case CanonicalNumber::Kind::BigInt: break;
    }
    const std::string text(t);
    PyObject* big = PyLong_FromString(text.c_str(), nullptr, 10);
    if (big == nullptr && PyErr_ExceptionMatches(PyExc_ValueError)) PyErr_Clear();
    return big;
}

// A text's value: with `numbers`, the number it spells canonically, else
// the text (strict UTF-8: ValueError with the decoding message).
PyObject* text_value(Bytes t, bool numbers) {
    if (numbers) {
        if (PyObject* n = canonical_number(t)) return n;
        if (PyErr_Occurred()) return nullptr;
    }
    return str_strict(t);
}

// ---------------------------------------------------------------- elements

// Keys made once per call: a name met again (the fields of 100,000
// records) reuses its str.
class KeyCache {
public:
    // The key of a tag name or (with `attribute`) of an attribute name,
    // borrowed from the cache; nullptr with a Python error.
    PyObject* get(Bytes name, bool attribute, Encoding encoding) {
        if (encoding != encoding_) {  // names are cached as their bytes read
            elements_.clear();
            attributes_.clear();
            encoding_ = encoding;
        }
        auto& map = attribute ? attributes_ : elements_;
        if (auto it = map.find(name); it != map.end()) return it->second.get();
        std::string decoded;
        Bytes text = name;
        if (encoding != Encoding::Utf8 && !is_ascii(name)) {
            // As the keys of dict-like Results: each malformed sequence of
            // a legacy encoding shows as U+FFFD.
            decode_lossy_to_utf8(encoding, name, decoded);
            text = decoded;
        }
        PyRef key;
        if (attribute) {
            std::string with_at;
            with_at.reserve(text.size() + 1);
            with_at.push_back('@');
            with_at.append(text);
            key = PyRef::steal(str_strict(with_at));
        } else {
            key = PyRef::steal(str_strict(text));
        }
        if (!key) return nullptr;
        PyObject* k = key.get();
        map.emplace(std::string(name), std::move(key));
        return k;
    }

private:
    static bool is_ascii(Bytes s) noexcept {
        for (char c : s)
            if (static_cast<unsigned char>(c) >= 0x80) return false;
        return true;
    }

    using Map = std::unordered_map<std::string, PyRef, KeyedHash, std::equal_to<>>;
    Map elements_;
    Map attributes_;
    Encoding encoding_ = Encoding::Utf8;
};

// Adds `value` (stolen) under `key` to `dict`: a second value under one key
// makes a list, later ones are appended to it. Element values are never
// lists, so a list found there is one made here.
bool add_value(PyObject* dict, PyObject* key, PyObject* value_new) {
    PyRef value = PyRef::steal(value_new);
    if (!value) return false;
    PyObject* old = PyDict_GetItemWithError(dict, key);  // borrowed
    if (old == nullptr) {
        if (PyErr_Occurred()) return false;
        return PyDict_SetItem(dict, key, value.get()) == 0;
    }
    if (PyList_CheckExact(old)) return PyList_Append(old, value.get()) == 0;
    PyRef list = PyRef::steal(PyList_New(2));
    if (!list) return false;
    PyList_SET_ITEM(list.get(), 0, Py_NewRef(old));
    PyList_SET_ITEM(list.get(), 1, value.release());
    return PyDict_SetItem(dict, key, list.get()) == 0;
}

class ElementReader {
public:
    // numbers: texts spelling a number canonically become numbers; keep:
    // texts are never trimmed (else trimmed outside xml:space="preserve").
    ElementReader(bool numbers, bool keep) : numbers_(numbers), keep_(keep) {}

    // The value of one element item; nullptr with a Python error. preserve:
    // the element is inside an xml:space="preserve" scope.
    PyObject* value(const PyItem& item, bool preserve) {
        ElementBytes eb;
        if (!eb.acquire(item)) return nullptr;
        const Coding coding = eb.coding();
        if (coding.encoding == Encoding::Utf8) {
            bool leaf = false;
            PyObject* v = utf8_leaf(eb.bytes(), coding, preserve, leaf);
            if (leaf) return v;
        }
        return by_events(eb.bytes(), coding, preserve);
    }

    PyObject* text(Bytes t) const { return text_value(t, numbers_); }

private:
    // An element open on the stack: its attributes and children so far (a
    // dict made at the first of them), its key in the parent and where its
    // own text starts in text_.
    struct Open {
        PyObject* dict = nullptr;  // owned
        PyObject* key = nullptr;   // borrowed from keys_
        std::size_t text_start = 0;
        bool preserve = false;  // inside xml:space="preserve"
    };

    // The text as handed out: trimmed unless kept.
    Bytes trimmed(Bytes text, bool preserve) const { return keep_ || preserve ? text : trim_unicode_ws(text); }

    // `<name>text</name>` in UTF-8, the common case, in one tag scan and one
    // search (as the engine reads such a leaf); `leaf` false when the
    // element is anything else.
    PyObject* utf8_leaf(Bytes e, const Coding& coding, bool preserve, bool& leaf) {
        if (e.size() < 2 || e[0] != '<' || e[1] == '/' || e[1] == '!' || e[1] == '?' || e[1] == '\0') return nullptr;
        const char* b = e.data();
        const char* end = b + e.size();
        const xml_scan::TagScan t = xml_scan::scan_tag(b + 1, end);
        if (t.gt == end || t.gt[-1] == '/') return nullptr;
        for (const char* p = t.name_end; p < t.gt; ++p)
            if (!xml_scan::is_ws(*p)) return nullptr;  // attributes
        const char* lt = xml_scan::find_byte(t.gt + 1, end, '<');
        if (end - lt < 2 || lt[1] != '/') return nullptr;
        leaf = true;
        Bytes text;
        unescape_with(Bytes(t.gt + 1, static_cast<std::size_t>(lt - t.gt - 1)), scratch_, text, coding.scope);
        return leaf_value(trimmed(text, preserve));
    }

    PyObject* leaf_value(Bytes text) const {
        if (text.empty()) Py_RETURN_NONE;
        return text_value(text, numbers_);
    }

    PyObject* by_events(Bytes e, const Coding& coding, bool preserve) {
        Reader reader(e, coding);
        const Encoding enc = reader.encoding();
        text_.clear();
        stack_.clear();
        struct Unwind {  // the dicts of elements still open when leaving
            std::vector<Open>& stack;
            ~Unwind() {
                for (Open& o : stack) Py_XDECREF(o.dict);
                stack.clear();
            }
        } unwind{stack_};
        for (;;) {
            Event ev = reader.read_event();
            switch (ev.kind) {
                case EventKind::Start:
                case EventKind::Empty: {
                    PyObject* key = nullptr;
                    if (!stack_.empty()) {
                        key = keys_.get(ev.name(), false, enc);
                        if (key == nullptr) return nullptr;
                    }
                    const XmlSpace space = tag_xml_space(ev.content, ev.name_len);
                    const bool inherited = stack_.empty() ? preserve : stack_.back().preserve;
                    stack_.push_back(Open{nullptr, key, text_.size(),
                                          space == XmlSpace::Unset ? inherited : space == XmlSpace::Preserve});
                    if (!read_attributes(reader, ev, enc)) return nullptr;
                    bool closed = ev.kind == EventKind::Empty;
                    Bytes raw;
                    if (!closed && reader.skip_leaf(raw)) {
                        // A leaf (the fields of a record): its text and end
                        // tag in one search.
                        Bytes text;
                        reader.unescape(raw, scratch_, text);
                        text_.append(text);
                        closed = true;
                    }
                    if (closed) {
                        PyObject* done = close();
                        if (done != nullptr || PyErr_Occurred()) return done;
                    }
                    break;
                }
                case EventKind::End:
                    if (!stack_.empty()) {
                        PyObject* done = close();
                        if (done != nullptr || PyErr_Occurred()) return done;
                    }
                    break;
                case EventKind::Text:
                case EventKind::CData:
                    if (!stack_.empty()) {
                        Bytes text;
                        if (ev.kind == EventKind::Text) reader.unescape(ev.content, scratch_, text);
                        else reader.decode(ev.content, scratch_, text);
                        text_.append(text);
                    }
                    break;
                case EventKind::Eof: {
                    // The input ended inside the element (malformed, or cut
                    // short): what was read counts, as if closed here.
                    if (stack_.empty()) Py_RETURN_NONE;
                    for (;;) {
                        PyObject* done = close();
                        if (done != nullptr || PyErr_Occurred()) return done;
                    }
                }
                default: break;
            }
        }
    }

    bool read_attributes(const Reader& reader, const Event& ev, Encoding enc) {
        AttrIter attrs(ev.content, ev.name_len);
        Attribute a;
        while (attrs.next(a)) {
            if (a.error) continue;
            PyObject* key = keys_.get(a.key, true, enc);
            if (key == nullptr) return false;
            Bytes text;
            reader.unescape_attribute(a.value, scratch_, text);
            Open& top = stack_.back();
            if (top.dict == nullptr && (top.dict = PyDict_New()) == nullptr) return false;
            // Attribute values stay strings, as users of xmltodict's
            // conventions expect ({"@id": "7"}); texts of elements become
            // numbers when spelled canonically.
            if (!add_value(top.dict, key, str_strict(text))) return false;
        }
        return true;
    }

    // Closes the innermost open element: its value goes into its parent,
    // or is returned (a new reference) when it is the outermost. nullptr
    // otherwise, with a Python error on failure.
    PyObject* close() {
        Open o = stack_.back();
        stack_.pop_back();
        PyRef dict = PyRef::steal(o.dict);
        const Bytes own = trimmed(Bytes(text_).substr(o.text_start), o.preserve);
        PyRef value;
        if (!dict) {
            value = PyRef::steal(leaf_value(own));
        } else {
            if (!own.empty()) {
                if (!text_key_) {
                    text_key_ = PyRef::steal(PyUnicode_InternFromString("#text"));
                    if (!text_key_) return nullptr;
                }
                PyRef text = PyRef::steal(text_value(own, numbers_));
                if (!text || PyDict_SetItem(dict.get(), text_key_.get(), text.get()) < 0) return nullptr;
            }
            value = std::move(dict);
        }
        text_.resize(o.text_start);
        if (!value) return nullptr;
        if (stack_.empty()) return value.release();
        Open& parent = stack_.back();
        if (parent.dict == nullptr && (parent.dict = PyDict_New()) == nullptr) return nullptr;
        add_value(parent.dict, o.key, value.release());  // a failure leaves its error set
        return nullptr;
    }

    const bool numbers_;
    const bool keep_;
    KeyCache keys_;
    PyRef text_key_;
    std::vector<Open> stack_;
    // The text of the open elements, outermost first: each one's pieces
    // from its text_start on, until a child opens; a child's are cut off
    // when it closes.
    std::string text_;
    std::string scratch_;
};

}  // namespace

PyObject* to_python(PyObject* result, bool numbers, bool keep) {
    const ItemView items = items_of(result);
    if (items.empty()) Py_RETURN_NONE;
    ElementReader reader(numbers, keep);
    auto one = [&](const PyItem& item) -> PyObject* {
        if (!item.is_element()) return reader.text(item.held_bytes());
        return reader.value(item, item.preserve());
    };
    if (items.size() == 1) return one(items[0]);
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(items.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < items.size(); ++i) {
        PyObject* v = one(items[i]);
        if (v == nullptr) return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), v);
    }
    return list.release();
}

}  // namespace quelmar::py
