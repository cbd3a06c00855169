#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "allocator.hpp"

namespace varsift::core {

// The requested positions, in the caller's order, duplicates kept.
using PositionList = std::vector<std::uint64_t, Allocator<std::uint64_t>>;

// Membership test over a PositionList; order and duplicates never change the answer.
//
// Short lists are scanned. Longer ones are sorted, and a cursor follows the look-ups: VCF
// records come sorted by position within each chromosome, so each look-up moves the cursor a
// step or two through memory that is read in order. If the look-ups turn out not to be
// sorted, a hash table takes over.
class PositionSet {
 public:
  // Where a scan stops beating the other look-ups (bench/core measures it).
  static constexpr std::size_t default_linear_limit = 8;

  explicit PositionSet(const PositionList& positions,
                       std::size_t linear_limit = default_linear_limit);

  bool empty() const noexcept { return size_ == 0; }
  bool contains(std::uint64_t position) noexcept {
    if (mode_ == Mode::scan) {
      for (const std::uint64_t* p = list_; p != list_ + size_; ++p) {
        if (*p == position) return true;
      }
      return false;
    }
    return mode_ == Mode::cursor ? cursor_contains(position) : hashed_contains(position);
  }

 private:
  enum class Mode : unsigned char { scan, cursor, hashed };
  using Storage = std::vector<std::uint64_t, Allocator<std::uint64_t>>;

  bool cursor_contains(std::uint64_t position) noexcept;
  bool hashed_contains(std::uint64_t position) const noexcept;
  void build_hash_table();

  const std::uint64_t* list_;
  std::size_t size_;
  Mode mode_;

  Storage sorted_;          // unique positions, ascending
  std::size_t cursor_ = 0;  // index of the first entry not below the last look-up
  std::uint64_t last_ = 0;
  std::size_t look_ups_ = 0;
  std::size_t backward_jumps_ = 0;

  // Open addressing with linear probing; slot value 0 marks empty, so zero is kept aside.
  Storage slots_;
  std::size_t mask_ = 0;
  unsigned shift_ = 64;
  bool has_zero_ = false;
};

}  // namespace varsift::core
