#include "api_failure.hpp"

#include <string>

#include "core/failure.hpp"

namespace varsift::module {
namespace {

constexpr const char* api_call_failed = "Python API call failed";

}  // namespace

void api_failure(std::source_location where) {
  PyErr_Print();
  core::raise_failure_message(core::FailureSite::here(where), api_call_failed);
}

OwnedRef created_or_fail(PyObject* created, std::source_location where) {
  if (created == nullptr) api_failure(where);
  return OwnedRef::steal(created);
}

}  // namespace varsift::module
