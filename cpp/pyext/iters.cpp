// The six Result iterators. Each takes what it needs when it is made and
// then produces one value per step; once exhausted it stays exhausted.
//
// Garbage collection: only ResultItemIter holds a Python reference (its
// parent Result), so only it supports GC. It has no tp_clear: like a tuple
// it never changes what it refers to, and any cycle through it also passes
// through the Result, whose tp_clear breaks it. The character and child
// iterators own plain bytes and strings and cannot be part of a cycle.
#include <string>
#include <vector>

#include "common/utf8.hpp"
#include "pyext/object_box.hpp"
#include "pyext/result_impl.hpp"

namespace quelmar::py {

namespace {

// A step that starts while another step of the same iterator is running
// (Python code re-entering through a finalizer) fails instead of seeing a
// half-updated cursor.
template <class T, PyObject* (*Step)(PyObject* self, T& st)>
PyObject* guarded_next(PyObject* self) {
    T& st = state_of<T>(self);
    if (st.busy) {
        PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
        return nullptr;
    }
    st.busy = true;
    PyObject* r = guarded([&] { return Step(self, st); });
    st.busy = false;
    return r;
}

#define QUELMAR_ITER_SLOTS(T, step, doc)                                                     \
    {Py_tp_doc, const_cast<char*>(doc)}, {Py_tp_dealloc, reinterpret_cast<void*>(box_dealloc<T>)}, \
        {Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},                           \
        {Py_tp_iternext, reinterpret_cast<void*>(guarded_next<T, step>)}

constexpr unsigned long kIterFlags =
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION;

PyTypeObject* make_type(PyObject* module, PyType_Spec* spec) {
    return reinterpret_cast<PyTypeObject*>(PyType_FromModuleAndSpec(module, spec, nullptr));
}

// ---------------------------------------------------------------- ResultCharIter

struct CharIter {
    std::string text;           // not validated when the iterator is made
    std::size_t position = 0;   // byte offset of the next code point
    // The remainder of `text` is checked once, at the first step: position
    // only ever advances over text that check found valid, so checking again
    // at every step (quadratic over a long text) would report nothing new.
    bool checked = false;
    std::optional<Utf8Error> error;
    bool busy = false;
};

PyObject* char_step(PyObject*, CharIter& st) {
    if (st.position >= st.text.size()) return nullptr;
    if (!st.checked) {
        st.error = utf8_check(Bytes(st.text).substr(st.position));
        st.checked = true;
    }
    if (st.error) {
        // The position never moved, so the offsets count from it.
        raise_message(PyExc_ValueError, utf8_error_message(*st.error, 0));
        return nullptr;
    }
    const char32_t cp = utf8_next(st.text, st.position);
    return PyUnicode_FromOrdinal(static_cast<int>(cp));
}

const char char_iter_doc[] =
    "Yields each Unicode code point of a Scalar/TextElement Result one at a\n"
    "time. The text bytes are materialized once at iter creation; iteration\n"
    "itself walks UTF-8 code points without further allocation per step.";

PyType_Slot char_iter_slots[] = {QUELMAR_ITER_SLOTS(CharIter, char_step, char_iter_doc), {0, nullptr}};
PyType_Spec char_iter_spec = {"quelmar._quelmar.ResultCharIter", box_size<CharIter>(), 0, kIterFlags,
                              char_iter_slots};

// ---------------------------------------------------------------- ResultItemIter

struct ItemIter {
    PyObject* parent = nullptr;  // strong reference to the Result
    std::size_t position = 0;
    bool busy = false;
    ItemIter() = default;
    explicit ItemIter(PyObject* p) noexcept : parent(Py_NewRef(p)) {}
    ItemIter(ItemIter&& o) noexcept : parent(std::exchange(o.parent, nullptr)), position(o.position) {}
    ItemIter& operator=(ItemIter&&) = delete;
    ~ItemIter() { Py_XDECREF(parent); }
};

PyObject* item_step(PyObject* self, ItemIter& st) {
    const ItemView items = items_of(st.parent);
    if (st.position >= items.size()) return nullptr;
    return result_new_one(state_for(self), items[st.position++].clone_ref());
}

int item_iter_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(state_of<ItemIter>(self).parent);
    Py_VISIT(Py_TYPE(self));
    return 0;
}

const char item_iter_doc[] =
    "Yields a single-item `Result` for each entry of a Multi-mode parent.\n"
    "Holds only a cursor and a borrowed reference to the parent Result; each\n"
    "step clones one `PyItem` (cheap) and wraps it in a fresh `Result`.";

PyType_Slot item_iter_slots[] = {
    QUELMAR_ITER_SLOTS(ItemIter, item_step, item_iter_doc),
    {Py_tp_traverse, reinterpret_cast<void*>(item_iter_traverse)},
    {0, nullptr},
};
PyType_Spec item_iter_spec = {"quelmar._quelmar.ResultItemIter", box_size<ItemIter>(), 0,
                              kIterFlags | Py_TPFLAGS_HAVE_GC, item_iter_slots};

// ---------------------------------------------------------------- ResultChildKeyIter

struct ChildKeyIter {
    std::vector<std::string> names;  // unique child names, valid UTF-8
    std::size_t position = 0;
    bool busy = false;
};

PyObject* child_key_step(PyObject*, ChildKeyIter& st) {
    if (st.position >= st.names.size()) return nullptr;
    return new_str(st.names[st.position++]);
}

const char child_key_iter_doc[] = "Yields each unique child tag name of a DictElement-mode Result.";

PyType_Slot child_key_iter_slots[] = {QUELMAR_ITER_SLOTS(ChildKeyIter, child_key_step, child_key_iter_doc),
                                      {0, nullptr}};
PyType_Spec child_key_iter_spec = {"quelmar._quelmar.ResultChildKeyIter", box_size<ChildKeyIter>(), 0, kIterFlags,
                                   child_key_iter_slots};

// ---------------------------------------------------------------- ResultChildItemIter / ResultChildValueIter

// The element copy, its children and their grouping by name are computed
// once, when the iterator is made; a step copies only the children it returns.
struct ChildGroupIter {
    ChildData data;
    ChildGrouping groups;
    std::size_t position = 0;  // index into groups.names
    bool busy = false;
};

// The Result of group k's children.
PyObject* group_result(PyObject* self, const ChildGroupIter& st, std::size_t k) {
    const std::size_t from = st.groups.offsets[k];
    return children_result(state_for(self), st.data, &st.groups.members[from], st.groups.offsets[k + 1] - from);
}

PyObject* child_item_step(PyObject* self, ChildGroupIter& st) {
    if (st.position >= st.groups.size()) return nullptr;
    const std::size_t k = st.position++;
    PyRef name = PyRef::steal(new_str(st.data.names[st.groups.first[k]]));
    if (!name) return nullptr;
    PyRef value = PyRef::steal(group_result(self, st, k));
    if (!value) return nullptr;
    return PyTuple_Pack(2, name.get(), value.get());
}

PyObject* child_value_step(PyObject* self, ChildGroupIter& st) {
    if (st.position >= st.groups.size()) return nullptr;
    return group_result(self, st, st.position++);
}

const char child_item_iter_doc[] = "Yields `(key_str, value_Result)` tuples, one per unique child tag.";
const char child_value_iter_doc[] =
    "Yields a `Result` per unique child tag, containing every direct child with\n"
    "that tag. Bytes for matching children are sliced out of the parent bytes\n"
    "only when each value is produced.";

PyType_Slot child_item_iter_slots[] = {
    QUELMAR_ITER_SLOTS(ChildGroupIter, child_item_step, child_item_iter_doc), {0, nullptr}};
PyType_Spec child_item_iter_spec = {"quelmar._quelmar.ResultChildItemIter", box_size<ChildGroupIter>(), 0,
                                    kIterFlags, child_item_iter_slots};

PyType_Slot child_value_iter_slots[] = {
    QUELMAR_ITER_SLOTS(ChildGroupIter, child_value_step, child_value_iter_doc), {0, nullptr}};
PyType_Spec child_value_iter_spec = {"quelmar._quelmar.ResultChildValueIter", box_size<ChildGroupIter>(), 0,
                                     kIterFlags, child_value_iter_slots};

// ---------------------------------------------------------------- ResultChildIter

struct ChildIter {
    ChildData data;
    std::size_t position = 0;  // index into data.refs
    bool busy = false;
};

PyObject* child_step(PyObject* self, ChildIter& st) {
    if (st.position >= st.data.refs.size()) return nullptr;
    const std::size_t i = st.position++;
    if (!require_utf8(st.data.names[i])) return nullptr;
    PyRef name = PyRef::steal(new_str(st.data.names[i]));
    if (!name) return nullptr;
    PyRef value = PyRef::steal(child_result(state_for(self), st.data, i));
    if (!value) return nullptr;
    return PyTuple_Pack(2, name.get(), value.get());
}

const char child_iter_doc[] =
    "Yields `(name_str, value_Result)` for every direct child element in document\n"
    "order. Unlike `ResultChildItemIter`, repeated tag names are not collapsed:\n"
    "each child element produces its own pair, so the interleaving of differently\n"
    "named siblings is preserved.";

PyType_Slot child_iter_slots[] = {QUELMAR_ITER_SLOTS(ChildIter, child_step, child_iter_doc), {0, nullptr}};
PyType_Spec child_iter_spec = {"quelmar._quelmar.ResultChildIter", box_size<ChildIter>(), 0, kIterFlags,
                               child_iter_slots};

}  // namespace

