// Module-wide pieces shared by the type files: the heap types made in the
// exec step and the helpers every entry point uses.
#pragma once

#include "path/program.hpp"
#include "pyext/binding.hpp"

namespace quelmar::py {

// Heap types created by module_exec. The module keeps them alive; these
// pointers always name the most recently executed module's types.
struct ModuleTypes {
    PyTypeObject* path = nullptr;
};
extern ModuleTypes g_types;

// Compiles a path text through the thread's cache; ValueError on failure.
std::optional<ProgramPtr> compile_text(Bytes text);

// Path type (path_type.cpp).
PyTypeObject* make_path_type(PyObject* module);
PyObject* path_new(Bytes text, ProgramPtr program);
// The Program of a Path object, or nothing if `obj` is not a Path.
const ProgramPtr* path_program(PyObject* obj);

}  // namespace quelmar::py
