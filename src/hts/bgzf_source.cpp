#include "bgzf_source.hpp"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>

#include "core/file.hpp"

namespace varsift::hts {
namespace {

using core::ErrorKind;
using core::IoError;

constexpr std::size_t block_header_size = 18;

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

// Total size of the BGZF block whose header is at `header`: one more than its BSIZE field.
std::size_t block_size(const unsigned char* header) noexcept {
  return (std::size_t{header[16]} | std::size_t{header[17]} << 8U) + 1;
}

// The ISIZE field of a whole block in memory, or nullptr if `block` does not start with a
// gzip header of a plausible size.
const unsigned char* block_trailer(const unsigned char* block) noexcept {
  if (block == nullptr || block[0] != 0x1f || block[1] != 0x8b) return nullptr;
  const std::size_t size = block_size(block);
  if (size < block_header_size + 8 || size > BGZF_MAX_BLOCK_SIZE) return nullptr;
  return block + size - 4;
}

std::uint32_t little_endian_32(const unsigned char* p) noexcept {
  return std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8U | std::uint32_t{p[2]} << 16U |
         std::uint32_t{p[3]} << 24U;
}

}  // namespace

SourceResult BgzfSource::open(std::string_view path, int threads) {
  if (path == "-") return from_descriptor(STDIN_FILENO, threads);
  // Opened here rather than by htslib, which would read "-", URLs and "data:" specially.
  core::OpenResult opened = core::File::open(path);
  if (auto* error = std::get_if<IoError>(&opened)) return *error;
  return from_descriptor(std::get<core::File>(opened).descriptor(), threads);
}

SourceResult BgzfSource::from_descriptor(int fd, int threads) {
  DuplicateResult raw = UniqueFd::duplicate(fd);
  if (auto* error = std::get_if<IoError>(&raw)) return *error;
  DuplicateResult for_htslib = UniqueFd::duplicate(fd);
  if (auto* error = std::get_if<IoError>(&for_htslib)) return *error;
  // htslib positions a seekable input by absolute offsets, so one read from its start only.
  const bool at_start = ::lseek(fd, 0, SEEK_CUR) == 0;

  BgzfOpenResult opened = BgzfFile::open(std::get<UniqueFd>(std::move(for_htslib)), "r");
  if (auto* error = std::get_if<IoError>(&opened)) return *error;
  BgzfFile file = std::get<BgzfFile>(std::move(opened));
  BGZF* const fp = file.get();
  const Compression compression = compression_of(fp);

  bool seekable = false;
  bool eof_marker = false;
  if (compression == Compression::bgzf && at_start) {
    errno = 0;
    const int marker = bgzf_check_EOF(fp);
    if (marker < 0) return IoError::os(errno != 0 ? errno : EIO);
    seekable = marker != 2;
    eof_marker = marker == 1;
  }
  std::unique_ptr<BlockReader> blocks;
  if (seekable && threads >= 1) {
    blocks = std::make_unique<BlockReader>(std::get<UniqueFd>(std::move(raw)),
                                           BlockReader::Options{threads});
  }
  return BgzfSource(std::move(file), std::get<UniqueFd>(std::move(raw)), std::move(blocks),
                    compression, seekable, eof_marker);
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
      // tell() now gives the end of this block, a valid place to come back to.
      fp->block_offset = fp->block_length;
      return true;
    }
    bool end = false;
    if (!read_block(end, error)) return false;
    if (end) {
      if (!ended_with_marker()) {
        return fail_with(IoError::fixed(ErrorKind::InvalidData,
                                        "BGZF end-of-file marker missing (file truncated?)"),
                         true, error);
      }
      bytes = {};
      return true;
    }
  }
}

bool BgzfSource::read_block(bool& end, IoError& error) {
  BGZF* const fp = file_.get();
  const bool after_seek = seek_pending_;
  seek_pending_ = false;
  const std::int64_t address = fp->block_address;
  const int length = fp->block_length;
  // htslib reads on only once the block in hand is marked as used up; after a seek it reads
  // the block sought, keeping the offset into it.
  if (!after_seek) fp->block_offset = fp->block_length = 0;
  errno = 0;
  if (bgzf_read_block(fp) < 0 || fp->errcode != 0) return fail(errno, error);
  end = fp->block_length == 0;
  if (end && !after_seek) {
    // The end keeps the position after the last block.
    fp->block_address = address;
    fp->block_offset = fp->block_length = length;
    return true;
  }
  if (!check_block(after_seek, error)) return false;
  if (fp->block_offset > fp->block_length) {
    return fail_with(IoError::fixed(ErrorKind::InvalidInput,
                                    "virtual offset lies past the end of its BGZF block"),
                     false, error);
  }
  return true;
}

