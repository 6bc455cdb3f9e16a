// The Result class: values and conversions, indexing, iteration, relative
// queries and the dict-like view methods; parse().
#include <new>
#include <string>

#include "common/text.hpp"
#include "common/utf8.hpp"
#include "engine/scalar.hpp"
#include "pyext/result_impl.hpp"

namespace quelmar::py {

namespace {

const char* const kMsgIndexRange = "Result index out of range";
const char* const kMsgBadKey = "Result indices must be integers, slices, or strings";
const char* const kMsgStringKey = "string keys are only valid on dict-like Result; this Result is ";
const char* const kMsgSliceOnDict = "slice keys are not supported on dict-like Result";
const char* const kMsgGetMulti =
    "Result.get(path) is not supported on a multi-element Result; iterate the Result or pick an index first";
const char* const kMsgGetManyMulti =
    "Result.get_many(paths) is not supported on a multi-element Result; iterate the Result or pick an index first";
const char* const kMsgPathsEntry = "paths must be a list of str or quelmar.Path";

// ================================================================ lifecycle
//
// Garbage collection. A Result refers to Python objects only through Whole
// and Slice items, whose sources are the caller's document objects. Exact
// str and bytes are not containers, so no cycle can pass through such a
// Result; but a subclass instance (class S(str) with an attribute) or a
// bytearray subclass can point back at the Result. The type therefore
// supports GC, but only the Results that hold such a source take part: they
// are tracked and carry a mark on their first item, which result_is_gc
// reports. Every other Result (children, engine output over exact bytes or
// str) is not a GC object to the interpreter at all, so a dict or list
// value made of them is left untracked and a million dict values cost the
// collector nothing (it traversed them all at every full collection, half
// the time of **.review with values).

bool needs_tracking(ItemView items) {
    for (const PyItem& it : items)
        if (it.has_source() && PyObject_IS_GC(it.source())) return true;
    return false;
}

int result_traverse(PyObject* self, visitproc visit, void* arg) {
    for (const PyItem& it : items_of(self))
        if (it.has_source()) Py_VISIT(it.source());
    Py_VISIT(Py_TYPE(self));
    return 0;
}

int result_is_gc(PyObject* self) { return Py_SIZE(self) > 0 && result_items(self)[0].marked(); }

// Destroys the items of a Result. The size drops to zero first, so that code
// run by a decref sees an empty Result.
void drop_items(PyObject* self) {
    PyItem* items = result_items(self);
    const Py_ssize_t n = Py_SIZE(self);
    Py_SET_SIZE(self, 0);
    for (Py_ssize_t i = 0; i < n; ++i) items[i].~PyItem();
}

int result_clear(PyObject* self) {
    // Only unreachable Results are cleared. Each item lets its source go
    // (which breaks the cycle) and becomes an empty text; the first keeps
    // the mark, so that the object stays what the collector took it for.
    PyItem* items = result_items(self);
    const Py_ssize_t n = Py_SIZE(self);
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyItem dead(std::move(items[i]));
        if (i == 0) items[0].set_mark();
    }
    return 0;
}

void result_dealloc(PyObject* self) {
    PyTypeObject* tp = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    drop_items(self);
    tp->tp_free(self);
    Py_DECREF(tp);
}

PyObject* one_item_result(const ModuleState& st, const PyItem& item) { return result_new_one(st, item.clone_ref()); }

// ================================================================ values (4.2)

PyObject* dict_value(const ModuleState& st, const ChildData& data) {
    const ChildGrouping groups = group_children(data);
    PyRef dict = PyRef::steal(PyDict_New());
    if (!dict) return nullptr;
    for (std::size_t k = 0; k < groups.size(); ++k) {
        PyRef key = PyRef::steal(str_strict(data.names[groups.first[k]]));
        if (!key) return nullptr;
        const std::size_t from = groups.offsets[k];
        PyRef value = PyRef::steal(children_result(st, data, &groups.members[from], groups.offsets[k + 1] - from));
        if (!value || PyDict_SetItem(dict.get(), key.get(), value.get()) < 0) return nullptr;
    }
    return dict.release();
}

PyObject* list_value(const ModuleState& st, ItemView m) {
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(m.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < m.size(); ++i) {
        PyObject* r = one_item_result(st, m[i]);
        if (r == nullptr) return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), r);
    }
    return list.release();
}

