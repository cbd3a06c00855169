#pragma once

#include <condition_variable>
#include <cstddef>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace varsift::hts {

// Compresses data into BGZF blocks with htslib, spreading the blocks of each call over worker
// threads. Writing stays with the caller, which so sees every write error as it happens.
class BlockCompressor {
 public:
  // `level` is a zlib level 0 to 9, or -1 for the default; `threads` below 2 means the
  // calling thread compresses alone.
  BlockCompressor(int level, int threads);
  ~BlockCompressor();
  BlockCompressor(const BlockCompressor&) = delete;
  BlockCompressor& operator=(const BlockCompressor&) = delete;

  // Appends to `output` the blocks of `input`, cut every BGZF_BLOCK_SIZE bytes. Gives false
  // if htslib fails to compress a block.
  bool compress(std::string_view input, std::string& output);
  // The compressed size of each block that the last successful compress() appended, in order.
  std::span<const std::size_t> block_sizes() const noexcept { return {sizes_.data(), count_}; }

 private:
  void work();
  // Ends and joins the workers.
  void stop() noexcept;
  // Compresses blocks of the current call until none is left.
  void compress_blocks() noexcept;

  int level_;
  std::vector<std::thread> workers_;
  std::mutex mutex_;
  std::condition_variable start_;
  std::condition_variable done_;
  // The current call, guarded by mutex_.
  std::string_view input_;
  std::size_t next_block_ = 0;
  std::size_t block_count_ = 0;
  std::size_t blocks_done_ = 0;
  std::size_t generation_ = 0;
  bool failed_ = false;
  bool stopping_ = false;
  // One compressed block per input block, reused from call to call.
  std::vector<std::unique_ptr<unsigned char[]>> blocks_;
  std::vector<std::size_t> sizes_;
  // Blocks of the last call, owned by the calling thread.
  std::size_t count_ = 0;
};

}  // namespace varsift::hts
