#pragma once

#include "core/line_sink.hpp"

namespace varsift::library {

// Where a scan puts the lines it keeps, in file order: lists of Python strings, or an output
// file. A scan runs in steps, and the sink can ask it to pause so that its owner can empty it.
class LineSink : public core::LineSink {
 public:
  virtual bool full() const noexcept { return false; }

 protected:
  ~LineSink() = default;
};

}  // namespace varsift::library
