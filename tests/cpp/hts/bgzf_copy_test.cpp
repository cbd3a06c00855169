#include "hts/bgzf_copy.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <fstream>
#include <functional>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "address_sanitizer.hpp"
#include "child_process.hpp"
#include "command.hpp"

namespace varsift::hts {
namespace {

using testing::TempFile;

std::string bgzipped() {
  std::string text;
  for (int i = 0; i < 40000; ++i) text += "chr1\t" + std::to_string(i * 7) + "\tA\tG\n";
  return testing::compress_with({"bgzip", "-c"}, text);
}

std::string read_file(const std::string& path) {
  std::string bytes;
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  EXPECT_GE(fd, 0);
  char buffer[4096];
  for (ssize_t got = 0; (got = ::read(fd, buffer, sizeof buffer)) > 0;) {
    bytes.append(buffer, static_cast<std::size_t>(got));
  }
  ::close(fd);
  return bytes;
}

struct Damage {
  const char* name;
  // Changes the bytes of the block at `at` (of `size` bytes) in `data`.
  std::function<void(std::string& data, std::size_t at, std::size_t size)> apply;
};

class DamagedBlock : public ::testing::TestWithParam<Damage> {};

// Steps of two blocks: the fourth block, damaged, is checked by the walk ahead while the
// first step is written. The second step must fail naming it, with none of its bytes written.
TEST_P(DamagedBlock, WalkedAheadFailsBeforeAnyByteOfItsStepIsWritten) {
  std::string data = bgzipped();
  const std::vector<testing::BlockSpan> blocks = testing::bgzf_blocks(data);
  ASSERT_GT(blocks.size(), 5U);
  const std::size_t step = blocks[2].offset;
  ASSERT_LT(blocks[2].size, step);
  GetParam().apply(data, blocks[3].offset, blocks[3].size);
  const TempFile input(data);
  const TempFile output("");
  core::IoError error = core::IoError::bare(core::ErrorKind::Other);
  std::unique_ptr<BgzfCopy> copy = BgzfCopy::open(input.path(), error);
  ASSERT_NE(copy, nullptr);
  const int fd = ::open(output.path().c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  int output_errno = 0;
  EXPECT_EQ(copy->step(fd, step, error, output_errno), BgzfCopy::Status::more);
  EXPECT_EQ(copy->step(fd, step, error, output_errno), BgzfCopy::Status::damaged);
  ::close(fd);
  EXPECT_EQ(copy->offset(), blocks[3].offset);
  EXPECT_EQ(read_file(output.path()), data.substr(0, step));
}

INSTANTIATE_TEST_SUITE_P(
    Damages, DamagedBlock,
    ::testing::Values(Damage{"NotAHeader", [](std::string& data, std::size_t at,
                                              std::size_t) { data[at] = 'x'; }},
                      Damage{"IsizeTooLarge", [](std::string& data, std::size_t at,
                                                 std::size_t size) { data[at + size - 2] = 2; }},
                      Damage{"CutShort", [](std::string& data, std::size_t at,
                                            std::size_t size) { data.resize(at + size / 2); }}),
    [](const ::testing::TestParamInfo<Damage>& damage) { return damage.param.name; });

#if !defined(VARSIFT_TEST_ASAN)
// A sanitizer reserves address space far beyond any limit, so this runs without one.
TEST(BgzfCopyTest, CopiesEveryBlockWhenNoThreadCanBeStarted) {
  const std::string data = bgzipped();
  const TempFile input(data);
  const TempFile output("");
  const testing::ChildResult child = testing::run_in_child([&]() -> std::string {
    core::IoError error = core::IoError::bare(core::ErrorKind::Other);
    const std::unique_ptr<BgzfCopy> copy = BgzfCopy::open(input.path(), error);
    const int fd = ::open(output.path().c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
    if (copy == nullptr || fd < 0) return "not opened";
    // Room for a little more heap, not for a thread's stack.
    std::size_t pages = 0;
    std::ifstream("/proc/self/statm") >> pages;
    const rlim_t mapped = pages * static_cast<rlim_t>(::sysconf(_SC_PAGESIZE));
    const rlimit limit{mapped + (rlim_t{1} << 20), mapped + (rlim_t{1} << 20)};
    ::setrlimit(RLIMIT_AS, &limit);
    try {
      std::thread([] {}).join();
      return "a thread started";
    } catch (const std::system_error&) {
    }
    int output_errno = 0;
    BgzfCopy::Status status = BgzfCopy::Status::more;
    while (status == BgzfCopy::Status::more) status = copy->step(fd, 1, error, output_errno);
    ::close(fd);
    return status == BgzfCopy::Status::done ? "done" : "failed";
  });
  EXPECT_EQ(child.output, "done");
  EXPECT_EQ(read_file(output.path()), data);
}
#endif

}  // namespace
}  // namespace varsift::hts
