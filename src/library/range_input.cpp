#include "range_input.hpp"

#include <unistd.h>

#include <cerrno>
#include <utility>
#include <variant>

#include "core/file.hpp"
#include "core/file_source.hpp"
#include "hts/bgzf_source.hpp"
#include "input.hpp"
#include "line_range.hpp"
#include "scan_error.hpp"

namespace varsift::library {
namespace {

// Large reads keep system calls and the reader's refills rare.
constexpr std::size_t read_size = std::size_t{1} << 20;

std::unique_ptr<core::ByteSource> open_plain(const std::string& path, const InputRange& range) {
  core::OpenResult opened = core::File::open(path);
  if (auto* error = std::get_if<core::IoError>(&opened)) fail_to_open(*error);
  core::File file = std::get<core::File>(std::move(opened));
  if (range.before && ::lseek(file.descriptor(), static_cast<off_t>(*range.before), SEEK_SET) < 0) {
    throw ScanError::os(errno, {});
  }
  // Plain text from the file's current offset on, in large reads.
  return std::make_unique<core::FileSource>(std::move(file), nullptr, read_size);
}

// Passes a BGZF range's bytes on, checking that the range ends at the block end it was
// planned to end at: blocks are given whole, so the range's last byte ends a chunk.
class RangeEndCheck final : public core::ByteSource {
 public:
  RangeEndCheck(std::unique_ptr<hts::BgzfSource> inner, std::uint64_t bytes,
                std::uint64_t end) noexcept
      : inner_(std::move(inner)), bytes_(bytes), end_(end) {}

  bool next_bytes(std::string_view& bytes, core::IoError& error) override {
    if (!inner_->next_bytes(bytes, error)) return false;
    const std::uint64_t before = given_;
    given_ += bytes.size();
    const bool reached = before < bytes_ && given_ >= bytes_;
    if ((reached && (given_ != bytes_ || static_cast<std::uint64_t>(inner_->tell()) != end_)) ||
        (bytes.empty() && given_ < bytes_)) {
      error = core::IoError::os(ESTALE);
      return false;
    }
    return true;
  }

 private:
  std::unique_ptr<hts::BgzfSource> inner_;
  std::uint64_t bytes_;  // the bytes up to the range's end, the byte before it included
  std::uint64_t end_;
  std::uint64_t given_ = 0;
};

// Passes a BGZF range's bytes on up to the virtual offset where the next range's first line
// starts, which must follow a '\n'. Blocks are given whole, each from the position the last
// left or the range started at, so each chunk's block is where the source stands after it.
class LineCutEnd final : public core::ByteSource {
 public:
  LineCutEnd(std::unique_ptr<hts::BgzfSource> inner, std::uint64_t end) noexcept
      : inner_(std::move(inner)), end_(end) {}

  bool next_bytes(std::string_view& bytes, core::IoError& error) override {
    if (done_) {
      bytes = {};
      return true;
    }
    if (!inner_->next_bytes(bytes, error)) return false;
    const auto after = static_cast<std::uint64_t>(inner_->tell());
    const std::uint64_t block = after >> 16;
    if (!bytes.empty() && block < end_ >> 16) {
      last_ = bytes.back();
      return true;
    }
    // The bytes reach the cut's block, or pass it where it starts (an empty block there).
    const std::uint64_t from = (after & 0xFFFF) - bytes.size();
    const std::uint64_t stop = block == end_ >> 16 ? end_ & 0xFFFF : 0;
    const bool met = !bytes.empty() && stop >= from && stop <= (after & 0xFFFF) &&
                     (block == end_ >> 16 || from == 0);
    if (met) bytes = bytes.substr(0, static_cast<std::size_t>(stop - from));
    if (!met || (bytes.empty() ? last_ : bytes.back()) != '\n') {
      error = core::IoError::os(ESTALE);
      return false;
    }
    done_ = true;
    return true;
  }

 private:
  std::unique_ptr<hts::BgzfSource> inner_;
  std::uint64_t end_;
  char last_ = '\n';  // the last byte given
  bool done_ = false;
};

std::unique_ptr<core::ByteSource> open_bgzf(const std::string& path, const InputRange& range,
                                            int threads) {
  hts::SourceResult opened = hts::BgzfSource::open(path, threads);
  if (auto* error = std::get_if<core::IoError>(&opened)) fail_to_open(*error);
  auto source = std::make_unique<hts::BgzfSource>(std::get<hts::BgzfSource>(std::move(opened)));
  core::IoError error = core::IoError::bare(core::ErrorKind::Other);
  if (source->compression() != hts::Compression::bgzf) {
    fail_to_open(core::IoError::fixed(core::ErrorKind::InvalidData, "not a BGZF file"));
  }
  if (range.line_start) {
    if (!source->seek(static_cast<std::int64_t>(*range.line_start), error)) fail_to_open(error);
    if (!range.end) return source;
    return std::make_unique<LineCutEnd>(std::move(source), *range.end);
  }
  if (range.before && !source->seek(static_cast<std::int64_t>(*range.before), error)) {
    fail_to_open(error);
  }
  if (!range.end) return source;
  return std::make_unique<RangeEndCheck>(std::move(source), range.length + (range.before ? 1 : 0),
                                         *range.end);
}

}  // namespace

std::unique_ptr<core::ByteSource> open_range(const std::string& path, const InputRange& range,
                                             int threads) {
  // Its first line starts where it starts, and its last ends where it ends.
  if (range.line_start) return open_bgzf(path, range, threads);
  std::unique_ptr<core::ByteSource> inner =
      range.bgzf ? open_bgzf(path, range, threads) : open_plain(path, range);
  return std::make_unique<LineRangeSource>(std::move(inner), range.before.has_value(),
                                           range.length);
}

}  // namespace varsift::library
