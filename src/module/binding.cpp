#include "binding.hpp"

#include <string>

#include "display_text.hpp"

namespace varsift::module {
namespace {

template <std::size_t N>
std::string function_display_name(const FunctionDescription<N>& function) {
  std::string text(function.name);
  text += "()";
  return text;
}

template <std::size_t N>
PythonError too_many_positional(const FunctionDescription<N>& function, Py_ssize_t nargs) {
  std::string message = function_display_name(function);
  message += " takes " + std::to_string(N) + " positional arguments but ";
  message += std::to_string(nargs) + " were given";
  return PythonError::created(PyExc_TypeError, message);
}

template <std::size_t N>
PythonError unexpected_keyword(const FunctionDescription<N>& function, PyObject* keyword) {
  std::string message = function_display_name(function);
  message += " got an unexpected keyword argument '";
  message += display_text(keyword);
  message += "'";
  return PythonError::created(PyExc_TypeError, message);
}

template <std::size_t N>
PythonError multiple_values(const FunctionDescription<N>& function, std::string_view parameter) {
  std::string message = function_display_name(function);
  message += " got multiple values for argument '";
  message += parameter;
  message += "'";
  return PythonError::created(PyExc_TypeError, message);
}

// "missing 2 required positional arguments: 'a' and 'b'", with "a, b and c" for more.
template <std::size_t N>
PythonError missing_arguments(const FunctionDescription<N>& function, const Slots<N>& slots) {
  std::size_t missing = 0;
  for (PyObject* slot : slots) missing += slot == nullptr ? 1 : 0;
  std::string message = function_display_name(function);
  message += " missing " + std::to_string(missing) + " required positional ";
  message += missing == 1 ? "argument: " : "arguments: ";
  std::size_t listed = 0;
  for (std::size_t i = 0; i < N; ++i) {
    if (slots[i] != nullptr) continue;
    if (listed > 0) message += listed + 1 == missing ? " and " : ", ";
    message += "'";
    message += function.parameters[i];
    message += "'";
    ++listed;
  }
  return PythonError::created(PyExc_TypeError, message);
}

}  // namespace

template <std::size_t N>
Expected<Slots<N>> bind_arguments(const FunctionDescription<N>& function, PyObject* const* args,
                                  Py_ssize_t nargs, PyObject* kwnames) {
  if (nargs > static_cast<Py_ssize_t>(N)) return too_many_positional(function, nargs);

  Slots<N> slots{};
  for (Py_ssize_t i = 0; i < nargs; ++i) slots[static_cast<std::size_t>(i)] = args[i];

  Py_ssize_t keywords = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
  for (Py_ssize_t k = 0; k < keywords; ++k) {
    PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(keyword, &size);
    if (utf8 == nullptr) {
      // A name with lone surrogates matches no parameter.
      static_cast<void>(fetch_error());
      return unexpected_keyword(function, keyword);
    }
    std::string_view name(utf8, static_cast<std::size_t>(size));
    std::size_t index = 0;
    while (index < N && function.parameters[index] != name) ++index;
    if (index == N) return unexpected_keyword(function, keyword);
    if (slots[index] != nullptr) return multiple_values(function, function.parameters[index]);
    slots[index] = args[nargs + k];
  }

  for (PyObject* slot : slots) {
    if (slot == nullptr) return missing_arguments(function, slots);
  }
  return slots;
}

template Expected<Slots<2>> bind_arguments(const FunctionDescription<2>&, PyObject* const*,
                                           Py_ssize_t, PyObject*);

}  // namespace varsift::module
