#pragma once

#include <cstddef>
#include <memory>
#include <string_view>

#include "allocator.hpp"
#include "file.hpp"
#include "io_error.hpp"
#include "line.hpp"

namespace varsift::core {

// Splits a file into UTF-8 lines ending at a line feed (or at the end of the file), each
// without its line feed and a carriage return directly before it. Reads at most
// `buffer_size` bytes at a time into one buffer, and only once every buffered byte is used.
class LineReader {
 public:
  static constexpr std::size_t buffer_size = 8192;

  enum class Status : unsigned char { line, end, error };

  explicit LineReader(File file);

  // Takes the next line. With Status::line, line() views it until the next call; with
  // Status::error, error() tells why (a read error, or a line that is not UTF-8, which is
  // consumed all the same).
  Status next();

  std::string_view line() const noexcept { return line_; }
  // The current line as an owned string, moved rather than copied where it can be.
  Line take_line();
  const IoError& error() const noexcept { return error_; }

 private:
  struct FreeBuffer {
    void operator()(char* p) const noexcept { std::free(p); }
  };

  // Refills the buffer from its start. Gives false with error_ set on a read error.
  bool refill();
  Status finish(std::string_view bytes, bool known_valid);

  File file_;
  std::unique_ptr<char, FreeBuffer> buffer_;
  std::size_t position_ = 0;
  std::size_t filled_ = 0;
  // Whether the buffered bytes are all ASCII: then a line within them needs no UTF-8 check.
  bool buffer_ascii_ = false;
  // Collects a line that spans refills; reused from line to line.
  Line pending_;
  bool line_in_pending_ = false;
  std::string_view line_;
  IoError error_ = IoError::bare(ErrorKind::Other);
};

}  // namespace varsift::core
