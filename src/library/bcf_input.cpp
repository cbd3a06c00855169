#include "bcf_input.hpp"

#include <optional>
#include <utility>

#include "hts/bcf_reader.hpp"
#include "input.hpp"
#include "pos_limit.hpp"
#include "scanner.hpp"

namespace varsift::library {
namespace {

// Formatted text handed out at once.
constexpr std::size_t batch_bytes = std::size_t{256} << 10;

class BcfInput final : public PartialSource {
 public:
  BcfInput(std::unique_ptr<hts::BcfReader> reader, bool through_index)
      : reader_(std::move(reader)), through_index_(through_index) {}

  bool next_bytes(std::string_view& bytes, core::IoError& error) override {
    text_.clear();
    if (!header_given_) {
      header_given_ = true;
      if (!reader_->format_header(text_)) return cannot_format(error);
      bytes = text_;
      return true;
    }
    past_header_ = true;
    // A record met by overlap needs its text, which the scan that reads this source checks.
    const bool by_text =
        selection_ == nullptr || selection_->keeps_everything() || !selection_->matches_by_pos();
    if (by_text && selection_ != nullptr && !selection_->keeps_everything() && !limit_) {
      limit_.emplace(*selection_);
    }
    while (!ended_ && text_.size() < batch_bytes) {
      switch (reader_->next(error)) {
        case hts::BcfReader::Status::failed:
          return false;
        case hts::BcfReader::Status::end:
          ended_ = true;
          break;
        case hts::BcfReader::Status::record:
          if (!by_text) {
            if (!selection_->keeps(reader_->chrom(), reader_->pos())) break;
          } else if (limit_) {
            if (limit_->beyond(reader_->chrom(), reader_->pos())) break;
            // Overlap reads the first eight columns: the samples are formatted once kept.
            sites_.clear();
            if (!reader_->format_sites(sites_, error)) return false;
            if (!sites_.empty() && sites_.back() == '\n') sites_.pop_back();
            if (!selection_->keeps(reader_->chrom(), reader_->pos(), sites_)) break;
          }
          if (!reader_->format_record(text_, error)) return false;
          break;
      }
    }
    bytes = text_;
    return true;
  }
  bool past_header() const noexcept override { return past_header_; }
  bool through_index() const noexcept override { return through_index_; }
  std::uint64_t stored_bytes() const noexcept override { return reader_->stored_bytes(); }
  std::uint64_t block_address() const noexcept override { return reader_->block_address(); }
  void select(Selection& selection) noexcept override { selection_ = &selection; }

 private:
  static bool cannot_format(core::IoError& error) {
    error = core::IoError::fixed(core::ErrorKind::InvalidData,
                                 "a BCF record cannot be formatted as VCF text");
    return false;
  }

  std::unique_ptr<hts::BcfReader> reader_;
  bool through_index_;
  Selection* selection_ = nullptr;
  // Records past it are not formatted for a selection that tests them by their text.
  std::optional<PosLimit> limit_;
  std::string sites_;
  std::string text_;
  bool header_given_ = false;
  bool past_header_ = false;
  bool ended_ = false;
};

}  // namespace

std::unique_ptr<core::ByteSource> open_bcf(std::unique_ptr<hts::BgzfSource> source,
                                           std::string first) {
  core::IoError error = core::IoError::bare(core::ErrorKind::Other);
  std::unique_ptr<hts::BcfReader> reader =
      hts::BcfReader::open(std::move(source), std::move(first), error);
  if (!reader) fail_to_open(error);
  return std::make_unique<BcfInput>(std::move(reader), false);
}

std::unique_ptr<core::ByteSource> open_bcf(std::unique_ptr<hts::BcfReader> reader,
                                           bool through_index) {
  return std::make_unique<BcfInput>(std::move(reader), through_index);
}

}  // namespace varsift::library
