#include "library/index_input.hpp"

#include <gtest/gtest.h>
#include <sys/time.h>

#include <filesystem>
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
