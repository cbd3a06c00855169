#pragma once

#include "owned_ref.hpp"

namespace varsift::module {

// The type pyo3_runtime.PanicException, which a failure becomes at the boundary: a direct
// subclass of BaseException, one for the process, made on first use and never released.
PyObject* panic_exception_type();

// That type if it has been made already, else null. No instance can exist before it is made.
PyObject* panic_exception_type_if_made() noexcept;

}  // namespace varsift::module
