#include "hts/block_reader.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <tuple>
#include <variant>
#include <vector>

#include "child_process.hpp"
#include "command.hpp"

namespace varsift::hts {
namespace {

using testing::bgzf_blocks;
using testing::BlockSpan;
using testing::compress_with;
using testing::TempFile;
using testing::with_extra_subfields;

std::string sample_text() {
  std::string text = "##fileformat=VCFv4.2\n";
  for (int i = 0; i < 12000; ++i) {
    text += "chr1\t" + std::to_string(100 + i * 3) + "\t.\tA\tG\t" + std::to_string(i % 89) +
            "\tPASS\tDP=" + std::to_string(i * 7919 % 1000) + "\n";
  }
  return text;
}

const std::string& text() {
  static const std::string value = sample_text();
  return value;
}

const std::string& bgzipped() {
  static const std::string value = compress_with({"bgzip", "-c"}, text());
  return value;
}

std::uint32_t isize_of(std::string_view bytes, const BlockSpan& block) {
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data() + block.offset + block.size);
  return std::uint32_t{p[-4]} | std::uint32_t{p[-3]} << 8U | std::uint32_t{p[-2]} << 16U |
         std::uint32_t{p[-1]} << 24U;
}

void set_isize(std::string& bytes, const BlockSpan& block, std::uint32_t isize) {
  for (std::size_t i = 0; i < 4; ++i) {
    bytes[block.offset + block.size - 4 + i] = static_cast<char>(isize >> (8 * i) & 0xffU);
  }
}

// The inflated bytes before block `index`.
std::size_t inflated_before(std::string_view bytes, std::size_t index) {
  std::size_t total = 0;
  const auto blocks = bgzf_blocks(bytes);
  for (std::size_t i = 0; i < index; ++i) total += isize_of(bytes, blocks[i]);
  return total;
}

struct Outcome {
  std::string bytes;
  std::vector<std::int64_t> tells;
  bool failed = false;
  std::string error;
  bool damaged = false;
  // Where what is not a block begins, when the reader left it to another.
  std::optional<std::uint64_t> other_at;
};

Outcome read_through(BlockReader& reader) {
  Outcome outcome;
  BgzfFailure failure{core::IoError::os(0), false};
  for (;;) {
    outcome.tells.push_back(reader.tell());
    std::string_view bytes;
    switch (reader.next(bytes, failure)) {
      case BlockReader::Status::bytes:
        EXPECT_FALSE(bytes.empty());
        outcome.bytes += bytes;
        continue;
      case BlockReader::Status::end:
        return outcome;
      case BlockReader::Status::other:
        outcome.other_at = reader.rest_offset();
        return outcome;
      case BlockReader::Status::failed:
        outcome.failed = true;
        outcome.error = failure.error.display();
        outcome.damaged = failure.damaged;
        return outcome;
    }
  }
}

UniqueFd open_file(const TempFile& file) { return UniqueFd(::open(file.path().c_str(), O_RDONLY)); }

Outcome read_file(const std::string& bytes, int threads, std::size_t chunk_size) {
  const TempFile file(bytes);
  BlockReader reader(open_file(file), {threads, chunk_size, std::size_t{4} << 20});
  return read_through(reader);
}

// Chunk sizes around the blocks: smaller than one, ending on a block boundary and one byte to
// either side of it, several blocks, and the default.
std::vector<std::size_t> chunk_sizes() {
  const auto blocks = bgzf_blocks(bgzipped());
  const std::size_t two = blocks[0].size + blocks[1].size;
  return {100, blocks[0].size, two - 1, two, two + 1, 5 * blocks[0].size, std::size_t{1} << 20};
}

class ChunkTest : public ::testing::TestWithParam<std::tuple<std::size_t, int>> {};

TEST_P(ChunkTest, ReadsEveryByteInOrder) {
  const auto [chunk, threads] = GetParam();
  const Outcome outcome = read_file(bgzipped(), threads, chunk_sizes()[chunk]);
  EXPECT_FALSE(outcome.failed) << outcome.error;
  EXPECT_TRUE(outcome.bytes == text());
}

TEST_P(ChunkTest, SkipsEmptyBlocksBetweenParts) {
  const auto [chunk, threads] = GetParam();
  const std::string_view whole = text();
  const std::string bytes = compress_with({"bgzip", "-c"}, whole.substr(0, 1000)) +
                            compress_with({"bgzip", "-c"}, "") +
                            compress_with({"bgzip", "-c"}, whole.substr(1000));
  const Outcome outcome = read_file(bytes, threads, chunk_sizes()[chunk]);
  EXPECT_FALSE(outcome.failed) << outcome.error;
  EXPECT_TRUE(outcome.bytes == text());
}

TEST(BlockReaderTest, BatchesStopAtTheirInflatedLimit) {
  const TempFile file(bgzipped());
  // One block a batch, two or three, and all of them.
  for (const std::size_t limit : {std::size_t{1}, std::size_t{150000}, std::size_t{1} << 30}) {
    for (const int threads : {1, 2, 3}) {
      BlockReader reader(open_file(file), {threads, std::size_t{1} << 20, limit});
      const Outcome outcome = read_through(reader);
      EXPECT_FALSE(outcome.failed) << outcome.error;
      EXPECT_TRUE(outcome.bytes == text()) << limit << " " << threads;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(ChunksAndThreads, ChunkTest,
                         ::testing::Combine(::testing::Range<std::size_t>(0, 7),
                                            ::testing::Values(1, 2, 3)));

TEST(BlockReaderTest, FindsTheBlockSizeAmongOtherSubfields) {
  const std::string& bytes = bgzipped();
  std::string changed;
  for (const BlockSpan& block : bgzf_blocks(bytes)) {
    changed += with_extra_subfields(std::string_view(bytes).substr(block.offset, block.size));
  }
  // The end-of-file marker is no longer byte for byte the standard one.
  const Outcome outcome = read_file(changed + compress_with({"bgzip", "-c"}, ""), 2, 1 << 20);
  EXPECT_FALSE(outcome.failed) << outcome.error;
  EXPECT_TRUE(outcome.bytes == text());
}

struct Damage {
  const char* name;
  std::function<std::string(std::string, const std::vector<BlockSpan>&)> make;
  // Null: what is not a block is left to another reader, from the block that was damaged.
  const char* error;
  bool damaged;
  // Block from which nothing is read; earlier blocks are read whole.
  std::size_t from_block;
};

constexpr const char* isize_message = "BGZF block ISIZE does not match its inflated length";
constexpr const char* corrupt_message = "corrupt BGZF block (inflating or its CRC32 check failed)";
constexpr const char* truncated_message =
    "compressed file truncated (ends inside a block or gzip member)";

const std::vector<Damage>& damages() {
  static const std::vector<Damage> list = {
      {"isize_larger",
       [](std::string b, const auto& blocks) {
         set_isize(b, blocks[3], isize_of(b, blocks[3]) + 1);
         return b;
       },
       isize_message, true, 3},
      {"isize_smaller",
       [](std::string b, const auto& blocks) {
         set_isize(b, blocks[3], isize_of(b, blocks[3]) - 1);
         return b;
       },
       isize_message, true, 3},
      {"isize_beyond_a_block",
       [](std::string b, const auto& blocks) {
         set_isize(b, blocks[3], 70000);
         return b;
       },
       isize_message, true, 3},
      {"isize_zero",
       [](std::string b, const auto& blocks) {
         set_isize(b, blocks[3], 0);
         return b;
       },
       isize_message, true, 3},
      {"isize_and_crc_wrong",
       [](std::string b, const auto& blocks) {
         set_isize(b, blocks[3], isize_of(b, blocks[3]) + 1);
         b[blocks[3].offset + blocks[3].size - 8] ^= 1;
         return b;
       },
       corrupt_message, true, 3},
      {"cut_after_a_header",
       [](std::string b, const auto& blocks) { return b.substr(0, blocks[4].offset + 18); },
       truncated_message, true, 4},
      {"cut_in_the_header",
       [](std::string b, const auto& blocks) { return b.substr(0, blocks[4].offset + 5); },
       truncated_message, true, 4},
      {"flags_beyond_extra",
       [](std::string b, const auto& blocks) {
         b[blocks[2].offset + 3] |= 0x08;  // FNAME
         return b;
       },
       nullptr, false, 2},
      {"size_field_missing",
       [](std::string b, const auto& blocks) {
         b[blocks[2].offset + 12] = 'X';
         return b;
       },
       nullptr, false, 2},
      {"size_below_its_header",
       [](std::string b, const auto& blocks) {
         b[blocks[2].offset + 16] = 10;
         b[blocks[2].offset + 17] = 0;
         return b;
       },
       nullptr, false, 2},
  };
  return list;
}

class DamageTest : public ::testing::TestWithParam<std::tuple<std::size_t, int, std::size_t>> {};

TEST_P(DamageTest, ReadsTheBlocksBeforeAndFails) {
  const auto [index, threads, chunk] = GetParam();
  const Damage& damage = damages()[index];
  const std::string& original = bgzipped();
  const Outcome outcome =
      read_file(damage.make(original, bgzf_blocks(original)), threads, chunk_sizes()[chunk]);
  if (damage.error == nullptr) {
    EXPECT_FALSE(outcome.failed) << outcome.error;
    EXPECT_EQ(outcome.other_at, bgzf_blocks(original)[damage.from_block].offset);
  } else {
    ASSERT_TRUE(outcome.failed);
    EXPECT_EQ(outcome.error, damage.error);
    EXPECT_EQ(outcome.damaged, damage.damaged);
  }
  EXPECT_TRUE(outcome.bytes == text().substr(0, inflated_before(original, damage.from_block)))
      << outcome.bytes.size();
}

INSTANTIATE_TEST_SUITE_P(AllDamage, DamageTest,
                         ::testing::Combine(::testing::Range<std::size_t>(0, 10),
                                            ::testing::Values(1, 2), ::testing::Values(0, 3, 6)),
                         [](const auto& test) {
                           return std::string(damages()[std::get<0>(test.param)].name) +
                                  "_threads" + std::to_string(std::get<1>(test.param)) + "_chunk" +
                                  std::to_string(std::get<2>(test.param));
                         });

TEST(BlockReaderTest, FailuresAreFinal) {
  std::string bytes = bgzipped();
  const auto blocks = bgzf_blocks(bytes);
  set_isize(bytes, blocks[1], 1);
  const TempFile file(bytes);
  BlockReader reader(open_file(file), {2, 1000, std::size_t{4} << 20});
  read_through(reader);
  const Outcome again = read_through(reader);
  EXPECT_TRUE(again.failed);
  EXPECT_EQ(again.error, isize_message);
}

TEST(BlockReaderTest, StopsWhileWorkersAreAhead) {
  // The reader goes away after one block while the workers have batches in flight.
  const TempFile file(bgzipped());
  for (const std::size_t chunk : {std::size_t{100}, std::size_t{40000}}) {
    BlockReader reader(open_file(file), {4, chunk, std::size_t{4} << 20});
    std::string_view bytes;
    BgzfFailure failure{core::IoError::os(0), false};
    ASSERT_EQ(reader.next(bytes, failure), BlockReader::Status::bytes);
  }
}

class SeekTest : public ::testing::TestWithParam<std::tuple<int, std::size_t>> {};

TEST_P(SeekTest, RestartsAtEveryBlockAndInside) {
  const auto [threads, chunk] = GetParam();
  const TempFile file(bgzipped());
  BlockReader reader(open_file(file), {threads, chunk_sizes()[chunk], std::size_t{4} << 20});
  const Outcome whole = read_through(reader);
  ASSERT_FALSE(whole.failed);
  // tells[i] is where piece i starts; reading from there gives the rest of the text.
  std::size_t at = 0;
  std::vector<std::size_t> starts;
  {
    BlockReader counting(open_file(file), {});
    std::string_view bytes;
    BgzfFailure failure{core::IoError::os(0), false};
    while (counting.next(bytes, failure) == BlockReader::Status::bytes) {
      starts.push_back(at);
      at += bytes.size();
    }
  }
  ASSERT_EQ(starts.size() + 1, whole.tells.size());
  for (std::size_t i = starts.size(); i-- > 0;) {
    reader.seek(static_cast<std::uint64_t>(whole.tells[i]));
    const Outcome rest = read_through(reader);
    ASSERT_FALSE(rest.failed) << rest.error;
    EXPECT_TRUE(rest.bytes == text().substr(starts[i])) << i;
  }
  // Into the middle of the third block.
  const auto blocks = bgzf_blocks(bgzipped());
  reader.seek(std::uint64_t{blocks[2].offset} << 16U | 1234U);
  const Outcome rest = read_through(reader);
  EXPECT_TRUE(rest.bytes == text().substr(inflated_before(bgzipped(), 2) + 1234));
}

INSTANTIATE_TEST_SUITE_P(ThreadsAndChunks, SeekTest,
                         ::testing::Combine(::testing::Values(1, 2), ::testing::Values(0, 3, 6)));

}  // namespace
}  // namespace varsift::hts
