#include "hts/index_reader.hpp"
#include "hts/kept_blocks.hpp"
#include "hts/range_check.hpp"
#include "hts/range_texts.hpp"

#include <gtest/gtest.h>
#include <htslib/bgzf.h>
#include <htslib/kstring.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <random>
#include <set>

#include "core/line_reader.hpp"
#include "index_fixture.hpp"

namespace varsift::testing {
namespace {

using hts::IndexedSource;
using hts::VirtualRange;
using BgzfHandle = std::unique_ptr<BGZF, int (*)(BGZF*)>;

BgzfHandle open_bgzf(const std::string& path) { return {bgzf_open(path.c_str(), "r"), bgzf_close}; }

// The virtual offset where each line starts, and the file's end as the last entry.
std::vector<std::uint64_t> line_starts(const std::string& path) {
  BgzfHandle file = open_bgzf(path);
  std::vector<std::uint64_t> starts{static_cast<std::uint64_t>(bgzf_tell(file.get()))};
  kstring_t line = KS_INITIALIZE;
  while (bgzf_getline(file.get(), '\n', &line) >= 0) {
    starts.push_back(static_cast<std::uint64_t>(bgzf_tell(file.get())));
  }
  ks_free(&line);
  return starts;
}

struct Read {
  std::vector<std::string> lines;
  std::string error;
};

Read read_from(IndexedSource& source) {
  core::LineReader reader(source);
  Read read;
  for (;;) {
    const auto status = reader.next();
    if (status == core::LineReader::Status::end) break;
    if (status == core::LineReader::Status::error) {
      read.error = reader.error().display();
      break;
    }
    read.lines.emplace_back(reader.line());
  }
  return read;
}

Read read_all(const std::string& path, std::vector<VirtualRange> ranges) {
  BgzfHandle file = open_bgzf(path);
  IndexedSource source(file.get(), std::move(ranges));
  return read_from(source);
}

// Header lines, then numbered records long enough to fill several BGZF blocks.
struct Fixture {
  TempDir dir;
  std::string path = dir.path("data.vcf.gz");
  std::vector<std::string> lines;
  std::vector<std::uint64_t> starts;
  static constexpr std::size_t header_lines = 3;

