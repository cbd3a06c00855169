#include "position_set.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <utility>
#include <vector>

namespace varsift::core {
namespace {

// Fibonacci hashing: the high bits of the product spread neighbouring positions apart.
constexpr std::uint64_t golden = 0x9E3779B97F4A7C15ULL;

// Look-ups that go backwards this often are not a sorted file's: one per chromosome is.
bool looks_unsorted(std::size_t backward_jumps, std::size_t look_ups) noexcept {
  return backward_jumps > 256 && backward_jumps * 8 > look_ups;
}

// Sorts by 11-bit digits from the lowest, skipping digits that all entries share (the high
// ones, for positions of real genomes): one pass counts every digit, then one pass a digit
// moves the entries, instead of a comparison sort.
template <class Storage>
void radix_sort(Storage& values) {
  constexpr unsigned digit_bits = 11;
  constexpr unsigned digits = (64 + digit_bits - 1) / digit_bits;
  constexpr std::uint64_t digit_mask = (std::uint64_t{1} << digit_bits) - 1;
  if (values.size() < 4096) {
    std::sort(values.begin(), values.end());
    return;
  }
  std::vector<std::array<std::size_t, digit_mask + 1>> starts(digits);
  for (const std::uint64_t value : values) {
    for (unsigned digit = 0; digit < digits; ++digit)
      ++starts[digit][(value >> (digit * digit_bits)) & digit_mask];
  }
  Storage sorted(values.size());
  for (unsigned digit = 0; digit < digits; ++digit) {
    const unsigned shift = digit * digit_bits;
    auto& counts = starts[digit];
    if (counts[(values.front() >> shift) & digit_mask] == values.size()) continue;
    std::size_t next = 0;
    for (std::size_t& start : counts) next += std::exchange(start, next);
    for (const std::uint64_t value : values)
      sorted[counts[(value >> shift) & digit_mask]++] = value;
    values.swap(sorted);
  }
}

}  // namespace

PositionSet::PositionSet(const PositionList& positions, std::size_t linear_limit)
    : list_(positions.data()),
      size_(positions.size()),
      mode_(size_ <= linear_limit ? Mode::scan : Mode::cursor) {
  if (mode_ == Mode::scan) return;
  sorted_.assign(positions.begin(), positions.end());
  // Lists made from sorted files or arrays need no sorting: one pass tells.
  if (!std::is_sorted(sorted_.begin(), sorted_.end())) radix_sort(sorted_);
  sorted_.erase(std::unique(sorted_.begin(), sorted_.end()), sorted_.end());
}

bool PositionSet::cursor_contains(std::uint64_t position) noexcept {
  const std::uint64_t* const data = sorted_.data();
  const std::size_t size = sorted_.size();
  ++look_ups_;
  if (position < last_) {
    if (looks_unsorted(++backward_jumps_, look_ups_)) {
      build_hash_table();
      mode_ = Mode::hashed;
      return hashed_contains(position);
    }
    cursor_ = static_cast<std::size_t>(std::lower_bound(data, data + cursor_, position) - data);
  } else if (cursor_ < size && data[cursor_] < position) {
    // Gallop forward from the cursor, then search the last stride.
    std::size_t low = cursor_;
    std::size_t step = 1;
    while (low + step < size && data[low + step] < position) {
      low += step;
      step *= 2;
    }
    const std::size_t high = std::min(size, low + step);
    cursor_ =
        static_cast<std::size_t>(std::lower_bound(data + low + 1, data + high, position) - data);
  }
  last_ = position;
  return cursor_ < size && data[cursor_] == position;
}

void PositionSet::build_hash_table() {
  const std::size_t capacity = std::bit_ceil(sorted_.size() * 2);
  slots_.assign(capacity, 0);
  mask_ = capacity - 1;
  shift_ = static_cast<unsigned>(64 - std::countr_zero(capacity));
  for (const std::uint64_t position : sorted_) {
    if (position == 0) {
      has_zero_ = true;
      continue;
    }
    std::size_t slot = static_cast<std::size_t>((position * golden) >> shift_);
    while (slots_[slot] != 0) slot = (slot + 1) & mask_;
    slots_[slot] = position;
  }
  Storage().swap(sorted_);
}

bool PositionSet::hashed_contains(std::uint64_t position) const noexcept {
  if (position == 0) return has_zero_;
  std::size_t slot = static_cast<std::size_t>((position * golden) >> shift_);
  for (;;) {
    const std::uint64_t entry = slots_[slot];
    if (entry == position) return true;
    if (entry == 0) return false;
    slot = (slot + 1) & mask_;
  }
}

}  // namespace varsift::core
