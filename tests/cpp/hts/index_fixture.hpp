#pragma once

#include <cstdint>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "hts/index.hpp"

typedef struct BGZF BGZF;

namespace varsift::testing {

// A fresh temporary directory, removed with everything in it.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  std::string path(const std::string& name) const { return directory_ + "/" + name; }

 private:
  std::string directory_;
};

void write_file(const std::string& path, const std::string& contents);
std::string read_file(const std::string& path);
// Runs a shell command line; fails the test unless it exits with 0.
void run(const std::string& command);
// Runs a shell command line and gives its standard output; fails the test unless it exits 0.
std::string output_of(const std::string& command);
std::string shell_quoted(const std::string& path);

struct RandomVcf {
  std::vector<std::string> header;
  std::vector<std::string> records;
  std::vector<std::string> contigs;
  std::string text() const;
};

// A sorted VCF over a few sequences with repeated positions, deletions long enough to overlap
// later sites, and symbolic alleles with INFO END.
RandomVcf random_vcf(std::mt19937_64& random, std::size_t records, std::uint64_t span);

// Random regions over the file's sequences: sites that exist, sites that do not, ranges, and
// positions on any sequence.
std::vector<hts::Region> random_regions(std::mt19937_64& random, const RandomVcf& vcf,
                                        std::size_t count);

// What a scan keeps: the header, then each record whose CHROM and POS some region selects.
std::vector<std::string> scan_answer(const RandomVcf& vcf, std::span<const hts::Region> regions);

// Reads the header and the lines in `ranges` through the indexed source and keeps the records
// the regions select, as a scan would.
std::vector<std::string> indexed_answer(BGZF* file, const std::vector<hts::VirtualRange>& ranges,
                                        std::span<const hts::Region> regions);

// The same through an index loaded beside (or at) the given path.
std::vector<std::string> indexed_answer(const std::string& data_path, const hts::Index& index,
                                        std::span<const hts::Region> regions);

bool selected(std::string_view line, std::span<const hts::Region> regions);

}  // namespace varsift::testing

namespace varsift::testing {

// Writes the VCF as BGZF with htslib, indexing it as it goes into `index_path`.
void write_indexed(const std::string& path, const RandomVcf& vcf, hts::Index::Format format,
                   const std::string& index_path);

}  // namespace varsift::testing
