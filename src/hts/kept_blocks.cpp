#include "kept_blocks.hpp"

#include <htslib/bgzf.h>
#include <htslib/hfile.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "bgzf_block.hpp"

namespace varsift::hts {

bool KeptBlocks::keep(const BGZF* file) {
  const auto address = static_cast<std::uint64_t>(file->block_address);
  if (file->block_length <= 0 || blocks_.contains(address)) return true;
  const auto size = static_cast<std::size_t>(file->block_length);
  if (size > capacity_ - std::min(capacity_, held_)) return false;
  Block block{static_cast<std::uint64_t>(htell(file->fp)), size,
              std::make_unique_for_overwrite<char[]>(size), std::nullopt};
  std::memcpy(block.bytes.get(), file->uncompressed_block, size);
  blocks_.emplace(address, std::move(block));
  held_ += size;
  return true;
}

bool KeptBlocks::full() const noexcept {
  return capacity_ - std::min(capacity_, held_) < bgzf_max_block_size;
}

void KeptBlocks::keep_only(const BGZF* file) {
  const auto loaded = blocks_.find(static_cast<std::uint64_t>(file->block_address));
  if (file->block_length > 0 && loaded != blocks_.end()) {
    auto node = blocks_.extract(loaded);
    blocks_.clear();
    held_ = node.mapped().size;
    blocks_.insert(std::move(node));
    return;
  }
  blocks_.clear();
  held_ = 0;
  keep(file);
}

bool KeptBlocks::load(BGZF* file, std::uint64_t address) const {
  const auto found = blocks_.find(address);
  if (found == blocks_.end()) return false;
  const Block& block = found->second;
  std::memcpy(file->uncompressed_block, block.bytes.get(), block.size);
  file->block_address = static_cast<std::int64_t>(address);
  file->block_clength = static_cast<int>(block.end - address);
  file->block_length = static_cast<int>(block.size);
  file->block_offset = 0;
  return true;
}

int KeptBlocks::next(BGZF* file) {
  const auto found = file->block_length > 0
                         ? blocks_.find(static_cast<std::uint64_t>(file->block_address))
                         : blocks_.end();
  if (found == blocks_.end()) {
    file->block_offset = file->block_length;
    return bgzf_peek(file);
  }
  Block& block = found->second;
  const std::uint64_t following = block.next ? block.next->value_or(block.end) : block.end;
  if (block.next && !*block.next) {
    // The data ends here: nothing to read, and nowhere to go back to.
    file->block_address = static_cast<std::int64_t>(block.end);
    file->block_length = 0;
    file->block_offset = 0;
    return -1;
  }
  if (load(file, following))
    return static_cast<unsigned char>(*static_cast<char*>(file->uncompressed_block));
  // The file stands where the kept block ends only if that block was read last.
  if (htell(file->fp) != static_cast<off_t>(following) &&
      bgzf_seek(file, static_cast<std::int64_t>(following << 16), SEEK_SET) < 0) {
    return -2;
  }
  file->block_offset = file->block_length;
  const int got = bgzf_peek(file);
  if (got == -2) return got;
  // At the end htslib leaves no block loaded, whatever bgzf_peek gives.
  if (file->block_length == 0) {
    block.next.emplace(std::nullopt);
    return -1;
  }
  block.next.emplace(static_cast<std::uint64_t>(file->block_address));
  return got;
}

}  // namespace varsift::hts
