#pragma once

#include <cstdint>
#include <memory>
#include <string_view>

#include "core/byte_source.hpp"
#include "core/io_error.hpp"

namespace varsift::library {

// Gives the lines of an input that start inside one byte range of it, so that ranges laid end
// to end give every line once: a line belongs to the range holding its first byte. The inner
// source starts at the byte just before the range, or at the input's start for the first
// range; the last line may run past the range's end and is given whole.
class LineRangeSource final : public core::ByteSource {
 public:
  // `from_byte_before`: the inner source's first byte is the one before the range, which tells
  // whether the range starts a line. `length`: the bytes in the range.
  LineRangeSource(std::unique_ptr<core::ByteSource> inner, bool from_byte_before,
                  std::uint64_t length) noexcept;

  bool next_bytes(std::string_view& bytes, core::IoError& error) override;

 private:
  enum class Phase : unsigned char { skip, pass, done };

  std::unique_ptr<core::ByteSource> inner_;
  Phase phase_;
  // Offset, from the range's start, of the next byte the inner source gives.
  std::int64_t position_;
  // The range's last byte: the line holding it is the last one given.
  std::int64_t last_;
  std::string_view held_;
};

}  // namespace varsift::library
