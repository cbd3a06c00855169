#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "core/byte_source.hpp"

namespace varsift::library {

// A byte range of one input, in the input's uncompressed bytes, found by a partitioner that
// cut the input into ranges laid end to end.
struct InputRange {
  // Whether the input is BGZF; plain text otherwise.
  bool bgzf = false;
  // Where the byte just before the range is: a file offset for plain text, a virtual offset
  // for BGZF. Empty for the range at the input's start.
  std::optional<std::uint64_t> before;
  // The uncompressed bytes in the range.
  std::uint64_t length = 0;
  // BGZF: the virtual offset just past the range's last byte, which must be the end of a
  // block (where the next range begins, or where the data ends); empty when not known.
  std::optional<std::uint64_t> end;
  // BGZF cut where an index says records start: the virtual offset where the range's first
  // line starts. `before` and `length` are then unused, and `end` (empty for the last range)
  // is where the next range's first line starts.
  std::optional<std::uint64_t> line_start;
};

// Opens the lines of `path` that start inside `range` (see LineRangeSource), inflating BGZF on
// `threads` threads. Throws ScanError when the file cannot be opened or the range reached.
// Where the range has an end, reading fails with ESTALE when the range's bytes do not end
// there (with `line_start`: when a line does not end there): the file is not the one the
// ranges were planned for (changed, or described by a wrong .gzi or index), and ranges laid
// end to end would miss or repeat lines.
std::unique_ptr<core::ByteSource> open_range(const std::string& path, const InputRange& range,
                                             int threads);

}  // namespace varsift::library
