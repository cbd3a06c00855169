#pragma once

#include <optional>
#include <string_view>

namespace varsift::core {

// The value of `key` in a structured header line `##TYPE=<KEY=VALUE,KEY="VALUE",...>` of the
// given type; nullopt when the line is of another type or has no such key. Quoted values may
// hold ',', '=', '>' and '\"'; the value is given without its quotes, escapes as written.
std::optional<std::string_view> structured_field(std::string_view line, std::string_view type,
                                                 std::string_view key) noexcept;

}  // namespace varsift::core