// A scalar's text is checked as strict UTF-8 before it is trimmed. Trimming
// removes whole white-space characters, which are valid UTF-8, so the text is
// valid exactly when its trimmed form is: a number (ASCII) needs no check, and
// a string is checked by the interpreter as it decodes it; only a failure
// runs our check, over the untrimmed text, for the message.
PyObject* str_of_trimmed(Bytes text, Bytes trimmed) {
    PyObject* s = new_str(trimmed);
    if (s == nullptr && PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) {
        PyErr_Clear();
        if (require_utf8(text)) return new_str(trimmed);  // not expected: the two checks agree
    }
    return s;
}

// The value of a scalar Result from its first item's text, as trimmed for
// the item (ScalarProbe::trimmed_text).
PyObject* scalar_value(Bytes text, Bytes trimmed) {
    const ScalarKind k = classify_scalar(trimmed);
    switch (k.kind) {
        case ScalarKind::Kind::Int: return PyLong_FromLongLong(k.int_value);
        case ScalarKind::Kind::Float: return PyFloat_FromDouble(k.float_value);
        case ScalarKind::Kind::Str: break;
    }
    return str_of_trimmed(text, trimmed);
}

PyObject* value_of(PyObject* self) {
    const ItemView m = items_of(self);
    ScalarProbe probe;
    ChildRefs children;  // a dict-like element's, found in the same pass
    auto mode = probe.run(m, &children);
    if (!mode) return nullptr;
    switch (*mode) {
        case Mode::Empty: Py_RETURN_NONE;
        case Mode::ScalarLike: return scalar_value(probe.text(), probe.trimmed_text());
        case Mode::Multi: return list_value(state_for(self), m);
        case Mode::DictElement:
            return dict_value(state_for(self), child_data(m[0], probe.element(), std::move(children), false));
    }
    return nullptr;
}

PyObject* result_get_value(PyObject* self, void*) {
    return guarded([&] { return value_of(self); });
}

PyObject* type_of(PyObject* self) {
    ScalarProbe probe;
    auto mode = probe.run(items_of(self));
    if (!mode) return nullptr;
    PyTypeObject* t = nullptr;
    switch (*mode) {
        case Mode::Empty: Py_RETURN_NONE;
        case Mode::ScalarLike:
            // A number is ASCII, so only a string needs the UTF-8 check.
            switch (classify_scalar(probe.trimmed_text()).kind) {
                case ScalarKind::Kind::Int: t = &PyLong_Type; break;
                case ScalarKind::Kind::Float: t = &PyFloat_Type; break;
                case ScalarKind::Kind::Str:
                    if (!require_utf8(probe.text())) return nullptr;
                    t = &PyUnicode_Type;
                    break;
            }
            break;
        case Mode::Multi: t = &PyList_Type; break;
        case Mode::DictElement: t = &PyDict_Type; break;
    }
    return Py_NewRef(reinterpret_cast<PyObject*>(t));
}

PyObject* result_get_type(PyObject* self, void*) {
    return guarded([&] { return type_of(self); });
}

PyObject* result_exists(PyObject* self, PyObject*) { return PyBool_FromLong(!items_of(self).empty()); }

PyObject* to_str_impl(PyObject* self) {
    ItemView m = items_of(self);
    ScalarProbe probe;
    auto mode = probe.run(m);
    if (!mode) return nullptr;
    switch (*mode) {
        case Mode::Empty: return new_str("");
        case Mode::ScalarLike: return str_of_trimmed(probe.text(), probe.trimmed_text());
        case Mode::DictElement:
        case Mode::Multi: break;
    }
    std::string joined;
    for (std::size_t i = 0; i < m.size(); ++i) {
        auto raw = item_raw(m[i]);
        if (!raw) return nullptr;
        if (i > 0) joined.push_back('\n');
        joined += utf8_valid(*raw) ? *raw : utf8_lossy(*raw);
    }
    return new_str(joined);
}

PyObject* result_to_str(PyObject* self, PyObject*) {
    return guarded([&] { return to_str_impl(self); });
}

