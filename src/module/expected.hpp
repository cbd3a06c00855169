#pragma once

#include <utility>
#include <variant>

#include "python_error.hpp"

namespace varsift::module {

// The result of an operation that can meet a Python error: the value, or the error, which its
// caller passes upward to the entry point.
template <class T>
class [[nodiscard]] Expected {
 public:
  Expected(T value) noexcept(std::is_nothrow_move_constructible_v<T>)
      : state_(std::in_place_index<0>, std::move(value)) {}
  Expected(PythonError error) noexcept : state_(std::in_place_index<1>, std::move(error)) {}

  bool has_value() const noexcept { return state_.index() == 0; }

  T& value() & noexcept { return *std::get_if<0>(&state_); }
  T&& value() && noexcept { return std::move(*std::get_if<0>(&state_)); }
  PythonError&& error() && noexcept { return std::move(*std::get_if<1>(&state_)); }

 private:
  std::variant<T, PythonError> state_;
};

}  // namespace varsift::module
