#include "bgzf_writer.hpp"

#include <fcntl.h>
#include <sched.h>
#include <htslib/bgzf.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "bgzf_file.hpp"
#include "core/allocator.hpp"
#include "core/fd_writer.hpp"

namespace varsift::hts {
namespace {

using core::ErrorKind;
using core::IoError;

// Blocks compressed per batch and thread: about a megabyte of input each.
constexpr std::size_t blocks_per_thread = 16;
// Compressing threads beyond this gain nothing on one output.
constexpr int max_threads = 16;

// The threads that can compress at once: each holds about 2.3 MB, so that threads beyond the
// cores this process may use would only hold memory.
int compressing_threads(int asked) noexcept {
  int cores = max_threads;
  cpu_set_t allowed;
  CPU_ZERO(&allowed);
  if (::sched_getaffinity(0, sizeof allowed, &allowed) == 0) cores = CPU_COUNT(&allowed);
  return std::clamp(asked, 1, std::clamp(cores, 1, max_threads));
}

// The empty block that ends every BGZF file.
constexpr char end_of_file_marker[28] = {'\x1f', '\x8b', '\x08', '\x04', '\x00', '\x00', '\x00',
                                         '\x00', '\x00', '\xff', '\x06', '\x00', '\x42', '\x43',
                                         '\x02', '\x00', '\x1b', '\x00', '\x03', '\x00', '\x00',
                                         '\x00', '\x00', '\x00', '\x00', '\x00', '\x00', '\x00'};

}  // namespace

void OutputWriter::FreeBuffer::operator()(char* p) const noexcept { std::free(p); }

WriterResult OutputWriter::open(int fd, const OutputOptions& options) {
  silence_htslib_logging();
  // Refuse a descriptor that is not open for writing now rather than at the first flush.
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags < 0) return IoError::os(errno);
  if ((flags & O_ACCMODE) == O_RDONLY) return IoError::os(EBADF);
  if (options.format == OutputFormat::plain) {
    return OutputWriter(fd, plain_buffer_size, nullptr, nullptr);
  }
  if (options.level < -1 || options.level > 9) {
    return IoError::fixed(ErrorKind::InvalidInput, "compression level must be -1 to 9");
  }
  const int threads = compressing_threads(options.threads);
  return OutputWriter(fd, blocks_per_thread * static_cast<std::size_t>(threads) * BGZF_BLOCK_SIZE,
                      std::make_unique<BlockCompressor>(options.level, threads), options.observer);
}

OutputWriter::OutputWriter(int fd, std::size_t capacity,
                           std::unique_ptr<BlockCompressor> compressor, BlockObserver* observer)
    : fd_(fd),
      buffer_(static_cast<char*>(core::allocate(capacity))),
      capacity_(capacity),
      compressor_(std::move(compressor)),
      observer_(observer) {}

OutputWriter& OutputWriter::operator=(OutputWriter&& other) noexcept {
  if (this != &other) {
    abandon();
    fd_ = other.fd_;
    buffer_ = std::move(other.buffer_);
    capacity_ = other.capacity_;
    used_ = other.used_;
    compressor_ = std::move(other.compressor_);
    compressed_ = std::move(other.compressed_);
    observer_ = other.observer_;
    finished_ = other.finished_;
    failure_ = std::move(other.failure_);
  }
  return *this;
}

OutputWriter::~OutputWriter() { abandon(); }

bool OutputWriter::write(std::string_view bytes, IoError& error) {
  if (failure_) {
    error = *failure_;
    return false;
  }
  if (finished_) return fail(IoError::fixed(ErrorKind::InvalidInput, "write after finish"), error);
  while (!bytes.empty()) {
    // Large plain pieces go straight out rather than through the buffer.
    if (!compressor_ && used_ == 0 && bytes.size() >= capacity_) return write_out(bytes, error);
    const std::size_t n = std::min(bytes.size(), capacity_ - used_);
    std::memcpy(buffer_.get() + used_, bytes.data(), n);
    used_ += n;
    bytes.remove_prefix(n);
    if (used_ == capacity_ && !flush(error)) return false;
  }
  return true;
}

bool OutputWriter::finish(IoError& error) {
  if (failure_) {
    error = *failure_;
    return false;
  }
  if (finished_) return true;
  finished_ = true;
  if (!flush(error)) return false;
  return !compressor_ || write_out({end_of_file_marker, sizeof end_of_file_marker}, error);
}

bool OutputWriter::flush(IoError& error) {
  const std::string_view held(buffer_.get(), used_);
  used_ = 0;
  if (!compressor_) return write_out(held, error);
  compressed_.clear();
  if (!compressor_->compress(held, compressed_)) {
    return fail(IoError::fixed(ErrorKind::Other, "compressing a BGZF block failed"), error);
  }
  if (!write_out(compressed_, error)) return false;
  if (observer_ != nullptr) {
    for (const std::size_t size : compressor_->block_sizes()) observer_->block_written(size);
  }
  return true;
}

bool OutputWriter::write_out(std::string_view bytes, IoError& error) {
  const int code = core::write_all(fd_, bytes);
  if (code == 0) return true;
  // write_all gives -1 for a write that took nothing.
  if (code < 0) {
    return fail(IoError::fixed(ErrorKind::WriteZero, "failed to write whole buffer"), error);
  }
  return fail(IoError::os(code), error);
}

bool OutputWriter::fail(IoError failure, IoError& error) {
  failure_ = failure;
  error = std::move(failure);
  return false;
}

void OutputWriter::abandon() noexcept {
  if (!buffer_ || finished_ || failure_) return;
  finished_ = true;
  // What is written now is incomplete: nothing to index, and the observer may be gone.
  observer_ = nullptr;
  IoError ignored = IoError::os(0);
  flush(ignored);
}

}  // namespace varsift::hts
