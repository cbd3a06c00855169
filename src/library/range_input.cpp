#include "range_input.hpp"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <utility>
#include <variant>

#include "core/allocator.hpp"
#include "core/file.hpp"
#include "core/os_error.hpp"
#include "hts/bgzf_source.hpp"
#include "line_range.hpp"
#include "scan_error.hpp"

namespace varsift::library {
namespace {

// Large reads keep system calls and the reader's refills rare.
constexpr std::size_t read_size = std::size_t{1} << 20;

// Plain text from the file's current offset on.
class PlainSource final : public core::ByteSource {
 public:
  explicit PlainSource(core::File file)
      : file_(std::move(file)), buffer_(static_cast<char*>(core::allocate(read_size))) {}

  bool next_bytes(std::string_view& bytes, core::IoError& error) override {
    for (;;) {
      const std::ptrdiff_t n = file_.read(buffer_.get(), read_size, error);
      if (n >= 0) {
        bytes = {buffer_.get(), static_cast<std::size_t>(n)};
        return true;
      }
      if (core::os_error_kind(error.os_code()) != core::ErrorKind::Interrupted) return false;
    }
  }

 private:
  struct FreeBuffer {
    void operator()(char* p) const noexcept { std::free(p); }
  };

  core::File file_;
  std::unique_ptr<char, FreeBuffer> buffer_;
};

[[noreturn]] void fail_opening(const core::IoError& error) {
  if (error.is_os()) throw ScanError::os(error.os_code(), 0);
  throw ScanError::damaged(error, 1);
}

std::unique_ptr<core::ByteSource> open_plain(const std::string& path, const InputRange& range) {
  core::OpenResult opened = core::File::open(path);
  if (auto* error = std::get_if<core::IoError>(&opened)) fail_opening(*error);
  core::File file = std::get<core::File>(std::move(opened));
  if (range.before && ::lseek(file.descriptor(), static_cast<off_t>(*range.before), SEEK_SET) < 0) {
    throw ScanError::os(errno, 0);
  }
  return std::make_unique<PlainSource>(std::move(file));
}

std::unique_ptr<core::ByteSource> open_bgzf(const std::string& path, const InputRange& range,
                                            int threads) {
  hts::SourceResult opened = hts::BgzfSource::open(path, threads);
  if (auto* error = std::get_if<core::IoError>(&opened)) fail_opening(*error);
  auto source = std::make_unique<hts::BgzfSource>(std::get<hts::BgzfSource>(std::move(opened)));
  core::IoError error = core::IoError::bare(core::ErrorKind::Other);
  if (source->compression() != hts::Compression::bgzf) {
    fail_opening(core::IoError::fixed(core::ErrorKind::InvalidData, "not a BGZF file"));
  }
  if (range.before && !source->seek(static_cast<std::int64_t>(*range.before), error)) {
    fail_opening(error);
  }
  return source;
}

}  // namespace

std::unique_ptr<core::ByteSource> open_range(const std::string& path, const InputRange& range,
                                             int threads) {
  std::unique_ptr<core::ByteSource> inner =
      range.bgzf ? open_bgzf(path, range, threads) : open_plain(path, range);
  return std::make_unique<LineRangeSource>(std::move(inner), range.before.has_value(),
                                           range.length);
}

}  // namespace varsift::library
