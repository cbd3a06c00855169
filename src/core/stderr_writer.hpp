#pragma once

#include <string_view>

namespace varsift::core {

// Writes all of `bytes` to file descriptor 2, for text outside failure reports. A closed
// standard error counts as success; any other write error raises the failure
// "failed printing to stderr: " with the display form of the error.
void write_stderr(std::string_view bytes);

}  // namespace varsift::core
