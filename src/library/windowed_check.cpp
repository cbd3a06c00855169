#include "windowed_check.hpp"

#include <htslib/bgzf.h>

#include <span>
#include <utility>

#include "hts/kept_blocks.hpp"
#include "scan_error.hpp"

namespace varsift::library {

WindowedCheck::WindowedCheck(hts::Index index, std::vector<hts::VirtualRange> ranges,
                             std::size_t checked, hts::RangeCheckOptions options,
                             std::string mismatch) noexcept
    : index_(std::move(index)),
      ranges_(std::move(ranges)),
      checked_(checked),
      options_(options),
      mismatch_(std::move(mismatch)) {}

void WindowedCheck::before(BGZF* file, hts::KeptBlocks& kept, std::size_t range) {
  if (range < checked_) return;
  // The blocks of the window before were read: what is kept now is the block read last.
  kept.keep_only(file);
  const hts::RangeCheck check = hts::check_ranges(file, std::span(ranges_).subspan(checked_),
                                                  index_.sequences(), kept, options_);
  switch (check.outcome) {
    case hts::RangeCheck::Outcome::sound:
      checked_ += check.checked;
      return;
    case hts::RangeCheck::Outcome::mismatch:
      throw ScanError::malformed(mismatch_ + check.message, LinePlace{});
    case hts::RangeCheck::Outcome::damaged:
      break;
  }
  file->block_length = 0;
  file->block_offset = 0;
  file->errcode = 0;
  checked_ = ranges_.size();
}

}  // namespace varsift::library
