#include "bgzf_source.hpp"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>
#include <system_error>

#include "bgzf_block.hpp"
#include "core/file.hpp"
#include "little_endian.hpp"
#include "remote_file.hpp"

namespace varsift::hts {
namespace {

using core::ErrorKind;
using core::IoError;

Compression compression_of(BGZF* fp) noexcept {
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

}  // namespace

SourceResult BgzfSource::open(std::string_view path, int threads) {
  if (path == "-") return from_descriptor(STDIN_FILENO, threads);
  if (is_url(path)) return open_url(std::string(path), threads);
  // Opened here rather than by htslib, which would read "-" and "data:" specially.
  core::OpenResult opened = core::File::open(path);
  if (auto* error = std::get_if<IoError>(&opened)) return *error;
  return from_descriptor(std::get<core::File>(opened).descriptor(), threads);
}

SourceResult BgzfSource::from_descriptor(int fd, int threads) {
  DuplicateResult for_htslib = UniqueFd::duplicate(fd);
  if (auto* error = std::get_if<IoError>(&for_htslib)) return *error;
  // Virtual offsets count from the start of the file, so only a read from there may seek.
  const bool at_start = ::lseek(fd, 0, SEEK_CUR) == 0;

  BgzfOpenResult opened = BgzfFile::open(std::get<UniqueFd>(std::move(for_htslib)), "r");
  if (auto* error = std::get_if<IoError>(&opened)) return *error;
  BgzfFile file = std::get<BgzfFile>(std::move(opened));
  BGZF* const fp = file.get();
  const Compression compression = compression_of(fp);

  std::unique_ptr<BlockReader> blocks;
  if (compression == Compression::bgzf && at_start) {
    errno = 0;
    const int marker = bgzf_check_EOF(fp);
    if (marker < 0) return IoError::os(errno != 0 ? errno : EIO);
    // 2: the input cannot be positioned, so it is read in order by htslib.
    if (marker != 2) {
      DuplicateResult raw = UniqueFd::duplicate(fd);
      if (auto* error = std::get_if<IoError>(&raw)) return *error;
      try {
        blocks = std::make_unique<BlockReader>(std::get<UniqueFd>(std::move(raw)),
                                               BlockReader::Options{threads});
      } catch (const std::system_error& failure) {
        // Threads that cannot be started.
        return IoError::os(failure.code().value());
      }
    }
  }
  return BgzfSource(std::move(file), std::move(blocks), compression);
}

SourceResult BgzfSource::open_url(const std::string& url, int threads) {
  RemoteOpenResult opened = RemoteFile::open(url);
  if (auto* error = std::get_if<core::IoError>(&opened)) return *error;
  auto file = std::make_unique<RemoteFile>(std::get<RemoteFile>(std::move(opened)));
  unsigned char head[bgzf_header_size];
  if (starts_bgzf(head, file->peek(head, sizeof head))) {
    std::unique_ptr<BlockReader> blocks;
    try {
      blocks = std::make_unique<BlockReader>(std::move(file), BlockReader::Options{threads});
    } catch (const std::system_error& failure) {
      return core::IoError::os(failure.code().value());
    }
    return BgzfSource(BgzfFile(), std::move(blocks), Compression::bgzf);
  }
  // Plain text or gzip: read once, in order, by htslib.
  file.reset();
  return open_for_index(url);
}

SourceResult BgzfSource::open_for_index(const std::string& path) {
  if (!is_url(path)) return open(path);
  BgzfOpenResult opened = BgzfFile::open(path, "r");
  if (auto* error = std::get_if<core::IoError>(&opened)) return *error;
  BgzfFile file = std::get<BgzfFile>(std::move(opened));
  const Compression compression = compression_of(file.get());
  return BgzfSource(std::move(file), nullptr, compression);
}

bool BgzfSource::next_bytes(std::string_view& bytes, IoError& error) {
  if (failure_) {
    error = *failure_;
    return false;
  }
  if (blocks_) {
    BgzfFailure failure{IoError::os(0), false};
    if (blocks_->next(bytes, failure) != BlockReader::Status::failed) return true;
    return fail_with(std::move(failure.error), failure.damaged, error);
  }
  BGZF* const fp = file_.get();
  for (;;) {
    if (fp->block_offset < fp->block_length) {
      bytes = {static_cast<const char*>(fp->uncompressed_block) + fp->block_offset,
               static_cast<std::size_t>(fp->block_length - fp->block_offset)};
      fp->block_offset = fp->block_length;
      return true;
    }
    fp->block_offset = fp->block_length = 0;
    errno = 0;
    if (bgzf_read_block(fp) < 0 || fp->errcode != 0) return fail(errno, error);
    if (fp->block_length == 0) {
      // htslib reads through empty blocks to the end of the input.
      if (compression_ == Compression::bgzf && fp->last_block_eof == 0) {
        return fail_with(IoError::fixed(ErrorKind::InvalidData, missing_marker_message), true,
                         error);
      }
      bytes = {};
      return true;
    }
    if (!check_isize(error)) return false;
  }
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
  blocks_->seek(static_cast<std::uint64_t>(virtual_offset));
  return true;
}

bool BgzfSource::fail(int call_errno, IoError& error) {
  const BgzfFailure failure = describe_failure(*file_.get(), call_errno);
  return fail_with(failure.error, failure.damaged, error);
}

bool BgzfSource::fail_with(IoError failure, bool damaged, IoError& error) {
  damaged_ = damaged;
  failure_ = failure;
  error = std::move(failure);
  return false;
}

bool BgzfSource::check_isize(IoError& error) {
  if (compression_ != Compression::bgzf) return true;
  const BGZF* const fp = file_.get();
  // The block just read is whole in compressed_block: its header gives its size, and ISIZE
  // ends it.
  const auto* const block = static_cast<const unsigned char*>(fp->compressed_block);
  std::size_t size = 0;
  if (read_block_size(block, bgzf_max_block_size, size) == LayoutStatus::whole &&
      little_endian_32(block + size - 4) == static_cast<std::uint32_t>(fp->block_length)) {
    return true;
  }
  return fail_with(IoError::fixed(ErrorKind::InvalidData, isize_mismatch_message), true, error);
}

}  // namespace varsift::hts
