#pragma once

#include <cstdint>
#include <exception>
#include <memory>
#if !__has_builtin(__builtin_COLUMN)
#include <source_location>
#endif
#include <string>
#include <string_view>

#include "io_error.hpp"
#include "parse_int_error.hpp"

namespace varsift::core {

// A fixed source location shown in a failure report.
struct FailureSite {
  std::string_view file;
  std::uint32_t line;
  std::uint32_t column;

  // The site of the call, when used as a defaulted argument. Clang 14 has no
  // std::source_location with libstdc++, GCC 12 no __builtin_COLUMN: each gets what it has.
#if __has_builtin(__builtin_COLUMN)
  static constexpr FailureSite here(const char* file = __builtin_FILE(),
                                    std::uint32_t line = __builtin_LINE(),
                                    std::uint32_t column = __builtin_COLUMN()) noexcept {
    return {file, line, column};
  }
#else
  static constexpr FailureSite here(
      std::source_location where = std::source_location::current()) noexcept {
    return {where.file_name(), where.line(), where.column()};
  }
#endif
};

// The module's fatal error. It travels as an exception from where it is raised to the entry
// point's boundary and is caught nowhere in between. Its report is already written when it
// is thrown.
class Failure final : public std::exception {
 public:
  explicit Failure(std::string message);
  Failure(const Failure& other) noexcept;
  Failure& operator=(const Failure&) = delete;
  ~Failure() override;

  const std::string& message() const noexcept { return *message_; }
  // The message, kept without copying it (and so without memory) once the failure is gone.
  const std::shared_ptr<const std::string>& shared_message() const noexcept { return message_; }
  const char* what() const noexcept override { return message_->c_str(); }

  // Whether a failure is on its way up on this thread (one still exists that was raised here).
  static bool travelling() noexcept;

 private:
  // Shared so that copying, which exceptions require to be noexcept, never allocates.
  std::shared_ptr<const std::string> message_;
};

// Whether raising writes a failure report: every failure does, but the one that re-raises a
// panic fetched back from Python, whose report was written when it first happened.
enum class Report : std::uint8_t { write, skip };

// "called `Result::unwrap()` on an `Err` value: " and the debug form of the error.
[[noreturn]] void raise_failure(const FailureSite& site, const IoError& error);
[[noreturn]] void raise_failure(const FailureSite& site, const ParseIntError& error);

// "called `Option::unwrap()` on a `None` value".
[[noreturn]] void raise_failure(const FailureSite& site);

// A failure whose message the raiser has built.
[[noreturn]] void raise_failure_message(const FailureSite& site, std::string message,
                                        Report report = Report::write);

}  // namespace varsift::core
