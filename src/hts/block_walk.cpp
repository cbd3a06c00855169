#include "block_walk.hpp"

#include <sys/stat.h>

#include <array>
#include <cerrno>

#include "bgzf_block.hpp"
#include "little_endian.hpp"
#include "positioned_read.hpp"

namespace varsift::hts {
namespace {

constexpr std::size_t isize_bytes = 4;

}  // namespace

BlockResult block_at(int fd, std::uint64_t offset, std::uint64_t file_size) {
  core::IoError error = core::IoError::bare(core::ErrorKind::Other);
  // Enough for the usual header; a longer one is read again whole.
  std::vector<unsigned char> header(bgzf_header_size);
  std::size_t got = 0;
  if (!read_at(fd, header.data(), header.size(), offset, got, error)) return error;
  std::size_t size = 0;
  LayoutStatus status = read_block_size(header.data(), got, size);
  if (status == LayoutStatus::partial && got == header.size()) {
    header.resize(header_size(header.data()));
    if (!read_at(fd, header.data(), header.size(), offset, got, error)) return error;
    status = read_block_size(header.data(), got, size);
  }
  if (status != LayoutStatus::whole || offset + size > file_size) return NoBlock{};
  unsigned char isize[isize_bytes];
  if (!read_at(fd, isize, sizeof isize, offset + size - sizeof isize, got, error)) return error;
  return BlockSpan{size, little_endian_32(isize)};
}

WalkResult walk_blocks(int fd) {
  struct stat status {};
  if (::fstat(fd, &status) != 0) return core::IoError::os(errno);
  const auto file_size = static_cast<std::uint64_t>(status.st_size);
  core::IoError error = core::IoError::bare(core::ErrorKind::Other);
  std::vector<BlockStart> blocks;
  std::uint64_t compressed = 0;
  std::uint64_t uncompressed = 0;
  // One read per block: its ISIZE, then the header of the next block.
  std::array<unsigned char, isize_bytes + bgzf_header_size> window{};
  unsigned char* const header = window.data() + isize_bytes;
  std::size_t got = 0;
  if (!read_at(fd, header, bgzf_header_size, 0, got, error)) return error;
  while (compressed < file_size) {
    std::size_t size = 0;
    const LayoutStatus layout = read_block_size(header, got, size);
    std::uint32_t isize = 0;
    if (layout == LayoutStatus::partial && got == bgzf_header_size) {
      // A header longer than usual.
      BlockResult block = block_at(fd, compressed, file_size);
      if (auto* failure = std::get_if<core::IoError>(&block)) return std::move(*failure);
      const auto* span = std::get_if<BlockSpan>(&block);
      if (span == nullptr) return NoBlock{};
      size = span->size;
      isize = span->isize;
      if (!read_at(fd, header, bgzf_header_size, compressed + size, got, error)) return error;
    } else {
      if (layout != LayoutStatus::whole || compressed + size > file_size) return NoBlock{};
      if (!read_at(fd, window.data(), window.size(), compressed + size - isize_bytes, got, error)) {
        return error;
      }
      isize = little_endian_32(window.data());
      got -= isize_bytes;
    }
    if (isize > bgzf_max_block_size) return NoBlock{};
    blocks.push_back({compressed, uncompressed});
    compressed += size;
    uncompressed += isize;
  }
  return blocks;
}

}  // namespace varsift::hts
