#include "python_error.hpp"

#include <string_view>

#include "api_failure.hpp"
#include "core/failure.hpp"
#include "core/stderr_writer.hpp"
#include "display_text.hpp"
#include "exception_type.hpp"

namespace varsift::module {
namespace {

constexpr std::string_view no_exception_set = "attempted to fetch exception but none was set";
constexpr std::string_view resume_notice =
    "--- PyO3 is resuming a panic after fetching a PanicException from Python. ---\n"
    "Python stack trace below:\n";
constexpr std::string_view unwrapped_panic = "Unwrapped panic from Python code";

// A PanicException that Python code raised into the module carries on the panic it came from:
// the exception is printed with its traceback and a failure with its message takes over. Its
// report was written when it first happened, so none is written now.
[[noreturn]] void resume_panic(OwnedRef exception, core::FailureSite where) {
  std::string message;
  if (OwnedRef text = OwnedRef::steal(PyObject_Str(exception.get()))) {
    message = lossy_utf8(text.get());
  } else {
    static_cast<void>(fetch_error(where));
    message = unwrapped_panic;
  }
  core::write_stderr(resume_notice);
  PyErr_SetRaisedException(exception.release());
  PyErr_PrintEx(0);
  core::raise_failure_message(where, std::move(message), core::Report::skip);
}

}  // namespace

PythonError PythonError::taken(OwnedRef exception) noexcept {
  return PythonError(nullptr, std::move(exception));
}

PythonError PythonError::created(PyObject* type, OwnedRef argument) noexcept {
  return PythonError(type, std::move(argument));
}

PythonError PythonError::created(PyObject* type, std::string_view message,
                                 core::FailureSite where) {
  return created(type, created_or_fail(PyUnicode_FromStringAndSize(
                                           message.data(), static_cast<Py_ssize_t>(message.size())),
                                       where));
}

PyObject* PythonError::type() const noexcept {
  return created_type_ != nullptr ? created_type_
                                  : reinterpret_cast<PyObject*>(Py_TYPE(value_.get()));
}

void PythonError::raise() && noexcept {
  if (created_type_ == nullptr) {
    PyErr_SetRaisedException(value_.release());
  } else {
    PyErr_SetObject(created_type_, value_.get());
    value_ = OwnedRef();
  }
}

OwnedRef PythonError::into_exception() && noexcept {
  if (created_type_ == nullptr) return std::move(value_);
  std::move(*this).raise();
  return OwnedRef::steal(PyErr_GetRaisedException());
}

PythonError fetch_error(core::FailureSite where) {
  OwnedRef exception = OwnedRef::steal(PyErr_GetRaisedException());
  if (!exception) return PythonError::created(PyExc_SystemError, no_exception_set, where);
  PyObject* panic_type = panic_exception_type();
  if (panic_type != nullptr &&
      reinterpret_cast<PyObject*>(Py_TYPE(exception.get())) == panic_type) {
    resume_panic(std::move(exception), where);
  }
  return PythonError::taken(std::move(exception));
}

std::string describe(PythonError error) {
  OwnedRef exception = std::move(error).into_exception();
  std::string text = "PyErr { type: ";
  text += repr_text(reinterpret_cast<PyObject*>(Py_TYPE(exception.get())));
  text += ", value: ";
  text += repr_text(exception.get());
  text += ", traceback: ";
  if (OwnedRef traceback = OwnedRef::steal(PyException_GetTraceback(exception.get()))) {
    text += "Some(";
    text += repr_text(traceback.get());
    text += ")";
  } else {
    text += "None";
  }
  text += " }";
  return text;
}

void raise_failure_describing(std::string_view what, PythonError error, core::FailureSite where) {
  std::string message(what);
  message += ": ";
  message += describe(std::move(error));
  core::raise_failure_message(where, std::move(message));
}

}  // namespace varsift::module
