#pragma once

#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "core/allocator.hpp"
#include "core/failure.hpp"
#include "expected.hpp"
#include "owned_ref.hpp"

namespace varsift::module {

// What the body of an entry point came to: its result, a Python error, or a failure: the
// message of a failure, or an allocation that could not be met. Neither needs memory to keep.
struct Outcome {
  std::optional<Expected<OwnedRef>> returned;
  std::shared_ptr<const std::string> failure_message;
  std::optional<core::MemoryExhausted> memory_exhausted;
};

// Writes the report of an allocation that could not be met, once the body has released all it
// held, and keeps it in `outcome` as a failure.
void fail_for_memory(Outcome& outcome, const core::MemoryExhausted& exhausted) noexcept;

// Raises the outcome to the interpreter and gives the entry point's return value: the result,
// or null with one exception pending. A failure while raising cannot reach Python and aborts.
PyObject* finish_outcome(Outcome outcome) noexcept;

// Ends the process for an exception that is not a failure; such unwinding never crosses into
// the interpreter.
[[noreturn]] void abort_on_foreign_exception() noexcept;

// Runs the body of an entry point (a callable giving Expected<OwnedRef>) so that nothing it
// throws crosses into the interpreter: a failure becomes pyo3_runtime.PanicException.
template <class Body>
PyObject* panic_boundary(Body&& body) noexcept {
  Outcome outcome;
  try {
    outcome.returned.emplace(std::forward<Body>(body)());
  } catch (const core::Failure& failure) {
    // Only the text is kept: the failure has stopped travelling once its handler ends.
    outcome.failure_message = failure.shared_message();
  } catch (const core::MemoryExhausted& exhausted) {
    fail_for_memory(outcome, exhausted);
  } catch (...) {
    abort_on_foreign_exception();
  }
  return finish_outcome(std::move(outcome));
}

}  // namespace varsift::module
