#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace varsift::tools {

// The most threads a call may ask for; the module exports it as MAX_THREADS.
inline constexpr long max_threads = 1024;

// Reads a thread count: an int from 1 to max_threads. Raises through PythonError otherwise.
int thread_count(PyObject* object);

}  // namespace varsift::tools
