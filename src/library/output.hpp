#pragma once

#include <memory>
#include <optional>
#include <stdexcept>
#include <string>

#include "hts/index.hpp"
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

// The output cannot be indexed (records not sorted, a POS beyond what the index holds), or its
// index cannot be written; the message says why.
class IndexingError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Writes kept lines, each ending in a line feed, into a file descriptor it does not own: as
// plain text, or as BGZF compressed on `threads` threads, then indexed as it is written when
// an index format is given.
class Output final : public LineSink {
 public:
  Output(int fd, bool compress, int threads,
         std::optional<hts::Index::Format> index = std::nullopt);
  ~Output();
  Output(const Output&) = delete;
  Output& operator=(const Output&) = delete;

  // Throw OutputError, and IndexingError as soon as a record is seen not to fit the index.
  void header(std::string_view line, bool) override { write_line(line, false); }
  void data(std::string_view line, bool) override { write_line(line, true); }
  // Writes what is buffered and, for BGZF, the end-of-file marker. Throws OutputError.
  void finish();
  // Once finished, writes the index of the output, named `data_path`, to `index_path`. Call it
  // once the data is complete: an index older than its data is taken for a stale one. Throws
  // IndexingError.
  void save_index(const std::string& data_path, const std::string& index_path);

 private:
  struct Writer;

  void write_line(std::string_view line, bool record);
  std::unique_ptr<Writer> writer_;
};

}  // namespace varsift::library
