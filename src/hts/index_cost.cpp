#include "index_cost.hpp"

#include <algorithm>

#include "bgzf_block.hpp"

namespace varsift::hts {
namespace {

// A seek costs about as much as inflating one more block: the reader stops streaming.
constexpr std::uint64_t seek_cost_in_blocks = 1;
// How far above the scan a plan's estimate must be to skip the index queries.
constexpr std::uint64_t plan_margin = 4;

// Inflating and checking a compressed byte of an index costs about what scanning two bytes of
// data does: index bytes inflate further, and each sequence's bins are walked and named.
constexpr std::uint64_t index_byte_cost = 2;
// An index below this size is read in a few milliseconds.
constexpr std::uint64_t small_index_bytes = std::uint64_t{64} << 10;

}  // namespace

bool index_outweighs_scan(std::uint64_t index_file_bytes, std::uint64_t file_bytes,
                          unsigned scan_threads) noexcept {
  const std::uint64_t threads = std::max(scan_threads, 1U);
  return index_file_bytes > small_index_bytes &&
         index_file_bytes * index_byte_cost * threads >= file_bytes;
}

ReadCost plan_cost(const QueryPlan& plan, std::uint64_t block_bytes,
                   std::uint64_t file_bytes) noexcept {
  // Not capped at the file's size: a block that several intervals need is loaded for each.
  return {plan.queries() * block_bytes, file_bytes};
}

ReadCost range_cost(std::span<const VirtualRange> ranges, std::uint64_t block_bytes,
                    std::uint64_t file_bytes) noexcept {
  ReadCost cost{0, file_bytes};
  // The reader loads each block once: a range starting in the block it holds goes on from it.
  bool loaded = false;
  std::uint64_t last = 0;  // address of the last block loaded
  for (const VirtualRange& range : ranges) {
    const std::uint64_t first = range.begin >> 16;
    const std::uint64_t end = range.end >> 16;
    if (!loaded || first > last) {
      cost.index_bytes += (1 + seek_cost_in_blocks) * block_bytes + (end - first);
    } else if (end > last) {
      cost.index_bytes += end - last;
    }
    if (!loaded || end > last) last = end;
    loaded = true;
  }
  return cost;
}

void count_check_refetch(ReadCost& cost, std::size_t kept_bytes,
                         std::uint64_t block_bytes) noexcept {
  const std::uint64_t kept_stored = kept_bytes / bgzf_max_block_size * block_bytes;
  cost.index_bytes += cost.index_bytes - std::min(cost.index_bytes, kept_stored);
}

bool index_is_cheaper(const ReadCost& cost, unsigned scan_threads) noexcept {
  // Both inflate and split the same way; the scan spreads its work over its threads, the index
  // reader works on one.
  const std::uint64_t threads = std::max(scan_threads, 1U);
  return cost.index_bytes * threads < cost.file_bytes;
}

bool plan_rules_out_index(const ReadCost& plan, unsigned scan_threads) noexcept {
  const std::uint64_t threads = std::max(scan_threads, 1U);
  return plan.index_bytes * threads >= plan.file_bytes * plan_margin;
}

}  // namespace varsift::hts
