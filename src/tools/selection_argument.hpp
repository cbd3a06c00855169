#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "library/selection.hpp"

namespace varsift::tools {

// Builds the selection from the Python arguments: each of positions (ints, or a buffer of
// integers such as a NumPy array), targets ((chrom, pos) pairs) and regions ((chrom, beg, end)
// triples) is None or an iterable, and makes one condition, regions met by `overlap` ("pos",
// "record" or "variant"); `prepared` is None or a Selection object whose conditions all must
// hold too. With nothing given every record is kept. Raises TypeError or ValueError (through
// PythonError) for items of the wrong shape or numbers outside 0 to 2**64-1.
library::Selection selection_from(PyObject* positions, PyObject* targets, PyObject* regions,
                                  PyObject* overlap, PyObject* prepared);

// The Selection type: conditions built once, from lists and files, for any number of scans.
PyObject* make_selection_type();

// build_selection(positions, positions_files, targets, targets_files, targets_overlap,
// targets_exclude, regions, regions_files, regions_overlap) -> Selection
PyObject* build_selection(PyObject* self, PyObject* const* args, Py_ssize_t nargs);

}  // namespace varsift::tools
