#include "bgzf_copy.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string_view>

#include "bgzf_block.hpp"
#include "core/fd_writer.hpp"

namespace varsift::hts {
namespace {

using core::ErrorKind;
using core::IoError;

// Read and written at once: large enough that the system calls cost little.
constexpr std::size_t buffer_bytes = std::size_t{4} << 20;

}  // namespace

BgzfCopy::BgzfCopy(UniqueFd fd)
    : fd_(std::move(fd)), buffer_(std::make_unique_for_overwrite<char[]>(buffer_bytes)) {}

std::unique_ptr<BgzfCopy> BgzfCopy::open(const std::string& path, IoError& error) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    error = IoError::os(errno);
    return nullptr;
  }
  return std::unique_ptr<BgzfCopy>(new BgzfCopy(UniqueFd(fd)));
}

BgzfCopy::Status BgzfCopy::step(int fd, std::size_t bytes, IoError& error, int& output_errno) {
  for (std::size_t copied = 0; copied < bytes;) {
    ssize_t got = 0;
    do {
      got = ::read(fd_.get(), buffer_.get() + held_, buffer_bytes - held_);
    } while (got < 0 && errno == EINTR);
    if (got < 0) {
      error = IoError::os(errno);
      return Status::input_failed;
    }
    if (got == 0) {
      if (held_ != 0) {
        error = IoError::fixed(ErrorKind::UnexpectedEof, "BGZF block cut short (file truncated?)");
        return Status::damaged;
      }
      if (!last_empty_) {
        error = IoError::fixed(ErrorKind::InvalidData, missing_marker_message);
        return Status::damaged;
      }
      return Status::done;
    }
    const std::size_t available = held_ + static_cast<std::size_t>(got);
    const auto* const bytes_read = reinterpret_cast<const unsigned char*>(buffer_.get());
    std::size_t whole = 0;
    for (;;) {
      BlockLayout layout{};
      const LayoutStatus status = read_layout(bytes_read + whole, available - whole, layout);
      if (status == LayoutStatus::partial) break;
      if (status == LayoutStatus::invalid || layout.isize > bgzf_max_block_size) {
        offset_ += whole;
        error = IoError::fixed(ErrorKind::InvalidData, bad_header_message);
        return Status::damaged;
      }
      last_empty_ = layout.isize == 0;
      whole += layout.size;
    }
    if (const int failed = core::write_all(fd, std::string_view(buffer_.get(), whole))) {
      output_errno = failed < 0 ? EIO : failed;
      return Status::output_failed;
    }
    offset_ += whole;
    copied += whole;
    held_ = available - whole;
    std::memmove(buffer_.get(), buffer_.get() + whole, held_);
  }
  return Status::more;
}

}  // namespace varsift::hts
