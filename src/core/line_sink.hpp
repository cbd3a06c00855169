#pragma once

#include <string_view>

namespace varsift::core {

// Receives the lines a subset keeps, in file order, as views valid only during the call: the
// receiver copies what it keeps into its own form (the module builds a Python str straight
// from the read buffer). `ascii` tells that every byte of the line is below 0x80; false says
// nothing. May throw to end the subset.
class LineSink {
 public:
  virtual void header(std::string_view line, bool ascii) = 0;
  virtual void data(std::string_view line, bool ascii) = 0;

 protected:
  LineSink() = default;
  LineSink(const LineSink&) = default;
  LineSink& operator=(const LineSink&) = default;
  ~LineSink() = default;
};

}  // namespace varsift::core
