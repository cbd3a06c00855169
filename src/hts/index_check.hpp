#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "index.hpp"
#include "sequence_names.hpp"

namespace varsift::hts {

// What the check learns of a sound index.
struct IndexLayout {
  Index::Format format = Index::Format::tbi;
  int min_shift = 0;
  int depth = 0;
  // The compressed offset of the last block that holds an indexed record.
  std::uint64_t last_block = 0;
  // By sequence: every record the index holds on it begins below this coordinate (0-based).
  std::vector<std::int64_t> extents;
  // By sequence: the records the index counts on it, when it keeps a count.
  std::vector<std::optional<std::uint64_t>> records;
  // Whether the index names its sequences (tabix's configuration and names); a BCF's .csi
  // does not, and `names` stays empty until the header's contigs name them.
  bool named = true;
  std::size_t sequences = 0;
  SequenceNames names;
  // Where each sequence's bins begin in the bytes, and then where the last one's end.
  std::vector<std::size_t> sections;
};

// Checks inflated .tbi or .csi bytes as their formats lay them out, for an index of a data file
// of `data_bytes` bytes: htslib's loader trusts counts and offsets, and fails badly on damaged
// ones. Gives a problem, `unreadable` for bytes that do not form an index and `stale` for
// offsets past the data's end, with a message that names the fault (not the file).
std::optional<IndexProblem> check_index_bytes(std::string_view bytes, std::uint64_t data_bytes,
                                              IndexLayout& layout);

// Inflates the index file `file` through htslib's BGZF reader into `bytes` and checks them, for
// data of `data_bytes` bytes (none: unknown, offsets are then not bounded). Problems name the
// index `path` and, when stale, `data_path`.
std::optional<IndexProblem> check_index_file(const std::string& file, const std::string& path,
                                             const std::string& data_path,
                                             std::optional<std::uint64_t> data_bytes,
                                             IndexLayout& layout, std::string& bytes);

}  // namespace varsift::hts
