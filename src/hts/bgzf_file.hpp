#pragma once

#include <htslib/bgzf.h>

#include <string>
#include <variant>

#include "core/io_error.hpp"
#include "unique_fd.hpp"

namespace varsift::hts {

class BgzfFile;

using BgzfOpenResult = std::variant<BgzfFile, core::IoError>;

// Sole owner of an htslib BGZF handle; closes it on destruction.
class BgzfFile {
 public:
  // Opens `fd` with `mode` ("r", "wu", "w6"...). htslib takes the descriptor and closes it
  // with the handle, whether or not the open succeeds.
  static BgzfOpenResult open(UniqueFd fd, const char* mode);
  // Opens a file by name through htslib, which reads URLs as well.
  static BgzfOpenResult open(const std::string& path, const char* mode);

  // No handle.
  BgzfFile() noexcept : fp_(nullptr) {}

  BgzfFile(BgzfFile&& other) noexcept : fp_(other.fp_) { other.fp_ = nullptr; }
  BgzfFile& operator=(BgzfFile&& other) noexcept;
  BgzfFile(const BgzfFile&) = delete;
  BgzfFile& operator=(const BgzfFile&) = delete;
  ~BgzfFile();

  BGZF* get() const noexcept { return fp_; }
  // Closes the handle now, flushing what a writer still holds. Gives -1 on failure, with
  // errno set where the system failed.
  int close() noexcept;

 private:
  explicit BgzfFile(BGZF* fp) noexcept : fp_(fp) {}

  BGZF* fp_;
};

// Turns htslib's logging off for the whole process, once: our errors say what went wrong.
void silence_htslib_logging() noexcept;

// Why a call on `fp` failed.
struct BgzfFailure {
  core::IoError error;
  // True when the compressed data is damaged, false when the system failed.
  bool damaged;

  // Damaged compressed data, described by a static message.
  static BgzfFailure damage(const char* message) noexcept {
    return {core::IoError::fixed(core::ErrorKind::InvalidData, message), true};
  }
};

inline constexpr const char* truncated_message =
    "compressed file truncated (ends inside a block or gzip member)";

// Describes a failed call on `fp`, given errno as the call left it (0 if it set none).
BgzfFailure describe_failure(const BGZF& fp, int call_errno) noexcept;

}  // namespace varsift::hts
