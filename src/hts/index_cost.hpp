#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "index.hpp"

namespace varsift::hts {

// Compressed bytes a reader inflates: following an index, or scanning the whole file.
struct ReadCost {
  std::uint64_t index_bytes = 0;
  std::uint64_t file_bytes = 0;
};

// A lower bound of the index's cost before any index query runs: each planned interval loads at
// least one block of `block_bytes` (the compressed size of a typical data block). A plan dearer
// than the scan needs no index query at all.
ReadCost plan_cost(const QueryPlan& plan, std::uint64_t block_bytes,
                   std::uint64_t file_bytes) noexcept;

// The cost of reading the ranges: each block between a range's first and last once (a range
// starting in a block already loaded goes on from it), the last block of each run of ranges,
// and a seek to each run, counted as a block.
ReadCost range_cost(std::span<const VirtualRange> ranges, std::uint64_t block_bytes,
                    std::uint64_t file_bytes) noexcept;

// Adds to `cost` the second fetch of what a check of every range, done before the reading,
// reads beyond the `kept_bytes` (inflated) it keeps for the reading: over a URL, each such
// block is fetched by the check and again by the reading.
void count_check_refetch(ReadCost& cost, std::size_t kept_bytes,
                         std::uint64_t block_bytes) noexcept;

// Whether following the index beats a scan of the whole file on `scan_threads` threads.
bool index_is_cheaper(const ReadCost& cost, unsigned scan_threads) noexcept;

// Whether reading an index file of `index_file_bytes` bytes (compressed) alone costs more than
// a scan of `file_bytes` on `scan_threads` threads: then no query can make the index pay. An
// index too small to matter is always read, so that its faults are reported.
bool index_outweighs_scan(std::uint64_t index_file_bytes, std::uint64_t file_bytes,
                          unsigned scan_threads) noexcept;

// Whether a plan's estimate is so far above the scan that no index query needs to run. Bins
// that share a block make the estimate high, so only a wide margin rules the index out.
bool plan_rules_out_index(const ReadCost& plan, unsigned scan_threads) noexcept;

}  // namespace varsift::hts
