#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace varsift::hts {

// The bytes of ranges that the check of an index's ranges found in the block where each
// begins, kept so that the reading gives them from memory rather than inflate that block
// again: a range of a few records is a few kilobytes of a block of 64, or the end of one block
// and the start of the next. Holds at most `capacity` bytes.
class RangeTexts {
 public:
  struct Text {
    std::size_t range;
    std::string bytes;
    // Where the range goes on in the file past these bytes (the next block's start); none
    // when they are all of it.
    std::optional<std::uint64_t> rest;
  };

  explicit RangeTexts(std::size_t capacity) noexcept : capacity_(capacity) {}

  // Keeps the first bytes of range number `range`, ranges being kept in increasing order,
  // unless there is no room or they are empty.
  void keep(std::size_t range, std::string_view bytes, std::optional<std::uint64_t> rest);
  // What is kept of range number `range`, or null.
  const Text* find(std::size_t range) const noexcept;

 private:
  std::size_t capacity_;
  std::size_t held_ = 0;
  std::vector<Text> texts_;
};

}  // namespace varsift::hts
