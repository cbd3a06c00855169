#include "hts/bgzf_writer.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <string>
#include <tuple>
#include <variant>
#include <vector>

#include "child_process.hpp"
#include "command.hpp"
#include "hts/bgzf_source.hpp"

namespace varsift::hts {
namespace {

using testing::run_command;
using testing::TempFile;

std::string sample_text() {
  std::string text;
  for (int i = 0; i < 40000; ++i) {
    text += "chr7\t" + std::to_string(100 + i * 3) + "\trs" + std::to_string(i) +
            "\tA\tT\t60\tPASS\tAF=0." + std::to_string(i % 1000) + "\n";
  }
  return text;
}

const std::string& text() {
  static const std::string value = sample_text();
  return value;
}

// Writes `text` in pieces of `piece` bytes to a new file and gives its bytes.
std::string write_file(const OutputOptions& options, std::size_t piece, bool finish = true) {
  const TempFile file("");
  const int fd = ::open(file.path().c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
  {
    WriterResult opened = OutputWriter::open(fd, options);
    auto& writer = std::get<OutputWriter>(opened);
    core::IoError error = core::IoError::os(0);
    for (std::size_t at = 0; at < text().size(); at += piece) {
      EXPECT_TRUE(writer.write(std::string_view(text()).substr(at, piece), error))
          << error.display();
    }
    if (finish) {
      EXPECT_TRUE(writer.finish(error)) << error.display();
    }
  }
  // The descriptor stays ours.
  EXPECT_EQ(::close(fd), 0);
  return run_command({"cat", file.path()}, "").output;
}

class BgzfOutputTest : public ::testing::TestWithParam<std::tuple<int, int, std::size_t>> {};

TEST_P(BgzfOutputTest, IsReadBackByBgzipAndGzip) {
  const auto [level, threads, piece] = GetParam();
  const std::string bytes = write_file({OutputFormat::bgzf, level, threads}, piece);
  EXPECT_EQ(run_command({"bgzip", "-t"}, bytes).exit_code, 0);
  const testing::CommandResult gunzipped = run_command({"gzip", "-dc"}, bytes);
  EXPECT_EQ(gunzipped.exit_code, 0);
  EXPECT_TRUE(gunzipped.output == text());
  // Ends with the end-of-file marker block.
  EXPECT_EQ(testing::bgzf_blocks(bytes).back().size, 28U);
}

INSTANTIATE_TEST_SUITE_P(Levels, BgzfOutputTest,
                         ::testing::Combine(::testing::Values(-1, 0, 1, 9), ::testing::Values(0, 2),
                                            ::testing::Values(std::size_t{1}, std::size_t{4093},
                                                              std::size_t{3} << 20)));

TEST(OutputWriterTest, PlainOutputIsExactlyWhatWasWritten) {
  for (const std::size_t piece : {std::size_t{1}, std::size_t{777}, OutputWriter::plain_buffer_size,
                                  OutputWriter::plain_buffer_size + 1, std::size_t{5} << 20}) {
    EXPECT_TRUE(write_file({}, piece) == text()) << piece;
  }
}

TEST(OutputWriterTest, NothingWrittenIsAnEmptyStream) {
  const TempFile file("");
  const int fd = ::open(file.path().c_str(), O_WRONLY | O_CLOEXEC);
  WriterResult opened = OutputWriter::open(fd, {OutputFormat::bgzf});
  core::IoError error = core::IoError::os(0);
  EXPECT_TRUE(std::get<OutputWriter>(opened).finish(error));
  ::close(fd);
  const std::string bytes = run_command({"cat", file.path()}, "").output;
  EXPECT_EQ(run_command({"bgzip", "-t"}, bytes).exit_code, 0);
  EXPECT_EQ(run_command({"gzip", "-dc"}, bytes).output, "");
}

TEST(OutputWriterTest, UnfinishedBgzfHasNoEndOfFileMarker) {
  for (const int threads : {0, 2}) {
    const std::string bytes = write_file({OutputFormat::bgzf, -1, threads}, 5000, false);
    // All that was written is there, but readers see a truncated file.
    EXPECT_TRUE(run_command({"gzip", "-dc"}, bytes).output == text());
    const TempFile file(bytes);
    SourceResult opened = BgzfSource::open(file.path(), 0);
    auto& source = std::get<BgzfSource>(opened);
    std::string_view piece;
    core::IoError error = core::IoError::os(0);
    while (source.next_bytes(piece, error) && !piece.empty()) {
    }
    EXPECT_TRUE(source.damaged());
    EXPECT_EQ(error.display(), "BGZF end-of-file marker missing (file truncated?)");
  }
}

TEST(OutputWriterTest, UnfinishedPlainKeepsWhatWasWritten) {
  EXPECT_TRUE(write_file({}, 5000, false) == text());
}

// Writes the text to `fd` and finishes, giving the first error.
std::string write_error(int fd, const OutputOptions& options) {
  WriterResult opened = OutputWriter::open(fd, options);
  if (auto* error = std::get_if<core::IoError>(&opened)) return "open: " + error->debug();
  auto& writer = std::get<OutputWriter>(opened);
  core::IoError error = core::IoError::os(0);
  bool ok = true;
  for (std::size_t at = 0; ok && at < text().size(); at += 10000) {
    ok = writer.write(std::string_view(text()).substr(at, 10000), error);
  }
  if (ok) ok = writer.finish(error);
  if (ok) return "no error";
  // The failure stays reported.
  core::IoError again = core::IoError::os(0);
  if (writer.write("x", again) || again.debug() != error.debug()) return "not sticky";
  return error.debug();
}

const OutputOptions all_formats[] = {
    {OutputFormat::plain, -1, 0}, {OutputFormat::bgzf, -1, 0}, {OutputFormat::bgzf, 1, 2}};

TEST(OutputWriterTest, FullDeviceIsStorageFull) {
  const int fd = ::open("/dev/full", O_WRONLY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  for (const OutputOptions& options : all_formats) {
    EXPECT_EQ(write_error(fd, options), core::IoError::os(ENOSPC).debug());
  }
  ::close(fd);
}

TEST(OutputWriterTest, ClosedPipeIsBrokenPipe) {
  // Python ignores SIGPIPE, so a closed reader shows as EPIPE.
  const testing::ChildResult child = testing::run_in_child([] {
    std::signal(SIGPIPE, SIG_IGN);
    std::string out;
    for (const OutputOptions& options : all_formats) {
      int ends[2];
      if (pipe(ends) != 0) return std::string("pipe failed");
      close(ends[0]);
      out += write_error(ends[1], options) + "\n";
      close(ends[1]);
    }
    return out;
  });
  const std::string expected = core::IoError::os(EPIPE).debug() + "\n";
  EXPECT_EQ(child.output, expected + expected + expected);
  EXPECT_EQ(child.signal, 0);
}

TEST(OutputWriterTest, BadDescriptorIsReported) {
  for (const OutputOptions& options : all_formats) {
    const std::string error = write_error(-1, options);
    EXPECT_NE(error.find(core::IoError::os(EBADF).debug()), std::string::npos) << error;
  }
}

TEST(OutputWriterTest, LevelOutOfRangeIsInvalidInput) {
  for (const int level : {-2, 10}) {
    const WriterResult opened = OutputWriter::open(1, {OutputFormat::bgzf, level, 0});
    ASSERT_TRUE(std::holds_alternative<core::IoError>(opened));
    EXPECT_EQ(std::get<core::IoError>(opened).kind(), core::ErrorKind::InvalidInput);
  }
}

TEST(OutputWriterTest, ClosesOnlyItsOwnDescriptors) {
  const int before = testing::open_descriptor_count();
  write_file({OutputFormat::bgzf, -1, 2}, 100000);
  write_file({OutputFormat::bgzf, -1, 0}, 100000, false);
  write_file({}, 100000);
  EXPECT_EQ(testing::open_descriptor_count(), before);
}

}  // namespace
}  // namespace varsift::hts

namespace varsift::hts {
namespace {

struct SizeLog final : BlockObserver {
  std::vector<std::uint64_t> sizes;
  void block_written(std::uint64_t compressed_size) override { sizes.push_back(compressed_size); }
};

// The compressed size of each block of a BGZF file, from the BSIZE of its header.
std::vector<std::uint64_t> block_sizes(const std::string& bgzf) {
  std::vector<std::uint64_t> sizes;
  for (std::size_t at = 0; at + 18 <= bgzf.size();) {
    const std::uint64_t size =
        (static_cast<std::uint64_t>(static_cast<unsigned char>(bgzf[at + 16])) |
         static_cast<std::uint64_t>(static_cast<unsigned char>(bgzf[at + 17])) << 8) +
        1;
    sizes.push_back(size);
    at += size;
  }
  return sizes;
}

class ObservedOutputTest : public ::testing::TestWithParam<int> {};

// Every data block is told, in order; the end-of-file marker is not.
TEST_P(ObservedOutputTest, TellsEachBlockWrittenInOrder) {
  SizeLog log;
  const std::string bgzf = write_file({OutputFormat::bgzf, -1, GetParam(), &log}, 777);
  std::vector<std::uint64_t> expected = block_sizes(bgzf);
  ASSERT_EQ(expected.back(), 28U);
  expected.pop_back();
  EXPECT_EQ(expected.size(), (text().size() + BGZF_BLOCK_SIZE - 1) / BGZF_BLOCK_SIZE);
  EXPECT_EQ(log.sizes, expected);
}

// What an unfinished writer writes out is incomplete: it is not told.
TEST_P(ObservedOutputTest, AbandonedBlocksAreNotTold) {
  SizeLog log;
  const std::string bgzf = write_file({OutputFormat::bgzf, -1, GetParam(), &log}, 4096, false);
  std::uint64_t told = 0;
  for (const std::uint64_t size : log.sizes) told += size;
  EXPECT_LT(told, bgzf.size());
  const std::vector<std::uint64_t> written = block_sizes(bgzf);
  EXPECT_EQ(log.sizes,
            std::vector<std::uint64_t>(
                written.begin(), written.begin() + static_cast<std::ptrdiff_t>(log.sizes.size())));
}

INSTANTIATE_TEST_SUITE_P(Threads, ObservedOutputTest, ::testing::Values(1, 2));

}  // namespace
}  // namespace varsift::hts
