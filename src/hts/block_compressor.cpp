#include "block_compressor.hpp"

#include <htslib/bgzf.h>

#include <algorithm>

namespace varsift::hts {

BlockCompressor::BlockCompressor(int level, int threads) : level_(level) {
  try {
    for (int i = 1; i < threads; ++i) workers_.emplace_back([this] { work(); });
  } catch (...) {
    // The destructor does not run for an object whose constructor throws.
    stop();
    throw;
  }
}

BlockCompressor::~BlockCompressor() { stop(); }

void BlockCompressor::stop() noexcept {
  {
    const std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  start_.notify_all();
  for (std::thread& worker : workers_) worker.join();
  workers_.clear();
}

bool BlockCompressor::compress(std::string_view input, std::string& output) {
  const std::size_t count = (input.size() + BGZF_BLOCK_SIZE - 1) / BGZF_BLOCK_SIZE;
  count_ = 0;
  if (count == 0) return true;
  while (blocks_.size() < count) {
    blocks_.push_back(std::make_unique<unsigned char[]>(BGZF_MAX_BLOCK_SIZE));
  }
  sizes_.resize(std::max(sizes_.size(), count));
  {
    const std::lock_guard lock(mutex_);
    input_ = input;
    next_block_ = 0;
    block_count_ = count;
    blocks_done_ = 0;
    failed_ = false;
    ++generation_;
  }
  if (count > 1) start_.notify_all();
  compress_blocks();
  std::unique_lock lock(mutex_);
  done_.wait(lock, [&] { return blocks_done_ == block_count_; });
  if (failed_) return false;
  for (std::size_t i = 0; i < count; ++i) {
    output.append(reinterpret_cast<const char*>(blocks_[i].get()), sizes_[i]);
  }
  count_ = count;
  return true;
}

void BlockCompressor::work() {
  std::size_t seen = 0;
  for (;;) {
    {
      std::unique_lock lock(mutex_);
      start_.wait(lock, [&] { return stopping_ || generation_ != seen; });
      if (stopping_) return;
      seen = generation_;
    }
    compress_blocks();
  }
}

void BlockCompressor::compress_blocks() noexcept {
  for (;;) {
    std::size_t index = 0;
    std::string_view piece;
    {
      const std::lock_guard lock(mutex_);
      if (next_block_ == block_count_) return;
      index = next_block_++;
      piece = input_.substr(index * BGZF_BLOCK_SIZE, BGZF_BLOCK_SIZE);
    }
    std::size_t size = BGZF_MAX_BLOCK_SIZE;
    const bool ok =
        bgzf_compress(blocks_[index].get(), &size, piece.data(), piece.size(), level_) == 0;
    bool last = false;
    {
      const std::lock_guard lock(mutex_);
      sizes_[index] = size;
      if (!ok) failed_ = true;
      last = ++blocks_done_ == block_count_;
    }
    if (last) done_.notify_all();
  }
}

}  // namespace varsift::hts
