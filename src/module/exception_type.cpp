#include "exception_type.hpp"

#include <string_view>

#include "python_error.hpp"

namespace varsift::module {
namespace {

// The dotted name makes CPython set __module__ "pyo3_runtime", which callers match on.
constexpr const char* panic_exception_name = "pyo3_runtime.PanicException";
constexpr const char* panic_exception_doc =
    "\n"
    "The exception raised when native code called from Python panics.\n"
    "\n"
    "Like SystemExit, this exception is derived from BaseException so that\n"
    "it will typically propagate all the way through the stack and cause the\n"
    "Python interpreter to exit.\n";
constexpr std::string_view type_creation_failed = "Failed to initialize new exception type.";

// Shared by every interpreter of the process and never released.
PyObject* panic_type = nullptr;

}  // namespace

PyObject* panic_exception_type() {
  if (panic_type != nullptr) return panic_type;
  PyObject* made = PyErr_NewExceptionWithDoc(panic_exception_name, panic_exception_doc,
                                             PyExc_BaseException, nullptr);
  if (made == nullptr) raise_failure_describing(type_creation_failed, fetch_error());
  panic_type = made;
  return panic_type;
}

PyObject* panic_exception_type_if_made() noexcept { return panic_type; }

}  // namespace varsift::module
