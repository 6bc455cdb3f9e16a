// The query functions of the module and the Path methods: argument checks in
// their fixed order, document input, engine calls, error mapping, lifting.
#include <vector>

#include "engine/engine.hpp"
#include "pyext/module.hpp"
#include "pyext/result.hpp"

namespace quelmar::py {

namespace {

PyObject* raise_engine_error(const EngineError& err) {
    return raise_message(PyExc_ValueError, err.message());
}

// Runs one program over `data`, a str or bytes object (already type-checked)
// with span output, and lifts the items against `data`.
PyObject* run_spans(const ModuleState& st, const Program& program, PyObject* data, Bytes bytes) {
    auto items = run_with(program, bytes, true, PyUnicode_Check(data));
    if (!items) return raise_engine_error(items.error());
    return result_new(lift_with_source(st, std::move(items).value(), data));
}

PyObject* run_buffer(const ModuleState& st, const Program& program, PyObject* data) {
    HeldBuffer buffer;
    if (!buffer.acquire_or_raise(data, kMsgNotBuffer)) return nullptr;
    auto items = run_with(program, buffer.bytes(), false);
    buffer.release();
    if (!items) return raise_engine_error(items.error());
    return result_new(lift(st, std::move(items).value()));
}

enum class DataKind { Str, Bytes, Buffer };

// The document bytes of a str or bytes argument.
std::optional<Bytes> typed_data(PyObject* data, DataKind kind) {
    if (kind == DataKind::Str) return str_utf8(data);
    return bytes_view(data);
}

bool check_data(PyObject* data, DataKind kind) {
    if (kind == DataKind::Str && !PyUnicode_Check(data)) {
        raise_arg_type("data", data, "str");
        return false;
    }
    if (kind == DataKind::Bytes && !PyBytes_Check(data)) {
        raise_arg_type("data", data, "bytes");
        return false;
    }
    return true;
}

// get / get_bytes / get_buffer.
PyObject* get_impl(const ModuleState& st, PyObject* data, PyObject* path, DataKind kind) {
    if (!check_data(data, kind)) return nullptr;
    if (!PyUnicode_Check(path)) {
        raise_arg_type("path", path, "str");
        return nullptr;
    }
    auto text = str_utf8(path);
    if (!text) return nullptr;
    // An empty path is no query at all; the document is not looked at.
    if (text->empty()) return result_new_empty(st);
    auto program = compile_text(*text);
    if (!program) return nullptr;
    if (kind == DataKind::Buffer) return run_buffer(st, **program, data);
    auto bytes = typed_data(data, kind);
    if (!bytes) return nullptr;
    return run_spans(st, **program, data, *bytes);
}

// The paths list of the many-path functions: one optional Program per entry.
bool collect_programs(const ModuleState& st, PyObject* paths, std::vector<ProgramPtr>& out) {
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(paths); ++i) {
        PyObject* entry = PyList_GET_ITEM(paths, i);
        if (PyUnicode_Check(entry)) {
            Py_ssize_t n = 0;
            const char* p = PyUnicode_AsUTF8AndSize(entry, &n);
            if (p == nullptr) {
                PyErr_Clear();
                PyErr_SetString(PyExc_TypeError, "paths must be a list of str or quelmar.Path");
                return false;
            }
            if (n == 0) {
                out.emplace_back();
                continue;
            }
            Py_INCREF(entry);  // keep the text alive while compiling
            auto program = compile_text(Bytes(p, static_cast<std::size_t>(n)));
            Py_DECREF(entry);
            if (!program) return false;
            out.push_back(std::move(*program));
        } else if (const ProgramPtr* prog = path_program(st, entry)) {
            out.push_back(*prog);
        } else {
            PyErr_SetString(PyExc_TypeError, "paths must be a list of str or quelmar.Path");
            return false;
        }
    }
    return true;
}

// Builds the answer list: entries with a Program take the next sequence.
PyObject* build_many(const ModuleState& st, const std::vector<ProgramPtr>& programs, std::vector<Items>* results,
                     PyObject* source) {
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(programs.size())));
    if (!list) return nullptr;
    std::size_t next = 0;
    for (std::size_t i = 0; i < programs.size(); ++i) {
        PyObject* r = nullptr;
        if (programs[i] && results) {
            Items& items = (*results)[next++];
            r = source ? result_new(lift_with_source(st, std::move(items), source)) : result_new(lift(st, std::move(items)));
        } else {
            r = result_new_empty(st);
        }
        if (r == nullptr) return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), r);
    }
    return list.release();
}

