#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace varsift::tools {

// is_url(path: bytes) -> bool: whether htslib's hFILE layer opens path as a URL.
PyObject* is_url(PyObject* module, PyObject* const* args, Py_ssize_t nargs);

// read_url(url: bytes, limit: int) -> bytes | None: the whole of a small remote file, None
// when the server has no such file; OSError naming the URL otherwise.
PyObject* read_url(PyObject* module, PyObject* const* args, Py_ssize_t nargs);

}  // namespace varsift::tools
