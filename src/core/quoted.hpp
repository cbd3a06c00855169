#pragma once

#include <string>
#include <string_view>

namespace varsift::core {

// Appends `text` (valid UTF-8) between double quotes, escaping quotes, backslashes, control
// characters, combining marks, separators and unassigned code points.
void append_quoted(std::string& out, std::string_view text);

std::string quoted(std::string_view text);

}  // namespace varsift::core
