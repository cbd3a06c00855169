#pragma once

#include <cstddef>
#include <cstring>
#include <string_view>

#include "byte_source.hpp"
#include "io_error.hpp"
#include "line.hpp"

namespace varsift::core {

// Splits the bytes of a source into UTF-8 lines ending at a line feed (or at the end of the
// input), each without its line feed and a carriage return directly before it. Asks the
// source for more only once every byte it gave is used.
class LineReader {
 public:
  enum class Status : unsigned char { line, end, error };

  explicit LineReader(ByteSource& source) noexcept : source_(source) {}

  // Takes the next line. With Status::line, line() views it until the next call; with
  // Status::error, error() tells why (a read error, or a line that is not UTF-8, which is
  // consumed all the same).
  Status next() {
    // Most lines lie whole inside a buffer of ASCII bytes, which needs no UTF-8 check.
    if (buffer_ascii_ && position_ < filled_) {
      const char* const start = data_ + position_;
      if (const void* newline = std::memchr(start, '\n', filled_ - position_)) {
        const char* end = static_cast<const char*>(newline);
        position_ = static_cast<std::size_t>(end - data_) + 1;
        if (end != start && end[-1] == '\r') --end;
        line_ = std::string_view(start, end);
        line_in_pending_ = false;
        line_ascii_ = true;
        return Status::line;
      }
    }
    return next_across_refills();
  }

  std::string_view line() const noexcept { return line_; }
  // Whether the current line is known to be ASCII (it lies within bytes that all are).
  bool line_is_ascii() const noexcept { return line_ascii_; }
  // The current line as an owned string, moved rather than copied where it can be.
  Line take_line();
  const IoError& error() const noexcept { return error_; }

 private:
  Status next_across_refills();
  // Takes the source's next bytes. Gives false with error_ set on a read error.
  bool refill();
  Status finish(std::string_view bytes, bool known_valid);

  ByteSource& source_;
  const char* data_ = nullptr;
  std::size_t position_ = 0;
  std::size_t filled_ = 0;
  // Whether the bytes in hand are all ASCII: then a line within them needs no UTF-8 check.
  bool buffer_ascii_ = false;
  // Collects a line that spans refills; reused from line to line.
  Line pending_;
  bool line_in_pending_ = false;
  std::string_view line_;
  bool line_ascii_ = false;
  IoError error_ = IoError::bare(ErrorKind::Other);
};

}  // namespace varsift::core
