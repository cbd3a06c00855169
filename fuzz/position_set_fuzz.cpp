// Builds a PositionSet from the first part of the input and looks up the rest, checking each
// answer against a scan of the list. Small values make duplicates and hits likely; the look-ups
// may run sorted, unsorted or mixed, which exercises every strategy and the switch between them.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "core/position_set.hpp"

namespace {

// Takes the next value: one byte chooses its width (1, 2 or 8 bytes), so that both collisions
// and the full 64-bit range occur.
bool take(const std::uint8_t*& data, std::size_t& size, std::uint64_t& value) {
  if (size == 0) return false;
  const unsigned width = data[0] % 3 == 0 ? 8 : data[0] % 3;
  ++data;
  --size;
  if (size < width) return false;
  value = 0;
  std::memcpy(&value, data, width);
  data += width;
  size -= width;
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  const std::size_t count = data[0];
  const std::size_t linear_limit = data[1] % 16;
  data += 2;
  size -= 2;
  varsift::core::PositionList positions;
  std::uint64_t value = 0;
  while (positions.size() < count && take(data, size, value)) positions.push_back(value);
  varsift::core::PositionSet set(positions, linear_limit);
  if (set.empty() != positions.empty()) std::abort();
  while (take(data, size, value)) {
    const bool expected = std::find(positions.begin(), positions.end(), value) != positions.end();
    if (set.contains(value) != expected) std::abort();
  }
  return 0;
}
