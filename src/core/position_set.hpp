#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "allocator.hpp"

namespace varsift::core {

// The requested positions, in the caller's order, duplicates kept.
using PositionList = std::vector<std::uint64_t, Allocator<std::uint64_t>>;

// Membership test over a PositionList: a linear scan for short lists, a hash table above
// `linear_limit` entries. Order and duplicates never change the answer.
class PositionSet {
 public:
  // Where a scan stops beating a hashed look-up (bench/core measures both).
  static constexpr std::size_t default_linear_limit = 32;

  explicit PositionSet(const PositionList& positions,
                       std::size_t linear_limit = default_linear_limit);

  bool empty() const noexcept { return size_ == 0; }
  bool contains(std::uint64_t position) const noexcept;

 private:
  bool hashed_contains(std::uint64_t position) const noexcept;

  const std::uint64_t* list_;
  std::size_t size_;
  bool hashed_;
  // Open addressing with linear probing; slot 0 marks empty, so a zero position is kept aside.
  std::vector<std::uint64_t, Allocator<std::uint64_t>> slots_;
  std::size_t mask_ = 0;
  unsigned shift_ = 64;
  bool has_zero_ = false;
};

}  // namespace varsift::core
