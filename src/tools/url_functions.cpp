#include "url_functions.hpp"

#include <cerrno>
#include <string>

#include "hts/remote_file.hpp"
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

}  // namespace varsift::tools
