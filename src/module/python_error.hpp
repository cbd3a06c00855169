#pragma once

#include <string>
#include <string_view>

#include "core/failure.hpp"
#include "owned_ref.hpp"

namespace varsift::module {

// An exception destined for the caller: either taken from the interpreter, complete with its
// traceback and chain, or created from a type and its argument and made into an instance only
// when it is raised.
class PythonError {
 public:
  // `exception` is a non-null exception instance.
  static PythonError taken(OwnedRef exception) noexcept;
  // `type` must live for the whole process (a built-in exception type or the panic type);
  // `argument` is the single argument, or a tuple of the arguments.
  static PythonError created(PyObject* type, OwnedRef argument) noexcept;
  // A created error whose single argument is `message`.
  static PythonError created(PyObject* type, std::string_view message,
                             core::FailureSite where = core::FailureSite::here());

  PythonError(PythonError&&) noexcept = default;
  PythonError& operator=(PythonError&&) noexcept = default;

  // The exception's type, without making an instance.
  PyObject* type() const noexcept;

  // Leaves the error pending in the interpreter. A taken exception is raised as the very
  // object; a created one is made by CPython, which chains the exception being handled.
  void raise() && noexcept;

  // The exception object, making a created error into its instance.
  OwnedRef into_exception() && noexcept;

 private:
  PythonError(PyObject* created_type, OwnedRef value) noexcept
      : created_type_(created_type), value_(std::move(value)) {}

  // Null for a taken error.
  PyObject* created_type_;
  // The taken exception, or the argument of a created one.
  OwnedRef value_;
};

// The fetch rule, used right after a CPython call has reported an error: takes the pending
// exception. With none pending, gives a SystemError saying so. A PanicException that Python code
// raised back into the module does not come back as an error: its panic is resumed as a failure.
PythonError fetch_error(core::FailureSite where = core::FailureSite::here());

// "PyErr { type: ..., value: ..., traceback: ... }", for the messages of failures that carry an
// error from the interpreter.
std::string describe(PythonError error);

// Raises a failure whose message is `what`, ": " and the description of `error`.
[[noreturn]] void raise_failure_describing(std::string_view what, PythonError error,
                                           core::FailureSite where = core::FailureSite::here());

}  // namespace varsift::module
