#include "bgzf_source.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <system_error>

#include "bgzf_block.hpp"
#include "positioned_read.hpp"
#include "remote_file.hpp"

namespace varsift::hts {
namespace {

using core::ErrorKind;
using core::IoError;

// Opens `path` for reading without waiting: a FIFO without a writer opens at once, and the
// reads wait for one.
std::variant<UniqueFd, IoError> open_without_waiting(std::string_view path) {
  const std::string terminated(path);
  if (terminated.find('\0') != std::string::npos) {
    return IoError::fixed(ErrorKind::InvalidInput, "file names cannot contain NUL characters");
  }
  for (;;) {
    const int fd = ::open(terminated.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd >= 0) return UniqueFd(fd);
    if (errno != EINTR) return IoError::os(errno);
  }
}

Compression compression_of_handle(BGZF* fp) noexcept {
  switch (bgzf_compression(fp)) {
    case 2:
      return Compression::bgzf;
    case 1:
      return Compression::gzip;
    default:
      return Compression::plain;
  }
}

// Whether `head`, the first bytes of a file, start a BGZF block.
bool starts_bgzf(const unsigned char* head, std::size_t size) {
  BlockLayout layout{};
  return size >= bgzf_header_size && read_layout(head, size, layout) != LayoutStatus::invalid;
}

// Enough of a file's start to hold the largest block header.
constexpr std::size_t head_size = bgzf_fixed_header_size + 65535;

}  // namespace

SourceResult BgzfSource::open(std::string_view path, int threads) {
  if (path == "-") return from_descriptor(STDIN_FILENO, threads);
  if (is_url(path)) return open_url(std::string(path), threads);
  // Opened here rather than by htslib, which would read "-" and "data:" specially.
  auto opened = open_without_waiting(path);
  if (auto* error = std::get_if<IoError>(&opened)) return *error;
  return from_owned(std::get<UniqueFd>(std::move(opened)), threads);
}

SourceResult BgzfSource::open_url(const std::string& url, int threads) {
  RemoteOpenResult opened = RemoteFile::open(url);
  if (auto* error = std::get_if<IoError>(&opened)) return *error;
  auto file = std::make_unique<RemoteFile>(std::get<RemoteFile>(std::move(opened)));
  unsigned char head[bgzf_header_size];
  if (starts_bgzf(head, file->peek(head, sizeof head))) {
    std::unique_ptr<BlockReader> blocks;
    try {
      blocks = std::make_unique<BlockReader>(std::move(file), BlockReader::Options{threads});
    } catch (const std::system_error& failure) {
      return IoError::os(failure.code().value());
    }
    return BgzfSource(BgzfFile(), std::move(blocks), nullptr, Compression::bgzf);
  }
  // Plain text or gzip: read once, in order.
  auto stream = std::make_unique<StreamReader>(std::move(file), 0);
  Compression compression{};
  BgzfFailure failure{IoError::os(0), false};
  if (!stream->start(compression, failure)) return failure.error;
  return BgzfSource(BgzfFile(), nullptr, std::move(stream), compression);
}

SourceResult BgzfSource::open_for_index(const std::string& path) {
  BgzfOpenResult opened = BgzfOpenResult(IoError::os(0));
  if (is_url(path)) {
    opened = BgzfFile::open(path, "r");
  } else {
    if (path == "-") return open(path);
    auto descriptor = open_without_waiting(path);
    if (auto* error = std::get_if<IoError>(&descriptor)) return *error;
    UniqueFd fd = std::get<UniqueFd>(std::move(descriptor));
    struct stat status {};
    if (::fstat(fd.get(), &status) != 0) return IoError::os(errno);
    // Only a regular file can be positioned; index code reads it through htslib alone, without
    // the blocks read ahead for a scan.
    if (!S_ISREG(status.st_mode)) return from_owned(std::move(fd), 0);
    opened = BgzfFile::open(std::move(fd), "r");
  }
  if (auto* error = std::get_if<IoError>(&opened)) return *error;
  BgzfFile file = std::get<BgzfFile>(std::move(opened));
  const Compression compression = compression_of_handle(file.get());
  return BgzfSource(std::move(file), nullptr, nullptr, compression);
}

SourceResult BgzfSource::from_descriptor(int fd, int threads) {
  DuplicateResult copy = UniqueFd::duplicate(fd);
  if (auto* error = std::get_if<IoError>(&copy)) return *error;
  return from_owned(std::get<UniqueFd>(std::move(copy)), threads);
}

SourceResult BgzfSource::from_owned(UniqueFd fd, int threads) {
  struct stat status {};
  if (::fstat(fd.get(), &status) != 0) return IoError::os(errno);
  // Virtual offsets count from the start of the file, so only a read from there may seek.
  const bool positioned = S_ISREG(status.st_mode) && ::lseek(fd.get(), 0, SEEK_CUR) == 0;
  if (!positioned) {
    auto stream = std::make_unique<StreamReader>(std::move(fd));
    Compression compression{};
    BgzfFailure failure{IoError::os(0), false};
    if (!stream->start(compression, failure)) return failure.error;
    return BgzfSource(BgzfFile(), nullptr, std::move(stream), compression);
  }

  auto head = std::make_unique_for_overwrite<unsigned char[]>(head_size);
  std::size_t got = 0;
  IoError error = IoError::os(0);
  if (!read_at(fd.get(), head.get(), head_size, 0, got, error)) return error;
  const Compression compression = *compression_of(head.get(), got, true);
  if (compression != Compression::bgzf) {
    auto stream = std::make_unique<StreamReader>(std::make_unique<FileInput>(std::move(fd)), 0);
    Compression ignored{};
    BgzfFailure failure{IoError::os(0), false};
    if (!stream->start(ignored, failure)) return failure.error;
    return BgzfSource(BgzfFile(), nullptr, std::move(stream), compression);
  }

  DuplicateResult for_htslib = UniqueFd::duplicate(fd.get());
  if (auto* failure = std::get_if<IoError>(&for_htslib)) return *failure;
  BgzfOpenResult opened = BgzfFile::open(std::get<UniqueFd>(std::move(for_htslib)), "r");
  if (auto* failure = std::get_if<IoError>(&opened)) return *failure;
  std::unique_ptr<BlockReader> blocks;
  try {
    blocks = std::make_unique<BlockReader>(std::move(fd), BlockReader::Options{threads});
  } catch (const std::system_error& failure) {
    // Threads that cannot be started.
    return IoError::os(failure.code().value());
  }
  return BgzfSource(std::get<BgzfFile>(std::move(opened)), std::move(blocks), nullptr, compression);
}

bool BgzfSource::next_bytes(std::string_view& bytes, IoError& error) {
  if (failure_) {
    error = *failure_;
    return false;
  }
  BgzfFailure failure{IoError::os(0), false};
  if (!stream_) {
    if (!blocks_) {
      return fail_with(IoError::fixed(ErrorKind::Unsupported, "opened for index code alone"), false,
                       error);
    }
    switch (blocks_->next(bytes, failure)) {
      case BlockReader::Status::bytes:
      case BlockReader::Status::end:
        return true;
      case BlockReader::Status::failed:
        return fail_with(std::move(failure.error), failure.damaged, error);
      case BlockReader::Status::other:
        if (!read_after_blocks(error)) return false;
        break;
    }
  }
  if (stream_->next(bytes, failure) != StreamReader::Status::failed) return true;
  return fail_with(std::move(failure.error), failure.damaged, error);
}

bool BgzfSource::read_after_blocks(IoError& error) {
  auto stream = std::make_unique<StreamReader>(blocks_->input(), blocks_->rest_offset());
  BgzfFailure failure{IoError::os(0), false};
  if (!stream->start_after_blocks(failure)) {
    return fail_with(std::move(failure.error), failure.damaged, error);
  }
  stream_ = std::move(stream);
  return true;
}

bool BgzfSource::seek(std::int64_t virtual_offset, IoError& error) {
  if (failure_) {
    error = *failure_;
    return false;
  }
  if (!blocks_) {
    error = IoError::fixed(ErrorKind::NotSeekable,
                           "only a BGZF file read from its start can be positioned");
    return false;
  }
  stream_.reset();
  blocks_->seek(static_cast<std::uint64_t>(virtual_offset));
  return true;
}

bool BgzfSource::fail_with(IoError failure, bool damaged, IoError& error) {
  damaged_ = damaged;
  failure_ = failure;
  error = std::move(failure);
  return false;
}

}  // namespace varsift::hts
