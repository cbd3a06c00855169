#include "index_fixture.hpp"

#include <gtest/gtest.h>
#include <htslib/bgzf.h>
#include <stdlib.h>

#include <array>
#include <charconv>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>

#include "core/line_reader.hpp"
#include "hts/index_reader.hpp"

namespace varsift::testing {

TempDir::TempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "varsift-index-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  directory_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(directory_, ignored);
}

void write_file(const std::string& path, const std::string& contents) {
  std::ofstream(path, std::ios::binary) << contents;
}

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

std::string shell_quoted(const std::string& path) { return "'" + path + "'"; }

void run(const std::string& command) { ASSERT_EQ(std::system(command.c_str()), 0) << command; }

std::string output_of(const std::string& command) {
  std::unique_ptr<FILE, int (*)(FILE*)> pipe(::popen(command.c_str(), "r"), ::pclose);
  if (!pipe) {
    ADD_FAILURE() << "cannot run " << command;
    return {};
  }
  std::string output;
  std::array<char, 65536> buffer;
  std::size_t got;
  while ((got = std::fread(buffer.data(), 1, buffer.size(), pipe.get())) > 0) {
    output.append(buffer.data(), got);
  }
  EXPECT_EQ(::pclose(pipe.release()), 0) << command;
  return output;
}

std::string RandomVcf::text() const {
  std::string text;
  for (const auto& line : header) text += line + "\n";
  for (const auto& line : records) text += line + "\n";
  return text;
}

RandomVcf random_vcf(std::mt19937_64& random, std::size_t records, std::uint64_t span) {
  const auto uniform = [&](std::uint64_t low, std::uint64_t high) {
    return std::uniform_int_distribution<std::uint64_t>(low, high)(random);
  };
  RandomVcf vcf;
  const std::size_t sequences = uniform(1, 4);
  for (std::size_t i = 0; i < sequences; ++i) vcf.contigs.push_back("chr" + std::to_string(i + 1));
  vcf.header.push_back("##fileformat=VCFv4.2");
  for (const auto& name : vcf.contigs) {
    vcf.header.push_back("##contig=<ID=" + name + ",length=" + std::to_string(span * 4) + ">");
  }
  vcf.header.push_back("##INFO=<ID=END,Number=1,Type=Integer,Description=\"End\">");
  vcf.header.push_back("#CHROM\tPOS\tID\tREF\tALT\tQUAL\tFILTER\tINFO");
  const std::string bases = "ACGT";
  for (std::size_t s = 0; s < sequences; ++s) {
    const std::size_t count = s + 1 == sequences ? records : uniform(0, records);
    records -= count;
    std::uint64_t pos = uniform(1, 2000);
    for (std::size_t r = 0; r < count; ++r) {
      const std::uint64_t kind = uniform(0, 99);
      std::string ref(1, bases[uniform(0, 3)]);
      std::string alt(1, bases[uniform(0, 3)]);
      std::string info = "DP=" + std::to_string(uniform(1, 99));
      if (kind < 5) {
        ref.append(uniform(1, 40000), 'A');  // a deletion reaching many bins ahead
      } else if (kind < 8) {
        alt = "<DEL>";
        info += ";END=" + std::to_string(pos + uniform(1, 100000));
      } else if (kind < 9) {
        info += ";PAD=" + std::string(uniform(1, 150000), 'x');  // a line across blocks
      }
      vcf.records.push_back(vcf.contigs[s] + "\t" + std::to_string(pos) + "\t.\t" + ref + "\t" +
                            alt + "\t50\tPASS\t" + info);
      const std::uint64_t step = uniform(0, 99);
      pos += step < 10 ? 0 : step < 90 ? uniform(1, span / 200 + 1) : uniform(1, span / 10 + 1);
    }
  }
  return vcf;
}

