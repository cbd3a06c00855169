#pragma once

#include <string_view>

#include "python_error.hpp"

namespace varsift::module {

// The TypeError "'<type>' object cannot be converted to '<target>'" for an object of the wrong
// kind, named by its type's qualified name.
PythonError downcast_error(PyObject* object, std::string_view target);

}  // namespace varsift::module