PyObject* result_to_int(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        ItemView m = items_of(self);
        if (m.empty()) return PyLong_FromLong(0);
        auto text = item_text(m[0]);
        return text ? PyLong_FromLongLong(lenient_int(*text)) : nullptr;
    });
}

PyObject* result_to_float(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        ItemView m = items_of(self);
        if (m.empty()) return PyFloat_FromDouble(0.0);
        auto text = item_text(m[0]);
        return text ? PyFloat_FromDouble(lenient_float(*text)) : nullptr;
    });
}

PyObject* result_to_bool(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        ScalarProbe probe;
        auto mode = probe.run(items_of(self));
        if (!mode) return nullptr;
        if (*mode == Mode::Empty) Py_RETURN_FALSE;
        if (*mode != Mode::ScalarLike) Py_RETURN_TRUE;
        const Bytes text = probe.text();
        // The keyword table sees the untrimmed text; the fallback trims.
        if (utf8_valid(text))
            if (auto k = bool_keyword(text)) return PyBool_FromLong(*k);
        return PyBool_FromLong(lenient_int(text) != 0);
    });
}

int result_bool(PyObject* self) {
    PyRef v = PyRef::steal(guarded([&] { return value_of(self); }));
    return v ? PyObject_IsTrue(v.get()) : -1;
}

Py_ssize_t result_length(PyObject* self) { return static_cast<Py_ssize_t>(items_of(self).size()); }

// int(r) / float(r): the builtins of that name applied to `value`.
PyObject* call_builtin_on_value(PyObject* self, const char* name) {
    PyRef value = PyRef::steal(value_of(self));
    if (!value) return nullptr;
    PyRef builtins = PyRef::steal(PyImport_ImportModule("builtins"));
    if (!builtins) return nullptr;
    PyRef fn = PyRef::steal(PyObject_GetAttrString(builtins.get(), name));
    if (!fn) return nullptr;
    return PyObject_CallOneArg(fn.get(), value.get());
}

PyObject* result_int(PyObject* self) {
    return guarded([&]() -> PyObject* {
        PyRef r = PyRef::steal(call_builtin_on_value(self, "int"));
        if (!r) return nullptr;
        const long long x = PyLong_AsLongLong(r.get());
        if (x == -1 && PyErr_Occurred()) return nullptr;
        return PyLong_FromLongLong(x);
    });
}

PyObject* result_float(PyObject* self) {
    return guarded([&]() -> PyObject* {
        PyRef r = PyRef::steal(call_builtin_on_value(self, "float"));
        if (!r) return nullptr;
        const double x = PyFloat_AsDouble(r.get());
        if (x == -1.0 && PyErr_Occurred()) return nullptr;
        return PyFloat_FromDouble(x);
    });
}

// "[a, b]" or "[a, b, ...]" from the first (at most) two pieces.
std::string short_list(const std::string* pieces, std::size_t shown, bool more) {
    std::string s = "[";
    for (std::size_t i = 0; i < shown; ++i) {
        if (i > 0) s += ", ";
        s += pieces[i];
    }
    if (more) s += ", ...";
    s += "]";
    return s;
}

PyObject* repr_impl(PyObject* self) {
    ItemView m = items_of(self);
    ScalarProbe probe;
    ChildRefs refs;
    auto mode = probe.run(m, &refs);
    if (!mode) return nullptr;
    switch (*mode) {
        case Mode::Empty: return new_str("None");
        case Mode::ScalarLike: {
            PyRef v = PyRef::steal(scalar_value(probe.text(), probe.trimmed_text()));
            return v ? PyObject_Str(v.get()) : nullptr;
        }
        case Mode::DictElement: {
            const ChildData data = child_data(m[0], probe.element(), std::move(refs), false);
            const auto names = group_names(data, group_children(data));
            std::string shown[2];
            const std::size_t n = std::min<std::size_t>(names.size(), 2);
            for (std::size_t i = 0; i < n; ++i) shown[i] = utf8_lossy(names[i]);
            return new_str("<Result type=dict, keys=" + short_list(shown, n, names.size() > 2) + ">");
        }
        case Mode::Multi: {
            std::string shown[2];
            for (std::size_t i = 0; i < 2; ++i) {
                PyRef child = PyRef::steal(one_item_result(state_for(self), m[i]));
                if (!child) return nullptr;
                PyRef r = PyRef::steal(PyObject_Repr(child.get()));
                if (!r) return nullptr;
                auto u = str_utf8(r.get());
                if (!u) return nullptr;
                shown[i] = std::string(*u);
            }
            return new_str("<Result type=list, value=" + short_list(shown, 2, m.size() > 2) + ">");
        }
    }
    return nullptr;
}