PyTypeObject* make_char_iter_type(PyObject* module) { return make_type(module, &char_iter_spec); }
PyTypeObject* make_item_iter_type(PyObject* module) { return make_type(module, &item_iter_spec); }
PyTypeObject* make_child_key_iter_type(PyObject* module) { return make_type(module, &child_key_iter_spec); }
PyTypeObject* make_child_value_iter_type(PyObject* module) { return make_type(module, &child_value_iter_spec); }
PyTypeObject* make_child_item_iter_type(PyObject* module) { return make_type(module, &child_item_iter_spec); }
PyTypeObject* make_child_iter_type(PyObject* module) { return make_type(module, &child_iter_spec); }

PyObject* char_iter_new(const ModuleState& ms, std::string text) {
    CharIter st;
    st.text = std::move(text);
    return box_new(ms.char_iter, std::move(st));
}

PyObject* item_iter_new(const ModuleState& ms, PyObject* parent) { return box_new(ms.item_iter, ItemIter(parent)); }

PyObject* keys_iter_of(const ModuleState& ms, ItemView matched, const char* method) {
    ElementBytes eb;
    auto data = dict_children(matched, eb, false, method);
    if (!data) return nullptr;
    const std::vector<Bytes> unique = group_names(*data, group_children(*data));
    if (!names_are_utf8(unique)) return nullptr;
    return child_key_iter_new(ms, std::vector<std::string>(unique.begin(), unique.end()));
}

PyObject* child_key_iter_new(const ModuleState& ms, std::vector<std::string> names) {
    ChildKeyIter st;
    st.names = std::move(names);
    return box_new(ms.child_key_iter, std::move(st));
}

PyObject* child_item_iter_new(const ModuleState& ms, ChildData data, ChildGrouping groups) {
    return box_new(ms.child_item_iter, ChildGroupIter{std::move(data), std::move(groups), 0, false});
}

PyObject* child_value_iter_new(const ModuleState& ms, ChildData data, ChildGrouping groups) {
    return box_new(ms.child_value_iter, ChildGroupIter{std::move(data), std::move(groups), 0, false});
}

PyObject* child_iter_new(const ModuleState& ms, ChildData data) {
    return box_new(ms.child_iter, ChildIter{std::move(data), 0, false});
}

}  // namespace quelmar::py
