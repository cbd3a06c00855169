#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace varsift::tools {

// write_bcf(path, fd, output_name, positions, targets, regions, compress, threads,
// output_index) -> int: copies the kept records of the BCF at path into fd as BCF, each
// record's bytes unchanged, and gives how many. With output_index, writes its CSI index there
// once the output is complete; ValueError when the records cannot be indexed.
PyObject* write_bcf(PyObject* module, PyObject* const* args, Py_ssize_t nargs);

}  // namespace varsift::tools
