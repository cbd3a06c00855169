#include "bgzf_copy.hpp"

#include <fcntl.h>
#include <sys/sendfile.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <string_view>
#include <system_error>

#include "bgzf_block.hpp"
#include "core/fd_writer.hpp"
#include "little_endian.hpp"

namespace varsift::hts {
namespace {

using core::ErrorKind;
using core::IoError;

// Bytes read at a block's start: its header, with room for the usual extra subfields.
constexpr std::size_t probe_bytes = 64;
// Most bytes a header may take: the fixed part and the largest extra field.
constexpr std::size_t max_header_bytes = bgzf_fixed_header_size + 65535;
// Bytes given to one sendfile call, and read and written at once where it is not taken.
constexpr std::size_t sendfile_bytes = std::size_t{1} << 30;
constexpr std::size_t buffer_bytes = std::size_t{256} << 10;

// Reads up to `size` bytes at `offset`, retrying interrupted and partial reads; -1 on error.
ssize_t read_at(int fd, unsigned char* into, std::size_t size, std::uint64_t offset) noexcept {
  std::size_t got = 0;
  while (got < size) {
    const ssize_t read = ::pread(fd, into + got, size - got, static_cast<off_t>(offset + got));
    if (read < 0 && errno == EINTR) continue;
    if (read < 0) return -1;
    if (read == 0) break;
    got += static_cast<std::size_t>(read);
  }
  return static_cast<ssize_t>(got);
}

}  // namespace

std::unique_ptr<BgzfCopy> BgzfCopy::open(const std::string& path, IoError& error) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    error = IoError::os(errno);
    return nullptr;
  }
  auto copy = std::unique_ptr<BgzfCopy>(new BgzfCopy(UniqueFd(fd)));
  // The walk then never allocates, so nothing can be thrown on its thread.
  copy->walk_.probe.reserve(max_header_bytes);
  return copy;
}

void BgzfCopy::Walk::run(std::uint64_t until) noexcept {
  while (!at_end && end < until) {
    const std::size_t size = block(end);
    if (status != Status::more) return;
    if (size == 0) {
      at_end = true;
    } else {
      end += size;
    }
  }
}

std::size_t BgzfCopy::Walk::block(std::uint64_t at) noexcept {
  const auto fail = [&](Status why, IoError reason) {
    status = why;
    error = std::move(reason);
    failed_at = at;
    return std::size_t{0};
  };
  const auto cut = [&] {
    return fail(Status::damaged,
                IoError::fixed(ErrorKind::UnexpectedEof, "BGZF block cut short (file truncated?)"));
  };
  const auto invalid = [&] {
    return fail(Status::damaged, IoError::fixed(ErrorKind::InvalidData, bad_header_message));
  };
  // The last block's trailer was read with the start of this one.
  ssize_t got = 0;
  if (probed != 0 && probed_at == at) {
    got = static_cast<ssize_t>(probed);
  } else {
    probe.resize(probe_bytes);
    got = read_at(fd, probe.data(), probe.size(), at);
    if (got < 0) return fail(Status::input_failed, IoError::os(errno));
  }
  probed = 0;
  if (got == 0) return 0;
  std::size_t size = 0;
  LayoutStatus header = read_block_size(probe.data(), static_cast<std::size_t>(got), size);
  if (header == LayoutStatus::partial && static_cast<std::size_t>(got) == probe.size()) {
    // Extra subfields longer than the probe: the whole header is read.
    probe.resize(max_header_bytes);
    got = read_at(fd, probe.data(), probe.size(), at);
    if (got < 0) return fail(Status::input_failed, IoError::os(errno));
    header = read_block_size(probe.data(), static_cast<std::size_t>(got), size);
  }
  if (header == LayoutStatus::invalid) return invalid();
  if (header == LayoutStatus::partial) return cut();
  // The ISIZE that ends the block, and the start of the next one, in one read.
  constexpr std::size_t isize_bytes = 4;
  probe.resize(isize_bytes + probe_bytes);
  got = read_at(fd, probe.data(), probe.size(), at + size - isize_bytes);
  if (got < 0) return fail(Status::input_failed, IoError::os(errno));
  if (static_cast<std::size_t>(got) < isize_bytes) return cut();
  const std::uint32_t isize = little_endian_32(probe.data());
  probe.erase(probe.begin(), probe.begin() + isize_bytes);
  probed = static_cast<std::size_t>(got) - isize_bytes;
  probed_at = at + size;
  if (isize > bgzf_max_block_size) return invalid();
  last_empty = isize == 0;
  last_block = at;
  if (!last_empty) last_data_block = at;
  return size;
}

