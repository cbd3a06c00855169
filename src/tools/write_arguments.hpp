#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <optional>
#include <string>

#include "library/selection.hpp"

namespace varsift::tools {

// What every function that writes a subset is given.
struct WriteArguments {
  std::string path;
  int fd = -1;
  std::string output_name;
  library::Selection selection = library::Selection::everything();
  bool compress = false;
  int threads = 0;
  std::optional<std::string> output_index;
};

// Reads path, fd, output_name, positions, targets, regions, compress and threads from
// args[0..7], the output's index path (or None) from args[output_index_at], and the overlap and
// the prepared selection from args[overlap_at] and the one after it. Gives false with a Python
// error set; throws PythonError as selection_from does.
bool read_write_arguments(PyObject* const* args, Py_ssize_t output_index_at, Py_ssize_t overlap_at,
                          WriteArguments& out);

// Sets the ValueError for an output that cannot be indexed: the output's name, then `reason`.
void raise_indexing_error(const std::string& output_name, const char* reason);

}  // namespace varsift::tools
