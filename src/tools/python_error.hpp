#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <exception>
#include <string>
#include <string_view>

#include "library/scan_error.hpp"

namespace varsift::tools {

// Thrown when a Python exception is already set; the entry point returns NULL for it.
class PythonError : public std::exception {
 public:
  const char* what() const noexcept override { return "a Python exception is set"; }
};

// Throws PythonError if `result` is null (an API call failed with the exception set).
template <class T>
T* checked(T* result) {
  if (result == nullptr) throw PythonError();
  return result;
}

// Sets the Python exception for `error` on the input named `filename`: an OSError subclass
// chosen by errno, or the package's VcfFormatError / CompressionError with the line number, or
// with none and the place when the number is unknown.
[[noreturn]] void raise_scan_error(const library::ScanError& error, std::string_view filename);

// Sets an OSError subclass chosen by `code`, naming `filename` (none when empty).
[[noreturn]] void raise_os_error(int code, std::string_view filename);

// The bytes of a file name given as bytes (os.fsencode). Raises TypeError otherwise.
std::string path_bytes(PyObject* path);

// Turns whatever a native call threw into the Python exception to raise; call inside catch.
void set_python_error_from_current() noexcept;

}  // namespace varsift::tools
