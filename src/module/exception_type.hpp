#pragma once

#include "owned_ref.hpp"

namespace varsift::module {

// The type pyo3_runtime.PanicException, which a failure becomes at the boundary: a direct
// subclass of BaseException, one for the process, never released. It is made on first use:
// the first fetch of a pending exception (at import, the AttributeError of the missing __all__)
// or the first failure. Gives null only while it is being made, when no instance can exist.
PyObject* panic_exception_type();

}  // namespace varsift::module
