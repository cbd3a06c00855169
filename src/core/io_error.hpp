#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <variant>

#include "error_kind.hpp"

namespace varsift::core {

// An I/O error: an OS error code, a kind with a static message, a bare kind, or a kind wrapping
// another error. Kind and text of an OS error are worked out when it is rendered.
class IoError {
 public:
  static IoError os(std::int32_t code) noexcept { return IoError(Os{code}); }
  // `message` must be a string literal or otherwise live for the whole process.
  static IoError fixed(ErrorKind kind, const char* message) noexcept {
    return IoError(Fixed{kind, message});
  }
  static IoError bare(ErrorKind kind) noexcept { return IoError(Bare{kind}); }
  static IoError wrapped(ErrorKind kind, std::string inner_debug, std::string inner_display);

  ErrorKind kind() const noexcept;
  bool is_os() const noexcept { return std::holds_alternative<Os>(value_); }
  // The code of an OS error; only valid for one.
  std::int32_t os_code() const noexcept { return std::get<Os>(value_).code; }

  // Debug form, e.g. `Os { code: 2, kind: NotFound, message: "No such file or directory" }`.
  std::string debug() const;
  // Display form, e.g. `No such file or directory (os error 2)`.
  std::string display() const;

 private:
  struct Os {
    std::int32_t code;
  };
  struct Fixed {
    ErrorKind kind;
    const char* message;
  };
  struct Bare {
    ErrorKind kind;
  };
  struct Custom {
    ErrorKind kind;
    std::shared_ptr<const std::pair<std::string, std::string>> inner;  // debug, display
  };
  using Value = std::variant<Os, Fixed, Bare, Custom>;

  explicit IoError(Value value) noexcept : value_(std::move(value)) {}

  Value value_;
};

}  // namespace varsift::core
