#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace varsift::hts {

// The bytes of whole ranges that the check of an index's ranges found inside one loaded block,
// kept so that the reading gives them from memory rather than inflate that block again: a
// range of a few records is a few kilobytes of a block of 64. Holds at most `capacity` bytes.
class RangeTexts {
 public:
  explicit RangeTexts(std::size_t capacity) noexcept : capacity_(capacity) {}

  // Keeps the bytes of range number `range`, ranges being kept in increasing order, unless
  // there is no room or they are empty.
  void keep(std::size_t range, std::string_view bytes);
  // The bytes kept for range number `range`, or null.
  const std::string* find(std::size_t range) const noexcept;

 private:
  std::size_t capacity_;
  std::size_t held_ = 0;
  std::vector<std::pair<std::size_t, std::string>> texts_;
};

}  // namespace varsift::hts