bool BgzfCopy::copy_to(int fd, std::uint64_t end, Status& status, IoError& error,
                       int& output_errno) {
  while (offset_ < end && in_kernel_) {
    auto from = static_cast<off_t>(offset_);
    const ssize_t sent = ::sendfile(
        fd, fd_.get(), &from,
        static_cast<std::size_t>(std::min<std::uint64_t>(end - offset_, sendfile_bytes)));
    if (sent > 0) {
      offset_ += static_cast<std::uint64_t>(sent);
      continue;
    }
    if (sent < 0 && errno == EINTR) continue;
    // Outputs that sendfile does not write (an O_APPEND file, some devices) are written from
    // a buffer instead.
    if (sent < 0 && (errno == EINVAL || errno == ENOSYS) && from == static_cast<off_t>(offset_)) {
      in_kernel_ = false;
      break;
    }
    if (sent == 0) {
      status = Status::damaged;
      error = IoError::fixed(ErrorKind::UnexpectedEof, "BGZF block cut short (file truncated?)");
    } else {
      // The input was read a moment ago, block headers and all: a failure is the output's.
      status = Status::output_failed;
      output_errno = errno;
    }
    return false;
  }
  if (offset_ < end && !buffer_) buffer_ = std::make_unique_for_overwrite<char[]>(buffer_bytes);
  while (offset_ < end) {
    const auto size =
        static_cast<std::size_t>(std::min<std::uint64_t>(end - offset_, buffer_bytes));
    const ssize_t got =
        read_at(fd_.get(), reinterpret_cast<unsigned char*>(buffer_.get()), size, offset_);
    if (got <= 0) {
      status = got < 0 ? Status::input_failed : Status::damaged;
      error = got < 0 ? IoError::os(errno)
                      : IoError::fixed(ErrorKind::UnexpectedEof,
                                       "BGZF block cut short (file truncated?)");
      return false;
    }
    if (const int failed =
            core::write_all(fd, std::string_view(buffer_.get(), static_cast<std::size_t>(got)))) {
      status = Status::output_failed;
      output_errno = failed < 0 ? EIO : failed;
      return false;
    }
    offset_ += static_cast<std::uint64_t>(got);
  }
  return true;
}

BgzfCopy::Status BgzfCopy::step(int fd, std::size_t bytes, IoError& error, int& output_errno) {
  // This step's blocks were walked while the last step was written; the first step's are
  // walked now.
  if (ahead_.joinable()) {
    ahead_.join();
  } else {
    walk_.run(offset_ + bytes);
  }
  if (walk_.status != Status::more) {
    offset_ = walk_.failed_at;
    error = walk_.error;
    return walk_.status;
  }
  // Read before the walk goes on without this thread.
  const std::uint64_t end = walk_.end;
  const bool at_end = walk_.at_end;
  const bool last_empty = walk_.last_empty;
  if (!at_end) {
    try {
      ahead_ = std::jthread([this, until = end + bytes] { walk_.run(until); });
    } catch (const std::system_error&) {
      // No thread to be had: the next step's blocks are walked when it comes.
    }
  }
  Status status = Status::more;
  if (!copy_to(fd, end, status, error, output_errno)) return status;
  if (!at_end) return Status::more;
  if (!last_empty) {
    error = IoError::fixed(ErrorKind::InvalidData, missing_marker_message);
    return Status::damaged;
  }
  return Status::done;
}

}  // namespace varsift::hts
