#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <string>
#include <vector>

#include "library/line_sink.hpp"
#include "module/owned_ref.hpp"

namespace varsift::tools {

// Collects kept lines as bytes while the interpreter lock is released, then turns them into
// Python strings with it held. Bounded: it asks the scan to pause once it holds `limit` bytes.
class LineBatch final : public library::LineSink {
 public:
  explicit LineBatch(std::size_t limit) : limit_(limit) {}

  void header(std::string_view line, bool ascii) override { add(line, true, ascii); }
  void data(std::string_view line, bool ascii) override { add(line, false, ascii); }
  bool full() const noexcept override { return bytes_.size() >= limit_; }
  bool empty() const noexcept { return entries_.empty(); }

  // Appends the lines as str to `header` and `data` (the same list keeps file order), then
  // empties the batch. Needs the interpreter lock.
  void move_into(PyObject* header, PyObject* data);

 private:
  void add(std::string_view line, bool header, bool ascii);

  struct Entry {
    std::size_t offset;
    std::size_t size;
    bool header;
    bool ascii;
  };

  std::size_t limit_;
  std::string bytes_;
  std::vector<Entry> entries_;
};

}  // namespace varsift::tools