std::vector<hts::Region> random_regions(std::mt19937_64& random, const RandomVcf& vcf,
                                        std::size_t count) {
  const auto uniform = [&](std::uint64_t low, std::uint64_t high) {
    return std::uniform_int_distribution<std::uint64_t>(low, high)(random);
  };
  std::vector<hts::Region> regions;
  for (std::size_t i = 0; i < count; ++i) {
    const std::uint64_t kind = uniform(0, 9);
    if (kind < 5 && !vcf.records.empty()) {
      const std::string& record = vcf.records[uniform(0, vcf.records.size() - 1)];
      const std::size_t tab = record.find('\t');
      const std::uint64_t pos = std::stoull(record.substr(tab + 1));
      regions.push_back({kind == 0 ? "" : record.substr(0, tab), pos, pos});
    } else {
      const std::string sequence =
          kind == 9 ? "chrUn" : vcf.contigs[uniform(0, vcf.contigs.size() - 1)];
      const std::uint64_t first = uniform(0, 3'000'000);
      const std::uint64_t last = kind < 7 ? first : first + uniform(0, 50000);
      regions.push_back({kind == 5 ? "" : sequence, first, last});
    }
  }
  return regions;
}

bool selected(std::string_view line, std::span<const hts::Region> regions) {
  const std::size_t tab = line.find('\t');
  const std::string_view chrom = line.substr(0, tab);
  const std::string_view rest = line.substr(tab + 1);
  std::uint64_t pos = 0;
  std::from_chars(rest.data(), rest.data() + rest.size(), pos);
  for (const hts::Region& region : regions) {
    if ((region.sequence.empty() || region.sequence == chrom) && region.first <= pos &&
        pos <= region.last) {
      return true;
    }
  }
  return false;
}

std::vector<std::string> scan_answer(const RandomVcf& vcf, std::span<const hts::Region> regions) {
  std::vector<std::string> kept = vcf.header;
  for (const auto& record : vcf.records) {
    if (selected(record, regions)) kept.push_back(record);
  }
  return kept;
}

std::vector<std::string> indexed_answer(BGZF* file, const std::vector<hts::VirtualRange>& ranges,
                                        std::span<const hts::Region> regions) {
  hts::IndexedSource source(file, ranges);
  core::LineReader reader(source);
  std::vector<std::string> kept;
  for (;;) {
    const auto status = reader.next();
    if (status == core::LineReader::Status::end) break;
    if (status == core::LineReader::Status::error) {
      ADD_FAILURE() << "read error: " << reader.error().display();
      break;
    }
    const std::string_view line = reader.line();
    if (line.starts_with('#') || selected(line, regions)) kept.emplace_back(line);
  }
  return kept;
}

std::vector<std::string> indexed_answer(const std::string& data_path, const hts::Index& index,
                                        std::span<const hts::Region> regions) {
  std::unique_ptr<BGZF, int (*)(BGZF*)> file(bgzf_open(data_path.c_str(), "r"), bgzf_close);
  if (!file) {
    ADD_FAILURE() << "cannot open " << data_path;
    return {};
  }
  return indexed_answer(file.get(), index.ranges(index.plan(regions)), regions);
}

}  // namespace varsift::testing

#include "hts/index_writer.hpp"

namespace varsift::testing {

void write_indexed(const std::string& path, const RandomVcf& vcf, hts::Index::Format format,
                   const std::string& index_path) {
  std::unique_ptr<BGZF, int (*)(BGZF*)> file(bgzf_open(path.c_str(), "w"), bgzf_close);
  ASSERT_TRUE(file);
  for (const auto& line : vcf.header) {
    const std::string text = line + "\n";
    ASSERT_EQ(bgzf_write(file.get(), text.data(), text.size()), static_cast<ssize_t>(text.size()));
  }
  hts::IndexWriter writer(format, static_cast<std::uint64_t>(bgzf_tell(file.get())));
  for (const auto& line : vcf.records) {
    const std::string text = line + "\n";
    ASSERT_EQ(bgzf_write(file.get(), text.data(), text.size()), static_cast<ssize_t>(text.size()));
    const auto problem = writer.add(line, static_cast<std::uint64_t>(bgzf_tell(file.get())));
    ASSERT_FALSE(problem) << *problem;
  }
  ASSERT_EQ(bgzf_flush(file.get()), 0);
  const auto data_end = static_cast<std::uint64_t>(bgzf_tell(file.get()));
  ASSERT_EQ(bgzf_close(file.release()), 0);
  const auto problem = writer.save(data_end, path, index_path);
  ASSERT_FALSE(problem) << *problem;
}

}  // namespace varsift::testing
