#include "python_error.hpp"

#include <cerrno>
#include <new>
#include <string>

#include "hts/remote_file.hpp"
#include "hts_plugins.hpp"
#include "module/owned_ref.hpp"

namespace varsift::tools {
namespace {

using module::OwnedRef;

OwnedRef text(std::string_view value) {
  return OwnedRef::steal(checked(
      PyUnicode_DecodeUTF8(value.data(), static_cast<Py_ssize_t>(value.size()), "replace")));
}

// One of the exception classes of varsift_tools._errors.
OwnedRef error_class(const char* name) {
  const OwnedRef errors = OwnedRef::steal(checked(PyImport_ImportModule("varsift_tools._errors")));
  return OwnedRef::steal(checked(PyObject_GetAttrString(errors.get(), name)));
}

// A file name as the caller gave it: bytes that are not UTF-8 come back as they went in.
OwnedRef file_name(std::string_view value) {
  return OwnedRef::steal(checked(
      PyUnicode_DecodeFSDefaultAndSize(value.data(), static_cast<Py_ssize_t>(value.size()))));
}

}  // namespace

void raise_os_error(int code, std::string_view filename) {
  if (filename.empty()) {
    errno = code;
    PyErr_SetFromErrno(PyExc_OSError);
    throw PythonError();
  }
  const OwnedRef name = file_name(filename);
  if (hts::is_url(filename)) {
    // The errno stands for the server's answer or the transfer's fault: say which.
    const OwnedRef reason = text(hts::remote_reason(code));
    const OwnedRef error = OwnedRef::steal(
        checked(PyObject_CallFunction(PyExc_OSError, "iOO", code, reason.get(), name.get())));
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.get())), error.get());
    throw PythonError();
  }
  errno = code;
  PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, name.get());
  throw PythonError();
}

void raise_scan_error(const library::ScanError& error, std::string_view filename) {
  if (filename == "-") filename = "<stdin>";
  if (error.kind() == library::ScanError::Kind::os) raise_os_error(error.os_code(), filename);
  const OwnedRef type = error_class(
      error.kind() == library::ScanError::Kind::damaged ? "CompressionError" : "VcfFormatError");
  const OwnedRef name = file_name(filename);
  const OwnedRef line =
      error.line_number()
          ? OwnedRef::steal(checked(PyLong_FromUnsignedLongLong(*error.line_number())))
          : OwnedRef::borrow(Py_None);
  const OwnedRef reason = text(error.what());
  // Where the number is unknown, the place names the line.
  const OwnedRef place = error.line_number() || error.place().empty() ? OwnedRef::borrow(Py_None)
                                                                      : text(error.place());
  const OwnedRef exception = OwnedRef::steal(checked(PyObject_CallFunctionObjArgs(
      type.get(), name.get(), line.get(), reason.get(), place.get(), nullptr)));
  PyErr_SetObject(type.get(), exception.get());
  throw PythonError();
}

std::string path_bytes(PyObject* path) {
  char* bytes = nullptr;
  Py_ssize_t size = 0;
  if (PyBytes_AsStringAndSize(path, &bytes, &size) < 0) throw PythonError();
  std::string converted(bytes, static_cast<std::size_t>(size));
  prepare_hts_plugins(converted);
  return converted;
}

void set_python_error_from_current() noexcept {
  try {
    throw;
  } catch (const PythonError&) {
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& error) {
    PyErr_SetString(PyExc_RuntimeError, error.what());
  }
}

}  // namespace varsift::tools
