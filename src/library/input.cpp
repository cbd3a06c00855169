#include "input.hpp"

#include <optional>
#include <utility>
#include <variant>

#include "bcf_input.hpp"
#include "hts/bcf_reader.hpp"
#include "hts/bgzf_source.hpp"
#include "scan_error.hpp"

namespace varsift::library {
namespace {

// A source whose first bytes, and its end or failure if they came first, were taken to tell
// its format: given back in order. An ended source is not read again (a terminal would wait).
class PeekedSource final : public core::ByteSource {
 public:
  PeekedSource(std::unique_ptr<core::ByteSource> inner, std::string first, bool ended,
               std::optional<core::IoError> failure) noexcept
      : inner_(std::move(inner)),
        first_(std::move(first)),
        failure_(std::move(failure)),
        ended_(ended) {}

  bool next_bytes(std::string_view& bytes, core::IoError& error) override {
    if (!given_) {
      given_ = true;
      if (!first_.empty()) {
        bytes = first_;
        return true;
      }
    }
    if (failure_) {
      error = *std::exchange(failure_, std::nullopt);
      return false;
    }
    if (ended_) {
      bytes = {};
      return true;
    }
    return inner_->next_bytes(bytes, error);
  }
  std::uint64_t stored_bytes() const noexcept override { return inner_->stored_bytes(); }

 private:
  std::unique_ptr<core::ByteSource> inner_;
  std::string first_;
  std::optional<core::IoError> failure_;
  bool ended_;
  bool given_ = false;
};

}  // namespace

void fail_to_open(const core::IoError& error) {
  if (error.is_os()) throw ScanError::os(error.os_code(), {});
  throw ScanError::damaged(error, LinePlace::line(1));
}

std::unique_ptr<core::ByteSource> open_input(const std::string& path, int threads) {
  hts::SourceResult opened = hts::BgzfSource::open(path, threads);
  if (auto* error = std::get_if<core::IoError>(&opened)) fail_to_open(*error);
  auto source = std::make_unique<hts::BgzfSource>(std::get<hts::BgzfSource>(std::move(opened)));
  // Told apart by content, also on a pipe: the bytes looked at are given back to the reader.
  std::string first;
  std::optional<core::IoError> failure;
  const hts::Peeked peeked = hts::peek_bcf(*source, first, failure);
  if (peeked == hts::Peeked::bcf) return open_bcf(std::move(source), std::move(first));
  return std::make_unique<PeekedSource>(std::move(source), std::move(first),
                                        peeked == hts::Peeked::end, std::move(failure));
}

}  // namespace varsift::library
