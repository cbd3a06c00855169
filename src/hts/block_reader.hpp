#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string_view>
#include <thread>
#include <vector>

#include "bgzf_block.hpp"
#include "bgzf_file.hpp"
#include "positioned_read.hpp"
#include "unique_fd.hpp"

namespace varsift::hts {

// Reads the blocks of a BGZF file that can be read at any offset, in order, inflating them
// ahead of the reader on worker threads. A batch is the whole blocks of one large read, and
// the batches in flight are bounded. The reader helps: waiting for the batch it needs, it
// inflates a later one, so that no core sits idle while there is work.
class BlockReader {
 public:
  struct Options {
    // Threads that inflate, the reader's own included: 1 means no worker thread.
    int threads = 1;
    // Compressed bytes read at once, the most a batch holds; a larger block is read whole.
    std::size_t chunk_size = std::size_t{256} << 10;
    // Inflated bytes after which a batch takes no more blocks, so that blocks that compress
    // very well cannot make it large.
    std::size_t batch_limit = std::size_t{2} << 20;
  };

  BlockReader(UniqueFd file, Options options);
  // Reads another input that can be positioned, such as a URL read by byte ranges.
  BlockReader(std::unique_ptr<PositionedInput> input, Options options);
  BlockReader(const BlockReader&) = delete;
  BlockReader& operator=(const BlockReader&) = delete;
  ~BlockReader() = default;

  // `other`: what follows the blocks handed out, from rest_offset() on, is not a BGZF block
  // (another gzip member, or damage) and is for another reader to read or report.
  enum class Status : unsigned char { bytes, end, other, failed };

  // Makes the next inflated bytes, the rest of one block, available in `bytes` until the next
  // call. At the end, checks that the last block was empty (the end-of-file marker).
  Status next(std::string_view& bytes, BgzfFailure& failure);
  // Virtual offset of the first byte not yet handed out.
  std::int64_t tell() const noexcept { return tell_; }
  // File offset of what follows the blocks, once next() gave `other`.
  std::uint64_t rest_offset() const noexcept { return rest_offset_; }
  // The input, for another reader of what follows the blocks until the next seek.
  PositionedInput& input() const noexcept { return *input_; }
  // Restarts at a virtual offset; one outside the file fails at the next call.
  void seek(std::uint64_t virtual_offset);

 private:
  struct Block {
    std::uint64_t address;
    std::size_t compressed_at;
    std::size_t inflated_at;
    BlockLayout layout;
  };
  struct Batch {
    enum class State : unsigned char { free, claimed, ready };
    State state = State::free;
    std::unique_ptr<unsigned char[]> compressed;
    std::size_t compressed_capacity = 0;
    std::unique_ptr<char[]> inflated;
    std::size_t inflated_capacity = 0;
    std::vector<Block> blocks;
    // The blocks inflated and checked; the failure, if any, comes after them.
    std::size_t good = 0;
    std::optional<BgzfFailure> failure;
    // Whether no batch follows.
    bool last = false;
    // Where what is not a block begins, when it ends the batch.
    std::optional<std::uint64_t> other_at;
  };

  // The rest run with the lock held, except inflate().
  bool can_claim() const noexcept;
  // Reads the next batch and splits it into blocks, leaving it claimed.
  Batch& claim() noexcept;
  void split(Batch& batch);
  // Reads up to `size` bytes at `offset`; gives fewer only at the end of the file.
  bool read_at(unsigned char* buffer, std::size_t size, std::uint64_t offset, std::size_t& got,
               Batch& batch);
  void inflate(Batch& batch, BlockInflater& inflater);
  void finish(Batch& batch) noexcept;
  void work(std::stop_token stop, BlockInflater& inflater);

  std::unique_ptr<PositionedInput> input_;
  std::size_t chunk_size_;
  std::size_t batch_limit_;
  BlockInflater inflater_;
  std::vector<BlockInflater> worker_inflaters_;

  std::mutex mutex_;
  std::condition_variable_any changed_;
  std::vector<Batch> batches_;
  // Batch numbers: the next to claim, and the one the reader is at.
  std::uint64_t claimed_ = 0;
  std::uint64_t handed_ = 0;
  // File offset of the next batch.
  std::uint64_t offset_ = 0;
  // Whether the batches up to the end are all claimed.
  bool finished_ = false;
  bool last_was_marker_ = false;
  // Whether the next batch starts where a seek led.
  bool sought_ = false;
  int inflating_ = 0;
  bool pausing_ = false;

  // The reader's own state.
  Batch* current_ = nullptr;
  std::size_t next_block_ = 0;
  std::int64_t tell_ = 0;
  std::optional<std::size_t> skip_;
  std::uint64_t rest_offset_ = 0;

  // Last, so that the workers stop before what they use goes.
  std::vector<std::jthread> workers_;
};

}  // namespace varsift::hts
