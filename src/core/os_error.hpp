#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "error_kind.hpp"

namespace varsift::core {

// Kind of an OS error code of this platform.
ErrorKind os_error_kind(std::int32_t code) noexcept;

// The platform's one-line description of an OS error code, without trailing white space.
std::string os_error_text(std::int32_t code);

// `text` without its trailing characters of the Unicode White_Space property.
std::string_view trim_trailing_white_space(std::string_view text) noexcept;

}  // namespace varsift::core