  explicit Fixture(const std::string& tail = "\n") {
    lines = {"##fileformat=VCFv4.2", "##contig=<ID=chr1>", "#CHROM\tPOS\tID\tREF\tALT"};
    for (int i = 1; i <= 3000; ++i) {
      lines.push_back("chr1\t" + std::to_string(i) + "\t.\tA\tC\t" + std::string(i % 97, 'q'));
    }
    std::string text;
    for (const auto& line : lines) text += line + "\n";
    text.resize(text.size() - 1);
    write_file(dir.path("data.vcf"), text + tail);
    run("bgzip -c " + shell_quoted(dir.path("data.vcf")) + " > " + shell_quoted(path));
    starts = line_starts(path);
  }
  // Lines [first, last) of the records, as a range.
  VirtualRange records(std::size_t first, std::size_t last) const {
    return {starts[header_lines + first], starts[header_lines + last]};
  }
  std::vector<std::string> expected(
      std::initializer_list<std::pair<std::size_t, std::size_t>> spans) const {
    std::vector<std::string> kept(lines.begin(), lines.begin() + header_lines);
    for (const auto& [first, last] : spans) {
      kept.insert(kept.end(), lines.begin() + static_cast<std::ptrdiff_t>(header_lines + first),
                  lines.begin() + static_cast<std::ptrdiff_t>(header_lines + last));
    }
    return kept;
  }
};

TEST(IndexedSource, WithoutRangesGivesTheHeaderOnly) {
  const Fixture fixture;
  EXPECT_EQ(read_all(fixture.path, {}).lines, fixture.expected({}));
}

TEST(IndexedSource, GivesTheLinesOfEachRangeInFileOrder) {
  const Fixture fixture;
  ASSERT_GT(fixture.starts[fixture.header_lines + 2999] >> 16, 3U) << "needs several blocks";
  const Read read =
      read_all(fixture.path, {fixture.records(0, 2), fixture.records(10, 11),
                              fixture.records(1500, 2100), fixture.records(2999, 3000)});
  EXPECT_EQ(read.error, "");
  EXPECT_EQ(read.lines, fixture.expected({{0, 2}, {10, 11}, {1500, 2100}, {2999, 3000}}));
}

TEST(IndexedSource, GivesALineOnceWhenRangesShareIt) {
  const Fixture fixture;
  // Ranges that reach back into lines already given, as chunks of nearby sites do.
  const Read read = read_all(fixture.path, {fixture.records(5, 20), fixture.records(10, 30),
                                            fixture.records(30, 31), fixture.records(25, 40)});
  EXPECT_EQ(read.lines, fixture.expected({{5, 40}}));
}

TEST(IndexedSource, FinishesTheLineARangeEndsIn) {
  const Fixture fixture;
  VirtualRange range = fixture.records(100, 101);
  range.end = range.begin + 3;  // three bytes into record 100
  EXPECT_EQ(read_all(fixture.path, {range}).lines, fixture.expected({{100, 101}}));
}

TEST(IndexedSource, NeverRepeatsTheHeader) {
  const Fixture fixture;
  EXPECT_EQ(read_all(fixture.path, {{0, fixture.starts[fixture.header_lines + 4]}}).lines,
            fixture.expected({{0, 4}}));
}

TEST(IndexedSource, ReadsALastLineWithoutLineFeed) {
  const Fixture fixture("");
  EXPECT_EQ(read_all(fixture.path, {fixture.records(2998, 3000)}).lines,
            fixture.expected({{2998, 3000}}));
}

std::uint64_t blocks_for(const Fixture& fixture, std::vector<VirtualRange> ranges) {
  BgzfHandle file = open_bgzf(fixture.path);
  IndexedSource source(file.get(), std::move(ranges));
  core::LineReader reader(source);
  while (reader.next() == core::LineReader::Status::line) {
  }
  return source.blocks_read();
}

TEST(IndexedSource, LoadsOnlyTheBlocksItNeeds) {
  const Fixture fixture;
  const std::uint64_t last_block = fixture.starts.back() >> 16;
  std::uint64_t blocks = 1;
  for (std::size_t i = 1; i < fixture.starts.size(); ++i) {
    blocks += (fixture.starts[i] >> 16) != (fixture.starts[i - 1] >> 16);
  }
  ASSERT_GE(blocks, 4U);
  // The header's block, then the last record's.
  EXPECT_EQ(blocks_for(fixture, {fixture.records(2999, 3000)}),
            (fixture.starts[fixture.header_lines + 2999] >> 16) == last_block ? 2U : 3U);
  EXPECT_EQ(blocks_for(fixture, {fixture.records(0, 3000)}), blocks);
}

TEST(IndexedSource, GivesAHeaderReadBeforeWithoutReadingItsBlocksAgain) {
  const Fixture fixture;
  const std::vector<VirtualRange> range_sets[] = {
      {},
      {fixture.records(0, 2), fixture.records(1500, 2100)},
      {{0, fixture.starts[fixture.header_lines + 4]}},
      {fixture.records(2999, 3000)},
  };
  for (const auto& ranges : range_sets) {
    BgzfHandle file = open_bgzf(fixture.path);
    // Read as the index path reads it before the ranges, through the same handle.
    hts::ReadHeader header;
    IndexedSource header_source(file.get(), {});
    std::string_view bytes;
    core::IoError error = core::IoError::bare(core::ErrorKind::Other);
    while (header_source.next_bytes(bytes, error) && !bytes.empty()) header.bytes += bytes;
    header.end = static_cast<std::uint64_t>(bgzf_tell(file.get()));
    IndexedSource source(file.get(), ranges, nullptr, std::move(header));
    const Read read = read_from(source);
    EXPECT_EQ(read.error, "");
    EXPECT_EQ(read.lines, read_all(fixture.path, ranges).lines);
    if (ranges.size() == 1 && ranges.front().begin != 0) {
      // The last record's block, and the one its range ends in: none of the header's.
      EXPECT_EQ(source.blocks_read(),
                (ranges.front().begin >> 16) == (fixture.starts.back() >> 16) ? 1U : 2U);
    }
  }
}

TEST(IndexedSource, StepsOverEmptyBlocks) {
  TempDir dir;
  // An end-of-file block between two BGZF files, which concatenated make one valid file.
  write_file(dir.path("a.vcf"), "#h\nchr1\t1\t.\tA\tC\n");
  write_file(dir.path("b.vcf"), "chr1\t2\t.\tA\tC\nchr1\t3\t.\tA\tC\n");
  write_file(dir.path("empty"), "");
  run("cd " + shell_quoted(dir.path("")) +
      " && bgzip -c a.vcf > a.gz && bgzip -c empty > e.gz && bgzip -c b.vcf > b.gz"
      " && cat a.gz e.gz e.gz b.gz > data.vcf.gz");
  const std::string path = dir.path("data.vcf.gz");
  const auto starts = line_starts(path);
  ASSERT_EQ(starts.size(), 5U);
  EXPECT_EQ(
      read_all(path, {{starts[1], starts[4]}}).lines,
      (std::vector<std::string>{"#h", "chr1\t1\t.\tA\tC", "chr1\t2\t.\tA\tC", "chr1\t3\t.\tA\tC"}));
  EXPECT_EQ(read_all(path, {{starts[3], starts[4]}}).lines,
            (std::vector<std::string>{"#h", "chr1\t3\t.\tA\tC"}));
}

TEST(IndexedSource, ReportsARangeThatPointsIntoNoBlock) {
  const Fixture fixture;
  // A compressed offset in the middle of a block: no gzip header there.
  const Read read = read_all(fixture.path, {{(17ULL << 16), (17ULL << 16) + 5}});
  EXPECT_NE(read.error, "");
}

TEST(IndexedSource, ReportsARangeThatPointsPastItsBlock) {
  const Fixture fixture;
  const std::uint64_t block = fixture.starts[fixture.header_lines + 2000] >> 16;
  const Read read = read_all(fixture.path, {{block << 16 | 0xFFFF, (block + 1) << 16}});
  EXPECT_NE(read.error, "");
}

TEST(IndexedSource, ReportsADamagedBlockMetWhileFinishingALine) {
  const Fixture fixture;
  // The first record whose line runs on into the next block.
  std::size_t record = 0;
  while ((fixture.starts[fixture.header_lines + record + 1] & 0xFFFF) == 0 ||
         (fixture.starts[fixture.header_lines + record] >> 16) ==
             (fixture.starts[fixture.header_lines + record + 1] >> 16)) {
    ++record;
  }
  const std::uint64_t damaged = fixture.starts[fixture.header_lines + record + 1] >> 16;
  {
    // Spoils the deflated bytes of the block the line ends in.
    std::fstream file(fixture.path, std::ios::in | std::ios::out | std::ios::binary);
    file.seekp(static_cast<std::streamoff>(damaged + 40));
    file.write("\xff\xff\xff\xff\xff\xff\xff\xff", 8);
  }
  VirtualRange range = fixture.records(record, record + 1);
  // Ends in the record's first block, as a chunk of an index may, or where the record ends.
  for (const std::uint64_t end : {range.begin + 1, range.end}) {
    const Read read = read_all(fixture.path, {{range.begin, end}});
    EXPECT_EQ(read.error, "corrupt BGZF block (inflating or its CRC32 check failed)");
    EXPECT_EQ(read.lines, fixture.expected({}));
  }
}

TEST(IndexedSource, BlockBytesAreTheCompressedSizeOfTheBlock) {
  const Fixture fixture;
  BgzfHandle file = open_bgzf(fixture.path);
  EXPECT_GT(hts::block_bytes_at(file.get(), 0), 0U);
  EXPECT_LE(hts::block_bytes_at(file.get(), 0), 65536U);
  EXPECT_EQ(hts::block_bytes_at(file.get(), 17ULL << 16), 0U);
}

struct CheckCase {
  const char* name;
  // The ranges, from the fixture's line starts and file size.
  std::function<std::vector<VirtualRange>(const Fixture&, std::uint64_t)> ranges;
  hts::RangeCheck::Outcome outcome;
  const char* message;  // a part of the message; "" for none
};

// What a check keeps: nothing, or every block it reads, through whole ranges or where they start.
struct Keeping {
  const char* suffix;
  std::size_t capacity;
  bool whole_ranges;
};

class RangeCheckTest : public ::testing::TestWithParam<std::tuple<CheckCase, Keeping>> {
 protected:
  static void SetUpTestSuite() { fixture_ = std::make_unique<Fixture>(); }
  static void TearDownTestSuite() { fixture_.reset(); }
  static std::unique_ptr<Fixture> fixture_;
};
std::unique_ptr<Fixture> RangeCheckTest::fixture_;

TEST_P(RangeCheckTest, MeetsTheData) {
  const auto& [c, keeping] = GetParam();
  BgzfHandle file = open_bgzf(fixture_->path);
  const auto size = std::filesystem::file_size(fixture_->path);
  const std::vector<std::string> sequences{"chr1", "chr2"};
  hts::KeptBlocks kept(keeping.capacity);
  const hts::RangeCheck check = hts::check_ranges(file.get(), c.ranges(*fixture_, size), sequences,
                                                  kept, {keeping.whole_ranges, false});
  EXPECT_EQ(check.outcome, c.outcome);
  EXPECT_NE(check.message.find(c.message), std::string::npos) << check.message;
}

using Outcome = hts::RangeCheck::Outcome;

VirtualRange on(VirtualRange range, int sequence) {
  range.sequence = sequence;
  return range;
}

INSTANTIATE_TEST_SUITE_P(Ranges, RangeCheckTest,
                         ::testing::
                             Combine(::testing::Values(CheckCase{"records",
                                                                 [](const Fixture& f, auto) {
                                                                   return std::vector{
                                                                       on(f.records(0, 2), 0),
                                                                       on(f.records(1500, 2999),
                                                                          0)};
                                                                 },
                                                                 Outcome::sound, ""},
                                                       CheckCase{"unknown_sequence",
                                                                 [](const Fixture& f, auto) {
                                                                   return std::vector{
                                                                       f.records(7, 9)};
                                                                 },
                                                                 Outcome::sound, ""},
                                                       CheckCase{"to_the_data_end",
                                                                 [](const Fixture& f, auto) {
                                                                   return std::vector{
                                                                       on({f.starts[1000],
                                                                           f.starts.back()},
                                                                          0)};
                                                                 },
                                                                 Outcome::sound, ""},
                                                       CheckCase{"begins_inside_a_line",
                                                                 [](const Fixture& f, auto) {
                                                                   auto range =
                                                                       on(f.records(1500, 1600), 0);
                                                                   range.begin += 3;
                                                                   return std::vector{
                                                                       on(f.records(0, 2), 0),
                                                                       range};
                                                                 },
                                                                 Outcome::mismatch, "inside a line"},
                                                       CheckCase{"ends_inside_a_line",
                                                                 [](const Fixture& f, auto) {
                                                                   auto range =
                                                                       on(f.records(20, 21), 0);
                                                                   range.end += 3;
                                                                   return std::vector{range};
                                                                 },
                                                                 Outcome::mismatch,
                                                                 "inside a line"},
                                                       CheckCase{"from_the_header",
                                                                 [](const Fixture& f, auto) {
                                                                   return std::vector{
                                                                       on({0, f.starts[5]}, 0)};
                                                                 },
                                                                 Outcome::sound, ""},
                                                       CheckCase{
                                                           "from_the_header_for_another_sequence",
                                                           [](const Fixture& f, auto) {
                                                             return std::vector{
                                                                 on({0, f.starts[5]}, 1)};
                                                           },
                                                           Outcome::mismatch, "record on chr1"},
                                                       CheckCase{"other_sequence",
                                                                 [](const Fixture& f, auto) {
                                                                   return std::vector{
                                                                       on(f.records(3, 4), 1)};
                                                                 },
                                                                 Outcome::mismatch,
                                                                 "record on chr1"},
                                                       CheckCase{"no_block",
                                                                 [](const Fixture&, auto) {
                                                                   return std::vector{
                                                                       on({std::uint64_t{5} << 16,
                                                                           std::uint64_t{6} << 16},
                                                                          0)};
                                                                 },
                                                                 Outcome::mismatch,
                                                                 "no BGZF block"},
                                                       CheckCase{"past_its_block",
                                                                 [](const Fixture&, auto) {
                                                                   return std::vector{
                                                                       on({0xFFFF,
                                                                           std::uint64_t{1} << 30},
                                                                          0)};
                                                                 },
                                                                 Outcome::mismatch,
                                                                 "past the end of a BGZF block"},
                                                       CheckCase{
                                                           "at_the_end_marker",
                                                           [](const Fixture&, std::uint64_t size) {
                                                             return std::vector{
                                                                 on({(size - 28) << 16,
                                                                     (size - 28) << 16 | 1},
                                                                    0)};
                                                           },
                                                           Outcome::mismatch, "the data's end"}),
                                     ::testing::Values(
                                         Keeping{"", 0, true},
                                         Keeping{"_keeping", std::size_t{1} << 30, true},
                                         Keeping{"_keeping_starts", std::size_t{1} << 30, false})),
                         [](const ::testing::TestParamInfo<std::tuple<CheckCase, Keeping>>&
                                param_info) {
                           return std::string(std::get<0>(param_info.param).name) +
                                  std::get<1>(param_info.param).suffix;
                         });

// A handle on a BGZF file of empty lines beside the fixture's: a reading through it gives the
// fixture's lines only from what was kept.
BgzfHandle open_other(const Fixture& fixture) {
  write_file(fixture.dir.path("other.vcf"), std::string(1 << 18, '\n'));
  run("bgzip -f " + shell_quoted(fixture.dir.path("other.vcf")));
  return open_bgzf(fixture.dir.path("other.vcf.gz"));
}

// After a check that kept the blocks of its ranges, the reading takes them from memory: read
// through a handle on another file, it gives the ranges' lines all the same, unless it needs a
// block beyond what was kept.
TEST(KeptBlocks, SpareTheReadingTheBlocksTheCheckRead) {
  const Fixture fixture;
  // The last runs to the data's end.
  const std::vector<VirtualRange> ranges{fixture.records(0, 2), fixture.records(900, 2900),
                                         fixture.records(2990, 3000)};
  std::set<std::uint64_t> blocks;
  for (std::size_t i = 900; i < 2900; ++i)
    blocks.insert(fixture.starts[Fixture::header_lines + i] >> 16);
  ASSERT_GE(blocks.size(), 3U) << "needs a range over several blocks";
  for (const std::size_t capacity : {std::size_t{1} << 30, std::size_t{2} << 16}) {
    BgzfHandle file = open_bgzf(fixture.path);
    hts::KeptBlocks kept(capacity);
    ASSERT_EQ(hts::check_ranges(file.get(), ranges, {"chr1"}, kept, {true, false}).outcome,
              hts::RangeCheck::Outcome::sound);
    BgzfHandle other = open_other(fixture);
    IndexedSource source(other.get(), ranges, &kept);
    core::LineReader reader(source);
    std::vector<std::string> lines;
    while (reader.next() == core::LineReader::Status::line) lines.emplace_back(reader.line());
    // All of them, or two: the header's and the next.
    EXPECT_EQ(lines == fixture.expected({{0, 2}, {900, 2900}, {2990, 3000}}),
              capacity > (std::size_t{2} << 16))
        << capacity;
  }
}

// The check keeps the ranges that lie inside one block, as far as its room goes, and the reading
// gives those from memory: read through a handle on another file, it gives their lines all the
// same, unless it needs a range beyond what was kept.
TEST(RangeTexts, SpareTheReadingTheBlocksOfRangesTheCheckRead) {
  const Fixture fixture;
  const std::vector<VirtualRange> ranges{fixture.records(0, 2), fixture.records(3, 5),
                                         fixture.records(2990, 2992)};
  for (const VirtualRange& range : ranges) ASSERT_EQ(range.begin >> 16, range.end >> 16);
  hts::ReadHeader header;
  for (std::size_t i = 0; i < Fixture::header_lines; ++i) header.bytes += fixture.lines[i] + "\n";
  header.end = fixture.starts[Fixture::header_lines];
  // Room for all, or for the first alone.
  for (const std::size_t capacity : {std::size_t{1} << 20, ranges[0].end - ranges[0].begin}) {
    BgzfHandle file = open_bgzf(fixture.path);
    hts::KeptBlocks kept(0);
    hts::RangeTexts texts(capacity);
    ASSERT_EQ(hts::check_ranges(file.get(), ranges, {"chr1"}, kept, {false, false}, &texts).outcome,
              hts::RangeCheck::Outcome::sound);
    BgzfHandle other = open_other(fixture);
    IndexedSource source(other.get(), ranges, nullptr, header, {}, &texts);
    const bool all = capacity > ranges[0].end - ranges[0].begin;
    EXPECT_EQ(read_from(source).lines == fixture.expected({{0, 2}, {3, 5}, {2990, 2992}}), all)
        << capacity;
    if (all) {
      EXPECT_EQ(source.blocks_read(), 0U);
    }
  }
}

// Of a range over several blocks, the part in its first block is kept, and the reading gives
// it from memory and reads the rest from the file: one block fewer, the same lines.
TEST(RangeTexts, GiveTheFirstBlockOfALongerRangeFromMemory) {
  const Fixture fixture;
  const std::vector<VirtualRange> ranges{fixture.records(1000, 2000)};
  ASSERT_LT(ranges[0].begin >> 16, ranges[0].end >> 16);
  hts::ReadHeader header;
  for (std::size_t i = 0; i < Fixture::header_lines; ++i) header.bytes += fixture.lines[i] + "\n";
  header.end = fixture.starts[Fixture::header_lines];
  std::uint64_t blocks[2] = {};
  for (const bool keeping : {false, true}) {
    BgzfHandle file = open_bgzf(fixture.path);
    hts::KeptBlocks kept(0);
    hts::RangeTexts texts(std::size_t{1} << 20);
    ASSERT_EQ(hts::check_ranges(file.get(), ranges, {"chr1"}, kept, {false, false},
                                keeping ? &texts : nullptr)
                  .outcome,
              hts::RangeCheck::Outcome::sound);
    BgzfHandle fresh = open_bgzf(fixture.path);
    IndexedSource source(fresh.get(), ranges, nullptr, header, {}, &texts);
    EXPECT_EQ(read_from(source).lines, fixture.expected({{1000, 2000}})) << keeping;
    blocks[keeping] = source.blocks_read();
  }
  EXPECT_EQ(blocks[1] + 1, blocks[0]);
}

}  // namespace
}  // namespace varsift::testing
