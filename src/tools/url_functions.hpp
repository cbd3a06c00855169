#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace varsift::tools {

// is_url(path: bytes) -> bool: whether htslib's hFILE layer opens path as a URL.
PyObject* is_url(PyObject* module, PyObject* const* args, Py_ssize_t nargs);

// read_url(url: bytes, limit: int) -> bytes | None: the whole of a small remote file, None
// when the server has no such file; OSError naming the URL otherwise.
PyObject* read_url(PyObject* module, PyObject* const* args, Py_ssize_t nargs);

// record_cuts(url: bytes, size: int) -> list[int] | None: virtual offsets where the BGZF VCF
// at url may be cut into ranges of about size compressed bytes, at record starts its index
// (URL.tbi or URL.csi) gives, the first 0; None when it has no index that can be read.
PyObject* record_cuts(PyObject* module, PyObject* const* args, Py_ssize_t nargs);

}  // namespace varsift::tools
