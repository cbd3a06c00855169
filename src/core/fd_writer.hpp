#pragma once

#include <cerrno>
#include <string_view>

namespace varsift::core {

// Writes all of `bytes` to `fd`, retrying interrupted and partial writes. Gives 0 on success,
// else the errno of the failed write (-1 when a write took no bytes).
int write_all(int fd, std::string_view bytes) noexcept;

}  // namespace varsift::core
