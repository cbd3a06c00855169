#include "range_cuts.hpp"

#include <algorithm>
#include <optional>
#include <string>

namespace varsift::hts {
namespace {

// Where the index says the first record that may hold POS first to last starts, on a sequence.
std::optional<std::uint64_t> first_start(const Index& index, const std::string& sequence,
                                         std::uint64_t first, std::uint64_t last) {
  Index::Planner planner(index);
  planner.add(sequence, first, last);
  const std::vector<VirtualRange> ranges = index.ranges(planner.finish());
  if (ranges.empty()) return std::nullopt;
  return ranges.front().begin;
}

struct Extent {
  const std::string* sequence;
  std::uint64_t begin;  // where its first record starts
  std::uint64_t end;    // where the index's ranges on it end
};

}  // namespace

std::vector<std::uint64_t> record_cuts(const Index& index, std::uint64_t size) {
  std::vector<std::uint64_t> cuts{0};
  const std::uint64_t total = index.last_block() + 1;
  const std::uint64_t count =
      std::max<std::uint64_t>(1, (total + size - 1) / std::max<std::uint64_t>(size, 1));
  if (count == 1) return cuts;
  const std::uint64_t last_position = std::uint64_t{1} << (index.min_shift() + 3 * index.depth());
  std::vector<Extent> extents;
  for (const std::string& sequence : index.sequences()) {
    Index::Planner planner(index);
    planner.add(sequence, 0, last_position);
    const std::vector<VirtualRange> ranges = index.ranges(planner.finish());
    if (!ranges.empty()) extents.push_back({&sequence, ranges.front().begin, ranges.back().end});
  }
  std::sort(extents.begin(), extents.end(),
            [](const Extent& a, const Extent& b) { return a.begin < b.begin; });
  for (std::uint64_t number = 1; number < count; ++number) {
    const std::uint64_t target = total * number / count;  // a compressed offset
    const auto holder = std::find_if(extents.begin(), extents.end(),
                                     [target](const Extent& e) { return (e.end >> 16) > target; });
    if (holder == extents.end()) break;
    std::uint64_t cut = holder->begin;
    if ((cut >> 16) < target) {
      // The first site whose record starts in a block at or past the target.
      const auto at_or_past = [&](std::uint64_t position) {
        const auto start = first_start(index, *holder->sequence, position, position);
        return !start || (*start >> 16) >= target;
      };
      std::uint64_t low = 0;
      std::uint64_t high = last_position;
      while (low < high) {
        const std::uint64_t middle = low + (high - low) / 2;
        if (at_or_past(middle)) {
          high = middle;
        } else {
          low = middle + 1;
        }
      }
      const auto start = first_start(index, *holder->sequence, low, low);
      if (!start) continue;
      cut = *start;
    }
    if ((cut >> 16) > (cuts.back() >> 16)) cuts.push_back(cut);
  }
  return cuts;
}

}  // namespace varsift::hts
