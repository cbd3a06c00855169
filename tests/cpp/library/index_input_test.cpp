#include "library/index_input.hpp"

#include <gtest/gtest.h>
#include <sys/time.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <random>

#include "hts/index_fixture.hpp"
#include "library/line_sink.hpp"
#include "library/scanner.hpp"

namespace varsift::library {
namespace {

using testing::RandomVcf;
using testing::TempDir;
using Mode = IndexOptions::Mode;
using Kind = hts::IndexProblem::Kind;

class Collect final : public LineSink {
 public:
  void header(std::string_view line, bool) override { lines.emplace_back(line); }
  void data(std::string_view line, bool) override { lines.emplace_back(line); }
  std::vector<std::string> lines;
};

std::vector<std::string> scanned(std::unique_ptr<core::ByteSource> source, Selection selection) {
  Scanner scanner(std::move(source), std::move(selection));
  Collect sink;
  while (scanner.step(sink, 1 << 20)) {
  }
  return sink.lines;
}

Selection targets_of(const RandomVcf& vcf, std::size_t step) {
  std::vector<Target> targets;
  for (std::size_t i = 0; i < vcf.records.size(); i += step) {
    const std::string& record = vcf.records[i];
    const std::size_t tab = record.find('\t');
    targets.push_back({record.substr(0, tab), std::stoull(record.substr(tab + 1))});
  }
  return Selection({}, std::move(targets), {});
}

std::vector<std::string> expected(const RandomVcf& vcf, std::size_t step) {
  Selection selection = targets_of(vcf, step);
  std::vector<std::string> kept = vcf.header;
  for (const auto& record : vcf.records) {
    const std::size_t tab = record.find('\t');
    if (selection.keeps(record.substr(0, tab), std::stoull(record.substr(tab + 1)))) {
      kept.push_back(record);
    }
  }
  return kept;
}

struct Indexed {
  TempDir dir;
  std::string path = dir.path("data.vcf.gz");
  RandomVcf vcf;
  explicit Indexed(std::uint64_t seed = 1) {
    std::mt19937_64 random(seed);
    vcf = testing::random_vcf(random, 20000, 2'000'000);
    testing::write_indexed(path, vcf, hts::Index::Format::tbi, path + ".tbi");
  }
};

TEST(ChooseIndex, FollowsTheIndexForAFewSitesWithTheScansAnswer) {
  const Indexed file;
  IndexChoice choice = choose_index(file.path, targets_of(file.vcf, 5000), {}, 2);
  ASSERT_TRUE(choice.source);
  EXPECT_EQ(choice.warning, "");
  EXPECT_LT(choice.cost.index_bytes, choice.cost.file_bytes / 2);
  EXPECT_EQ(scanned(std::move(choice.source), targets_of(file.vcf, 5000)),
            expected(file.vcf, 5000));
}

TEST(ChooseIndex, ScansForSitesAllOverTheFile) {
  const Indexed file;
  const IndexChoice choice = choose_index(file.path, targets_of(file.vcf, 1), {}, 2);
  EXPECT_FALSE(choice.source);
  EXPECT_EQ(choice.warning, "");
}

TEST(ChooseIndex, ForcedFollowsTheIndexWhateverTheCost) {
  const Indexed file;
  IndexChoice choice = choose_index(file.path, targets_of(file.vcf, 3), {Mode::force, {}}, 2);
  ASSERT_TRUE(choice.source);
  EXPECT_EQ(scanned(std::move(choice.source), targets_of(file.vcf, 3)), expected(file.vcf, 3));
}

TEST(ChooseIndex, NeverAndKeepingEverythingScan) {
  const Indexed file;
  EXPECT_FALSE(choose_index(file.path, targets_of(file.vcf, 5000), {Mode::never, {}}, 2).source);
  EXPECT_FALSE(choose_index(file.path, Selection::everything(), {}, 2).source);
}

TEST(ChooseIndex, NoIndexScansSilentlyUnlessForced) {
  const Indexed file;
  std::filesystem::remove(file.path + ".tbi");
  const IndexChoice choice = choose_index(file.path, targets_of(file.vcf, 5000), {}, 2);
  EXPECT_FALSE(choice.source);
  EXPECT_EQ(choice.warning, "");
  try {
    choose_index(file.path, targets_of(file.vcf, 5000), {Mode::force, {}}, 2);
    FAIL() << "a forced index that is missing must fail";
  } catch (const IndexUnusable& error) {
    EXPECT_EQ(error.problem().kind, Kind::missing);
  }
}

// Bytes this process has read from files so far.
std::uint64_t bytes_read() {
  std::ifstream io("/proc/self/io");
  std::string key;
  std::uint64_t value = 0;
  while (io >> key >> value) {
    if (key == "rchar:") return value;
  }
  ADD_FAILURE() << "no rchar in /proc/self/io";
  return 0;
}

// Kept blocks of a few blocks: ranges over many more are checked window by window.
constexpr std::size_t few_blocks = std::size_t{4} << 16;

// Records every 1,000 bases, 2 kB apiece of text that does not compress: a block holds
// about 30, a 16 kbp bin 16.
RandomVcf incompressible_vcf() {
  std::mt19937_64 random(7);
  RandomVcf vcf;
  vcf.contigs = {"chr1"};
  vcf.header = {"##fileformat=VCFv4.2", "##contig=<ID=chr1>",
                "#CHROM\tPOS\tID\tREF\tALT\tQUAL\tFILTER\tINFO"};
  for (std::uint64_t pos = 1000; pos <= 6'000'000; pos += 1000) {
    std::string info = "X=";
    for (int i = 0; i < 200; ++i) {
      // Ten letters from each number drawn.
      for (std::uint64_t bits = random(), j = 0; j < 10; ++j, bits /= 26) {
        info += static_cast<char>('a' + bits % 26);
      }
    }
    vcf.records.push_back("chr1\t" + std::to_string(pos) + "\t.\tA\tC\t.\t.\t" + info);
  }
  return vcf;
}

// Targets from 5,000 on, `step` apart.
Selection targets_every(std::uint64_t step) {
  std::vector<Target> targets;
  for (std::uint64_t pos = 5000; pos <= 6'000'000; pos += step) targets.push_back({"chr1", pos});
  return Selection({}, std::move(targets), {});
}

struct ReadOnce {
  const char* name;
  std::optional<std::size_t> kept_bytes;
};

// The blocks that the range check reads are not read again by the reading, past the kept
// blocks too, where the check goes window by window (forced): reading again the blocks where
// ranges start would read the file about twice. One target in every other bin: a block each,
// over the whole file.
const ReadOnce read_once[] = {
    // A range at a time, the reading taking the block the check left loaded.
    {"keeping_nothing", std::nullopt},
    {"past_the_kept_blocks", few_blocks},
};

class ReadOnceTest : public ::testing::TestWithParam<ReadOnce> {
 protected:
  static void SetUpTestSuite() {
    dir_ = std::make_unique<TempDir>();
    vcf_ = std::make_unique<RandomVcf>(incompressible_vcf());
    testing::write_indexed(path(), *vcf_, hts::Index::Format::tbi, path() + ".tbi");
  }
  static void TearDownTestSuite() {
    vcf_.reset();
    dir_.reset();
  }
  static std::string path() { return dir_->path("data.vcf.gz"); }
  static std::unique_ptr<TempDir> dir_;
  static std::unique_ptr<RandomVcf> vcf_;
};
std::unique_ptr<TempDir> ReadOnceTest::dir_;
std::unique_ptr<RandomVcf> ReadOnceTest::vcf_;

TEST_P(ReadOnceTest, ForcedReadsEachBlockOnce) {
  const std::uint64_t step = 33'000;
  const std::uint64_t before = bytes_read();
  IndexChoice choice =
      choose_index(path(), targets_every(step), {Mode::force, {}, GetParam().kept_bytes}, 2);
  ASSERT_TRUE(choice.source);
  std::vector<std::string> kept = vcf_->header;
  for (std::uint64_t pos = 5000; pos <= 6'000'000; pos += step) {
    kept.push_back(vcf_->records[pos / 1000 - 1]);
  }
  EXPECT_TRUE(scanned(std::move(choice.source), targets_every(step)) == kept);
  EXPECT_LT(bytes_read() - before, std::filesystem::file_size(path()) * 5 / 4);
}

INSTANTIATE_TEST_SUITE_P(Reads, ReadOnceTest, ::testing::ValuesIn(read_once),
                         [](const auto& parameter) { return std::string(parameter.param.name); });

// A block past the first ranges damaged: checked as the reading comes to it, it is reported
// as the data's damage, as a scan reports it.
TEST(ChooseIndex, ForcedReportsDamageMetPastTheFirstRanges) {
  const TempDir dir;
  const std::string path = dir.path("data.vcf.gz");
  testing::write_indexed(path, incompressible_vcf(), hts::Index::Format::tbi, path + ".tbi");
  std::string bytes = testing::read_file(path);
  bytes[bytes.size() * 3 / 4] ^= 0x55;
  testing::write_file(path, bytes);
  std::filesystem::last_write_time(
      path + ".tbi", std::filesystem::last_write_time(path) + std::chrono::seconds(10));
  IndexChoice choice = choose_index(path, targets_every(33'000), {Mode::force, {}}, 2);
  ASSERT_TRUE(choice.source);
  try {
    scanned(std::move(choice.source), targets_every(33'000));
    FAIL() << "a damaged block must fail";
  } catch (const ScanError& error) {
    EXPECT_EQ(error.kind(), ScanError::Kind::damaged) << error.what();
  }
}

// The data changed past its start, the index left newer: the ranges at the start meet it.
TEST(ChooseIndex, ForcedFailsAtAWindowOfRangesThatDoesNotMeetTheData) {
  const TempDir dir;
  const std::string path = dir.path("data.vcf.gz");
  RandomVcf vcf = incompressible_vcf();
  testing::write_indexed(path, vcf, hts::Index::Format::tbi, path + ".tbi");
  // One more byte in each record of the second half, and copies of the last record.
  for (std::size_t i = vcf.records.size() / 2; i < vcf.records.size(); ++i) {
    vcf.records[i].insert(vcf.records[i].find("X=") + 2, "x");
  }
  vcf.records.insert(vcf.records.end(), 100, vcf.records.back());
  testing::write_indexed(dir.path("changed.vcf.gz"), vcf, hts::Index::Format::tbi,
                         dir.path("changed.vcf.gz.tbi"));
  std::filesystem::rename(dir.path("changed.vcf.gz"), path);
  std::filesystem::last_write_time(
      path + ".tbi", std::filesystem::last_write_time(path) + std::chrono::seconds(10));
  IndexChoice choice = choose_index(path, targets_every(33'000), {Mode::force, {}, few_blocks}, 2);
  ASSERT_TRUE(choice.source);
  try {
    scanned(std::move(choice.source), targets_every(33'000));
    FAIL() << "an index that does not meet the data must fail";
  } catch (const ScanError& error) {
    EXPECT_EQ(error.kind(), ScanError::Kind::malformed);
    EXPECT_NE(std::string(error.what()).find("does not match " + path + ": "), std::string::npos)
        << error.what();
  }
}

void make_stale(const Indexed& file) {
  struct timeval times[2];
  ::gettimeofday(&times[0], nullptr);
  times[0].tv_sec -= 100;
  times[1] = times[0];
  ASSERT_EQ(::utimes((file.path + ".tbi").c_str(), times), 0);
}

void make_foreign(const Indexed& file) {
  RandomVcf other = file.vcf;
  for (auto& record : other.records) record.replace(0, 3, "chX");
  testing::write_indexed(file.dir.path("other.vcf.gz"), other, hts::Index::Format::tbi,
                         file.path + ".tbi");
}

void make_garbage(const Indexed& file) { testing::write_file(file.path + ".tbi", "garbage"); }

struct Fault {
  const char* name;
  Kind kind;
  void (*apply)(const Indexed&);
};

const Fault faults[] = {
    {"stale", Kind::stale, make_stale},
    {"foreign", Kind::foreign, make_foreign},
    {"garbage", Kind::unreadable, make_garbage},
};

class UnusableIndex : public ::testing::TestWithParam<Fault> {};

TEST_P(UnusableIndex, WarnsAndScansWhenFoundFailsWhenAskedFor) {
  const Indexed file;
  GetParam().apply(file);
  const IndexChoice choice = choose_index(file.path, targets_of(file.vcf, 5000), {}, 2);
  EXPECT_FALSE(choice.source);
  EXPECT_NE(choice.warning.find("reading the whole file instead"), std::string::npos)
      << choice.warning;
  for (const IndexOptions& options :
       {IndexOptions{Mode::force, {}}, IndexOptions{Mode::automatic, file.path + ".tbi"}}) {
    try {
      choose_index(file.path, targets_of(file.vcf, 5000), options, 2);
      ADD_FAILURE() << "an unusable index asked for must fail";
    } catch (const IndexUnusable& error) {
      EXPECT_EQ(error.problem().kind, GetParam().kind) << error.what();
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Faults, UnusableIndex, ::testing::ValuesIn(faults),
                         [](const auto& parameter) { return std::string(parameter.param.name); });

TEST(ChooseIndex, AnIndexBesideAPlainGzipFileIsNotFollowed) {
  const Indexed file;
  testing::write_file(file.dir.path("data.vcf"), file.vcf.text());
  testing::run("gzip -c " + testing::shell_quoted(file.dir.path("data.vcf")) + " > " +
               testing::shell_quoted(file.path) + " && touch " +
               testing::shell_quoted(file.path + ".tbi"));
  const IndexChoice choice = choose_index(file.path, targets_of(file.vcf, 5000), {}, 2);
  EXPECT_FALSE(choice.source);
  EXPECT_NE(choice.warning, "");
}

TEST(ChooseIndex, StandardInputHasNoIndex) {
  EXPECT_FALSE(choose_index("-", Selection({5}, {}, {}), {}, 2).source);
  EXPECT_THROW(choose_index("-", Selection({5}, {}, {}), {Mode::force, {}}, 2), IndexUnusable);
}

std::vector<std::string> spans_of(const Selection& selection) {
  std::vector<std::string> named;
  selection.for_each_span([&](std::string_view chrom, std::uint64_t first, std::uint64_t last) {
    named.push_back(std::string(chrom) + ":" + std::to_string(first) + "-" + std::to_string(last));
  });
  std::sort(named.begin(), named.end());
  return named;
}

TEST(SelectionSpans, NameEverySiteAndRange) {
  const Selection selection({7}, {{"chr1", 5}}, {{"chr2", 10, 20}, {"chr2", 30, 25}});
  EXPECT_EQ(spans_of(selection), (std::vector<std::string>{":7-7", "chr1:5-5", "chr2:10-20"}));
  EXPECT_TRUE(spans_of(Selection::everything()).empty());
}

}  // namespace
}  // namespace varsift::library
