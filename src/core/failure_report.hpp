#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "failure.hpp"

namespace varsift::core {

enum class BacktraceStyle : std::uint8_t { off, short_, full };

// The environment variable that switches backtraces on.
inline constexpr std::string_view backtrace_switch = "VARSIFT_BACKTRACE";

// Style for a value of the backtrace switch; nullopt means the variable is unset.
BacktraceStyle backtrace_style_from(std::optional<std::string_view> value) noexcept;

// Writes the report of a failure to file descriptor 2, under the report lock: the thread
// line, the message, then the one-time note or a backtrace. Never fails; write errors only
// cut the line short.
void write_failure_report(const FailureSite& site, std::string_view message) noexcept;

}  // namespace varsift::core
