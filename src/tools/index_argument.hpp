#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <string>

#include "library/index_input.hpp"

namespace varsift::tools {

// The index options from the Python arguments: `index` None (follow an index when cheaper),
// True (follow it or fail) or False (scan); `index_path` None or the index file's path.
// Raises TypeError (through PythonError) for other values.
library::IndexOptions index_options_from(PyObject* index, PyObject* index_path);

// Sets the Python exception for an index that was asked for and cannot be used:
// FileNotFoundError when it is missing, ValueError naming the fault otherwise.
[[noreturn]] void raise_index_unusable(const library::IndexUnusable& error);

// Warns (UserWarning) that an index found beside the input was not followed; throws
// PythonError when the warning is turned into an exception.
void warn_index_skipped(const std::string& warning);

// index_file(path, index_path, csi, threads) -> None: indexes a finished BGZF VCF as tabix -p
// vcf does (with csi, tabix -C), reading it on `threads` threads. Raises ValueError with
// htslib's reason when it fails (not BGZF, records unsorted, index not written); the caller
// writes into a fresh file beside the output, so that the last is rare.
PyObject* index_file(PyObject* module, PyObject* const* args, Py_ssize_t nargs);

}  // namespace varsift::tools
