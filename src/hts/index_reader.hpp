#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/byte_source.hpp"
#include "core/io_error.hpp"
#include "index.hpp"

typedef struct BGZF BGZF;

namespace varsift::hts {

class KeptBlocks;
class RangeTexts;

// A file's header, read before: its bytes, and the virtual offset where the records begin.
struct ReadHeader {
  std::string bytes;
  std::uint64_t end = 0;
};

// Gives the header of a BGZF file, then the lines that start inside the given ranges, each
// once and in file order. Bytes are always whole lines, so a core::LineReader over this source
// sees exactly those lines. Reads the borrowed BGZF handle by seeking; the handle must be a
// BGZF file opened for reading, without threads.
class IndexedSource final : public core::ByteSource {
 public:
  // Called before the lines of a range are given, with the range's place in `ranges`: it may
  // read through the handle, after which the source finds its place again. Gives false, with
  // `error` set, to end the reading with that error.
  using BeforeRange = std::function<bool(std::size_t range, core::IoError& error)>;

  // `ranges` must be sorted and disjoint, as Index::ranges gives them. Blocks in `kept`
  // (borrowed; null: none) are taken from it rather than read from the file, and so are the
  // ranges in `texts` (borrowed; null: none). A header read before is given from memory, and
  // its blocks are not read again.
  IndexedSource(BGZF* file, std::vector<VirtualRange> ranges, KeptBlocks* kept = nullptr,
                std::optional<ReadHeader> header = std::nullopt, BeforeRange before_range = {},
                const RangeTexts* texts = nullptr) noexcept;

  bool next_bytes(std::string_view& bytes, core::IoError& error) override;

  // BGZF blocks loaded so far, each inflated once per load.
  std::uint64_t blocks_read() const noexcept { return blocks_read_; }
  // Whether bytes past the header have been asked for: the header's lines are all given.
  bool past_header() const noexcept { return phase_ > Phase::header; }
  // The compressed offset of the block being read (or failing to be read).
  std::uint64_t block_address() const noexcept;

 private:
  enum class Phase : unsigned char { start, header, range, text, finish_line, done };

  bool seek(std::uint64_t offset, core::IoError& error);
  // Loads the next block; gives false on error and leaves an empty block at the end.
  bool next_block(core::IoError& error);
  std::uint64_t tell() const noexcept;
  bool start_next_range(core::IoError& error);

  BGZF* file_;
  KeptBlocks* kept_;
  BeforeRange before_range_;
  const RangeTexts* texts_;
  // The kept bytes of the range being given, the block they are from, and where the range
  // goes on in the file past them.
  std::string_view text_;
  std::uint64_t text_block_ = 0;
  std::optional<std::uint64_t> text_rest_;
  std::vector<VirtualRange> ranges_;
  std::size_t next_range_ = 0;
  Phase phase_ = Phase::start;
  bool phase_ends_ = false;  // the bytes last given end the phase
  bool at_line_start_ = true;
  std::uint64_t end_ = 0;  // end of the current range
  std::uint64_t blocks_read_ = 0;
  std::optional<ReadHeader> header_;
  // Where the first range goes on from, when the header was read before: the file is not
  // positioned there yet.
  std::optional<std::uint64_t> resume_;
};

// For readers of an index's ranges through a BGZF handle (`kept`, borrowed, the blocks taken
// from memory; null: none). Loads the block after the loaded one that holds data, and gives
// what bgzf_peek gives: its first byte, -1 at the data's end, -2 on failure.
int next_in_ranges(BGZF* file, KeptBlocks* kept);
// Moves to virtual offset `offset`: within the loaded block, or loading its block from `kept`
// or the file (`loaded` then true, unless the data ends there). Gives false with `error` set
// when the read fails or the offset lies outside a block.
bool seek_in_ranges(BGZF* file, KeptBlocks* kept, std::uint64_t offset, core::IoError& error,
                    bool& loaded);

// The compressed size of the BGZF block holding `offset`, to scale a cost estimate; 0 when it
// cannot be read or is the last. When that block is the one loaded, read last, it is measured
// without reading; otherwise moves the file's position and leaves no block loaded.
std::uint64_t block_bytes_at(BGZF* file, std::uint64_t offset) noexcept;

}  // namespace varsift::hts
