#include "hts/block_walk.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <functional>
#include <string>
#include <variant>
#include <vector>

#include "child_process.hpp"
#include "command.hpp"

namespace varsift::hts {
namespace {

using testing::bgzf_blocks;
using testing::compress_with;
using testing::TempFile;

std::string text() {
  std::string text;
  for (int i = 0; i < 20000; ++i) text += "chr1\t" + std::to_string(i * 7) + "\tA\tG\n";
  return text;
}

WalkResult walk(const std::string& bytes) {
  const TempFile file(bytes);
  const int fd = ::open(file.path().c_str(), O_RDONLY | O_CLOEXEC);
  EXPECT_GE(fd, 0);
  WalkResult result = walk_blocks(fd);
  ::close(fd);
  return result;
}

struct WalkCase {
  const char* name;
  std::function<std::string(const std::string&)> change;
};

// With extra subfields around BC, each block's header is longer than the usual one.
class WellFormed : public ::testing::TestWithParam<bool> {};

TEST_P(WellFormed, FindsEveryBlockAndWhereItsDataStarts) {
  const std::string plain = text();
  const std::string bgzipped = compress_with({"bgzip", "-c"}, plain);
  std::string bytes;
  std::vector<std::uint64_t> expected;
  for (const testing::BlockSpan& block : bgzf_blocks(bgzipped)) {
    expected.push_back(bytes.size());
    const std::string_view original = std::string_view(bgzipped).substr(block.offset, block.size);
    bytes += GetParam() ? testing::with_extra_subfields(original) : std::string(original);
  }
  const WalkResult result = walk(bytes);
  const auto* blocks = std::get_if<std::vector<BlockStart>>(&result);
  ASSERT_NE(blocks, nullptr);
  std::vector<std::uint64_t> found;
  for (const BlockStart& block : *blocks) found.push_back(block.compressed);
  EXPECT_EQ(found, expected);
  EXPECT_EQ(blocks->front().uncompressed, 0U);
  // bgzip fills every block but the last two (the rest of the text, then the end marker).
  ASSERT_GE(blocks->size(), 3U);
  EXPECT_EQ((*blocks)[1].uncompressed, 65280U);
  EXPECT_EQ(blocks->back().uncompressed, plain.size());
}

INSTANTIATE_TEST_SUITE_P(ExtraSubfields, WellFormed, ::testing::Bool());

class NotWhole : public ::testing::TestWithParam<WalkCase> {};

TEST_P(NotWhole, IsNoBlockList) {
  const std::string bytes = GetParam().change(compress_with({"bgzip", "-c"}, text()));
  EXPECT_TRUE(std::holds_alternative<NoBlock>(walk(bytes)));
}

INSTANTIATE_TEST_SUITE_P(
    Files, NotWhole,
    ::testing::Values(
        WalkCase{"plain_text", [](const std::string&) { return text(); }},
        WalkCase{"gzip",
                 [](const std::string&) {
                   return compress_with({"gzip", "-c"}, text());
                 }},
        WalkCase{"cut_in_a_block",
                 [](const std::string& bytes) { return bytes.substr(0, bytes.size() / 2); }},
        WalkCase{"cut_in_a_header",
                 [](const std::string& bytes) {
                   return bytes.substr(0, bgzf_blocks(bytes)[1].offset + 10);
                 }},
        WalkCase{"trailing_garbage", [](const std::string& bytes) { return bytes + "garbage"; }},
        WalkCase{"isize_too_large",
                 [](const std::string& bytes) {
                   std::string changed = bytes;
                   const testing::BlockSpan block = bgzf_blocks(bytes)[0];
                   changed[block.offset + block.size - 2] = 0x01;  // ISIZE 65536 + ...
                   return changed;
                 }}),
    [](const auto& param) { return std::string(param.param.name); });

TEST(BlockAtTest, GivesABlocksSizeAndIsizeOrNoBlock) {
  const std::string bytes = compress_with({"bgzip", "-c"}, text());
  const TempFile file(bytes);
  const int fd = ::open(file.path().c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  const testing::BlockSpan second = bgzf_blocks(bytes)[1];
  const BlockResult block = block_at(fd, second.offset, bytes.size());
  ASSERT_TRUE(std::holds_alternative<BlockSpan>(block));
  EXPECT_EQ(std::get<BlockSpan>(block).size, second.size);
  EXPECT_EQ(std::get<BlockSpan>(block).isize, 65280U);
  EXPECT_TRUE(std::holds_alternative<NoBlock>(block_at(fd, second.offset + 1, bytes.size())));
  // A block that the file's end cuts short.
  EXPECT_TRUE(std::holds_alternative<NoBlock>(block_at(fd, second.offset, second.offset + 100)));
  ::close(fd);
}

TEST(WalkTest, ReportsTheSystemsError) {
  const WalkResult result = walk_blocks(-1);
  ASSERT_TRUE(std::holds_alternative<core::IoError>(result));
  EXPECT_EQ(std::get<core::IoError>(result).os_code(), EBADF);
}

}  // namespace
}  // namespace varsift::hts
