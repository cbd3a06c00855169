#pragma once

#include <cstddef>
#include <span>
#include <string>
#include <vector>

#include "core/io_error.hpp"
#include "index.hpp"

typedef struct BGZF BGZF;

namespace varsift::hts {

class KeptBlocks;
class RangeTexts;

// What reading where the ranges of an index start and end found.
struct RangeCheck {
  enum class Outcome : unsigned char {
    sound,     // every range starts a record of its sequence and ends a line
    mismatch,  // the index does not describe this data file
    damaged,   // a block could not be read: the data file's fault, for the reading to report
  };
  Outcome outcome = Outcome::sound;
  std::string message;      // with mismatch: where and how the index and the data disagree
  std::size_t checked = 0;  // when sound: the ranges checked, from the first
};

// What the check keeps for the reading, and where it stops.
struct RangeCheckOptions {
  // Reads each range on to the block its end lies in, keeping those blocks too: over a URL,
  // where reading a block again is another request. Otherwise keeps only the blocks it reads
  // to check where ranges start, which the reading would inflate again.
  bool whole_ranges = false;
  // Stops after the range that filled the kept blocks, for the reading to take them before
  // the rest is checked; otherwise goes on, reading only where ranges start.
  bool window = false;
  // The data is BCF: a range starts a record (not a line) whose CHROM is the index's sequence
  // id, and a range's end is checked by the reading, which frames the records.
  bool bcf = false;
};

// Checks that each range begins at a line start (the file's first byte or just after a '\n')
// where the first record, past any '#' lines, is one of the sequence the index names for it,
// and ends just after a '\n' when its end lies inside a block read for this already (no block
// is fetched for an end alone). For BCF, that each range begins at a record of the sequence
// the index names for it (`sequences` then names them in messages only). A stale index whose
// offsets no longer meet lines fails this; a range that starts a block is taken as starting a line,
// which the block alone cannot tell. While `kept` has room, keeps the blocks it loads (see
// RangeCheckOptions), so that the reading takes them from memory (and takes from it the blocks kept
// before). With `texts`, keeps there what the block where each range begins holds of it, when
// that block is the one loaded after the range's check, numbered from the first of `ranges`. Moves
// the file's position; the handle may not be used after `damaged`.
RangeCheck check_ranges(BGZF* file, std::span<const VirtualRange> ranges,
                        const std::vector<std::string>& sequences, KeptBlocks& kept,
                        RangeCheckOptions options, RangeTexts* texts = nullptr);

}  // namespace varsift::hts
