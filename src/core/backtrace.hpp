#pragma once

#include <cstddef>

namespace varsift::core {

// Writes a backtrace of the calling thread to `fd`, innermost frame first, leaving out the
// `skip` innermost frames besides its own. Symbol names are demangled where the dynamic
// symbol table has them; other frames show their object file and offset.
void write_backtrace(int fd, std::size_t skip) noexcept;

}  // namespace varsift::core
