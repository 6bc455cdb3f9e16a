// The record splitter's Python type, added to quelmar._extra.
#pragma once

#include <Python.h>

#include <cstddef>
#include <vector>

#include "xml/record_splitter.hpp"

namespace quelmar::py {

int add_record_splitter(PyObject* module);

// The (start, end) tuples of `spans` (a list), each lying in a buffer of
// `size` bytes; false with TypeError or ValueError set.
bool read_spans(PyObject* spans, std::size_t size, std::vector<RecordSpan>& out);

// quelmar._extra.GzipStream, when the module is built with zlib.
int add_gzip_stream(PyObject* module);

}  // namespace quelmar::py
