#pragma once

#include <cstdint>
#include <variant>
#include <vector>

#include "core/io_error.hpp"

namespace varsift::hts {

// A BGZF block's total size and its ISIZE field, as its header and trailer tell them.
struct BlockSpan {
  std::uint64_t size;
  std::uint32_t isize;
};

// Where a block starts, in the file and in the inflated data.
struct BlockStart {
  std::uint64_t compressed;
  std::uint64_t uncompressed;
};

// No BGZF block where one was looked for, or one that runs past the end of the file.
struct NoBlock {};

using BlockResult = std::variant<BlockSpan, NoBlock, core::IoError>;
using WalkResult = std::variant<std::vector<BlockStart>, NoBlock, core::IoError>;

// The block at `offset` of the file `fd` (of `file_size` bytes), read from its header and
// trailer alone.
BlockResult block_at(int fd, std::uint64_t offset, std::uint64_t file_size);

// Where every block of the BGZF file `fd` starts, found by reading a few bytes per block
// rather than inflating: NoBlock unless the blocks tile the file exactly, each holding at
// most 65536 bytes.
WalkResult walk_blocks(int fd);

}  // namespace varsift::hts
