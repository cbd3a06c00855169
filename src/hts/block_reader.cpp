#include "block_reader.hpp"

#include "positioned_read.hpp"

#include <algorithm>
#include <cerrno>
#include <new>

namespace varsift::hts {
namespace {

using core::ErrorKind;
using core::IoError;

BgzfFailure misplaced(const char* message) noexcept {
  return {IoError::fixed(ErrorKind::InvalidInput, message), false};
}

// More threads than this gain nothing on one file, and each holds batches in memory.
constexpr int max_threads = 16;

// Grows `buffer` to hold `size` bytes, keeping nothing: its bytes are about to be overwritten.
template <class T>
void reserve(std::unique_ptr<T[]>& buffer, std::size_t& capacity, std::size_t size) {
  if (size <= capacity) return;
  buffer.reset();
  capacity = 0;
  buffer = std::make_unique_for_overwrite<T[]>(size);
  capacity = size;
}

}  // namespace

BlockReader::BlockReader(UniqueFd file, Options options)
    : BlockReader(std::make_unique<FileInput>(std::move(file)), options) {}

BlockReader::BlockReader(std::unique_ptr<PositionedInput> input, Options options)
    : input_(std::move(input)),
      chunk_size_(std::max<std::size_t>(options.chunk_size, 1)),
      batch_limit_(options.batch_limit) {
  const int threads = std::clamp(options.threads, 1, max_threads);
  // A batch for each thread to inflate, one being read and one ready for it.
  batches_.resize(threads == 1 ? 1 : static_cast<std::size_t>(threads) + 2);
  worker_inflaters_.resize(static_cast<std::size_t>(threads - 1));
  workers_.reserve(worker_inflaters_.size());
  for (BlockInflater& inflater : worker_inflaters_) {
    workers_.emplace_back([this, &inflater](std::stop_token stop) { work(stop, inflater); });
  }
}

void BlockReader::work(std::stop_token stop, BlockInflater& inflater) {
  std::unique_lock lock(mutex_);
  while (changed_.wait(lock, stop, [this] { return can_claim(); })) {
    Batch& batch = claim();
    lock.unlock();
    inflate(batch, inflater);
    lock.lock();
    finish(batch);
  }
}

BlockReader::Status BlockReader::next(std::string_view& bytes, BgzfFailure& failure) {
  for (;;) {
    if (current_ != nullptr) {
      Batch& batch = *current_;
      while (next_block_ < batch.good) {
        const Block& block = batch.blocks[next_block_++];
        const std::size_t size = block.layout.isize;
        std::size_t from = 0;
        if (skip_) {
          from = *skip_;
          skip_.reset();
          if (from > size) {
            failure = misplaced("virtual offset lies past the end of its BGZF block");
            return Status::failed;
          }
        }
        tell_ = static_cast<std::int64_t>(block.address << 16U | size);
        if (from < size) {
          bytes = {batch.inflated.get() + block.inflated_at + from, size - from};
          return Status::bytes;
        }
      }
      if (batch.failure) {
        failure = *batch.failure;
        return Status::failed;
      }
      if (batch.last) {
        bytes = {};
        if (!batch.other_at) return Status::end;
        rest_offset_ = *batch.other_at;
        return Status::other;
      }
    }
    std::unique_lock lock(mutex_);
    if (current_ != nullptr) {
      current_->state = Batch::State::free;
      current_ = nullptr;
      ++handed_;
      changed_.notify_all();
    }
    Batch& wanted = batches_[handed_ % batches_.size()];
    // Once claimed, the slot holds the batch wanted: later ones wait for it to be free.
    while (!(handed_ < claimed_ && wanted.state == Batch::State::ready)) {
      if (can_claim()) {
        Batch& batch = claim();
        lock.unlock();
        inflate(batch, inflater_);
        lock.lock();
        finish(batch);
      } else {
        changed_.wait(lock);
      }
    }
    current_ = &wanted;
    next_block_ = 0;
  }
}

void BlockReader::seek(std::uint64_t virtual_offset) {
  std::unique_lock lock(mutex_);
  // The workers' batches are about to be dropped: let those being inflated finish.
  pausing_ = true;
  changed_.wait(lock, [this] { return inflating_ == 0; });
  for (Batch& batch : batches_) batch.state = Batch::State::free;
  claimed_ = handed_ = 0;
  offset_ = virtual_offset >> 16U;
  finished_ = false;
  last_was_marker_ = false;
  sought_ = true;
  pausing_ = false;
  current_ = nullptr;
  tell_ = static_cast<std::int64_t>(virtual_offset);
  skip_ = static_cast<std::size_t>(virtual_offset & 0xffffU);
  changed_.notify_all();
}

bool BlockReader::can_claim() const noexcept {
  return !finished_ && !pausing_ && claimed_ < handed_ + batches_.size();
}

BlockReader::Batch& BlockReader::claim() noexcept {
  Batch& batch = batches_[claimed_++ % batches_.size()];
  batch.state = Batch::State::claimed;
  ++inflating_;
  batch.blocks.clear();
  batch.good = 0;
  batch.failure.reset();
  batch.last = false;
  batch.other_at.reset();
  try {
    split(batch);
  } catch (const std::bad_alloc&) {
    batch.blocks.clear();
    batch.failure = BgzfFailure{IoError::os(ENOMEM), false};
  }
  if (batch.failure) batch.last = true;
  if (batch.last) finished_ = true;
  return batch;
}

void BlockReader::split(Batch& batch) {
  const bool sought = sought_;
  sought_ = false;
  std::size_t want = chunk_size_;
  std::size_t have = 0;
  std::size_t used = 0;
  std::size_t inflated = 0;
  bool at_end = false;
  for (;;) {
    reserve(batch.compressed, batch.compressed_capacity, want);
    std::size_t got = 0;
    if (!read_at(batch.compressed.get() + have, want - have, offset_ + have, got, batch)) return;
    have += got;
    at_end = have < want;
    if (sought && have == 0) {
      batch.failure = misplaced("virtual offset lies past the end of the BGZF file");
      return;
    }
    BlockLayout layout{};
    LayoutStatus status = LayoutStatus::whole;
    bool full = false;
    while (used < have) {
      if (inflated >= batch_limit_ && !batch.blocks.empty()) {
        full = true;
        break;
      }
      status = read_layout(batch.compressed.get() + used, have - used, layout);
      if (status != LayoutStatus::whole) break;
      batch.blocks.push_back({offset_ + used, used, inflated, layout});
      inflated += std::min<std::size_t>(layout.isize, bgzf_max_block_size);
      used += layout.size;
      // Any empty block ends a file as well as the end-of-file marker does.
      last_was_marker_ = layout.isize == 0;
    }
    if (full) break;
    if (status == LayoutStatus::invalid) {
      batch.other_at = offset_ + used;
      batch.last = true;
      break;
    }
    if (used == have && at_end) {
      batch.last = true;
      if (!last_was_marker_) batch.failure = BgzfFailure::damage(missing_marker_message);
      break;
    }
    if (at_end) {
      batch.failure = BgzfFailure::damage(truncated_message);
      break;
    }
    // A partial block waits for the next batch, unless it is the first: then it is read whole.
    if (!batch.blocks.empty()) break;
    // Enough for the rest of the block, whose header may still be incomplete.
    want = have + std::max(chunk_size_, bgzf_max_block_size);
    std::unique_ptr<unsigned char[]> bigger = std::make_unique_for_overwrite<unsigned char[]>(want);
    std::copy_n(batch.compressed.get(), have, bigger.get());
    batch.compressed = std::move(bigger);
    batch.compressed_capacity = want;
  }
  offset_ += used;
  reserve(batch.inflated, batch.inflated_capacity, inflated);
}

bool BlockReader::read_at(unsigned char* buffer, std::size_t size, std::uint64_t offset,
                          std::size_t& got, Batch& batch) {
  IoError error = IoError::bare(ErrorKind::Other);
  if (input_->read_at(buffer, size, offset, got, error)) return true;
  batch.failure = BgzfFailure{std::move(error), false};
  return false;
}

void BlockReader::inflate(Batch& batch, BlockInflater& inflater) {
  for (std::size_t i = 0; i < batch.blocks.size(); ++i) {
    const Block& block = batch.blocks[i];
    const BlockDamage found =
        inflater.inflate(batch.compressed.get() + block.compressed_at, block.layout,
                         batch.inflated.get() + block.inflated_at);
    if (found != BlockDamage::none) {
      batch.good = i;
      batch.failure = BgzfFailure::damage(found == BlockDamage::corrupt ? corrupt_block_message
                                                                        : isize_mismatch_message);
      batch.last = true;
      return;
    }
  }
  batch.good = batch.blocks.size();
}

void BlockReader::finish(Batch& batch) noexcept {
  batch.state = Batch::State::ready;
  --inflating_;
  // Batches after a damaged block would never be read.
  if (batch.last) finished_ = true;
  changed_.notify_all();
}

}  // namespace varsift::hts
