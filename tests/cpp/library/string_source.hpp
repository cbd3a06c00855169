#pragma once

#include <algorithm>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "core/byte_source.hpp"

namespace varsift::library::test_support {

// Serves a string in pieces of a fixed size, then fails with `failure` if one is given.
class StringSource final : public core::ByteSource {
 public:
  StringSource(std::string bytes, std::size_t piece,
               std::optional<core::IoError> failure = std::nullopt)
      : bytes_(std::move(bytes)), piece_(piece), failure_(std::move(failure)) {}

  bool next_bytes(std::string_view& bytes, core::IoError& error) override {
    if (offset_ == bytes_.size() && failure_) {
      error = *failure_;
      return false;
    }
    const std::size_t size = std::min(piece_, bytes_.size() - offset_);
    bytes = std::string_view(bytes_).substr(offset_, size);
    offset_ += size;
    return true;
  }

 private:
  std::string bytes_;
  std::size_t piece_;
  std::optional<core::IoError> failure_;
  std::size_t offset_ = 0;
};

}  // namespace varsift::library::test_support
