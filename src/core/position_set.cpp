#include "position_set.hpp"

#include <algorithm>
#include <bit>

namespace varsift::core {
namespace {

// Fibonacci hashing: the high bits of the product spread neighbouring positions apart.
constexpr std::uint64_t golden = 0x9E3779B97F4A7C15ULL;

}  // namespace

PositionSet::PositionSet(const PositionList& positions, std::size_t linear_limit)
    : list_(positions.data()), size_(positions.size()), hashed_(size_ > linear_limit) {
  if (!hashed_) return;
  // At most half full, so probe runs stay short.
  const std::size_t capacity = std::bit_ceil(size_ * 2);
  slots_.assign(capacity, 0);
  mask_ = capacity - 1;
  shift_ = static_cast<unsigned>(64 - std::countr_zero(capacity));
  for (const std::uint64_t position : positions) {
    if (position == 0) {
      has_zero_ = true;
      continue;
    }
    std::size_t slot = static_cast<std::size_t>((position * golden) >> shift_);
    while (slots_[slot] != 0 && slots_[slot] != position) slot = (slot + 1) & mask_;
    slots_[slot] = position;
  }
}

bool PositionSet::contains(std::uint64_t position) const noexcept {
  if (hashed_) return hashed_contains(position);
  return std::find(list_, list_ + size_, position) != list_ + size_;
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
