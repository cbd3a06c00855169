// Throughput of the subsetting core on large generated VCFs, beside `wc -l` on the same
// page-cached file measured in the same run.
//
//   core_bench [--dir DIR] [--mb SIZE] [--shapes narrow,wide] [--repeat N]
//   core_bench --lookup        compares a scan with a hashed look-up for short lists
//
// Files are generated once into DIR (default bench/data/core) and reused afterwards.

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "core/file_source.hpp"
#include "core/line_reader.hpp"
#include "core/position_set.hpp"
#include "core/subset.hpp"

namespace {

using Clock = std::chrono::steady_clock;
using varsift::core::PositionList;
using varsift::core::PositionSet;

constexpr int chromosomes = 22;

struct Shape {
  std::string name;
  int samples;
};

// The position of the `index`th record of a chromosome: increasing in irregular steps, and
// never the same on two chromosomes (the last two digits tell the chromosome apart).
std::uint64_t position_of(int chromosome, std::uint64_t index) {
  return 10000 + index * 100 + static_cast<std::uint64_t>(chromosome) * 4 +
         (index * 2654435761U >> 7) % 4;
}

// A position that no record has: no chromosome uses 95 as its last two digits.
std::uint64_t absent_position(std::uint64_t index) { return 10000 + index * 100 + 95; }

std::string header(int samples) {
  std::string text = "##fileformat=VCFv4.2\n##fileDate=20261208\n##source=varsift-bench\n";
  text += "##reference=GRCh38\n";
  for (int c = 1; c <= chromosomes; ++c) {
    text += "##contig=<ID=chr" + std::to_string(c) + ",length=248956422>\n";
  }
  text +=
      "##INFO=<ID=AC,Number=A,Type=Integer,Description=\"Allele count\">\n"
      "##INFO=<ID=AF,Number=A,Type=Float,Description=\"Allele frequency\">\n"
      "##INFO=<ID=AN,Number=1,Type=Integer,Description=\"Total alleles\">\n"
      "##INFO=<ID=DP,Number=1,Type=Integer,Description=\"Depth\">\n"
      "##INFO=<ID=MQ,Number=1,Type=Float,Description=\"Mapping quality\">\n"
      "##FILTER=<ID=PASS,Description=\"All filters passed\">\n"
      "##FILTER=<ID=q10,Description=\"Quality below 10\">\n"
      "##FORMAT=<ID=GT,Number=1,Type=String,Description=\"Genotype\">\n"
      "##FORMAT=<ID=AD,Number=R,Type=Integer,Description=\"Allelic depths\">\n"
      "##FORMAT=<ID=DP,Number=1,Type=Integer,Description=\"Read depth\">\n"
      "#CHROM\tPOS\tID\tREF\tALT\tQUAL\tFILTER\tINFO\tFORMAT";
  for (int s = 0; s < samples; ++s) text += "\tS" + std::to_string(s + 1);
  return text + "\n";
}

// Writes about `bytes` bytes of records, spread evenly over the chromosomes. Gives the number
// of records per chromosome.
std::uint64_t generate(const std::string& path, const Shape& shape, std::uint64_t bytes) {
  std::FILE* out = std::fopen(path.c_str(), "wb");
  if (out == nullptr) {
    std::perror(path.c_str());
    std::exit(1);
  }
  const std::string head = header(shape.samples);
  std::fwrite(head.data(), 1, head.size(), out);
  std::mt19937_64 random(42);
  static const char* const bases[] = {"A", "C", "G", "T"};
  static const char* const genotypes[] = {"0/0", "0/1", "1/1", "0|1", "./."};
  std::string line;
  // Size one record to know how many to write.
  auto make = [&](int chromosome, std::uint64_t index) {
    line.clear();
    const std::uint64_t r = random();
    line += "chr" + std::to_string(chromosome) + "\t" +
            std::to_string(position_of(chromosome, index)) + "\trs" +
            std::to_string(100000 + index * chromosomes + chromosome) + "\t" + bases[r % 4] + "\t" +
            bases[(r >> 2) % 4] + "\t" + std::to_string(20 + (r >> 4) % 80) + "." +
            std::to_string((r >> 11) % 10) + "\t" + ((r >> 14) % 9 ? "PASS" : "q10") +
            "\tAC=" + std::to_string(1 + (r >> 18) % 9) + ";AF=0." +
            std::to_string(100 + (r >> 22) % 900) + ";AN=" + std::to_string(2 * shape.samples) +
            ";DP=" + std::to_string(10 + (r >> 32) % 500) +
            ";MQ=" + std::to_string(40 + (r >> 41) % 20) + "\tGT:AD:DP";
    for (int s = 0; s < shape.samples; ++s) {
      const std::uint64_t g = random();
      const std::uint64_t ref = g % 40, alt = (g >> 8) % 40;
      line += "\t";
      line += genotypes[(g >> 16) % 5];
      line +=
          ":" + std::to_string(ref) + "," + std::to_string(alt) + ":" + std::to_string(ref + alt);
    }
    line += "\n";
  };
  make(1, 0);
  const std::uint64_t per_chromosome =
      std::max<std::uint64_t>(1, bytes / line.size() / chromosomes);
  for (int c = 1; c <= chromosomes; ++c) {
    for (std::uint64_t i = 0; i < per_chromosome; ++i) {
      make(c, i);
      std::fwrite(line.data(), 1, line.size(), out);
    }
  }
  std::fclose(out);
  return per_chromosome;
}

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

template <class F>
double best_of(int repeat, F&& run) {
  double best = 1e300;
  for (int i = 0; i < repeat; ++i) {
    const auto start = Clock::now();
    run();
    best = std::min(best, seconds_since(start));
  }
  return best;
}

// Reads the whole file with 8 KiB reads and nothing else: the cost of the system calls.
void read_only(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  static char buffer[varsift::core::FileSource::buffer_size];
  while (::read(fd, buffer, sizeof(buffer)) > 0) {
  }
  ::close(fd);
}

std::uint64_t reader_only(const std::string& path) {
  auto opened = varsift::core::File::open(path);
  varsift::core::FileSource source(std::get<varsift::core::File>(std::move(opened)));
  varsift::core::LineReader reader(source);
  std::uint64_t lines = 0;
  while (reader.next() == varsift::core::LineReader::Status::line) ++lines;
  return lines;
}

// Half the positions occur in the file and half do not, or none occur.
PositionList positions(std::size_t count, bool half_present, std::uint64_t per_chromosome,
                       std::mt19937_64& random) {
  PositionList list;
  list.reserve(count);
  for (std::size_t i = 0; i < count; ++i) {
    const std::uint64_t index = random() % per_chromosome;
    const int chromosome = 1 + static_cast<int>(random() % chromosomes);
    list.push_back(half_present && i % 2 ? position_of(chromosome, index) : absent_position(index));
  }
  return list;
}

void run_shape(const std::string& directory, const Shape& shape, std::uint64_t megabytes,
               int repeat) {
  const std::string path = directory + "/" + shape.name + ".vcf";
  const std::string size_path = path + ".records";
  std::uint64_t per_chromosome = 0;
  if (std::FILE* f = std::fopen(size_path.c_str(), "r")) {
    if (std::fscanf(f, "%lu", &per_chromosome) != 1) per_chromosome = 0;
    std::fclose(f);
  }
  if (per_chromosome == 0 || !std::filesystem::exists(path)) {
    std::fprintf(stderr, "generating %s ...\n", path.c_str());
    per_chromosome = generate(path, shape, megabytes << 20);
    std::FILE* f = std::fopen(size_path.c_str(), "w");
    std::fprintf(f, "%lu\n", per_chromosome);
    std::fclose(f);
  }
  const double mb = static_cast<double>(std::filesystem::file_size(path)) / 1e6;
  read_only(path);  // into the page cache

  const std::string wc = "wc -l < '" + path + "' > /dev/null";
  const double wc_seconds = best_of(repeat, [&] {
    if (std::system(wc.c_str()) != 0) std::exit(1);
  });
  const double wc_rate = mb / wc_seconds;
  std::printf("\n%s: %d samples, %.0f MB, %lu records, %.0f bytes per record\n", shape.name.c_str(),
              shape.samples, mb, per_chromosome * chromosomes,
              mb * 1e6 / static_cast<double>(per_chromosome * chromosomes));
  std::printf("%-28s %10s %10s %12s\n", "run", "MB/s", "x wc -l", "kept lines");
  auto row = [&](const std::string& name, double seconds, std::uint64_t kept) {
    std::printf("%-28s %10.0f %10.2f %12lu\n", name.c_str(), mb / seconds, mb / seconds / wc_rate,
                kept);
    std::fflush(stdout);
  };
  row("wc -l (floor)", wc_seconds, 0);
  row("read() 8 KiB, nothing else", best_of(repeat, [&] { read_only(path); }), 0);
  std::uint64_t lines = 0;
  row("line reader (split + UTF-8)", best_of(repeat, [&] { lines = reader_only(path); }), lines);

  std::mt19937_64 random(7);
  struct Run {
    std::size_t count;
    bool half_present;
  };
  for (const Run run :
       {Run{0, true}, Run{10, true}, Run{10000, true}, Run{1000000, true}, Run{1000000, false}}) {
    const PositionList wanted = positions(run.count, run.half_present, per_chromosome, random);
    std::uint64_t kept = 0;
    const double seconds = best_of(repeat, [&] {
      const auto result = varsift::core::subset_vcf(path, wanted);
      kept = result.data.size();
    });
    row("subset_vcf, " + std::to_string(run.count) + (run.half_present ? "" : " absent") +
            " positions",
        seconds, kept);
  }
}

// Time per look-up of a scan and of the sorted or hashed look-up, for short lists, with the
// ascending look-ups of a sorted file and the scattered ones of an unsorted file.
void compare_lookups() {
  std::mt19937_64 random(3);
  std::printf("%8s %12s %12s %12s %12s\n", "entries", "sorted scan", "sorted set", "random scan",
              "random set");
  for (const std::size_t size : {1, 2, 4, 8, 12, 16, 24, 32, 48, 64}) {
    PositionList list;
    for (std::size_t i = 0; i < size; ++i) list.push_back(random() % 1000000);
    std::vector<std::uint64_t> scattered(1 << 20);
    for (auto& p : scattered) p = random() % 1000000;
    std::vector<std::uint64_t> ascending = scattered;
    std::sort(ascending.begin(), ascending.end());
    auto measure = [&](std::size_t limit, const std::vector<std::uint64_t>& probes) {
      std::uint64_t hits = 0;
      const double seconds = best_of(5, [&] {
        PositionSet set(list, limit);
        for (const std::uint64_t p : probes) hits += set.contains(p);
      });
      if (hits == 42) std::puts("");  // keeps the loop
      return seconds * 1e9 / static_cast<double>(probes.size());
    };
    std::printf("%8zu %12.2f %12.2f %12.2f %12.2f\n", size, measure(SIZE_MAX, ascending),
                measure(0, ascending), measure(SIZE_MAX, scattered), measure(0, scattered));
  }
}

}  // namespace

int main(int argc, char** argv) {
  std::string directory = "bench/data/core";
  std::uint64_t megabytes = 1024;
  std::string shapes = "narrow,wide";
  int repeat = 3;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "--lookup") {
      compare_lookups();
      return 0;
    }
    if (i + 1 >= argc) {
      std::fprintf(stderr,
                   "usage: %s [--dir DIR] [--mb SIZE] [--shapes LIST] [--repeat N] | --lookup\n",
                   argv[0]);
      return 2;
    }
    if (arg == "--dir")
      directory = argv[++i];
    else if (arg == "--mb")
      megabytes = std::strtoull(argv[++i], nullptr, 10);
    else if (arg == "--shapes")
      shapes = argv[++i];
    else if (arg == "--repeat")
      repeat = std::atoi(argv[++i]);
  }
  std::filesystem::create_directories(directory);
  for (const Shape& shape : {Shape{"narrow", 4}, Shape{"wide", 200}}) {
    if (shapes.find(shape.name) != std::string::npos)
      run_shape(directory, shape, megabytes, repeat);
  }
  return 0;
}
