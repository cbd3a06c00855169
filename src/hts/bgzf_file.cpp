#include "bgzf_file.hpp"

#include <htslib/hts_log.h>
#include <zlib.h>

#include <cerrno>
#include <cstring>
#include <mutex>

namespace varsift::hts {
namespace {

using core::ErrorKind;
using core::IoError;

// A failure inside a plain gzip member, told apart by zlib's own message.
BgzfFailure gzip_failure(const BGZF& fp) noexcept {
  const char* const message = fp.gz_stream != nullptr ? fp.gz_stream->msg : nullptr;
  if (message != nullptr) {
    if (std::strcmp(message, "incorrect data check") == 0) {
      return BgzfFailure::damage("gzip member CRC32 mismatch (corrupt data)");
    }
    if (std::strcmp(message, "incorrect length check") == 0) {
      return BgzfFailure::damage("gzip member ISIZE mismatch (corrupt data)");
    }
    // The first member's header was read when the file was opened.
    if (std::strcmp(message, "incorrect header check") == 0) {
      return BgzfFailure::damage("trailing garbage after the last gzip member");
    }
  }
  return BgzfFailure::damage("corrupt deflate data");
}

}  // namespace

BgzfOpenResult BgzfFile::open(UniqueFd fd, const char* mode) {
  silence_htslib_logging();
  errno = 0;
  // htslib closes the descriptor even when the open fails.
  BGZF* const fp = bgzf_dopen(fd.release(), mode);
  if (fp != nullptr) return BgzfFile(fp);
  const int error = errno;
  if (error != 0) return IoError::os(error);
  return IoError::fixed(ErrorKind::InvalidData, "unreadable gzip header");
}

BgzfOpenResult BgzfFile::open(const std::string& path, const char* mode) {
  silence_htslib_logging();
  errno = 0;
  BGZF* const fp = bgzf_open(path.c_str(), mode);
  if (fp != nullptr) return BgzfFile(fp);
  return IoError::os(errno != 0 ? errno : EIO);
}

BgzfFile& BgzfFile::operator=(BgzfFile&& other) noexcept {
  if (this != &other) {
    close();
    fp_ = other.fp_;
    other.fp_ = nullptr;
  }
  return *this;
}

BgzfFile::~BgzfFile() { close(); }

int BgzfFile::close() noexcept {
  if (fp_ == nullptr) return 0;
  BGZF* const fp = fp_;
  fp_ = nullptr;
  return bgzf_close(fp);
}

void silence_htslib_logging() noexcept {
  static std::once_flag once;
  std::call_once(once, [] { hts_set_log_level(HTS_LOG_OFF); });
}

BgzfFailure describe_failure(const BGZF& fp, int call_errno) noexcept {
  const unsigned code = fp.errcode;
  if ((code & BGZF_ERR_IO) != 0U && call_errno != 0) return {IoError::os(call_errno), false};
  if ((code & BGZF_ERR_HEADER) != 0U) {
    return BgzfFailure::damage("invalid BGZF block header (corrupt data or trailing garbage)");
  }
  // htslib reports a block or member cut short as an I/O error without errno.
  if ((code & BGZF_ERR_IO) != 0U) return BgzfFailure::damage(truncated_message);
  if ((code & (BGZF_ERR_CRC | BGZF_ERR_ZLIB)) != 0U) {
    // Which check fails first for a BGZF block depends on whether workers inflate it.
    return fp.is_gzip
               ? gzip_failure(fp)
               : BgzfFailure::damage("corrupt BGZF block (inflating or its CRC32 check failed)");
  }
  if (call_errno != 0) return {IoError::os(call_errno), false};
  return {IoError::fixed(ErrorKind::Other, "the BGZF layer failed without saying why"), false};
}

}  // namespace varsift::hts
