#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace varsift::tools {

// bgzf_blocks(fd) -> list[tuple[int, int]] | None: the (compressed, uncompressed) offsets where
// each block of the BGZF file open at fd starts, found from block headers and trailers alone;
// None when the blocks do not tile the file.
PyObject* bgzf_blocks(PyObject* module, PyObject* const* args, Py_ssize_t nargs);

// bgzf_block(fd, offset) -> tuple[int, int] | None: the total size and ISIZE of the BGZF
// block at offset, or None when no block lies there whole.
PyObject* bgzf_block(PyObject* module, PyObject* const* args, Py_ssize_t nargs);

}  // namespace varsift::tools