bool BgzfSource::seek(std::int64_t virtual_offset, IoError& error) {
  if (failure_) {
    error = *failure_;
    return false;
  }
  if (compression_ != Compression::bgzf || !seekable_) {
    error = IoError::fixed(ErrorKind::NotSeekable,
                           "only a BGZF file read from its start can be positioned");
    return false;
  }
  if (blocks_) {
    blocks_->seek(static_cast<std::uint64_t>(virtual_offset));
    return true;
  }
  BGZF* const fp = file_.get();
  errno = 0;
  if (bgzf_seek(fp, virtual_offset, SEEK_SET) < 0 || fp->errcode != 0) return fail(errno, error);
  seek_pending_ = true;
  return true;
}

bool BgzfSource::fail(int call_errno, IoError& error) {
  const BgzfFailure failure = describe_failure(*file_.get(), call_errno);
  damaged_ = failure.damaged;
  failure_ = failure.error;
  error = failure.error;
  return false;
}

bool BgzfSource::fail_with(IoError failure, bool damaged, IoError& error) {
  damaged_ = damaged;
  failure_ = failure;
  error = std::move(failure);
  return false;
}

bool BgzfSource::check_block(bool after_seek, IoError& error) {
  if (compression_ != Compression::bgzf) return true;
  const BGZF* const fp = file_.get();
  // The calling thread's read leaves the whole block in compressed_block; with workers, or to
  // see whether an offset sought lies in the file, the block is read again from the file.
  if (!(after_seek && fp->block_length == 0)) {
    const auto* const block = static_cast<const unsigned char*>(fp->compressed_block);
    return check_isize(block_trailer(block), error);
  }
  // The block's total size less one is in its header, and ISIZE ends the block.
  unsigned char header[block_header_size];
  const std::int64_t at = fp->block_address;
  std::size_t n = 0;
  if (!read_at(header, sizeof header, at, n, error)) return false;
  if (n == 0 && fp->block_length == 0) {
    return fail_with(IoError::fixed(ErrorKind::InvalidInput,
                                    "virtual offset lies past the end of the BGZF file"),
                     false, error);
  }
  if (n != sizeof header) {
    return fail_with(IoError::fixed(ErrorKind::InvalidData, truncated_message), true, error);
  }
  unsigned char isize[4];
  const std::int64_t trailer = at + static_cast<std::int64_t>(block_size(header)) - 4;
  if (!read_at(isize, sizeof isize, trailer, n, error)) return false;
  if (n != sizeof isize) {
    return fail_with(IoError::fixed(ErrorKind::InvalidData, truncated_message), true, error);
  }
  return check_isize(isize, error);
}

bool BgzfSource::check_isize(const unsigned char* isize, IoError& error) {
  if (isize == nullptr ||
      little_endian_32(isize) == static_cast<std::uint32_t>(file_.get()->block_length)) {
    return true;
  }
  return fail_with(
      IoError::fixed(ErrorKind::InvalidData, "BGZF block ISIZE does not match its inflated length"),
      true, error);
}

bool BgzfSource::read_at(unsigned char* buffer, std::size_t size, std::int64_t offset,
                         std::size_t& got, IoError& error) {
  got = 0;
  while (got < size) {
    const ssize_t n = ::pread(raw_.get(), buffer + got, size - got, static_cast<off_t>(offset));
    if (n == 0) return true;
    if (n < 0) {
      if (errno == EINTR) continue;
      return fail_with(IoError::os(errno), false, error);
    }
    got += static_cast<std::size_t>(n);
    offset += n;
  }
  return true;
}

bool BgzfSource::ended_with_marker() const noexcept {
  if (compression_ != Compression::bgzf) return true;
  // Worker threads do not keep last_block_eof, so they only read what was checked at open.
  return seekable_ ? eof_marker_ : file_.get()->last_block_eof != 0;
}

}  // namespace varsift::hts
