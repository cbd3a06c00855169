#include "bcf_reader.hpp"

#include <htslib/bgzf.h>
#include <htslib/hfile.h>
#include <htslib/hts.h>
#include <htslib/kstring.h>
#include <htslib/tbx.h>
#include <htslib/vcf.h>

#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "bgzf_block.hpp"
#include "bgzf_file.hpp"
#include "remote_file.hpp"

namespace varsift::hts {
namespace {

using core::ErrorKind;
using core::IoError;

// A kstring appended to a std::string, and freed.
bool take(kstring_t& text, int status, std::string& out) {
  if (status >= 0 && text.s != nullptr) out.append(text.s, text.l);
  std::free(text.s);
  return status >= 0;
}

IoError failure_of(htsFile* file, int call_errno) {
  BGZF* const bgzf = hts_get_bgzfp(file);
  if (bgzf != nullptr) return describe_failure(*bgzf, call_errno).error;
  if (call_errno != 0) return IoError::os(call_errno);
  return IoError::fixed(ErrorKind::InvalidData, "malformed BCF record");
}

}  // namespace

bool is_bcf(const std::string& path) {
  // Looking at a pipe would take its bytes from the reader: only files and URLs are looked at.
  struct stat status {};
  if (!is_url(path) && (::stat(path.c_str(), &status) != 0 || !S_ISREG(status.st_mode))) {
    return false;
  }
  silence_htslib_logging();
  hFILE* const file = hopen(path.c_str(), "r");
  if (file == nullptr) return false;
  htsFormat format{};
  const bool found = hts_detect_format2(file, path.c_str(), &format) == 0 && format.format == ::bcf;
  hclose_abruptly(file);
  return found;
}

bool starts_bcf(BGZF* file) {
  return bgzf_peek(file) >= 0 && file->block_length >= 4 &&
         std::memcmp(file->uncompressed_block, "BCF\2", 4) == 0;
}

BcfOpenResult BcfReader::open(const std::string& path, int threads) {
  silence_htslib_logging();
  errno = 0;
  htsFile* const file = hts_open(path.c_str(), "r");
  if (file == nullptr) return IoError::os(errno != 0 ? errno : EIO);
  BGZF* const bgzf = hts_get_bgzfp(file);
  bool marker_missing = false;
  // A local file's end is checked now, where it costs one read; a URL's as it is read.
  if (bgzf != nullptr && !is_url(path)) marker_missing = bgzf_check_EOF(bgzf) == 0;
  if (threads > 1 && hts_set_threads(file, threads) != 0) {
    hts_close(file);
    return IoError::os(ENOMEM);
  }
  errno = 0;
  bcf_hdr_t* const header = bcf_hdr_read(file);
  if (header == nullptr) {
    const IoError error = errno != 0 && errno != EINVAL
                              ? IoError::os(errno)
                              : IoError::fixed(ErrorKind::InvalidData, "malformed BCF header");
    hts_close(file);
    return error;
  }
  bcf1_t* const record = bcf_init();
  if (record == nullptr) {
    bcf_hdr_destroy(header);
    hts_close(file);
    return IoError::os(ENOMEM);
  }
  return BcfReader(file, header, record, marker_missing);
}

BcfReader::BcfReader(BcfReader&& other) noexcept
    : file_(std::exchange(other.file_, nullptr)),
      header_(std::exchange(other.header_, nullptr)),
      record_(std::exchange(other.record_, nullptr)),
      marker_missing_(other.marker_missing_),
      chrom_(other.chrom_) {}

BcfReader::~BcfReader() {
  if (record_ != nullptr) bcf_destroy(record_);
  if (header_ != nullptr) bcf_hdr_destroy(header_);
  if (file_ != nullptr) hts_close(file_);
}

BcfReader::Status BcfReader::next(IoError& error) {
  errno = 0;
  const int status = bcf_read(file_, header_, record_);
  if (status == -1) {
    if (marker_missing_) {
      error = IoError::fixed(ErrorKind::InvalidData, missing_marker_message);
      return Status::failed;
    }
    return Status::end;
  }
  if (status < -1) {
    error = failure_of(file_, errno);
    return Status::failed;
  }
  const char* const name = bcf_hdr_id2name(header_, record_->rid);
  if (name == nullptr || record_->pos < 0) {
    error = IoError::fixed(ErrorKind::InvalidData,
                           "BCF record names a sequence the header does not declare");
    return Status::failed;
  }
  chrom_ = name;
  return Status::record;
}

std::uint64_t BcfReader::pos() const noexcept {
  return static_cast<std::uint64_t>(record_->pos) + 1;
}

bool BcfReader::format_header(std::string& text) const {
  kstring_t formatted{0, 0, nullptr};
  return take(formatted, bcf_hdr_format(header_, 0, &formatted), text);
}

bool BcfReader::format_record(std::string& text) const {
  kstring_t formatted{0, 0, nullptr};
  return take(formatted, vcf_format(header_, record_, &formatted), text);
}

std::uint64_t BcfReader::block_address() const noexcept {
  BGZF* const bgzf = hts_get_bgzfp(file_);
  return bgzf == nullptr ? 0 : static_cast<std::uint64_t>(bgzf_tell(bgzf) >> 16);
}

}  // namespace varsift::hts
