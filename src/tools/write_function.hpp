#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace varsift::tools {

// write(path, fd, output_name, positions, targets, regions, compress, threads, index,
// index_path, output_index, csi, overlap, selection, progress) -> int: the records written.
// With output_index, the BGZF output is indexed while it is written (tabix, or CSI with csi)
// and the index written to that path once the output is finished; ValueError when the output
// cannot be indexed. `progress`, None or a callable, is called between steps with the bytes
// read (inflated, and as stored) and the records kept, at most four times a second.
PyObject* write_subset(PyObject* module, PyObject* const* args, Py_ssize_t nargs);

}  // namespace varsift::tools
