#include "argument_error.hpp"

#include <string>

#include "display_text.hpp"

namespace varsift::module {

PythonError wrap_argument_error(std::string_view parameter, PythonError error) {
  // A subclass of TypeError is the caller's own and passes unchanged.
  if (error.type() != PyExc_TypeError) return error;
  OwnedRef inner = std::move(error).into_exception();
  std::string message = "argument '";
  message += parameter;
  message += "': ";
  message += display_text(inner.get());
  OwnedRef wrapped = PythonError::created(PyExc_TypeError, message).into_exception();
  // Steals the new reference of the inner cause; with none, this still suppresses the context.
  PyException_SetCause(wrapped.get(), PyException_GetCause(inner.get()));
  return PythonError::taken(std::move(wrapped));
}

}  // namespace varsift::module