PyObject* get_many_impl(const ModuleState& st, PyObject* data, PyObject* paths, DataKind kind) {
    if (kind != DataKind::Buffer && !check_data(data, kind)) return nullptr;
    if (!PyList_Check(paths)) {
        raise_arg_type("paths", paths, "list");
        return nullptr;
    }
    std::vector<ProgramPtr> programs;
    if (!collect_programs(st, paths, programs)) return nullptr;
    if (programs.empty()) return PyList_New(0);
    std::vector<const Program*> run;
    for (const auto& p : programs)
        if (p) run.push_back(p.get());
    // Only empty paths: no scan, and the document is not read.
    if (run.empty()) return build_many(st, programs, nullptr, nullptr);

    if (kind == DataKind::Buffer) {
        HeldBuffer buffer;
        if (!buffer.acquire_or_raise(data, kMsgNotBuffer)) return nullptr;
        auto results = run_many(run, buffer.bytes(), false);
        buffer.release();
        if (!results) return raise_engine_error(results.error());
        return build_many(st, programs, &results.value(), nullptr);
    }
    auto bytes = typed_data(data, kind);
    if (!bytes) return nullptr;
    const bool spans = kind == DataKind::Bytes;
    auto results = run_many(run, *bytes, spans, kind == DataKind::Str);
    if (!results) return raise_engine_error(results.error());
    return build_many(st, programs, &results.value(), spans ? data : nullptr);
}

template <PyObject* (*Impl)(const ModuleState&, PyObject*, PyObject*, DataKind), DataKind Kind>
PyObject* two_arg_shim(PyObject* module, const char* fname, const char* second, PyObject* const* args,
                       Py_ssize_t nargs, PyObject* kwnames) {
    const char* const names[] = {"data", second};
    PyObject* a[2];
    if (!parse_args(fname, args, nargs, kwnames, names, a)) return nullptr;
    return guarded([&] { return Impl(module_state(module), a[0], a[1], Kind); });
}

}  // namespace

PyObject* py_get(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return two_arg_shim<get_impl, DataKind::Str>(module, "get", "path", args, nargs, kwnames);
}
PyObject* py_get_bytes(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return two_arg_shim<get_impl, DataKind::Bytes>(module, "get_bytes", "path", args, nargs, kwnames);
}
PyObject* py_get_buffer(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return two_arg_shim<get_impl, DataKind::Buffer>(module, "get_buffer", "path", args, nargs, kwnames);
}
PyObject* py_get_many(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return two_arg_shim<get_many_impl, DataKind::Str>(module, "get_many", "paths", args, nargs, kwnames);
}
PyObject* py_get_many_bytes(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return two_arg_shim<get_many_impl, DataKind::Bytes>(module, "get_many_bytes", "paths", args, nargs, kwnames);
}
PyObject* py_get_many_buffer(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return two_arg_shim<get_many_impl, DataKind::Buffer>(module, "get_many_buffer", "paths", args, nargs, kwnames);
}

// Path.get / get_bytes / get_buffer: the Path's own Program, no cache.
PyObject* path_query(const ModuleState& st, const Program& program, PyObject* data, int kind) {
    const auto k = static_cast<DataKind>(kind);
    if (!check_data(data, k)) return nullptr;
    if (k == DataKind::Buffer) return run_buffer(st, program, data);
    auto bytes = typed_data(data, k);
    if (!bytes) return nullptr;
    return run_spans(st, program, data, *bytes);
}

}  // namespace quelmar::py
