#include "index_cost.hpp"

#include <algorithm>

namespace varsift::hts {
namespace {

// A seek costs about as much as inflating one more block: the reader stops streaming.
constexpr std::uint64_t seek_cost_in_blocks = 1;
// The scan splits and checks every line it inflates, where the index reader checks few: a
// scanned byte costs about twice an indexed one on the same thread.
constexpr std::uint64_t scan_weight = 2;

}  // namespace

ReadCost plan_cost(const QueryPlan& plan, std::uint64_t block_bytes,
                   std::uint64_t file_bytes) noexcept {
  const std::uint64_t bytes = plan.intervals.size() * block_bytes;
  return {std::min(bytes, file_bytes), file_bytes};
}

ReadCost range_cost(std::span<const VirtualRange> ranges, std::uint64_t block_bytes,
                    std::uint64_t file_bytes) noexcept {
  ReadCost cost{0, file_bytes};
  for (const VirtualRange& range : ranges) {
    cost.index_bytes +=
        (range.end >> 16) - (range.begin >> 16) + (1 + seek_cost_in_blocks) * block_bytes;
  }
  return cost;
}

bool index_is_cheaper(const ReadCost& cost, unsigned scan_threads) noexcept {
  const std::uint64_t threads = std::max(scan_threads, 1U);
  return cost.index_bytes * threads < cost.file_bytes * scan_weight;
}

}  // namespace varsift::hts
