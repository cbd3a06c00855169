#pragma once

#include <string_view>

#include "python_error.hpp"

namespace varsift::module {

// The error that a failed conversion of argument `parameter` ends the call with: a plain
// TypeError is re-raised as a new TypeError "argument '<parameter>': <its text>" that keeps only
// its cause; every other exception passes unchanged.
PythonError wrap_argument_error(std::string_view parameter, PythonError error);

}  // namespace varsift::module
