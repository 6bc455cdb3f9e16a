// The dict-like views of a DictElement Result. A view holds only its parent
// and recomputes everything from the parent's element bytes on every use;
// iteration hands a fresh copy of the bytes and children to an iterator.
//
// Garbage collection: a view holds one Python reference, its parent Result,
// so it supports GC (traverse). It has no tp_clear: like a tuple it never
// changes what it refers to, and any cycle through it also passes through
// the Result, whose tp_clear breaks it.
#include <string>

#include "common/text.hpp"
#include "common/utf8.hpp"
#include "pyext/object_box.hpp"
#include "pyext/result_impl.hpp"

namespace quelmar::py {

namespace {

struct View {
    PyObject* parent = nullptr;  // strong reference to a Result
    View() = default;
    explicit View(PyObject* p) noexcept : parent(Py_NewRef(p)) {}
    View(View&& o) noexcept : parent(std::exchange(o.parent, nullptr)) {}
    View& operator=(View&&) = delete;
    ~View() { Py_XDECREF(parent); }
};

ItemView parent_items(PyObject* self) { return items_of(state_of<View>(self).parent); }

// The Result method that made the view: its parent's buffer can have been
// rewritten since, and the view then fails as that method would now.
const char* view_method(PyObject* self) {
    const ModuleState& st = state_for(self);
    PyTypeObject* t = Py_TYPE(self);
    return t == st.keys_view ? "keys" : t == st.values_view ? "values" : t == st.items_view ? "items" : "children";
}

std::optional<ChildData> view_children(PyObject* self, ElementBytes& eb, bool hold) {
    return dict_children(parent_items(self), eb, hold, view_method(self));
}

int view_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(state_of<View>(self).parent);
    Py_VISIT(Py_TYPE(self));
    return 0;
}

// ---------------------------------------------------------------- lengths

// A size computed from the parent's children, or -1 with a Python error.
template <class F>
Py_ssize_t count_of(PyObject* self, F&& count) {
    PyObject* r = guarded([&]() -> PyObject* {
        ElementBytes eb;
        auto data = view_children(self, eb, false);
        if (!data) return nullptr;
        return PyLong_FromSize_t(count(*data));
    });
    if (r == nullptr) return -1;
    const Py_ssize_t n = PyLong_AsSsize_t(r);
    Py_DECREF(r);
    return n;
}

Py_ssize_t unique_count(PyObject* self) {
    return count_of(self, [](const ChildData& d) { return group_children(d).size(); });
}

Py_ssize_t children_count(PyObject* self) {
    return count_of(self, [](const ChildData& d) { return d.refs.size(); });
}

// ---------------------------------------------------------------- iteration

PyObject* keys_iter(PyObject* self) {
    return guarded([&] { return keys_iter_of(state_for(self), parent_items(self), "keys"); });
}

PyObject* items_iter(PyObject* self) {
    return guarded([&]() -> PyObject* {
        ElementBytes eb;
        auto data = view_children(self, eb, true);
        if (!data) return nullptr;
        ChildGrouping groups = group_children(*data);
        if (!names_are_utf8(group_names(*data, groups))) return nullptr;
        return child_item_iter_new(state_for(self), std::move(*data), std::move(groups));
    });
}

PyObject* values_iter(PyObject* self) {
    return guarded([&]() -> PyObject* {
        ElementBytes eb;
        auto data = view_children(self, eb, true);
        if (!data) return nullptr;
        ChildGrouping groups = group_children(*data);  // names are not checked: no key is made
        return child_value_iter_new(state_for(self), std::move(*data), std::move(groups));
    });
}

PyObject* children_iter(PyObject* self) {
    return guarded([&]() -> PyObject* {
        ElementBytes eb;
        auto data = view_children(self, eb, true);
        if (!data) return nullptr;
        return child_iter_new(state_for(self), std::move(*data));
    });
}

// ---------------------------------------------------------------- repr and membership

PyObject* keys_repr(PyObject* self) {
    return guarded([&]() -> PyObject* {
        ElementBytes eb;
        auto data = view_children(self, eb, false);
        if (!data) return nullptr;
        std::string s = "result_keys([";
        bool first = true;
        for (Bytes name : group_names(*data, group_children(*data))) {
            if (!first) s += ", ";
            first = false;
            s += quoted_form(utf8_valid(name) ? name : Bytes());
        }
        s += "])";
        return new_str(s);
    });
}

PyObject* items_repr(PyObject*) { return new_str("result_items([...])"); }
PyObject* values_repr(PyObject*) { return new_str("result_values([...])"); }
PyObject* children_repr(PyObject*) { return new_str("result_children([...])"); }

int keys_contains(PyObject* self, PyObject* key) {
    if (!PyUnicode_Check(key)) return 0;
    auto name = str_utf8(key);
    if (!name) {  // no UTF-8 form: no tag name can equal it
        PyErr_Clear();
        return 0;
    }
    PyObject* r = guarded([&]() -> PyObject* {
        ElementBytes eb;
        auto data = view_children(self, eb, false);
        if (!data) return nullptr;
        for (Bytes n : data->names)
            if (n == *name) Py_RETURN_TRUE;
        Py_RETURN_FALSE;
    });
    if (r == nullptr) return -1;
    const int found = r == Py_True;
    Py_DECREF(r);
    return found;
}

// ---------------------------------------------------------------- types

constexpr unsigned long kViewFlags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE |
                                     Py_TPFLAGS_DISALLOW_INSTANTIATION;

#define QUELMAR_VIEW_SLOTS(doc, len, iter, repr)                                           \
    {Py_tp_doc, const_cast<char*>(doc)}, {Py_tp_dealloc, reinterpret_cast<void*>(box_dealloc<View>)}, \
        {Py_tp_traverse, reinterpret_cast<void*>(view_traverse)},                         \
        {Py_sq_length, reinterpret_cast<void*>(len)}, {Py_tp_iter, reinterpret_cast<void*>(iter)}, \
        {Py_tp_repr, reinterpret_cast<void*>(repr)}

const char keys_doc[] =
    "dict.keys()-like view over a DictElement Result. Re-iterable; each call to\n"
    "__iter__ produces a fresh, lazy iterator.";
const char items_doc[] = "dict.items()-like view over a DictElement Result.";
const char values_doc[] = "dict.values()-like view over a DictElement Result.";
const char children_doc[] =
    "Order-preserving view over every direct child element of a DictElement\n"
    "Result. Re-iterable; each call to `__iter__` produces a fresh, lazy iterator.";

PyType_Slot keys_slots[] = {
    QUELMAR_VIEW_SLOTS(keys_doc, unique_count, keys_iter, keys_repr),
    {Py_sq_contains, reinterpret_cast<void*>(keys_contains)},
    {0, nullptr},
};
PyType_Slot values_slots[] = {QUELMAR_VIEW_SLOTS(values_doc, unique_count, values_iter, values_repr), {0, nullptr}};
PyType_Slot items_slots[] = {QUELMAR_VIEW_SLOTS(items_doc, unique_count, items_iter, items_repr), {0, nullptr}};
PyType_Slot children_slots[] = {QUELMAR_VIEW_SLOTS(children_doc, children_count, children_iter, children_repr),
                                {0, nullptr}};

PyType_Spec keys_spec = {"quelmar._quelmar.ResultKeysView", box_size<View>(), 0, kViewFlags, keys_slots};
PyType_Spec values_spec = {"quelmar._quelmar.ResultValuesView", box_size<View>(), 0, kViewFlags, values_slots};
PyType_Spec items_spec = {"quelmar._quelmar.ResultItemsView", box_size<View>(), 0, kViewFlags, items_slots};
PyType_Spec children_spec = {"quelmar._quelmar.ResultChildrenView", box_size<View>(), 0, kViewFlags,
                             children_slots};

PyTypeObject* make_type(PyObject* module, PyType_Spec* spec) {
    return reinterpret_cast<PyTypeObject*>(PyType_FromModuleAndSpec(module, spec, nullptr));
}

}  // namespace

PyTypeObject* make_keys_view_type(PyObject* module) { return make_type(module, &keys_spec); }
PyTypeObject* make_values_view_type(PyObject* module) { return make_type(module, &values_spec); }
PyTypeObject* make_items_view_type(PyObject* module) { return make_type(module, &items_spec); }
PyTypeObject* make_children_view_type(PyObject* module) { return make_type(module, &children_spec); }

PyObject* view_new(PyTypeObject* type, PyObject* parent) { return box_new(type, View(parent)); }

}  // namespace quelmar::py
