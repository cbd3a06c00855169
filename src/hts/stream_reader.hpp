#pragma once

#include <zlib.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>

#include "bgzf_block.hpp"
#include "bgzf_file.hpp"
#include "positioned_read.hpp"
#include "unique_fd.hpp"

namespace varsift::hts {

enum class Compression : unsigned char { plain, gzip, bgzf };

// Tells the compression of an input from its first `available` bytes, `at_end` when nothing
// follows them: gzip from its magic number, BGZF when the first member's header holds a BC
// subfield, among others or alone. Gives nullopt when more bytes are needed to tell.
std::optional<Compression> compression_of(const unsigned char* bytes, std::size_t available,
                                          bool at_end) noexcept;

// Reads plain text, or gzip members and BGZF blocks in any mix, in order: either from a file
// with positioned reads from an offset, or from a pipe, a FIFO or a terminal with reads that
// wait in bounded polls, so that the interruption in force on the reading thread is heard
// while no input comes. A BGZF block is inflated and checked as the block reader does, with
// the same messages for the same damage; any other gzip member is inflated by zlib. When the
// last member is a BGZF block it must be empty (the end-of-file marker, or any empty block):
// otherwise the input was cut between blocks. Damaged data is a failure, never an early end.
class StreamReader {
 public:
  // Reads `fd` in order from its current position, with waits.
  explicit StreamReader(UniqueFd fd);
  // Reads `input` from `offset` on.
  StreamReader(std::unique_ptr<PositionedInput> input, std::uint64_t offset);
  // Reads `input`, which stays the caller's, from `offset` on.
  StreamReader(PositionedInput& input, std::uint64_t offset);
  StreamReader(const StreamReader&) = delete;
  StreamReader& operator=(const StreamReader&) = delete;
  ~StreamReader();

  // Reads the first bytes and tells the compression. Gives false when reading fails.
  bool start(Compression& compression, BgzfFailure& failure);
  // Starts on what follows BGZF blocks another reader has read, at the reader's offset.
  bool start_after_blocks(BgzfFailure& failure);

  enum class Status : unsigned char { bytes, end, failed };

  // Makes the next bytes available in `bytes` until the next call. A failure is final.
  Status next(std::string_view& bytes, BgzfFailure& failure);
  // The input's offset after the bytes read so far (some of them not yet inflated).
  std::uint64_t stored_bytes() const noexcept { return offset_; }

 private:
  // Reads more input after what is unused; gives false with `failure` when reading fails.
  bool fill(BgzfFailure& failure);
  bool start_members(BgzfFailure& failure);
  // Makes room for a whole block after what is unused.
  void compact() noexcept;
  Status inflate_next(std::string_view& bytes, BgzfFailure& failure);
  Status inflate_member(std::string_view& bytes, BgzfFailure& failure);
  Status end_of_members(std::string_view& bytes, BgzfFailure& failure);
  Status fail(BgzfFailure failure, BgzfFailure& out);
  BgzfFailure describe_zlib_failure() const noexcept;

  // Read in order with waits, or...
  UniqueFd fd_;
  // ...read at offset_, when set.
  std::unique_ptr<PositionedInput> owned_;
  PositionedInput* input_ = nullptr;
  // Where the next read starts; counts what was read in order too.
  std::uint64_t offset_ = 0;
  std::unique_ptr<unsigned char[]> buffer_;
  std::size_t used_ = 0;
  std::size_t have_ = 0;
  bool at_end_ = false;
  bool compressed_ = false;

  std::unique_ptr<char[]> output_;
  z_stream zlib_{};
  bool zlib_ready_ = false;
  gz_header member_header_{};
  BlockInflater blocks_;
  // Whether zlib is inside a member.
  bool in_member_ = false;
  // Whether a member has ended.
  bool any_member_ = false;
  // Whether the last member ended was a BGZF block, and an empty one.
  bool last_was_block_ = false;
  bool last_was_empty_block_ = false;
  std::optional<BgzfFailure> failure_;
};

}  // namespace varsift::hts
