#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <unordered_map>

typedef struct BGZF BGZF;

namespace varsift::hts {

// Inflated BGZF blocks that one reader of a handle loaded, kept so that a later reader of the
// same handle takes them from memory rather than reading them again: over a URL, every visit
// of a block elsewhere than where the transfer stands is another request. Holds at most
// `capacity` inflated bytes; blocks past that are read again.
class KeptBlocks {
 public:
  explicit KeptBlocks(std::size_t capacity) noexcept : capacity_(capacity) {}

  // Keeps the block htslib just loaded into `file` (read there: the file stands at its end),
  // unless it is kept or there is no room. Gives false when there is no room.
  bool keep(const BGZF* file);
  // Whether no block the size of the largest fits any more.
  bool full() const noexcept;
  // Drops every block but the one loaded in `file`, which it keeps if there is room (read
  // there, unless it is kept): the reading stands in it.
  void keep_only(const BGZF* file);
  // Loads the kept block at compressed `address` into `file`, at its first byte, as htslib
  // would have loaded it; gives false, leaving `file` as it was, when none is kept there.
  bool load(BGZF* file, std::uint64_t address) const;
  // Loads the block holding data after the one loaded in `file`, past empty ones, and gives
  // what bgzf_peek gives (its first byte; -1 at the data's end, with no block loaded; -2 on
  // failure). Takes it from memory when kept; otherwise reads it from the file, from where
  // the loaded block ends, and notes what follows a kept block for the next reader.
  int next(BGZF* file);

 private:
  struct Block {
    std::uint64_t end;  // the compressed offset just past the block
    std::size_t size;   // inflated bytes
    std::unique_ptr<char[]> bytes;
    // Where the next block holding data starts, once read; none: the data ends here.
    std::optional<std::optional<std::uint64_t>> next;
  };

  std::size_t capacity_;
  std::size_t held_ = 0;
  std::unordered_map<std::uint64_t, Block> blocks_;
};

}  // namespace varsift::hts
