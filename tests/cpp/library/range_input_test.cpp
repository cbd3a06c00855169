#include "library/range_input.hpp"

#include <gtest/gtest.h>
#include <htslib/bgzf.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "library/scan_error.hpp"

namespace varsift::library {
namespace {

std::string temp_path(const std::string& name) {
  return testing::TempDir() + "range_input_" + std::to_string(::getpid()) + "_" + name;
}

std::string read_all(const std::string& path, const InputRange& range) {
  const std::unique_ptr<core::ByteSource> source = open_range(path, range, 1);
  std::string result;
  core::IoError error = core::IoError::os(0);
  std::string_view bytes;
  for (;;) {
    if (!source->next_bytes(bytes, error)) ADD_FAILURE() << error.display();
    if (bytes.empty()) break;
    result.append(bytes);
  }
  return result;
}

TEST(RangeInput, ReadsARangeOfAPlainFile) {
  const std::string path = temp_path("plain.vcf");
  std::ofstream(path) << "#h\nab\ncd\nef";
  EXPECT_EQ(read_all(path, {false, std::nullopt, 4, std::nullopt, std::nullopt}), "#h\nab\n");
  EXPECT_EQ(read_all(path, {false, 2, 2, std::nullopt, std::nullopt}), "ab\n");
  EXPECT_EQ(read_all(path, {false, 3, 2, std::nullopt, std::nullopt}), "");
  EXPECT_EQ(read_all(path, {false, 4, 5, std::nullopt, std::nullopt}), "cd\nef");
  ::unlink(path.c_str());
}

// Writes each piece as its own BGZF block and gives the virtual offset where each starts.
std::vector<std::uint64_t> write_blocks(const std::string& path,
                                        const std::vector<std::string>& pieces) {
  BGZF* file = bgzf_open(path.c_str(), "w");
  std::vector<std::uint64_t> starts;
  for (const std::string& piece : pieces) {
    starts.push_back(static_cast<std::uint64_t>(bgzf_tell(file)));
    EXPECT_EQ(bgzf_write(file, piece.data(), piece.size()), static_cast<ssize_t>(piece.size()));
    EXPECT_EQ(bgzf_flush(file), 0);
  }
  EXPECT_EQ(bgzf_close(file), 0);
  return starts;
}

TEST(RangeInput, ReadsRangesOfBgzfThatStartAtBlocks) {
  const std::string path = temp_path("blocks.vcf.gz");
  const std::vector<std::uint64_t> starts = write_blocks(path, {"#h\nab", "cd\nef\n", "gh\n"});
  // The block boundaries: the second starts inside the line "abcd", the third a line.
  const std::uint64_t last_of_first = starts[0] + 4;
  const std::uint64_t last_of_second = starts[1] + 5;
  EXPECT_EQ(read_all(path, {true, std::nullopt, 5, std::nullopt, std::nullopt}), "#h\nabcd\n");
  EXPECT_EQ(read_all(path, {true, last_of_first, 6, std::nullopt, std::nullopt}), "ef\n");
  EXPECT_EQ(read_all(path, {true, last_of_second, 3, std::nullopt, std::nullopt}), "gh\n");
  ::unlink(path.c_str());
}

// Reads a range to its end; gives the errno it fails with, 0 when it does not.
int failure_of(const std::string& path, const InputRange& range) {
  const std::unique_ptr<core::ByteSource> source = open_range(path, range, 1);
  core::IoError error = core::IoError::os(0);
  std::string_view bytes;
  do {
    if (!source->next_bytes(bytes, error)) return error.is_os() ? error.os_code() : -1;
  } while (!bytes.empty());
  return 0;
}

TEST(RangeInput, ChecksThatABgzfRangeEndsWhereItWasPlannedTo) {
  const std::string path = temp_path("ends.vcf.gz");
  const std::vector<std::uint64_t> starts = write_blocks(path, {"#h\nab", "cd\nef\n", "gh\n"});
  struct Case {
    std::optional<std::uint64_t> before;
    std::uint64_t length;
    std::uint64_t end;
    int error;
  };
  for (const Case& c : {
           Case{std::nullopt, 5, starts[0] + 5, 0},
           Case{starts[0] + 4, 6, starts[1] + 6, 0},
           Case{starts[1] + 5, 3, starts[2] + 3, 0},
           // Lengths that end inside a block, or past the data.
           Case{std::nullopt, 4, starts[0] + 5, ESTALE},
           Case{starts[0] + 4, 7, starts[1] + 6, ESTALE},
           Case{starts[1] + 5, 4, starts[2] + 4, ESTALE},
           // The right length, ending at another block than planned.
           Case{std::nullopt, 5, starts[1] + 5, ESTALE},
       }) {
    EXPECT_EQ(failure_of(path, {true, c.before, c.length, c.end, std::nullopt}), c.error)
        << c.length << " bytes to " << c.end;
  }
  ::unlink(path.c_str());
}

// A range cut where an index says a record starts gives the lines from there to the next cut,
// which must follow a line's end.
TEST(RangeInput, ChecksThatARangeCutAtLinesEndsAfterALine) {
  const std::string path = temp_path("cuts.vcf.gz");
  const std::vector<std::uint64_t> starts = write_blocks(path, {"#h\nab", "cd\nef\n", "gh\n"});
  struct Case {
    std::uint64_t line_start;
    std::optional<std::uint64_t> end;
    const char* lines;
    int error;
  };
  for (const Case& c : {
           Case{0, starts[1] + 3, "#h\nabcd\n", 0},
           Case{starts[1] + 3, starts[2], "ef\n", 0},
           Case{starts[0] + 3, std::nullopt, "abcd\nef\ngh\n", 0},
           // Inside a line, past a block's end, past the data.
           Case{starts[0] + 3, starts[1] + 4, "", ESTALE},
           Case{0, starts[0] + 6, "", ESTALE},
           Case{starts[1] + 3, starts[2] + 5, "", ESTALE},
       }) {
    const InputRange range{true, std::nullopt, 0, c.end, c.line_start};
    EXPECT_EQ(failure_of(path, range), c.error) << c.line_start << " to " << c.end.value_or(0);
    if (c.error == 0) {
      EXPECT_EQ(read_all(path, range), c.lines);
    }
  }
  ::unlink(path.c_str());
}

TEST(RangeInput, ReportsAMissingFileAsAnOsError) {
  for (bool bgzf : {false, true}) {
    try {
      open_range(temp_path("missing"), {bgzf, std::nullopt, 1, std::nullopt, std::nullopt}, 1);
      ADD_FAILURE() << "no error";
    } catch (const ScanError& error) {
      EXPECT_EQ(error.kind(), ScanError::Kind::os);
      EXPECT_EQ(error.os_code(), ENOENT);
    }
  }
}

TEST(RangeInput, ReportsDamageInsideTheRange) {
  const std::string path = temp_path("damaged.vcf.gz");
  const std::vector<std::uint64_t> starts = write_blocks(path, {"ab\n", "cd\n"});
  {
    // Spoil the deflated bytes of the second block.
    std::fstream file(path, std::ios::in | std::ios::out | std::ios::binary);
    file.seekp(static_cast<std::streamoff>((starts[1] >> 16) + 20));
    file.write("\xff\xff\xff\xff", 4);
  }
  const std::unique_ptr<core::ByteSource> source =
      open_range(path, {true, std::nullopt, 6, std::nullopt, std::nullopt}, 1);
  core::IoError error = core::IoError::os(0);
  std::string_view bytes;
  bool failed = false;
  for (int i = 0; i < 4 && !failed; ++i) failed = !source->next_bytes(bytes, error);
  EXPECT_TRUE(failed);
  EXPECT_FALSE(error.is_os());
  ::unlink(path.c_str());
}

}  // namespace
}  // namespace varsift::library
