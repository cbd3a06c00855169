#include "exception_type.hpp"

#include <string_view>
#include <utility>

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
// Set while the type is being made: the error of a failed attempt is fetched without making
// the type again.
bool making_type = false;

}  // namespace

PyObject* panic_exception_type() {
  if (panic_type != nullptr || making_type) return panic_type;
  PyObject* made = nullptr;
  {
    making_type = true;
    const struct Done {
      ~Done() { making_type = false; }
    } done;
    made = PyErr_NewExceptionWithDoc(panic_exception_name, panic_exception_doc, PyExc_BaseException,
                                     nullptr);
    if (made == nullptr) {
      PythonError error = fetch_error();
      raise_failure_describing(type_creation_failed, std::move(error));
    }
  }
  panic_type = made;
  return panic_type;
}

}  // namespace varsift::module
