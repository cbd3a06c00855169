// Measures the htslib layer: reading BGZF by copying through bgzf_read against handing out
// htslib's blocks, with and without worker threads, and writing plain and BGZF output.
//
//   hts_bench read-copy FILE THREADS     bgzf_read into a buffer
//   hts_bench read FILE THREADS          BgzfSource blocks
//   hts_bench lines FILE THREADS         lines through LineReader over BgzfSource
//   hts_bench chunks FILE THREADS KB     lines through LineReader over a BlockReader reading
//                                        KB compressed kilobytes at once
//   hts_bench write-plain OUT MB         OutputWriter, plain
//   hts_bench write-htslib OUT MB        htslib's own uncompressed writer ("wu")
//   hts_bench write-bgzf OUT MB THREADS  OutputWriter, BGZF
#include <fcntl.h>
#include <htslib/bgzf.h>
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <variant>
#include <vector>

#include "core/line_reader.hpp"
#include "hts/bgzf_source.hpp"
#include "hts/bgzf_writer.hpp"
#include "hts/block_reader.hpp"

namespace {

using Clock = std::chrono::steady_clock;

// Processor time of all threads so far: on a shared machine a steadier measure than the clock.
double cpu_seconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  const auto seconds = [](const timeval& t) {
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
  };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

void report(const char* what, std::size_t bytes, Clock::time_point start, std::size_t count) {
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  std::printf("%s: %zu bytes (%zu lines) in %.3f s = %.0f MB/s, %.3f s of processor time\n", what,
              bytes, count, seconds, static_cast<double>(bytes) / seconds / 1e6, cpu_seconds());
}

std::size_t count_lines(const char* data, std::size_t size) {
  std::size_t lines = 0;
  for (const char* end = data + size;
       (data = static_cast<const char*>(std::memchr(data, '\n', end - data))) != nullptr; ++data) {
    ++lines;
  }
  return lines;
}

int read_copy(const char* path, int threads) {
  const auto start = Clock::now();
  BGZF* fp = bgzf_open(path, "r");
  if (fp == nullptr) return 1;
  if (threads > 1 && bgzf_mt(fp, threads, 256) != 0) return 1;
  std::vector<char> buffer(1 << 16);
  std::size_t bytes = 0;
  std::size_t lines = 0;
  for (;;) {
    const ssize_t n = bgzf_read(fp, buffer.data(), buffer.size());
    if (n < 0) return 1;
    if (n == 0) break;
    bytes += static_cast<std::size_t>(n);
    lines += count_lines(buffer.data(), static_cast<std::size_t>(n));
  }
  bgzf_close(fp);
  report("bgzf_read copy", bytes, start, lines);
  return 0;
}

int read_blocks(const char* path, int threads, bool by_line) {
  const auto start = Clock::now();
  varsift::hts::SourceResult opened = varsift::hts::BgzfSource::open(path, threads);
  auto* source = std::get_if<varsift::hts::BgzfSource>(&opened);
  if (source == nullptr) return 1;
  std::size_t bytes = 0;
  std::size_t lines = 0;
  if (by_line) {
    varsift::core::LineReader reader(*source);
    for (;;) {
      const auto status = reader.next();
      if (status == varsift::core::LineReader::Status::error) return 1;
      if (status == varsift::core::LineReader::Status::end) break;
      bytes += reader.line().size() + 1;
      ++lines;
    }
  } else {
    varsift::core::IoError error = varsift::core::IoError::os(0);
    for (std::string_view piece; source->next_bytes(piece, error) && !piece.empty();) {
      bytes += piece.size();
      lines += count_lines(piece.data(), piece.size());
    }
    if (source->damaged()) return 1;
  }
  report(by_line ? "BgzfSource lines" : "BgzfSource blocks", bytes, start, lines);
  return 0;
}

// A BlockReader as a source of bytes, to try its read sizes.
class BlockSource final : public varsift::core::ByteSource {
 public:
  explicit BlockSource(varsift::hts::BlockReader& reader) noexcept : reader_(reader) {}
  bool next_bytes(std::string_view& bytes, varsift::core::IoError& error) override {
    varsift::hts::BgzfFailure failure{varsift::core::IoError::os(0), false};
    if (reader_.next(bytes, failure) != varsift::hts::BlockReader::Status::failed) return true;
    error = failure.error;
    return false;
  }