PyObject* result_repr(PyObject* self) {
    return guarded([&] { return repr_impl(self); });
}

// Equality; -1 with a Python error set.
int equal_to(PyObject* self, PyObject* other) {
    ItemView m = items_of(self);
    if (is_result(state_for(self), other) || (!PyUnicode_Check(other) && is_of_any_module(other, &ModuleState::result))) {
        auto mine = all_strings(m);
        if (!mine) return -1;
        auto theirs = all_strings(items_of(other));
        if (!theirs) return -1;
        return *mine == *theirs;
    }
    if (PyList_Check(other)) {
        std::vector<std::string> wanted;
        const Py_ssize_t n = PyList_GET_SIZE(other);
        wanted.reserve(static_cast<std::size_t>(n));
        for (Py_ssize_t i = 0; i < n; ++i) {
            PyObject* e = PyList_GET_ITEM(other, i);
            if (!PyUnicode_Check(e)) return 0;
            auto u = str_utf8(e);
            if (!u) {  // lone surrogates: equal to no text of ours
                PyErr_Clear();
                return 0;
            }
            wanted.emplace_back(*u);
        }
        auto mine = all_strings(m);
        if (!mine) return -1;
        return *mine == wanted;
    }
    if (PyUnicode_Check(other)) {
        if (m.empty()) return 0;
        auto text = item_text(m[0]);
        if (!text) return -1;
        if (!utf8_valid(*text)) return 0;
        auto u = str_utf8(other);
        if (!u) {
            PyErr_Clear();
            return 0;
        }
        return *text == *u;
    }
    return 0;
}

PyObject* result_richcompare(PyObject* self, PyObject* other, int op) {
    if (op != Py_EQ && op != Py_NE) Py_RETURN_NOTIMPLEMENTED;
    PyObject* r = guarded([&]() -> PyObject* {
        const int eq = equal_to(self, other);
        if (eq < 0) return nullptr;
        return PyBool_FromLong(op == Py_EQ ? eq : !eq);
    });
    return r;
}

// ================================================================ indexing (4.3)

// r["name"]: the element is read once, for its mode and its children.
PyObject* string_key(PyObject* self, PyObject* key) {
    ScalarProbe probe;
    ChildRefs refs;
    ItemView m = items_of(self);
    auto mode = probe.run(m, &refs);
    if (!mode) return nullptr;
    if (*mode != Mode::DictElement) {
        PyErr_Format(PyExc_TypeError, "%s%s", kMsgStringKey, mode_word(*mode));
        return nullptr;
    }
    auto name = str_utf8(key);
    if (!name) return nullptr;
    const ChildData data = child_data(m[0], probe.element(), std::move(refs), false);
    std::vector<std::size_t> members;
    for (std::size_t i = 0; i < data.names.size(); ++i)
        if (data.names[i] == *name) members.push_back(i);
    if (members.empty()) {
        PyErr_SetObject(PyExc_KeyError, key);
        return nullptr;
    }
    return children_result(state_for(self), data, members.data(), members.size());
}

// The untrimmed text of a scalar Result as a Python str (strict UTF-8).
PyObject* scalar_str(ItemView m) {
    auto text = item_text(m[0]);
    return text ? str_strict(*text) : nullptr;
}

