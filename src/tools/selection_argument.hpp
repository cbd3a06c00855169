#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "library/selection.hpp"

namespace varsift::tools {

// Builds the selection from the Python arguments: each of positions (ints), targets
// ((chrom, pos) pairs) and regions ((chrom, beg, end) triples) is None or an iterable. With all
// three None every record is kept. Raises TypeError or ValueError (through PythonError) for
// items of the wrong shape or numbers outside 0 to 2**64-1.
library::Selection selection_from(PyObject* positions, PyObject* targets, PyObject* regions);

}  // namespace varsift::tools
