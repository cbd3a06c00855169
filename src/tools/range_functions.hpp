#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace varsift::tools {

// scan_range(path, range, positions, targets, regions, threads, header) -> list[str]: the kept
// lines of one range of the VCF at path, in file order; header lines only if header is true.
// range is None (the whole file, as open_scan reads it) or (bgzf, before, length, end,
// line_start) with before -1 for a range at the file's start, and end the BGZF virtual offset
// just past the range's last byte (-1: unchecked); OSError ESTALE when the range does not end
// there. line_start (-1: none) is a BGZF virtual offset where an index says the range's first
// line starts; before and length are then unused, and end is where the next one's starts.
PyObject* scan_range(PyObject* module, PyObject* const* args, Py_ssize_t nargs);

// write_range(path, range, fd, output_name, positions, targets, regions, threads, header) ->
// int: writes those lines as BGZF into fd and gives the records written.
PyObject* write_range(PyObject* module, PyObject* const* args, Py_ssize_t nargs);

}  // namespace varsift::tools
