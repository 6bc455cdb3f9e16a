// A Python object whose payload is one C++ value, for the small view and
// iterator types: allocation with placement new, destruction in the order
// untrack -> destroy -> free -> decref the type.
#pragma once

#include <new>
#include <utility>

#include "pyext/binding.hpp"

namespace quelmar::py {

template <class T>
struct Box {
    PyObject_HEAD
    T state;
};

template <class T>
T& state_of(PyObject* o) noexcept {
    return reinterpret_cast<Box<T>*>(o)->state;
}

template <class T>
PyObject* box_new(PyTypeObject* tp, T&& value) {
    if (live_type(tp) == nullptr) return nullptr;
    PyObject* self = tp->tp_alloc(tp, 0);
    if (self == nullptr) return nullptr;
    new (&state_of<T>(self)) T(std::move(value));  // moves never throw here
    return self;
}

template <class T>
void box_dealloc(PyObject* self) {
    PyTypeObject* tp = Py_TYPE(self);
    if (PyType_HasFeature(tp, Py_TPFLAGS_HAVE_GC)) PyObject_GC_UnTrack(self);
    state_of<T>(self).~T();
    tp->tp_free(self);
    Py_DECREF(tp);
}

template <class T>
constexpr int box_size() noexcept {
    return static_cast<int>(sizeof(Box<T>));
}

}  // namespace quelmar::py
