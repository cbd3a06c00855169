#include "hts/index_writer.hpp"

#include <gtest/gtest.h>
#include <htslib/bgzf.h>

#include <filesystem>
#include <random>

#include "hts/block_compressor.hpp"
#include "index_fixture.hpp"

namespace varsift::testing {
namespace {

using hts::Index;
using hts::IndexWriter;

struct Peer {
  const char* name;
  Index::Format format;
  const char* suffix;
  const char* own_index;  // the peer's command that indexes a file, for comparison
};

const Peer peers[] = {
    {"tbi", Index::Format::tbi, ".tbi", "tabix -f -p vcf "},
    {"csi", Index::Format::csi, ".csi", "tabix -f -C -p vcf "},
};

class WrittenIndex : public ::testing::TestWithParam<Peer> {};

// Peers answer overlap queries from our index as from their own: the same bins and spans.
TEST_P(WrittenIndex, PeersAnswerFromItAsFromTheirOwn) {
  std::mt19937_64 random(31);
  for (int file = 0; file < 4; ++file) {
    TempDir dir;
    const RandomVcf vcf = random_vcf(random, 2000, 2'000'000);
    const std::string ours = dir.path("ours.vcf.gz");
    write_indexed(ours, vcf, GetParam().format, ours + GetParam().suffix);
    std::filesystem::create_directory(dir.path("theirs"));
    const std::string theirs = dir.path("theirs/ours.vcf.gz");
    std::filesystem::copy_file(ours, theirs);
    run(GetParam().own_index + shell_quoted(theirs));

    EXPECT_EQ(output_of("tabix -l " + shell_quoted(ours)),
              output_of("tabix -l " + shell_quoted(theirs)));
    EXPECT_EQ(output_of("gzip -dc " + shell_quoted(ours + GetParam().suffix)),
              output_of("gzip -dc " + shell_quoted(theirs + GetParam().suffix)));
    for (const auto& region : random_regions(random, vcf, 60)) {
      if (region.sequence.empty() || region.first == 0) continue;
      const std::string one = " " + region.sequence + ":" + std::to_string(region.first) + "-" +
                              std::to_string(region.last);
      ASSERT_EQ(output_of("tabix " + shell_quoted(ours) + one),
                output_of("tabix " + shell_quoted(theirs) + one))
          << one;
    }
    EXPECT_EQ(output_of("bcftools view -H " + shell_quoted(ours) + " -r " +
                        shell_quoted(vcf.contigs.front() + ":1-600000")),
              output_of("bcftools view -H " + shell_quoted(theirs) + " -r " +
                        shell_quoted(vcf.contigs.front() + ":1-600000")));
    EXPECT_EQ(output_of("bcftools index -n " + shell_quoted(ours) + " 2>&1"),
              std::to_string(vcf.records.size()) + "\n");
  }
}

TEST_P(WrittenIndex, SecondPassEqualsThePeersIndex) {
  std::mt19937_64 random(32);
  TempDir dir;
  const RandomVcf vcf = random_vcf(random, 2000, 2'000'000);
  const std::string path = dir.path("data.vcf.gz");
  write_file(dir.path("data.vcf"), vcf.text());
  run("bgzip -@2 -c " + shell_quoted(dir.path("data.vcf")) + " > " + shell_quoted(path));
  const auto problem = hts::index_file(path, dir.path("ours.idx"), GetParam().format, 2);
  ASSERT_FALSE(problem) << *problem;
  run(GetParam().own_index + shell_quoted(path));
  EXPECT_EQ(output_of("gzip -dc " + shell_quoted(dir.path("ours.idx"))),
            output_of("gzip -dc " + shell_quoted(path + GetParam().suffix)));
}

// INFO/END is read as htslib reads it (leading digits, the first END entry, none before POS),
// so that the index is the peer's own, byte for byte.
TEST_P(WrittenIndex, ReadsInfoEndAsThePeerDoes) {
  TempDir dir;
  const char* infos[] = {"END=100000,5", "END=300000.5",           "END=abc", "X=1;END=700000",
                         "XEND=9000000", "END=950000;END=9000000", "END=-5",  "END= 1200000",
                         "END=+1300000", "END=1400000x",           "END=10",  "X=a,END=9000000"};
  RandomVcf vcf;
  vcf.header = {"##fileformat=VCFv4.2", "#CHROM\tPOS\tID\tREF\tALT\tQUAL\tFILTER\tINFO"};
  vcf.contigs = {"c1"};
  std::uint64_t pos = 1000;
  for (const char* info : infos) {
    vcf.records.push_back("c1\t" + std::to_string(pos) + "\t.\tACGT\t<DEL>\t.\t.\t" + info);
    pos += 100000;
  }
  const std::string ours = dir.path("ours.vcf.gz");
  write_indexed(ours, vcf, GetParam().format, ours + GetParam().suffix);
  std::filesystem::create_directory(dir.path("theirs"));
  const std::string theirs = dir.path("theirs/ours.vcf.gz");
  std::filesystem::copy_file(ours, theirs);
  run(GetParam().own_index + shell_quoted(theirs) + " 2>/dev/null");
  EXPECT_EQ(output_of("gzip -dc " + shell_quoted(ours + GetParam().suffix)),
            output_of("gzip -dc " + shell_quoted(theirs + GetParam().suffix)));
}

// Compresses as OutputWriter does, in batches of whole blocks, telling the indexer each block's
// compressed size (BSIZE + 1, from the block's header) once the batch is compressed.
void write_streamed(const std::string& path, const RandomVcf& vcf, const Peer& peer,
                    std::size_t batch_blocks) {
  std::string header;
  for (const auto& line : vcf.header) header += line + "\n";
  hts::StreamIndexer indexer(peer.format);
  std::string text = header;
  for (const auto& line : vcf.records) {
    const std::size_t begin = text.size();
    text += line + "\n";
    const auto problem = indexer.add(line, begin, text.size());
    ASSERT_FALSE(problem) << *problem;
  }
  hts::BlockCompressor compressor(-1, 2);
  std::string compressed;
  for (std::size_t done = 0; done < text.size();) {
    const std::size_t batch = std::min(batch_blocks * BGZF_BLOCK_SIZE, text.size() - done);
    std::string blocks;
    ASSERT_TRUE(compressor.compress(std::string_view(text).substr(done, batch), blocks));
    for (std::size_t at = 0; at < blocks.size();) {
      const auto size =
          (static_cast<std::size_t>(static_cast<unsigned char>(blocks[at + 16])) |
           static_cast<std::size_t>(static_cast<unsigned char>(blocks[at + 17])) << 8) +
          1;
      const auto problem = indexer.block_written(size);
      ASSERT_FALSE(problem) << *problem;
      at += size;
    }
    compressed += blocks;
    done += batch;
  }
  // The end-of-file marker block, as the format defines it.
  static const unsigned char marker[28] = {0x1f, 0x8b, 8,    4,    0, 0, 0,    0, 0, 0xff,
                                           6,    0,    0x42, 0x43, 2, 0, 0x1b, 0, 3, 0,
                                           0,    0,    0,    0,    0, 0, 0,    0};
  compressed.append(reinterpret_cast<const char*>(marker), sizeof marker);
  write_file(path, compressed);
  const auto problem = indexer.save(text.size(), path, path + peer.suffix);
  ASSERT_FALSE(problem) << *problem;
}

TEST_P(WrittenIndex, StreamedOutputIsIndexedAsThePeersIndexIt) {
  std::mt19937_64 random(33);
  for (std::size_t batch_blocks : {1, 3, 16}) {
    TempDir dir;
    const RandomVcf vcf = random_vcf(random, 3000, 2'000'000);
    const std::string path = dir.path("streamed.vcf.gz");
    write_streamed(path, vcf, GetParam(), batch_blocks);
    run("bgzip -t " + shell_quoted(path));
    std::filesystem::create_directory(dir.path("theirs"));
    const std::string theirs = dir.path("theirs/streamed.vcf.gz");
    std::filesystem::copy_file(path, theirs);
    run(GetParam().own_index + shell_quoted(theirs));
    EXPECT_EQ(output_of("gzip -dc " + shell_quoted(path + GetParam().suffix)),
              output_of("gzip -dc " + shell_quoted(theirs + GetParam().suffix)))
        << batch_blocks << " blocks a batch";
  }
}

// Lines that end exactly where a block ends, and a last block ending with the data.
TEST_P(WrittenIndex, StreamedOffsetsAtBlockEndsAreThePeers) {
  RandomVcf vcf;
  vcf.contigs = {"chr1"};
  vcf.header = {"##fileformat=VCFv4.2", "#CHROM\tPOS\tID\tREF\tALT\tQUAL\tFILTER\tINFO"};
  std::size_t size = 0;
  for (const auto& line : vcf.header) size += line.size() + 1;
  for (int pos = 1; pos <= 40; ++pos) {
    const std::string start = "chr1\t" + std::to_string(pos * 100) + "\t.\tA\tC\t50\tPASS\tPAD=";
    // Every fourth record fills its block to the end; the others are short.
    const std::size_t room = BGZF_BLOCK_SIZE - size % BGZF_BLOCK_SIZE;
    const std::size_t pad =
        pos % 4 == 0 && room > start.size() + 1 ? room - start.size() - 1 : 5000;
    vcf.records.push_back(start + std::string(pad, 'x'));
    size += vcf.records.back().size() + 1;
  }
  TempDir dir;
  const std::string path = dir.path("edges.vcf.gz");
  write_streamed(path, vcf, GetParam(), 2);
  std::filesystem::create_directory(dir.path("theirs"));
  const std::string theirs = dir.path("theirs/edges.vcf.gz");
  std::filesystem::copy_file(path, theirs);
  run(GetParam().own_index + shell_quoted(theirs));
  EXPECT_EQ(output_of("gzip -dc " + shell_quoted(path + GetParam().suffix)),
            output_of("gzip -dc " + shell_quoted(theirs + GetParam().suffix)));
}

TEST(StreamIndexer, SavesNothingBeforeEveryBlockIsWritten) {
  TempDir dir;
  hts::StreamIndexer indexer(Index::Format::tbi);
  ASSERT_FALSE(indexer.add("chr1\t5\t.\tA\tC", 10, 30));
  const auto problem = indexer.save(30, dir.path("data.vcf.gz"), dir.path("data.vcf.gz.tbi"));
  ASSERT_TRUE(problem);
  EXPECT_FALSE(std::filesystem::exists(dir.path("data.vcf.gz.tbi")));
}

TEST(IndexFile, RefusesWhatItCannotIndex) {
  TempDir dir;
  write_file(dir.path("plain.vcf"), "#h\nchr1\t5\t.\tA\tC\n");
  auto problem =
      hts::index_file(dir.path("plain.vcf"), dir.path("plain.tbi"), Index::Format::tbi, 1);
  ASSERT_TRUE(problem);
  EXPECT_NE(problem->find("not BGZF"), std::string::npos) << *problem;
  write_file(dir.path("unsorted.vcf"), "#h\nchr1\t5\t.\tA\tC\nchr1\t2\t.\tA\tC\n");
  run("bgzip " + shell_quoted(dir.path("unsorted.vcf")));
  problem =
      hts::index_file(dir.path("unsorted.vcf.gz"), dir.path("unsorted.tbi"), Index::Format::tbi, 1);
  ASSERT_TRUE(problem);
  EXPECT_FALSE(std::filesystem::exists(dir.path("unsorted.tbi")));
}

INSTANTIATE_TEST_SUITE_P(Formats, WrittenIndex, ::testing::ValuesIn(peers),
                         [](const auto& parameter) { return std::string(parameter.param.name); });

struct Refusal {
  const char* name;
  std::vector<std::string> lines;
  const char* reason;
};

const Refusal refusals[] = {
    {"unsorted_positions", {"chr1\t200\t.\tA\tC", "chr1\t100\t.\tA\tC"}, "not sorted"},
    {"sequence_split",
     {"chr1\t1\t.\tA\tC", "chr2\t1\t.\tA\tC", "chr1\t5\t.\tA\tC"},
     "not together"},
    {"no_position", {"chr1"}, "without CHROM and POS"},
    {"position_not_a_number", {"chr1\tx1\t.\tA\tC"}, "without CHROM and POS"},
    {"no_chromosome", {"\t1\t.\tA\tC"}, "without CHROM and POS"},
    {"beyond_tabix", {"chr1\t536870912\t.\tAC\tC"}, "beyond 2^29"},
};

class RefusedRecords : public ::testing::TestWithParam<Refusal> {};

TEST_P(RefusedRecords, AreReportedWithTheReason) {
  IndexWriter writer(Index::Format::tbi, 0);
  std::optional<std::string> problem;
  std::uint64_t offset = 0;
  for (const auto& line : GetParam().lines) {
    offset += line.size() + 1;
    problem = writer.add(line, offset);
    if (problem) break;
  }
  ASSERT_TRUE(problem);
  EXPECT_NE(problem->find(GetParam().reason), std::string::npos) << *problem;
}

INSTANTIATE_TEST_SUITE_P(Records, RefusedRecords, ::testing::ValuesIn(refusals),
                         [](const auto& parameter) { return std::string(parameter.param.name); });

TEST(IndexWriter, ReportsAnIndexItCannotWrite) {
  TempDir dir;
  IndexWriter writer(Index::Format::csi, 0);
  ASSERT_FALSE(writer.add("chr1\t5\t.\tA\tC", 20));
  const auto problem = writer.save(20, dir.path("data.vcf.gz"), dir.path("no/such/dir.csi"));
  ASSERT_TRUE(problem);
  EXPECT_NE(problem->find("no/such/dir.csi"), std::string::npos) << *problem;
}

}  // namespace
}  // namespace varsift::testing
