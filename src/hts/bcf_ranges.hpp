#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "bcf_reader.hpp"
#include "bgzf_source.hpp"
#include "index.hpp"
#include "index_reader.hpp"
#include "kept_blocks.hpp"
#include "range_texts.hpp"

namespace varsift::hts {

// Gives a BGZF BCF file's magic and header as stored, then the bytes of each range set by
// set_ranges in turn, reading the file's htslib handle by seeking. The ranges of a BCF's index
// begin and end at records, so that the bytes given frame as records; a record framed across
// the end of a range is refused (see crossing()). Blocks in `kept` (none when null) are taken
// from memory rather than read again, and the header's blocks are kept there while it has room.
class BcfRangeSource final : public BcfBytes {
 public:
  // `file` must have a handle (BgzfSource::handle()).
  explicit BcfRangeSource(BgzfSource file, std::unique_ptr<KeptBlocks> kept = nullptr) noexcept
      : file_(std::move(file)), kept_(std::move(kept)) {}

  // The ranges to read once the header is given: sorted and disjoint, as Index::ranges gives
  // them, what to call before each (see IndexedSource::BeforeRange), and the ranges given from
  // memory rather than the file. Set before the first byte past the header is asked for.
  void set_ranges(std::vector<VirtualRange> ranges, IndexedSource::BeforeRange before_range = {},
                  std::unique_ptr<RangeTexts> texts = nullptr) noexcept {
    ranges_ = std::move(ranges);
    before_range_ = std::move(before_range);
    texts_ = std::move(texts);
  }

  bool next_bytes(std::string_view& bytes, core::IoError& error) override;
  std::uint64_t block_address() const noexcept override;
  Compression compression() const noexcept override { return file_.compression(); }
  const char* crossing(std::uint64_t begin, std::uint64_t end) noexcept override;

  BGZF* handle() const noexcept { return file_.handle(); }
  // The blocks taken from memory, for a check of the ranges to add to; null when none.
  KeptBlocks* kept() const noexcept { return kept_.get(); }

 private:
  enum class Phase : unsigned char { start, header, next_range, range, done };

  bool seek(std::uint64_t offset, core::IoError& error);
  // Loads the next block holding data; false on error, an empty block at the end.
  bool next_block(core::IoError& error);
  std::string_view give(std::size_t size) noexcept;

  BgzfSource file_;
  std::unique_ptr<KeptBlocks> kept_;
  std::vector<VirtualRange> ranges_;
  IndexedSource::BeforeRange before_range_;
  std::unique_ptr<RangeTexts> texts_;
  // The block of the range last given from memory, until the file is read again, and where
  // that range goes on in the file when it does.
  std::optional<std::uint64_t> text_block_;
  std::optional<std::uint64_t> rest_;
  std::size_t next_range_ = 0;
  Phase phase_ = Phase::start;
  std::string start_;  // the magic and the header's length
  std::uint64_t header_left_ = 0;
  std::uint64_t end_ = 0;                 // end of the current range
  std::uint64_t given_ = 0;               // bytes given so far
  std::deque<std::uint64_t> range_ends_;  // where the ranges given so far ended, in bytes given
};

}  // namespace varsift::hts