PyObject* slice_key(PyObject* self, Mode mode, PyObject* key) {
    ItemView m = items_of(self);
    switch (mode) {
        case Mode::DictElement: PyErr_SetString(PyExc_KeyError, kMsgSliceOnDict); return nullptr;
        case Mode::Empty: return result_new_empty(state_for(self));
        case Mode::ScalarLike: {
            // Python's own str slicing: code points, the slice rules, and
            // the platform's error for a zero step.
            PyRef s = PyRef::steal(scalar_str(m));
            return s ? PyObject_GetItem(s.get(), key) : nullptr;
        }
        case Mode::Multi: break;
    }
    Py_ssize_t start = 0, stop = 0, step = 0;
    if (PySlice_Unpack(key, &start, &stop, &step) < 0) return nullptr;
    const Py_ssize_t count = PySlice_AdjustIndices(static_cast<Py_ssize_t>(m.size()), &start, &stop, step);
    return result_build(state_for(self), static_cast<std::size_t>(count), [&](std::size_t k) {
        return m[static_cast<std::size_t>(start + static_cast<Py_ssize_t>(k) * step)].clone_ref();
    });
}

PyObject* int_key(PyObject* self, Mode mode, PyObject* key) {
    const long long index = PyLong_AsLongLong(key);
    if (index == -1 && PyErr_Occurred()) {
        PyErr_SetString(PyExc_TypeError, kMsgBadKey);
        return nullptr;
    }
    ItemView m = items_of(self);
    switch (mode) {
        case Mode::Empty: PyErr_SetString(PyExc_IndexError, kMsgIndexRange); return nullptr;
        case Mode::DictElement: {
            PyRef k = PyRef::steal(PyLong_FromLongLong(index));
            if (k) PyErr_SetObject(PyExc_KeyError, k.get());
            return nullptr;
        }
        case Mode::Multi: {
            const auto n = static_cast<long long>(m.size());
            const long long i = index < 0 ? index + n : index;
            if (i < 0 || i >= n) {
                PyErr_SetString(PyExc_IndexError, kMsgIndexRange);
                return nullptr;
            }
            return one_item_result(state_for(self), m[static_cast<std::size_t>(i)]);
        }
        case Mode::ScalarLike: break;
    }
    PyRef s = PyRef::steal(scalar_str(m));
    if (!s) return nullptr;
    const auto n = static_cast<long long>(PyUnicode_GET_LENGTH(s.get()));
    const long long i = index < 0 ? index + n : index;
    if (i < 0 || i >= n) {
        PyErr_SetString(PyExc_IndexError, kMsgIndexRange);
        return nullptr;
    }
    const auto at = static_cast<Py_ssize_t>(i);
    return PyUnicode_Substring(s.get(), at, at + 1);
}

PyObject* result_subscript(PyObject* self, PyObject* key) {
    return guarded([&]() -> PyObject* {
        if (PyUnicode_Check(key)) return string_key(self, key);
        auto mode = result_mode(items_of(self));
        if (!mode) return nullptr;
        if (PySlice_Check(key)) return slice_key(self, *mode, key);
        return int_key(self, *mode, key);
    });
}

PyObject* iter_impl(PyObject* self) {
    ItemView m = items_of(self);
    auto mode = result_mode(m);
    if (!mode) return nullptr;
    switch (*mode) {
        case Mode::Empty: {
            PyRef list = PyRef::steal(PyList_New(0));
            return list ? PyObject_GetIter(list.get()) : nullptr;
        }
        case Mode::ScalarLike: {
            auto text = item_text(m[0]);
            return text ? char_iter_new(state_for(self), std::move(*text)) : nullptr;
        }
        case Mode::DictElement: return keys_iter_of(state_for(self), m, "keys");
        case Mode::Multi: return item_iter_new(state_for(self), self);
    }
    return nullptr;
}

PyObject* result_iter(PyObject* self) {
    return guarded([&] { return iter_impl(self); });
}

// ================================================================ relative queries

PyObject* raise_engine_error(const EngineError& err) {
    return raise_message(PyExc_ValueError, err.message());
}

