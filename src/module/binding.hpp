#pragma once

#include <array>
#include <cstddef>
#include <string_view>

#include "expected.hpp"

namespace varsift::module {

// A function whose parameters may all be passed by position or by keyword and are all required.
template <std::size_t N>
struct FunctionDescription {
  std::string_view name;
  std::array<std::string_view, N> parameters;
};

// The objects bound to the parameters, in parameter order; borrowed from the call.
template <std::size_t N>
using Slots = std::array<PyObject*, N>;

// Binds a fast call's positional values and keyword values (named by `kwnames`, or null for
// none) to the parameters, raising CPython's TypeErrors for a malformed call. Looks at no
// argument object, and allocates nothing unless binding fails.
template <std::size_t N>
Expected<Slots<N>> bind_arguments(const FunctionDescription<N>& function, PyObject* const* args,
                                  Py_ssize_t nargs, PyObject* kwnames);

extern template Expected<Slots<2>> bind_arguments(const FunctionDescription<2>&, PyObject* const*,
                                                  Py_ssize_t, PyObject*);

}  // namespace varsift::module
