#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace varsift::tools {

// write(path, fd, output_name, positions, targets, regions, compress, threads) -> int
PyObject* write_subset(PyObject* module, PyObject* const* args, Py_ssize_t nargs);

}  // namespace varsift::tools
