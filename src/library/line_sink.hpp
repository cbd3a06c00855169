#pragma once

#include <string_view>

namespace varsift::library {

// Where a scan puts the lines it keeps, in file order: lists of Python strings, or an output
// file.
class LineSink {
 public:
  virtual ~LineSink() = default;

  // Takes one kept line, without its terminator. `ascii` tells that every byte is below 0x80
  // (when false, the line is still valid UTF-8).
  virtual void keep(std::string_view line, bool header, bool ascii) = 0;
  // Whether the sink wants the scan to pause, so that its owner can empty it.
  virtual bool full() const noexcept { return false; }
};

}  // namespace varsift::library
