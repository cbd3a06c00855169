// Times the library's choice between index and scan, then the read it chose (the indexed read,
// or the scan with `threads` inflating), for a targets file (CHROM TAB POS lines) on a BGZF VCF
// with an index beside it.
//
//   index_bench FILE.vcf.gz TARGETS [--threads N] [--force | --scan]
//
// Prints wall and CPU seconds (all threads): on a shared machine the CPU time is the steadier.

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <memory>
#include <string>
#include <variant>
#include <vector>

#include "hts/bgzf_source.hpp"
#include "library/index_input.hpp"
#include "library/line_sink.hpp"
#include "library/scanner.hpp"

namespace {

using namespace varsift;

class Count final : public library::LineSink {
 public:
  void header(std::string_view, bool) override {}
  void data(std::string_view, bool) override { ++data_lines; }
  std::uint64_t data_lines = 0;
};

double seconds_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

double cpu_seconds() {
  timespec now{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr,
                 "usage: index_bench FILE.vcf.gz TARGETS [--threads N] [--force | --scan]\n");
    return 2;
  }
  int threads = 2;
  library::IndexOptions options;
  bool scan = false;
  for (int i = 3; i < argc; ++i) {
    const std::string argument = argv[i];
    if (argument == "--threads" && i + 1 < argc) {
      threads = std::atoi(argv[++i]);
    } else if (argument == "--force") {
      options.mode = library::IndexOptions::Mode::force;
    } else if (argument == "--scan") {
      scan = true;
    } else {
      std::fprintf(stderr, "unknown argument %s\n", argv[i]);
      return 2;
    }
  }
  std::vector<library::Target> targets;
  std::ifstream in(argv[2]);
  std::string chrom;
  std::uint64_t pos = 0;
  while (in >> chrom >> pos) targets.push_back({chrom, pos});

  // The scan builds the same selection: only the choice is the index's cost.
  const auto start = std::chrono::steady_clock::now();
  const double cpu_start = cpu_seconds();
  const library::Selection selection({}, std::move(targets), {});
  const double selected = seconds_since(start);
  library::IndexChoice choice;
  if (!scan) choice = library::choose_index(argv[1], selection, options, threads);
  const double chosen = seconds_since(start) - selected;
  const double chosen_cpu = cpu_seconds() - cpu_start;
  const bool indexed = choice.source != nullptr;
  std::unique_ptr<core::ByteSource> source = std::move(choice.source);
  if (!indexed) {
    hts::SourceResult opened = hts::BgzfSource::open(argv[1], threads);
    if (auto* error = std::get_if<core::IoError>(&opened)) {
      std::fprintf(stderr, "cannot open %s: %s\n", argv[1], error->display().c_str());
      return 1;
    }
    source = std::make_unique<hts::BgzfSource>(std::get<hts::BgzfSource>(std::move(opened)));
  }
  std::vector<library::Target> again;
  std::ifstream in_again(argv[2]);
  while (in_again >> chrom >> pos) again.push_back({chrom, pos});
  library::Scanner scanner(std::move(source), library::Selection({}, std::move(again), {}));
  Count sink;
  while (scanner.step(sink, std::size_t{8} << 20)) {
  }
  std::printf(
      "choice=%s selection_s=%.4f choose_s=%.4f total_s=%.4f choose_cpu_s=%.4f total_cpu_s=%.4f "
      "kept=%llu index_bytes=%llu file_bytes=%llu\n",
      indexed ? "index" : "scan", selected, chosen, seconds_since(start), chosen_cpu,
      cpu_seconds() - cpu_start, static_cast<unsigned long long>(sink.data_lines),
      static_cast<unsigned long long>(choice.cost.index_bytes),
      static_cast<unsigned long long>(choice.cost.file_bytes));
  return 0;
}
