#include "block_walk.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>

#include "bgzf_block.hpp"

namespace varsift::hts {
namespace {

constexpr std::size_t isize_bytes = 4;

// Reads up to `size` bytes at `offset`, fewer only at the end of the file.
bool read_at(int fd, unsigned char* buffer, std::size_t size, std::uint64_t offset,
             std::size_t& got, core::IoError& error) {
  got = 0;
  while (got < size) {
    const ssize_t read = ::pread(fd, buffer + got, size - got, static_cast<off_t>(offset + got));
    if (read < 0) {
      if (errno == EINTR) continue;
      error = core::IoError::os(errno);
      return false;
    }
    if (read == 0) break;
    got += static_cast<std::size_t>(read);
  }
  return true;
}

std::uint32_t little_endian_32(const unsigned char* p) noexcept {
  return std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8U | std::uint32_t{p[2]} << 16U |
         std::uint32_t{p[3]} << 24U;
}

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
