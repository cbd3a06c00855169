#include "api_failure.hpp"

#include <string>

#include "core/failure.hpp"

namespace varsift::module {
namespace {

constexpr const char* api_call_failed = "Python API call failed";

}  // namespace

void api_failure(core::FailureSite where) {
  PyErr_Print();
  core::raise_failure_message(where, api_call_failed);
}

OwnedRef created_or_fail(PyObject* created, core::FailureSite where) {
  if (created == nullptr) api_failure(where);
  return OwnedRef::steal(created);
}

}  // namespace varsift::module
