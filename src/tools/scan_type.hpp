#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace varsift::tools {

// Makes the type of the objects open_scan() gives (one pass over one input, read in batches)
// and gives a new reference to it, or null with an exception set.
PyObject* make_scan_type();

// open_scan(path, positions, targets, regions, threads, split) -> Scan
PyObject* open_scan(PyObject* module, PyObject* const* args, Py_ssize_t nargs);

}  // namespace varsift::tools