 private:
  varsift::hts::BlockReader& reader_;
};

int read_chunks(const char* path, int threads, std::size_t kilobytes) {
  const auto start = Clock::now();
  varsift::hts::UniqueFd file(::open(path, O_RDONLY));
  if (file.get() < 0) return 1;
  varsift::hts::BlockReader reader(std::move(file), {threads, kilobytes << 10, kilobytes << 12});
  BlockSource source(reader);
  varsift::core::LineReader lines(source);
  std::size_t bytes = 0;
  std::size_t count = 0;
  for (;;) {
    const auto status = lines.next();
    if (status == varsift::core::LineReader::Status::error) return 1;
    if (status == varsift::core::LineReader::Status::end) break;
    bytes += lines.line().size() + 1;
    ++count;
  }
  report("BlockReader lines", bytes, start, count);
  return 0;
}

std::string sample_lines() {
  std::string text;
  for (int i = 0; text.size() < (1 << 20); ++i) {
    text += "chr1\t" + std::to_string(10000 + i * 13) +
            "\trs123\tA\tG\t50\tPASS\tAC=1;AN=8;DP=120\tGT:AD:DP\t0/1:10,12:22\t0/0:20,0:20\n";
  }
  return text;
}

int write(const char* path, const char* kind, std::size_t megabytes, int threads) {
  const std::string text = sample_lines();
  const std::size_t total = megabytes << 20;
  const int fd = ::open(path, O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd < 0) return 1;
  const auto start = Clock::now();
  std::size_t written = 0;
  // Pieces of about one line, as a filter writes them.
  constexpr std::size_t piece = 97;
  if (std::strcmp(kind, "htslib") == 0) {
    BGZF* fp = bgzf_dopen(fd, "wu");
    for (std::size_t at = 0; written < total; at = (at + piece) % (text.size() - piece)) {
      if (bgzf_write(fp, text.data() + at, piece) < 0) return 1;
      written += piece;
    }
    if (bgzf_close(fp) != 0) return 1;
  } else {
    varsift::hts::OutputOptions options;
    if (std::strcmp(kind, "bgzf") == 0) options = {varsift::hts::OutputFormat::bgzf, -1, threads};
    varsift::hts::WriterResult opened = varsift::hts::OutputWriter::open(fd, options);
    auto& writer = std::get<varsift::hts::OutputWriter>(opened);
    varsift::core::IoError error = varsift::core::IoError::os(0);
    for (std::size_t at = 0; written < total; at = (at + piece) % (text.size() - piece)) {
      if (!writer.write({text.data() + at, piece}, error)) return 1;
      written += piece;
    }
    if (!writer.finish(error)) return 1;
    ::close(fd);
  }
  report(kind, written, start, 0);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: see the head of hts_bench.cpp\n");
    return 2;
  }
  const std::string mode = argv[1];
  const int number = std::atoi(argv[3]);
  const int threads = argc > 4 ? std::atoi(argv[4]) : 0;
  if (mode == "read-copy") return read_copy(argv[2], number);
  if (mode == "read") return read_blocks(argv[2], number, false);
  if (mode == "lines") return read_blocks(argv[2], number, true);
  if (mode == "chunks" && argc > 4) {
    return read_chunks(argv[2], number, static_cast<std::size_t>(std::atoi(argv[4])));
  }
  if (mode.starts_with("write-")) {
    return write(argv[2], mode.c_str() + 6, static_cast<std::size_t>(number), threads);
  }
  return 2;
}
