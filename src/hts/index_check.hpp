#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "index.hpp"
#include "sequence_names.hpp"

namespace varsift::hts {

// What the walk of an index's layout learns: enough to plan queries and to pick out the bytes
// of the sequences a query touches, which alone are then checked in full.
struct IndexLayout {
  Index::Format format = Index::Format::tbi;
  int min_shift = 0;
  int depth = 0;
  // By sequence: every record the index holds on it begins below this coordinate (0-based);
  // unbounded when a bin is outside the scheme, so that any query there meets the damage.
  std::vector<std::int64_t> extents;
  // By sequence: the records the index counts on it, when it keeps a count (unchecked).
  std::vector<std::optional<std::uint64_t>> records;
  // Whether the index names its sequences (tabix's configuration and names); a BCF's .csi
  // does not, and `names` stays empty until the header's contigs name them.
  bool named = true;
  std::size_t sequences = 0;
  SequenceNames names;
  // Where each sequence's bins begin in the bytes, and then where the last one's end.
  std::vector<std::size_t> sections;
};

// Walks inflated .tbi or .csi bytes as their formats lay them out: the header, the names and
// every count in full (not negative, fitting the bytes left), and each sequence only as far as
// finding where its bytes end and what it covers. htslib's loader trusts counts and offsets,
// and fails badly on damaged ones: it is handed only sequences that check_index_sequence
// passed. Gives a problem, `unreadable` for bytes that do not form an index, with a message
// that names the fault (not the file).
std::optional<IndexProblem> check_index_layout(std::string_view bytes, IndexLayout& layout);

// Checks the bytes of sequence `tid` of a walked index in full, for a data file of
// `data_bytes` bytes: each bin in the scheme and listed once, chunks that begin before they
// end and in order, the statistics' two chunks, and every offset within the data. Gives a
// problem, `unreadable` for damage and `stale` for an offset past the data's end.
std::optional<IndexProblem> check_index_sequence(std::string_view bytes, const IndexLayout& layout,
                                                 std::size_t tid, std::uint64_t data_bytes);

// The compressed offset of the last block holding an indexed record: the furthest chunk end of
// any sequence of a walked index.
std::uint64_t index_last_block(std::string_view bytes, const IndexLayout& layout);

// Names the index `path`, and for offsets past the end `data_path`, in a problem's message.
void name_index_problem(IndexProblem& problem, const std::string& path,
                        const std::string& data_path);

// Inflates the index file `file` through htslib's BGZF reader into `bytes` and walks its
// layout. Problems name the index `path`.
std::optional<IndexProblem> check_index_file(const std::string& file, const std::string& path,
                                             IndexLayout& layout, std::string& bytes);

}  // namespace varsift::hts
