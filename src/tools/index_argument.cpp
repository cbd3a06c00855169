#include "index_argument.hpp"

#include <cerrno>
#include <cstring>
#include <optional>

#include "hts/index_writer.hpp"
#include "hts_plugins.hpp"
#include "module/owned_ref.hpp"
#include "python_error.hpp"
#include "released_gil.hpp"
#include "thread_count.hpp"

namespace varsift::tools {

using module::OwnedRef;

library::IndexOptions index_options_from(PyObject* index, PyObject* index_path) {
  library::IndexOptions options;
  if (index == Py_True) {
    options.mode = library::IndexOptions::Mode::force;
  } else if (index == Py_False) {
    options.mode = library::IndexOptions::Mode::never;
  } else if (index != Py_None) {
    PyErr_Format(PyExc_TypeError, "index must be True, False or None, not %s",
                 Py_TYPE(index)->tp_name);
    throw PythonError();
  }
  if (index_path != Py_None) {
    Py_ssize_t size = 0;
    const char* path = checked(PyUnicode_AsUTF8AndSize(index_path, &size));
    options.path = std::string(path, static_cast<std::size_t>(size));
    prepare_hts_plugins(*options.path);
  }
  return options;
}

void raise_index_unusable(const library::IndexUnusable& error) {
  if (error.problem().kind == hts::IndexProblem::Kind::missing) {
    OwnedRef arguments = OwnedRef::steal(
        checked(error.index_path().empty()
                    ? Py_BuildValue("(is)", ENOENT, error.what())
                    : Py_BuildValue("(iss)", ENOENT, error.what(), error.index_path().c_str())));
    PyErr_SetObject(PyExc_FileNotFoundError, arguments.get());
  } else {
    PyErr_SetString(PyExc_ValueError, error.what());
  }
  throw PythonError();
}

void warn_index_skipped(const std::string& warning) {
  if (warning.empty()) return;
  if (PyErr_WarnEx(PyExc_UserWarning, warning.c_str(), 1) < 0) throw PythonError();
}

PyObject* index_file(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  try {
    if (nargs != 4) {
      PyErr_SetString(PyExc_TypeError, "index_file(path, index_path, csi, threads)");
      return nullptr;
    }
    Py_ssize_t size = 0;
    const char* path = checked(PyUnicode_AsUTF8AndSize(args[0], &size));
    const std::string data(path, static_cast<std::size_t>(size));
    const char* index = checked(PyUnicode_AsUTF8AndSize(args[1], &size));
    const std::string index_path(index, static_cast<std::size_t>(size));
    const int csi = PyObject_IsTrue(args[2]);
    if (csi < 0) return nullptr;
    const int threads = thread_count(args[3]);
    std::optional<std::string> problem;
    {
      const ReleasedGil released;
      problem = hts::index_file(
          data, index_path, csi != 0 ? hts::Index::Format::csi : hts::Index::Format::tbi, threads);
    }
    if (!problem) Py_RETURN_NONE;
    PyErr_SetString(PyExc_ValueError, problem->c_str());
    return nullptr;
  } catch (...) {
    set_python_error_from_current();
    return nullptr;
  }
}

}  // namespace varsift::tools
