// The record splitter's Python type, added to quelmar._extra.
#pragma once

#include <Python.h>

namespace quelmar::py {

int add_record_splitter(PyObject* module);

// quelmar._extra.GzipStream, when the module is built with zlib.
int add_gzip_stream(PyObject* module);

}  // namespace quelmar::py