PyObject* get_impl(PyObject* self, PyObject* path) {
    if (!PyUnicode_Check(path)) {
        raise_arg_type("path", path, "str");
        return nullptr;
    }
    const ModuleState& st = state_for(self);
    ItemView m = items_of(self);
    if (m.size() >= 2) {
        PyErr_SetString(PyExc_ValueError, kMsgGetMulti);
        return nullptr;
    }
    if (PyUnicode_GET_LENGTH(path) == 0) return result_new_empty(st);
    auto text = str_utf8(path);
    if (!text) return nullptr;
    auto program = compile_text(*text);
    if (!program) return nullptr;
    if (m.empty() || !m[0].is_element()) return result_new_empty(st);
    ElementBytes eb;
    if (!eb.acquire(m[0])) return nullptr;
    // A parse() Result is a whole document: paths start at its root element.
    auto found = m[0].kind() == PyItem::Kind::Whole ? run_with(**program, eb.source_bytes(), false, eb.unicode())
                                                  : run_in_element(**program, eb.bytes(), eb.coding(), m[0].preserve());
    if (!found) return raise_engine_error(found.error());
    return result_new(lift(st, std::move(found).value()));
}

PyObject* result_get(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"path"};
    PyObject* a[1];
    if (!parse_args("get", args, nargs, kwnames, names, a)) return nullptr;
    return guarded([&] { return get_impl(self, a[0]); });
}

PyObject* get_many_impl(PyObject* self, PyObject* paths) {
    if (!PyList_Check(paths)) {
        raise_arg_type("paths", paths, "list");
        return nullptr;
    }
    const ModuleState& st = state_for(self);
    ItemView m = items_of(self);
    if (m.size() >= 2) {
        PyErr_SetString(PyExc_ValueError, kMsgGetManyMulti);
        return nullptr;
    }
    // Nothing below runs Python code, so the list cannot change under us;
    // its size is still re-read on every round.
    std::vector<std::optional<ProgramPtr>> entries;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(paths); ++i) {
        PyObject* e = PyList_GET_ITEM(paths, i);
        if (PyUnicode_Check(e)) {
            if (PyUnicode_GET_LENGTH(e) == 0) {
                entries.emplace_back();
                continue;
            }
            auto text = str_utf8(e);
            if (!text) return nullptr;
            auto program = compile_text(*text);
            if (!program) return nullptr;
            entries.emplace_back(std::move(*program));
        } else if (const ProgramPtr* p = path_program(st, e)) {
            entries.emplace_back(*p);
        } else {
            PyErr_SetString(PyExc_TypeError, kMsgPathsEntry);
            return nullptr;
        }
    }
    PyRef out = PyRef::steal(PyList_New(0));
    if (!out) return nullptr;
    auto append = [&](PyObject* r) {
        PyRef ref = PyRef::steal(r);
        return ref && PyList_Append(out.get(), ref.get()) == 0;
    };
    if (m.empty() || !m[0].is_element()) {
        for (std::size_t i = 0; i < entries.size(); ++i)
            if (!append(result_new_empty(st))) return nullptr;
        return out.release();
    }
    std::vector<const Program*> programs;
    for (const auto& e : entries)
        if (e) programs.push_back(e->get());
    std::vector<Items> found;
    ElementBytes eb;
    if (!eb.acquire(m[0])) return nullptr;
    if (!programs.empty()) {
        auto r = m[0].kind() == PyItem::Kind::Whole ? run_many(programs, eb.source_bytes(), false, eb.unicode())
                                                  : run_many_in_element(programs, eb.bytes(), eb.coding(), m[0].preserve());
        if (!r) return raise_engine_error(r.error());
        found = std::move(r).value();
    }
    std::size_t next = 0;
    for (const auto& e : entries) {
        PyObject* r = nullptr;
        if (e && next < found.size()) r = result_new(lift(st, std::move(found[next++])));
        else r = result_new_empty(st);
        if (!append(r)) return nullptr;
    }
    return out.release();
}

PyObject* result_get_many(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"paths"};
    PyObject* a[1];
    if (!parse_args("get_many", args, nargs, kwnames, names, a)) return nullptr;
    return guarded([&] { return get_many_impl(self, a[0]); });
}

// ================================================================ views (4.4)

PyObject* make_view(PyObject* self, PyTypeObject* type, const char* method) {
    return guarded([&]() -> PyObject* {
        auto mode = result_mode(items_of(self));
        if (!mode) return nullptr;
        if (*mode != Mode::DictElement) return not_dict_like(method, *mode);
        return view_new(type, self);
    });
}

