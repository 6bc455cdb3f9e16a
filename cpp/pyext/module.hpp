// Module-wide pieces shared by the type files: the heap types made in the
// exec step and the helpers every entry point uses.
#pragma once

#include "path/program.hpp"
#include "pyext/binding.hpp"

namespace quelmar::py {

// The module's state: its heap types, made by module_exec. Each module
// object (a second import after the first was dropped from sys.modules, a
// subinterpreter) has its own, and every object finds the state of the module
// that made its type (state_for), so objects of one module never meet the
// types of another.
struct ModuleState {
    PyTypeObject* path = nullptr;
    PyTypeObject* result = nullptr;
    PyTypeObject* char_iter = nullptr;
    PyTypeObject* item_iter = nullptr;
    PyTypeObject* child_key_iter = nullptr;
    PyTypeObject* child_value_iter = nullptr;
    PyTypeObject* child_item_iter = nullptr;
    PyTypeObject* child_iter = nullptr;
    PyTypeObject* keys_view = nullptr;
    PyTypeObject* values_view = nullptr;
    PyTypeObject* items_view = nullptr;
    PyTypeObject* children_view = nullptr;
};

// The state of a module object of ours (the `self` of a module function).
ModuleState& module_state(PyObject* module) noexcept;
// The state of the module whose type `obj` is an instance of. Our types
// cannot be subclassed, so an object's type is the type the module made.
ModuleState& state_for(PyObject* obj) noexcept;
// Whether `obj` is an instance of the type `which` of any module object of
// ours (one imported again has its own types; objects are alike whichever
// made them, as one binary made them all).
bool is_of_any_module(PyObject* obj, PyTypeObject* ModuleState::* which) noexcept;

// Adds a heap type to the module and keeps a reference in `slot`.
int add_type(PyObject* module, PyTypeObject* type, PyTypeObject** slot);

// Compiles a path text through the thread's cache; ValueError on failure.
std::optional<ProgramPtr> compile_text(Bytes text);

// Adds the Result class, its iterators and views to the module, in this
// order: Result, ResultCharIter, ResultItemIter, ResultChildKeyIter,
// ResultChildValueIter, ResultChildItemIter, ResultChildIter, ResultKeysView,
// ResultValuesView, ResultItemsView, ResultChildrenView (result_type.cpp).
int add_result_types(PyObject* module, ModuleState& st);

// Query functions (queries.cpp).
PyObject* py_get(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* py_get_bytes(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* py_get_buffer(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* py_get_many(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* py_get_many_bytes(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* py_get_many_buffer(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
// Path.get (kind 0: str), get_bytes (1: bytes), get_buffer (2: buffer).
PyObject* path_query(const ModuleState& st, const Program& program, PyObject* data, int kind);

// parse(data) (result_type.cpp).
PyObject* py_parse(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// Path type (path_type.cpp).
PyTypeObject* make_path_type(PyObject* module);
PyObject* path_new(const ModuleState& st, Bytes text, ProgramPtr program);
// The Program of a Path object, or nothing if `obj` is not a Path (of this
// module's Path type).
const ProgramPtr* path_program(const ModuleState& st, PyObject* obj);

}  // namespace quelmar::py
