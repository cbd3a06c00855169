#pragma once

#include <cstddef>
#include <cstdint>

#include "core/io_error.hpp"

namespace varsift::hts {

// Reads up to `size` bytes at `offset` of `fd` into `buffer`, retrying interrupted and short
// reads: fewer only at the end of the file. Gives false with the system's error otherwise.
bool read_at(int fd, unsigned char* buffer, std::size_t size, std::uint64_t offset,
             std::size_t& got, core::IoError& error);

}  // namespace varsift::hts
