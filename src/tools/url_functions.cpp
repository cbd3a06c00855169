#include "url_functions.hpp"

#include <cerrno>
#include <optional>
#include <string>
#include <vector>

#include "hts/range_cuts.hpp"
#include "hts/remote_file.hpp"
#include "hts/remote_index.hpp"
#include "module/owned_ref.hpp"
#include "python_error.hpp"
#include "released_gil.hpp"

namespace varsift::tools {

PyObject* is_url(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  try {
    if (nargs != 1) {
      PyErr_SetString(PyExc_TypeError, "is_url(path)");
      return nullptr;
    }
    return PyBool_FromLong(hts::is_url(path_bytes(args[0])) ? 1 : 0);
  } catch (...) {
    set_python_error_from_current();
    return nullptr;
  }
}

PyObject* read_url(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  try {
    if (nargs != 2) {
      PyErr_SetString(PyExc_TypeError, "read_url(url, limit)");
      return nullptr;
    }
    const std::string url = path_bytes(args[0]);
    const Py_ssize_t limit = PyLong_AsSsize_t(args[1]);
    if (limit < 0) {
      if (!PyErr_Occurred()) PyErr_SetString(PyExc_ValueError, "limit must not be negative");
      return nullptr;
    }
    std::string bytes;
    core::IoError error = core::IoError::bare(core::ErrorKind::Other);
    bool read = false;
    {
      const ReleasedGil released;
      read = hts::read_whole(url, static_cast<std::size_t>(limit), bytes, error);
    }
    if (read) return PyBytes_FromStringAndSize(bytes.data(), static_cast<Py_ssize_t>(bytes.size()));
    const int code = error.is_os() ? error.os_code() : EIO;
    if (code == ENOENT) Py_RETURN_NONE;
    raise_os_error(code, url);
  } catch (...) {
    set_python_error_from_current();
    return nullptr;
  }
}

PyObject* record_cuts(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  try {
    if (nargs != 2) {
      PyErr_SetString(PyExc_TypeError, "record_cuts(url, size)");
      return nullptr;
    }
    const std::string url = path_bytes(args[0]);
    const long long size = PyLong_AsLongLong(args[1]);
    if (size < 1) {
      if (!PyErr_Occurred()) PyErr_SetString(PyExc_ValueError, "size must be at least 1");
      return nullptr;
    }
    std::optional<std::vector<std::uint64_t>> cuts;
    {
      const ReleasedGil released;
      hts::IndexProblem problem;
      if (const std::optional<hts::Index> index =
              hts::load_remote_index(url, std::nullopt, problem)) {
        // Cuts query every sequence: a damaged one gives none, as a damaged layout does.
        try {
          cuts = hts::record_cuts(*index, static_cast<std::uint64_t>(size));
        } catch (const hts::IndexDamaged&) {
        }
      }
    }
    if (!cuts) Py_RETURN_NONE;
    module::OwnedRef list =
        module::OwnedRef::steal(PyList_New(static_cast<Py_ssize_t>(cuts->size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < cuts->size(); ++i) {
      PyObject* offset = PyLong_FromUnsignedLongLong((*cuts)[i]);
      if (offset == nullptr) return nullptr;
      PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), offset);
    }
    return list.release();
  } catch (...) {
    set_python_error_from_current();
    return nullptr;
  }
}

}  // namespace varsift::tools
