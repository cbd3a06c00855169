#pragma once

#include "core/failure.hpp"

#include "owned_ref.hpp"

namespace varsift::module {

// The API-failure rule, for a CPython call that failed to create an object: the pending
// exception goes to sys.excepthook, and the failure "Python API call failed" ends the operation.
[[noreturn]] void api_failure(core::FailureSite where = core::FailureSite::here());

// Owns `created`, the result of a CPython call that creates an object; applies the API-failure
// rule when it is null.
OwnedRef created_or_fail(PyObject* created, core::FailureSite where = core::FailureSite::here());

}  // namespace varsift::module
