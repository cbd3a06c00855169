#include "hts/index.hpp"

#include <gtest/gtest.h>
#include <htslib/hts.h>
#include <htslib/tbx.h>
#include <sys/stat.h>
#include <sys/time.h>

#include <algorithm>
#include <filesystem>
#include <random>

#include "hts/index_check.hpp"
#include "index_fixture.hpp"

namespace varsift::testing {
namespace {

using hts::Index;
using hts::IndexProblem;
using hts::Region;

struct Maker {
  const char* name;
  const char* command;  // indexes the quoted data path; empty: our writer
  const char* suffix;
};

const Maker makers[] = {
    {"tabix", "tabix -f -p vcf ", ".tbi"},
    {"tabix_csi", "tabix -f -C -p vcf ", ".csi"},
    {"bcftools_tbi", "bcftools index -f -t ", ".tbi"},
    {"bcftools_csi", "bcftools index -f -c ", ".csi"},
    {"ours_tbi", "", ".tbi"},
    {"ours_csi", "", ".csi"},
};

// Writes the VCF as BGZF at `path` with an index beside it made by `maker`.
void make_indexed(const TempDir& dir, const std::string& path, const RandomVcf& vcf,
                  const Maker& maker) {
  if (*maker.command == '\0') {
    write_indexed(
        path, vcf,
        std::string_view(maker.suffix) == ".tbi" ? Index::Format::tbi : Index::Format::csi,
        path + maker.suffix);
    return;
  }
  const std::string plain = dir.path("plain.vcf");
  write_file(plain, vcf.text());
  run("bgzip -c " + shell_quoted(plain) + " > " + shell_quoted(path));
  run(std::string(maker.command) + shell_quoted(path));
}

Index load_beside(const std::string& path) {
  IndexProblem problem;
  auto index = Index::load(path, std::nullopt, problem);
  if (!index) throw std::runtime_error(problem.message);
  return std::move(*index);
}

// A random file indexed by `maker`, with its index loaded.
struct IndexedData {
  IndexedData(std::mt19937_64& random, std::size_t records, std::uint64_t span, const Maker& maker)
      : path(dir.path("data.vcf.gz")),
        vcf(random_vcf(random, records, span)),
        index((make_indexed(dir, path, vcf, maker), load_beside(path))) {}
  TempDir dir;
  std::string path;
  RandomVcf vcf;
  Index index;
};

class IndexAnswers : public ::testing::TestWithParam<Maker> {};

TEST_P(IndexAnswers, EqualScanOnRandomFilesAndSelections) {
  std::mt19937_64 random(20261208);
  for (int file = 0; file < 12; ++file) {
    const IndexedData data(random, 1500, 2'000'000, GetParam());
    const auto& [dir, path, vcf, index] = data;
    EXPECT_EQ(
        index.sequences().size(), vcf.contigs.size() - [&] {
          std::size_t unused = 0;
          for (const auto& name : vcf.contigs) {
            unused += vcf.text().find("\n" + name + "\t") == std::string::npos;
          }
          return unused;
        }());
    for (std::size_t count : {0, 1, 3, 10, 100, 1000}) {
      const auto regions = random_regions(random, vcf, count);
      ASSERT_EQ(indexed_answer(path, index, regions), scan_answer(vcf, regions))
          << GetParam().name << " file " << file << " with " << count << " regions";
    }
  }
}

TEST_P(IndexAnswers, EveryRecordOnceWhenEverythingIsSelected) {
  std::mt19937_64 random(7);
  const IndexedData data(random, 3000, 1'000'000, GetParam());
  const auto& [dir, path, vcf, index] = data;
  const std::vector<Region> everything{{"", 0, 1ULL << 40}};
  ASSERT_EQ(indexed_answer(path, index, everything), scan_answer(vcf, everything));
}

// htslib is given only the bins a plan's intervals meet: its answer must be the one it gives
// from the whole index file.
TEST_P(IndexAnswers, RangesEqualHtslibsFromTheWholeIndex) {
  std::mt19937_64 random(8);
  const IndexedData data(random, 3000, 2'000'000, GetParam());
  const auto& [dir, path, vcf, index] = data;
  std::unique_ptr<hts_idx_t, void (*)(hts_idx_t*)> whole(
      hts_idx_load3(path.c_str(), (path + GetParam().suffix).c_str(),
                    index.format() == Index::Format::tbi ? HTS_FMT_TBI : HTS_FMT_CSI, 0),
      hts_idx_destroy);
  ASSERT_TRUE(whole);
  for (std::size_t count : {1, 3, 10, 100}) {
    std::vector<Region> regions = random_regions(random, vcf, count);
    std::erase_if(regions, [](const Region& region) { return region.sequence.empty(); });
    const hts::QueryPlan plan = index.plan(regions);
    std::vector<hts::VirtualRange> expected;
    for (const auto& interval : plan.named) {
      std::unique_ptr<hts_itr_t, void (*)(hts_itr_t*)> iterator(
          hts_itr_query(whole.get(), interval.tid, interval.begin, interval.end, tbx_readrec),
          hts_itr_destroy);
      ASSERT_TRUE(iterator);
      for (int i = 0; i < iterator->n_off; ++i) {
        if (iterator->off[i].v > iterator->off[i].u) {
          expected.push_back({iterator->off[i].u, iterator->off[i].v, interval.tid});
        }
      }
    }
    std::sort(expected.begin(), expected.end(),
              [](const auto& a, const auto& b) { return a.begin < b.begin; });
    std::vector<hts::VirtualRange> joined;
    for (const auto& range : expected) {
      if (!joined.empty() && range.begin <= joined.back().end) {
        joined.back().end = std::max(joined.back().end, range.end);
      } else {
        joined.push_back(range);
      }
    }
    EXPECT_EQ(index.ranges(plan), joined) << GetParam().name << " with " << count << " regions";
  }
}

INSTANTIATE_TEST_SUITE_P(Makers, IndexAnswers, ::testing::ValuesIn(makers),
                         [](const auto& parameter) { return std::string(parameter.param.name); });

TEST(Index, StatisticsCountTheRecordsOfEachSequence) {
  std::mt19937_64 random(3);
  TempDir dir;
  const std::string path = dir.path("data.vcf.gz");
  const RandomVcf vcf = random_vcf(random, 500, 100'000);
  make_indexed(dir, path, vcf, makers[0]);
  const Index index = load_beside(path);
  EXPECT_EQ(index.format(), Index::Format::tbi);
  EXPECT_EQ(index.min_shift(), 14);
  EXPECT_EQ(index.depth(), 5);
  std::uint64_t total = 0;
  for (int tid = 0; tid < static_cast<int>(index.sequences().size()); ++tid) {
    const auto records = index.records(tid);
    ASSERT_TRUE(records);
    total += *records;
  }
  EXPECT_EQ(total, vcf.records.size());
}

TEST(Index, CsiGivesItsMinShiftAndDepth) {
  std::mt19937_64 random(4);
  TempDir dir;
  const std::string path = dir.path("data.vcf.gz");
  write_file(dir.path("plain.vcf"), random_vcf(random, 200, 100'000).text());
  run("bgzip -c " + shell_quoted(dir.path("plain.vcf")) + " > " + shell_quoted(path));
  run("bcftools index -f -c -m 12 " + shell_quoted(path));
  const Index index = load_beside(path);
  EXPECT_EQ(index.format(), Index::Format::csi);
  EXPECT_EQ(index.min_shift(), 12);
  EXPECT_GE(index.depth(), 5);
}

TEST(Index, PlanGathersSitesOfNeighbouringBinsInAnyOrder) {
  TempDir dir;
  const std::string path = dir.path("data.vcf.gz");
  RandomVcf vcf;
  vcf.contigs = {"chr1", "chr2"};
  vcf.header = {"##fileformat=VCFv4.2", "##contig=<ID=chr1>", "##contig=<ID=chr2>",
                "#CHROM\tPOS\tID\tREF\tALT\tQUAL\tFILTER\tINFO"};
  for (const char* site : {"chr1\t100", "chr1\t16000", "chr1\t1000000", "chr2\t500"}) {
    vcf.records.push_back(std::string(site) + "\t.\tA\tC\t.\t.\t.");
  }
  write_indexed(path, vcf, Index::Format::tbi, path + ".tbi");
  const Index index = load_beside(path);
  std::vector<Region> regions{{"chr1", 100, 100},         {"chr1", 16000, 16000},
                              {"chr1", 20000, 20000},     {"chr1", 1'000'000, 1'000'000},
                              {"no-such-sequence", 1, 1}, {"chr1", 5'000'000, 5'000'000}};
  // Sites ask for their whole 16 kbp bin; the first three fill two neighbouring bins, and a
  // site past the sequence's last record asks for nothing.
  const auto check_named = [](const hts::QueryPlan& plan) {
    ASSERT_EQ(plan.named.size(), 2U);
    EXPECT_EQ(plan.named[0].begin, 0);
    EXPECT_EQ(plan.named[0].end, 2 << 14);
    EXPECT_EQ(plan.named[1].begin, (999'999 >> 14) << 14);
    EXPECT_EQ(plan.named[1].end, ((999'999 >> 14) + 1) << 14);
    EXPECT_TRUE(plan.everywhere.empty());
    EXPECT_EQ(plan.queries(), 2U);
  };
  check_named(index.plan(regions));
  std::reverse(regions.begin(), regions.end());
  check_named(index.plan(regions));
  std::swap(regions[1], regions[4]);
  check_named(index.plan(regions));

  const std::vector<Region> everywhere{
      {"", 5, 5}, {"", 6, 70}, {"", 900'000, 900'000}, {"", 9'000'000, 9'000'000}};
  const auto spread = index.plan(everywhere);
  EXPECT_TRUE(spread.named.empty());
  ASSERT_EQ(spread.everywhere.size(), 2U);
  EXPECT_EQ(spread.queries(), 2 * index.sequences().size());
}

// ---- Stale and damaged indexes -------------------------------------------------------------

struct Damage {
  const char* name;
  IndexProblem::Kind kind;
  void (*apply)(const TempDir& dir, const std::string& data, const std::string& index);
};

void set_mtime(const std::string& path, long seconds_ago) {
  struct timeval times[2];
  ::gettimeofday(&times[0], nullptr);
  times[0].tv_sec -= seconds_ago;
  times[1] = times[0];
  ASSERT_EQ(::utimes(path.c_str(), times), 0);
}

const Damage damages[] = {
    {"missing", IndexProblem::Kind::missing,
     [](const TempDir&, const std::string&, const std::string& index) {
       std::filesystem::remove(index);
     }},
    {"older_than_data", IndexProblem::Kind::stale,
     [](const TempDir&, const std::string&, const std::string& index) { set_mtime(index, 100); }},
    {"truncated_between_blocks", IndexProblem::Kind::unreadable,
     [](const TempDir&, const std::string&, const std::string& index) {
       const std::string bytes = read_file(index);
       write_file(index, bytes.substr(0, bytes.size() - 28));  // without the end-of-file block
     }},
    {"truncated_in_a_block", IndexProblem::Kind::unreadable,
     [](const TempDir&, const std::string&, const std::string& index) {
       const std::string bytes = read_file(index);
       write_file(index, bytes.substr(0, bytes.size() / 2));
     }},
    {"garbage", IndexProblem::Kind::unreadable,
     [](const TempDir&, const std::string&, const std::string& index) {
       write_file(index, std::string(5000, 'g'));
     }},
    {"not_an_index", IndexProblem::Kind::unreadable,
     [](const TempDir&, const std::string& data, const std::string& index) {
       std::filesystem::copy_file(data, index, std::filesystem::copy_options::overwrite_existing);
     }},
    {"empty", IndexProblem::Kind::unreadable,
     [](const TempDir&, const std::string&, const std::string& index) { write_file(index, ""); }},
    {"of_a_longer_file", IndexProblem::Kind::stale,
     [](const TempDir& dir, const std::string& data, const std::string& index) {
       std::mt19937_64 random(99);
       const std::string longer = dir.path("longer.vcf.gz");
       write_indexed(longer, random_vcf(random, 20000, 1'000'000), Index::Format::tbi,
                     longer + ".tbi");
       std::filesystem::copy_file(longer + ".tbi", index,
                                  std::filesystem::copy_options::overwrite_existing);
       (void)data;
     }},
};

class DamagedIndex : public ::testing::TestWithParam<Damage> {};

TEST_P(DamagedIndex, IsReportedNotUsed) {
  std::mt19937_64 random(11);
  TempDir dir;
  const std::string path = dir.path("data.vcf.gz");
  write_indexed(path, random_vcf(random, 300, 200'000), Index::Format::tbi, path + ".tbi");
  GetParam().apply(dir, path, path + ".tbi");
  IndexProblem problem;
  // Offsets past the data's end are met by a query of the sequences that hold them.
  if (auto index = Index::load(path, std::nullopt, problem)) {
    auto found = index->check(index->plan(std::vector<Region>{{"", 1, 1'000'000}}));
    ASSERT_TRUE(found);
    problem = std::move(*found);
  }
  EXPECT_EQ(problem.kind, GetParam().kind) << problem.message;
  EXPECT_FALSE(problem.message.empty());
}

INSTANTIATE_TEST_SUITE_P(Damages, DamagedIndex, ::testing::ValuesIn(damages),
                         [](const auto& parameter) { return std::string(parameter.param.name); });

// ---- Damage in one sequence ----------------------------------------------------------------

// Rewrites the inflated bytes of an index file through `edit`, given where sequence 1's first
// bin that is not the statistics' begins.
void edit_index(const TempDir& dir, const std::string& index,
                void (*edit)(std::string& bytes, std::size_t bin)) {
  const std::string raw = dir.path("raw");
  run("bgzip -dc " + shell_quoted(index) + " > " + shell_quoted(raw));
  std::string bytes = read_file(raw);
  hts::IndexLayout layout;
  ASSERT_FALSE(hts::check_index_layout(bytes, layout));
  const auto u32 = [&bytes](std::size_t at) {
    std::uint32_t value = 0;
    for (int i = 3; i >= 0; --i) value = value << 8 | static_cast<unsigned char>(bytes[at + i]);
    return value;
  };
  std::size_t bin = layout.sections[1] + 4;  // past the count of bins
  while (u32(bin) == 37450) bin += 8 + 2 * 16;
  edit(bytes, bin);
  write_file(raw, bytes);
  run("bgzip -c " + shell_quoted(raw) + " > " + shell_quoted(index));
}

void put32_at(std::string& bytes, std::size_t at, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) bytes[at + i] = static_cast<char>(value >> (8 * i));
}

struct SequenceDamage {
  const char* name;
  // Given the bin's place: its number, chunk count, then each chunk's begin and end.
  void (*edit)(std::string& bytes, std::size_t bin);
  std::optional<IndexProblem::Kind> kind;  // none: the load refuses the index
};

const SequenceDamage sequence_damages[] = {
    {"bin_outside_the_scheme", [](std::string& b, std::size_t bin) { put32_at(b, bin, 37449); },
     IndexProblem::Kind::unreadable},
    {"chunk_ending_before_it_begins",
     [](std::string& b, std::size_t bin) {
       put32_at(b, bin + 16, 0);  // the first chunk's end
       put32_at(b, bin + 20, 0);
     },
     IndexProblem::Kind::unreadable},
    {"chunk_past_the_data", [](std::string& b, std::size_t bin) { put32_at(b, bin + 20, 0x7FFF); },
     IndexProblem::Kind::stale},
    {"negative_chunk_count", [](std::string& b, std::size_t bin) { put32_at(b, bin + 4, ~0U); },
     std::nullopt},
};

class DamagedSequence : public ::testing::TestWithParam<SequenceDamage> {};

// htslib sees only the sequences a query touches, checked: damage elsewhere goes unread, and
// damage in the layout that finding each sequence needs refuses the index at once.
TEST_P(DamagedSequence, RefusesOnlyQueriesThatTouchIt) {
  TempDir dir;
  const std::string path = dir.path("data.vcf.gz");
  RandomVcf vcf;
  vcf.contigs = {"chr1", "chr2"};
  vcf.header = {"##fileformat=VCFv4.2", "#CHROM\tPOS\tID\tREF\tALT\tQUAL\tFILTER\tINFO"};
  for (const char* site : {"chr1\t100", "chr1\t70000", "chr2\t500", "chr2\t90000"}) {
    vcf.records.push_back(std::string(site) + "\t.\tA\tC\t.\t.\t.");
  }
  write_indexed(path, vcf, Index::Format::tbi, path + ".tbi");
  edit_index(dir, path + ".tbi", GetParam().edit);
  IndexProblem problem;
  std::optional<Index> index = Index::load(path, std::nullopt, problem);
  if (!GetParam().kind) {
    EXPECT_FALSE(index);
    EXPECT_EQ(problem.kind, IndexProblem::Kind::unreadable) << problem.message;
    return;
  }
  ASSERT_TRUE(index) << problem.message;
  const std::vector<Region> elsewhere{{"chr1", 100, 100}, {"chr1", 1, 80000}};
  EXPECT_FALSE(index->check(index->plan(elsewhere)));
  EXPECT_EQ(indexed_answer(path, *index, elsewhere), scan_answer(vcf, elsewhere));
  for (const std::vector<Region>& touching :
       {std::vector<Region>{{"chr2", 500, 500}}, std::vector<Region>{{"", 100, 100}}}) {
    const hts::QueryPlan plan = index->plan(touching);
    const auto damaged = index->check(plan);
    ASSERT_TRUE(damaged);
    EXPECT_EQ(damaged->kind, *GetParam().kind) << damaged->message;
    EXPECT_NE(damaged->message.find(path + ".tbi"), std::string::npos) << damaged->message;
    EXPECT_THROW(index->ranges(plan), hts::IndexDamaged);
  }
  EXPECT_FALSE(index->records(1));
  EXPECT_TRUE(index->records(0));
}

INSTANTIATE_TEST_SUITE_P(Damages, DamagedSequence, ::testing::ValuesIn(sequence_damages),
                         [](const auto& parameter) { return std::string(parameter.param.name); });

TEST(Index, ExplicitPathIsUsedWhateverItsName) {
  std::mt19937_64 random(12);
  TempDir dir;
  const std::string path = dir.path("data.vcf.gz");
  const RandomVcf vcf = random_vcf(random, 300, 200'000);
  write_indexed(path, vcf, Index::Format::csi, dir.path("elsewhere.idx"));
  IndexProblem problem;
  EXPECT_FALSE(Index::load(path, std::nullopt, problem));
  EXPECT_EQ(problem.kind, IndexProblem::Kind::missing);
  auto index = Index::load(path, dir.path("elsewhere.idx"), problem);
  ASSERT_TRUE(index) << problem.message;
  EXPECT_EQ(index->format(), Index::Format::csi);
  const std::vector<Region> regions{{"", 1, 50000}};
  EXPECT_EQ(indexed_answer(path, *index, regions), scan_answer(vcf, regions));
  EXPECT_FALSE(Index::load(path, dir.path("absent.idx"), problem));
  EXPECT_EQ(problem.kind, IndexProblem::Kind::missing);
}

TEST(Index, NewerOfTwoIndexesBesideTheDataIsUsed) {
  std::mt19937_64 random(13);
  TempDir dir;
  const std::string path = dir.path("data.vcf.gz");
  write_indexed(path, random_vcf(random, 300, 200'000), Index::Format::csi, path + ".csi");
  run("tabix -f -p vcf " + shell_quoted(path));
  set_mtime(path, 50);
  set_mtime(path + ".csi", 20);
  IndexProblem problem;
  auto index = Index::load(path, std::nullopt, problem);
  ASSERT_TRUE(index) << problem.message;
  EXPECT_EQ(index->format(), Index::Format::tbi);
}

TEST(Index, HeaderCheckFindsSequencesTheHeaderLacks) {
  std::mt19937_64 random(14);
  TempDir dir;
  const std::string path = dir.path("data.vcf.gz");
  const RandomVcf vcf = random_vcf(random, 300, 200'000);
  write_indexed(path, vcf, Index::Format::tbi, path + ".tbi");
  const Index index = load_beside(path);
  // The header's bytes, each line ending in \n, or in \r\n.
  const auto text = [](const auto& lines, const char* end) {
    std::string joined;
    for (const std::string& line : lines) joined += line + end;
    return joined;
  };
  bool declares = false;
  EXPECT_FALSE(index.check_header(text(vcf.header, "\n"), declares));
  EXPECT_TRUE(declares);
  EXPECT_FALSE(index.check_header(text(vcf.header, "\r\n"), declares));
  const std::vector<std::string> reversed(vcf.header.rbegin(), vcf.header.rend());
  EXPECT_FALSE(index.check_header(text(reversed, "\n"), declares));
  const std::vector<std::string> without_contigs{"##fileformat=VCFv4.2", "#CHROM\tPOS"};
  EXPECT_FALSE(index.check_header(text(without_contigs, "\n"), declares));
  EXPECT_FALSE(declares);
  const std::vector<std::string> other{"##fileformat=VCFv4.2", "##contig=<ID=chrX,length=9>",
                                       "##contig=<length=5,ID=chrY>", "#CHROM\tPOS"};
  const auto problem = index.check_header(text(other, "\n"), declares);
  ASSERT_TRUE(problem);
  EXPECT_EQ(problem->kind, IndexProblem::Kind::foreign);
  EXPECT_NE(problem->message.find(index.sequences().front()), std::string::npos);
}

}  // namespace
}  // namespace varsift::testing
