#include "failure.hpp"

#include "failure_report.hpp"

namespace varsift::core {
namespace {

constexpr std::string_view result_unwrap = "called `Result::unwrap()` on an `Err` value";
constexpr std::string_view option_unwrap = "called `Option::unwrap()` on a `None` value";

// Failure objects alive on this thread: one is travelling while this is above zero.
thread_local int live_failures = 0;

std::string with_error(std::string_view debug) {
  std::string message(result_unwrap);
  message += ": ";
  message += debug;
  return message;
}

}  // namespace

Failure::Failure(std::string message)
    : message_(std::make_shared<const std::string>(std::move(message))) {
  ++live_failures;
}

Failure::Failure(const Failure& other) noexcept : std::exception(other), message_(other.message_) {
  ++live_failures;
}

Failure::~Failure() { --live_failures; }

bool Failure::travelling() noexcept { return live_failures > 0; }

void raise_failure(const FailureSite& site, const IoError& error) {
  raise_failure_message(site, with_error(error.debug()));
}

void raise_failure(const FailureSite& site, const ParseIntError& error) {
  raise_failure_message(site, with_error(error.debug()));
}

void raise_failure(const FailureSite& site) {
  raise_failure_message(site, std::string(option_unwrap));
}

void raise_failure_message(const FailureSite& site, std::string message, Report report) {
  if (report == Report::write) write_failure_report(site, message);
  throw Failure(std::move(message));
}

}  // namespace varsift::core
