#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "block_compressor.hpp"
#include "core/io_error.hpp"

namespace varsift::hts {

enum class OutputFormat : unsigned char { plain, bgzf };

// Told the compressed size of each BGZF data block once it is written, in file order (the
// end-of-file marker aside): what an index built while writing needs.
class BlockObserver {
 public:
  virtual void block_written(std::uint64_t compressed_size) = 0;

 protected:
  ~BlockObserver() = default;
};

struct OutputOptions {
  OutputFormat format = OutputFormat::plain;
  // zlib level 0 to 9 for BGZF; -1 for the default.
  int level = -1;
  // Threads compressing BGZF blocks in parallel; 0 or 1 means the writing thread alone.
  int threads = 0;
  // BGZF output only; the caller's, and must outlive the writer's last write or finish.
  BlockObserver* observer = nullptr;
};

class OutputWriter;

using WriterResult = std::variant<OutputWriter, core::IoError>;

// Buffered output to a file descriptor that stays the caller's, plain or BGZF, written with
// write(2) so that every failure is reported with its errno. Nothing is complete until
// finish() succeeds: a writer destroyed unfinished writes out what it holds but no BGZF
// end-of-file marker, so that readers see the output as truncated.
class OutputWriter {
 public:
  static constexpr std::size_t plain_buffer_size = std::size_t{1} << 20;

  static WriterResult open(int fd, const OutputOptions& options = {});

  OutputWriter(OutputWriter&&) noexcept = default;
  OutputWriter& operator=(OutputWriter&& other) noexcept;
  OutputWriter(const OutputWriter&) = delete;
  OutputWriter& operator=(const OutputWriter&) = delete;
  ~OutputWriter();

  // Gives false with the reason in `error` once writing has failed; later calls fail alike.
  bool write(std::string_view bytes, core::IoError& error);
  // Writes everything still held and, for BGZF, the end-of-file marker.
  bool finish(core::IoError& error);

 private:
  struct FreeBuffer {
    void operator()(char* p) const noexcept;
  };

  OutputWriter(int fd, std::size_t capacity, std::unique_ptr<BlockCompressor> compressor,
               BlockObserver* observer);

  bool flush(core::IoError& error);
  bool write_out(std::string_view bytes, core::IoError& error);
  bool fail(core::IoError failure, core::IoError& error);
  // Writes out what is held, reporting nothing: what a destroyed or replaced writer does.
  void abandon() noexcept;

  int fd_;
  // Input waiting to be written or compressed; for BGZF a whole number of blocks.
  std::unique_ptr<char, FreeBuffer> buffer_;
  std::size_t capacity_;
  std::size_t used_ = 0;
  // BGZF output only.
  std::unique_ptr<BlockCompressor> compressor_;
  std::string compressed_;
  BlockObserver* observer_;
  bool finished_ = false;
  std::optional<core::IoError> failure_;
};

}  // namespace varsift::hts