PyObject* result_keys(PyObject* self, PyObject*) { return make_view(self, state_for(self).keys_view, "keys"); }
PyObject* result_values(PyObject* self, PyObject*) { return make_view(self, state_for(self).values_view, "values"); }
PyObject* result_items(PyObject* self, PyObject*) { return make_view(self, state_for(self).items_view, "items"); }
PyObject* result_children(PyObject* self, PyObject*) {
    return make_view(self, state_for(self).children_view, "children");
}

// ================================================================ type

#define QUELMAR_FASTCALL(f) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f))

PyMethodDef result_methods[] = {
    {"exists", result_exists, METH_NOARGS, "exists($self)\n--\n\n"},
    {"to_int", result_to_int, METH_NOARGS, "to_int($self)\n--\n\n"},
    {"to_float", result_to_float, METH_NOARGS, "to_float($self)\n--\n\n"},
    {"to_bool", result_to_bool, METH_NOARGS, "to_bool($self)\n--\n\n"},
    {"to_str", result_to_str, METH_NOARGS, "to_str($self)\n--\n\n"},
    {"get", QUELMAR_FASTCALL(result_get), METH_FASTCALL | METH_KEYWORDS, "get($self, path)\n--\n\n"},
    {"get_many", QUELMAR_FASTCALL(result_get_many), METH_FASTCALL | METH_KEYWORDS, "get_many($self, paths)\n--\n\n"},
    {"keys", result_keys, METH_NOARGS,
     "keys($self)\n--\n\nReturn a view of the dict-mode Result's child element keys (unique,\n"
     "first-occurrence order). Errors with `TypeError` for non-dict modes."},
    {"values", result_values, METH_NOARGS,
     "values($self)\n--\n\nReturn a view of the dict-mode Result's child values. For each unique\n"
     "key, the value is a Result over all direct children with that tag."},
    {"items", result_items, METH_NOARGS,
     "items($self)\n--\n\nReturn a view of the dict-mode Result's `(key, value_Result)` pairs."},
    {"children", result_children, METH_NOARGS,
     "children($self)\n--\n\nReturn a view of the dict-mode Result's `(name, value_Result)` pairs for\n"
     "every direct child element, in document order. Unlike `items()`, repeated\n"
     "tag names are not collapsed: each child element yields its own pair."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef result_getset[] = {
    {"value", result_get_value, nullptr,
     "Return the value held by this Result in its natural Python type:\n"
     "  - `None`          when the Result is empty\n"
     "  - `int` / `float` for numeric scalars\n"
     "  - `str`           for text scalars\n"
     "  - `list[Result]`  for multiple items\n"
     "  - `dict[str, Result]` for an element with child elements",
     nullptr},
    {"type_", result_get_type, nullptr,
     "Return the Python type that best describes the value held by this Result:\n"
     "  - `None`  when the Result is empty (no match)\n"
     "  - `int`   for a single numeric value parseable as integer\n"
     "  - `float` for a single numeric value parseable as float\n"
     "  - `str`   for a single scalar or a text-only element\n"
     "  - `list`  when multiple items are present\n"
     "  - `dict`  for a single element that has child elements",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

const char result_doc[] =
    "Python `Result` class \xe2\x80\x94 wraps a list of matched items. Constructed by\n"
    "`py_get` / `py_parse` / `py_get_many` etc. and dispatches `__getitem__`,\n"
    "`__iter__`, `to_str`, `to_int`, and so on based on the number and type of\n"
    "items held (Empty / ScalarLike / DictElement / Multi mode).";

PyType_Slot result_slots[] = {
    {Py_tp_doc, const_cast<char*>(result_doc)},
    {Py_tp_dealloc, reinterpret_cast<void*>(result_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(result_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(result_clear)},
    {Py_tp_is_gc, reinterpret_cast<void*>(result_is_gc)},
    {Py_tp_repr, reinterpret_cast<void*>(result_repr)},
    {Py_tp_richcompare, reinterpret_cast<void*>(result_richcompare)},
    {Py_tp_iter, reinterpret_cast<void*>(result_iter)},
    {Py_tp_methods, result_methods},
    {Py_tp_getset, result_getset},
    {Py_nb_bool, reinterpret_cast<void*>(result_bool)},
    {Py_nb_int, reinterpret_cast<void*>(result_int)},
    {Py_nb_float, reinterpret_cast<void*>(result_float)},
    {Py_mp_length, reinterpret_cast<void*>(result_length)},
    {Py_mp_subscript, reinterpret_cast<void*>(result_subscript)},
    {0, nullptr},
};

PyType_Spec result_spec = {
    "quelmar._quelmar.Result",
    static_cast<int>(kResultItemsOffset),
    static_cast<int>(sizeof(PyItem)),
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    result_slots,
};

// ================================================================ parse

PyObject* parse_impl(const ModuleState& st, PyObject* data) {
    if (!PyBytes_Check(data)) {
        if (PyUnicode_Check(data)) {
            // Only proves that the UTF-8 form exists (the string caches it).
            if (!str_utf8(data)) return nullptr;
        } else {
            HeldBuffer holder;
            switch (holder.acquire(data)) {
                case HeldBuffer::Status::Ok: break;
                case HeldBuffer::Status::NotABuffer: PyErr_SetString(PyExc_ValueError, kMsgNotDocument); return nullptr;
                case HeldBuffer::Status::NotContiguous:
                    PyErr_SetString(PyExc_ValueError, kMsgNotContiguous);
                    return nullptr;
            }
        }
    }
    return result_new_one(st, PyItem::make_whole(data));
}

}  // namespace

PyTypeObject* make_result_type(PyObject* module) {
    return reinterpret_cast<PyTypeObject*>(PyType_FromModuleAndSpec(module, &result_spec, nullptr));
}

PyObject* result_alloc(const ModuleState& st, std::size_t n) {
    if (n > static_cast<std::size_t>(PY_SSIZE_T_MAX / static_cast<Py_ssize_t>(sizeof(PyItem)))) {
        PyErr_NoMemory();
        return nullptr;
    }
    if (live_type(st.result) == nullptr) return nullptr;
    PyVarObject* self = PyObject_GC_NewVar(PyVarObject, st.result, static_cast<Py_ssize_t>(n));
    if (self == nullptr) return nullptr;
    Py_SET_SIZE(self, 0);
    return reinterpret_cast<PyObject*>(self);
}

PyObject* result_publish(PyObject* self) {
    if (needs_tracking(items_of(self))) {
        result_items(self)[0].set_mark();
        PyObject_GC_Track(self);
    }
    return self;
}

PyObject* result_new(LiftedItems&& items) {
    PyObject* self = items.release();
    return self != nullptr ? result_publish(self) : nullptr;
}

PyObject* result_new_one(const ModuleState& st, PyItem&& item) {
    PyObject* self = result_alloc(st, 1);
    if (self == nullptr) return nullptr;
    new (result_items(self)) PyItem(std::move(item));
    Py_SET_SIZE(self, 1);
    return result_publish(self);
}

PyObject* result_new_empty(const ModuleState& st) { return result_alloc(st, 0); }

PyObject* py_parse(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"data"};
    PyObject* a[1];
    if (!parse_args("parse", args, nargs, kwnames, names, a)) return nullptr;
    return guarded([&] { return parse_impl(module_state(module), a[0]); });
}

int add_result_types(PyObject* module, ModuleState& st) {
    if (add_type(module, make_result_type(module), &st.result) < 0) return -1;
    if (add_type(module, make_char_iter_type(module), &st.char_iter) < 0) return -1;
    if (add_type(module, make_item_iter_type(module), &st.item_iter) < 0) return -1;
    if (add_type(module, make_child_key_iter_type(module), &st.child_key_iter) < 0) return -1;
    if (add_type(module, make_child_value_iter_type(module), &st.child_value_iter) < 0) return -1;
    if (add_type(module, make_child_item_iter_type(module), &st.child_item_iter) < 0) return -1;
    if (add_type(module, make_child_iter_type(module), &st.child_iter) < 0) return -1;
    if (add_type(module, make_keys_view_type(module), &st.keys_view) < 0) return -1;
    if (add_type(module, make_values_view_type(module), &st.values_view) < 0) return -1;
    if (add_type(module, make_items_view_type(module), &st.items_view) < 0) return -1;
    if (add_type(module, make_children_view_type(module), &st.children_view) < 0) return -1;
    return 0;
}

}  // namespace quelmar::py
