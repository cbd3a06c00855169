#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace varsift::tools {

// Reads a thread count: an int from 1 to 1024. Raises through PythonError otherwise.
int thread_count(PyObject* object);

}  // namespace varsift::tools
