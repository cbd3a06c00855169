#include "panic_boundary.hpp"

#include <cstdlib>
#include <exception>
#include <string_view>

#include "api_failure.hpp"
#include "core/failure_report.hpp"
#include "exception_type.hpp"

namespace varsift::module {
namespace {

constexpr std::string_view uncaught_panic = "uncaught panic at ffi boundary";
constexpr std::string_view foreign_exception = "C++ exception other than a failure at ffi boundary";

PyObject* raise_outcome(Outcome outcome) {
  if (outcome.returned.has_value()) {
    Expected<OwnedRef>& returned = *outcome.returned;
    if (returned.has_value()) return returned.value().release();
    std::move(returned).error().raise();
    return nullptr;
  }
  const std::string_view message = outcome.memory_exhausted.has_value()
                                       ? std::string_view(outcome.memory_exhausted->what())
                                       : std::string_view(*outcome.failure_message);
  OwnedRef text = created_or_fail(
      PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size())));
  OwnedRef arguments = created_or_fail(PyTuple_New(1));
  PyTuple_SET_ITEM(arguments.get(), 0, text.release());
  PythonError::created(panic_exception_type(), std::move(arguments)).raise();
  return nullptr;
}

}  // namespace

void fail_for_memory(Outcome& outcome, const core::MemoryExhausted& exhausted) noexcept {
  core::write_failure_report(core::FailureSite::here(), exhausted.what());
  outcome.memory_exhausted.emplace(exhausted);
}

PyObject* finish_outcome(Outcome outcome) noexcept {
  try {
    return raise_outcome(std::move(outcome));
  } catch (const core::Failure&) {
    // Reported while the failure still travels, so the report carries a full backtrace.
    core::write_failure_report(core::FailureSite::here(), uncaught_panic);
    std::abort();
  } catch (...) {
    abort_on_foreign_exception();
  }
}

void abort_on_foreign_exception() noexcept {
  std::string message(foreign_exception);
  try {
    throw;
  } catch (const std::exception& exception) {
    message += ": ";
    message += exception.what();
  } catch (...) {
  }
  core::write_failure_report(core::FailureSite::here(), message);
  std::abort();
}

}  // namespace varsift::module
