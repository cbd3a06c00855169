#pragma once

#include <string_view>

namespace varsift::core {

// Whether `bytes` is well-formed UTF-8: no overlong forms, no surrogates, nothing above
// U+10FFFF and no cut-off sequence.
bool is_valid_utf8(std::string_view bytes) noexcept;

// Whether every byte is below 0x80, which makes any cut of the bytes valid UTF-8.
bool is_ascii(std::string_view bytes) noexcept;

}  // namespace varsift::core
