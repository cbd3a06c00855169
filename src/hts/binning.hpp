#pragma once

#include <cstdint>

namespace varsift::hts {

// The binning scheme of a .tbi or .csi index: `depth` levels below the root, leaf bins of
// 2^min_shift positions.
class Binning {
 public:
  Binning(int min_shift, int depth) noexcept
      : min_shift_(min_shift),
        depth_(depth),
        limit_(((std::uint64_t{1} << (3 * (depth + 1))) - 1) / 7) {}
  // Bin numbers run below the limit; the pseudo-bin of a sequence's statistics is the next but
  // one.
  bool valid(std::uint32_t bin) const noexcept { return bin < limit_ || bin == pseudo(); }
  std::uint32_t pseudo() const noexcept { return static_cast<std::uint32_t>(limit_ + 1); }

  // The coordinates a valid (not pseudo) bin covers, 0-based and half-open.
  std::int64_t begin(std::uint32_t bin) const noexcept { return span(bin, 0); }
  std::int64_t end(std::uint32_t bin) const noexcept { return span(bin, 1); }

 private:
  std::int64_t span(std::uint32_t bin, std::uint64_t past) const noexcept {
    std::uint64_t first = 0;  // first bin of the level
    for (int level = 0;; ++level) {
      const std::uint64_t next = first + (std::uint64_t{1} << (3 * level));
      if (bin < next) {
        const int shift = min_shift_ + 3 * (depth_ - level);
        return static_cast<std::int64_t>((bin - first + past) << shift);
      }
      first = next;
    }
  }

  int min_shift_;
  int depth_;
  std::uint64_t limit_;
};

}  // namespace varsift::hts
