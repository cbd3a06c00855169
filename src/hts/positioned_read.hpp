#pragma once

#include <cstddef>
#include <cstdint>

#include "core/io_error.hpp"
#include "unique_fd.hpp"

namespace varsift::hts {

// Bytes that can be read at any offset: a local file, or a remote one read by byte ranges.
class PositionedInput {
 public:
  virtual ~PositionedInput() = default;
  // Reads up to `size` bytes at `offset` into `buffer`: fewer only at the end of the input.
  // Gives false with the reason otherwise.
  virtual bool read_at(unsigned char* buffer, std::size_t size, std::uint64_t offset,
                       std::size_t& got, core::IoError& error) = 0;
};

// Reads up to `size` bytes at `offset` of `fd` into `buffer`, retrying interrupted and short
// reads: fewer only at the end of the file. Gives false with the system's error otherwise.
bool read_at(int fd, unsigned char* buffer, std::size_t size, std::uint64_t offset,
             std::size_t& got, core::IoError& error);

// A local file, read with pread.
class FileInput final : public PositionedInput {
 public:
  explicit FileInput(UniqueFd file) noexcept : file_(std::move(file)) {}
  bool read_at(unsigned char* buffer, std::size_t size, std::uint64_t offset, std::size_t& got,
               core::IoError& error) override {
    return hts::read_at(file_.get(), buffer, size, offset, got, error);
  }

 private:
  UniqueFd file_;
};

}  // namespace varsift::hts
