#pragma once

#include <memory>
#include <stdexcept>

#include "line_sink.hpp"

namespace varsift::library {

// Writing the output failed with an OS error.
class OutputError : public std::runtime_error {
 public:
  explicit OutputError(int code);
  int os_code() const noexcept { return code_; }

 private:
  int code_;
};

// Writes kept lines, each ending in a line feed, into a file descriptor it does not own: as
// plain text, or as BGZF compressed on `threads` threads.
class Output final : public LineSink {
 public:
  Output(int fd, bool compress, int threads);
  ~Output();
  Output(const Output&) = delete;
  Output& operator=(const Output&) = delete;

  // Throw OutputError.
  void header(std::string_view line, bool) override { write_line(line); }
  void data(std::string_view line, bool) override { write_line(line); }
  // Writes what is buffered and, for BGZF, the end-of-file marker. Throws OutputError.
  void finish();

 private:
  struct Writer;

  void write_line(std::string_view line);
  std::unique_ptr<Writer> writer_;
};

}  // namespace varsift::library
