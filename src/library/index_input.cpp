#include "index_input.hpp"

#include <htslib/bgzf.h>
#include <sys/stat.h>

#include <utility>
#include <variant>
#include <vector>

#include "bcf_index.hpp"
#include "bcf_input.hpp"
#include "core/line_reader.hpp"
#include "hts/bcf_reader.hpp"
#include "hts/bgzf_block.hpp"
#include "hts/bgzf_source.hpp"
#include "hts/index_reader.hpp"
#include "hts/kept_blocks.hpp"
#include "hts/range_check.hpp"
#include "hts/remote_file.hpp"
#include "hts/remote_index.hpp"
#include "input.hpp"
#include "scanner.hpp"

namespace varsift::library {
namespace {

// Inflated bytes of the blocks read before the reading (the header's, and the ranges' by the
// check) kept for it over a URL, where reading a block again is another request. A local file
// is read again for less than copying blocks costs.
constexpr std::size_t remote_kept_bytes = std::size_t{64} << 20;

// The indexed source with the opened file whose handle it reads, and the blocks it takes
// from memory (none when null).
class IndexedInput final : public PartialSource {
 public:
  IndexedInput(hts::BgzfSource file, std::vector<hts::VirtualRange> ranges,
               std::unique_ptr<hts::KeptBlocks> kept, hts::ReadHeader header)
      : file_(std::move(file)),
        kept_(std::move(kept)),
        source_(file_.handle(), std::move(ranges), kept_.get(), std::move(header)) {}
  bool next_bytes(std::string_view& bytes, core::IoError& error) override {
    return source_.next_bytes(bytes, error);
  }
  bool past_header() const noexcept override { return source_.past_header(); }
  std::uint64_t block_address() const noexcept override { return source_.block_address(); }

 private:
  hts::BgzfSource file_;
  std::unique_ptr<hts::KeptBlocks> kept_;
  hts::IndexedSource source_;
};

// Passes the bytes of an IndexedSource on, keeping each block it loads and a copy of the bytes.
class KeepingSource final : public core::ByteSource {
 public:
  KeepingSource(BGZF* file, hts::KeptBlocks& kept, std::string& bytes) noexcept
      : file_(file), kept_(kept), bytes_(bytes), source_(file, {}) {}
  bool next_bytes(std::string_view& bytes, core::IoError& error) override {
    if (!source_.next_bytes(bytes, error)) return false;
    kept_.keep(file_);
    bytes_ += bytes;
    return true;
  }

 private:
  BGZF* file_;
  hts::KeptBlocks& kept_;
  std::string& bytes_;
  hts::IndexedSource source_;
};

// Reads the header once, through a source without ranges, keeping its blocks; gives false if
// it cannot be read. Its lines are read as the reading would, so that a fault in them is left
// to the scan, which reports it with its line.
bool read_header(BGZF* file, hts::KeptBlocks& kept, hts::ReadHeader& header) {
  KeepingSource source(file, kept, header.bytes);
  core::LineReader reader(source);
  for (;;) {
    switch (reader.next()) {
      case core::LineReader::Status::line:
        break;
      case core::LineReader::Status::end:
        header.end = static_cast<std::uint64_t>(bgzf_tell(file));
        return true;
      case core::LineReader::Status::error:
        return false;
    }
  }
}

}  // namespace

std::optional<hts::Index> load_index(const std::string& path, const IndexOptions& options,
                                     int threads, hts::IndexProblem& problem,
                                     std::uint64_t& file_bytes) {
  if (hts::is_url(path)) {
    std::optional<hts::Index> index = hts::load_remote_index(path, options.path, problem);
    // The server gives no size: what the index covers stands for it.
    if (index) file_bytes = index->last_block() + hts::bgzf_max_block_size;
    return index;
  }
  struct stat status {};
  if (::stat(path.c_str(), &status) == 0) file_bytes = static_cast<std::uint64_t>(status.st_size);
  if (options.mode != IndexOptions::Mode::automatic || options.path) {
    return hts::Index::load(path, options.path, problem);
  }
  // An index found beside the file is not even read when reading it costs more than a scan.
  const auto worth_reading = [threads](std::uint64_t index_bytes, std::uint64_t file_size) {
    return !hts::index_outweighs_scan(index_bytes, file_size, static_cast<unsigned>(threads));
  };
  return hts::Index::load(path, options.path, problem, worth_reading);
}

IndexChoice choose_index(const std::string& path, const Selection& selection,
                         const IndexOptions& options, int threads) {
  IndexChoice choice;
  const bool automatic = options.mode == IndexOptions::Mode::automatic;
  // Declining is silent when nothing was asked for, an error when it was.
  const auto decline = [&](hts::IndexProblem problem, const std::string& index_path) {
    if (!automatic || options.path) throw IndexUnusable(std::move(problem), index_path);
    // An index that does not match the data names nothing the data is known to hold.
    choice.sequences.clear();
    if (problem.kind != hts::IndexProblem::Kind::missing &&
        problem.kind != hts::IndexProblem::Kind::outweighed) {
      choice.warning = problem.message + "; reading the whole file instead";
    }
    return std::move(choice);
  };
  if (options.mode == IndexOptions::Mode::never) return choice;
  if (path == "-") {
    return decline({hts::IndexProblem::Kind::missing, "standard input has no index"}, "");
  }
  // Keeping everything, or all but some records, an index saves nothing.
  if (automatic && !selection.narrows()) return choice;

  std::optional<hts::BgzfSource> data;
  if (hts::is_url(path)) {
    // Opened first, as tabix does: its first bytes tell BCF apart, without another request.
    hts::SourceResult opened = hts::BgzfSource::open_for_index(path);
    if (std::holds_alternative<core::IoError>(opened)) return choice;
    data.emplace(std::get<hts::BgzfSource>(std::move(opened)));
    choice.bcf = hts::starts_bcf(data->handle());
    if (*choice.bcf) {
      choice.bcf_file = std::move(data);
      return choice;
    }
  }
  hts::IndexProblem problem;
  std::uint64_t file_bytes = 0;
  std::optional<hts::Index> index = load_index(path, options, threads, problem, file_bytes);
  if (!index) return decline(std::move(problem), options.path.value_or(""));
  if (!data) {
    hts::SourceResult opened = hts::BgzfSource::open(path);
    // An input that cannot be opened is for the scan to report, as it always does.
    if (std::holds_alternative<core::IoError>(opened)) return choice;
    data.emplace(std::get<hts::BgzfSource>(std::move(opened)));
  }
  hts::BgzfSource& file = *data;
  if (file.compression() != hts::Compression::bgzf) {
    return decline({hts::IndexProblem::Kind::foreign,
                    path + " is not BGZF-compressed, so " + index->path() + " cannot index it"},
                   index->path());
  }
  auto kept = std::make_unique<hts::KeptBlocks>(hts::is_url(path) ? remote_kept_bytes : 0);
  hts::ReadHeader header;
  // A damaged header is for the scan to report, with its line.
  if (!read_header(file.handle(), *kept, header)) return choice;
  bool declares = false;
  if (auto foreign = index->check_header(header.bytes, declares)) {
    return decline(std::move(*foreign), index->path());
  }
  // They name the chromosomes only where no ##contig line does: no copy of 10^5 names else.
  if (!declares) choice.sequences = index->sequences();
  // Nothing to look up (every record, or all but some, is kept): the index is checked, and the
  // file read whole.
  if (!selection.narrows()) return choice;

  std::uint64_t block_bytes =
      hts::block_bytes_at(file.handle(), static_cast<std::uint64_t>(bgzf_tell(file.handle())));
  if (block_bytes == 0) block_bytes = file_bytes;  // the data fit one block

  hts::Index::Planner planner(*index);
  selection.for_each_span([&](std::string_view chrom, std::uint64_t first, std::uint64_t last) {
    planner.add(chrom, first, last);
  });
  // Forced to follow the index while keeping everything: every record it holds.
  if (selection.keeps_everything()) planner.add("", 0, UINT64_MAX);
  const hts::QueryPlan plan = planner.finish();
  choice.cost = hts::plan_cost(plan, block_bytes, file_bytes);
  if (automatic && hts::plan_rules_out_index(choice.cost, static_cast<unsigned>(threads))) {
    return choice;
  }
  // The sequences the plan touches are checked now, and only they.
  if (auto damaged = index->check(plan)) return decline(std::move(*damaged), index->path());
  std::vector<hts::VirtualRange> ranges = index->ranges(plan);
  choice.cost = hts::range_cost(ranges, block_bytes, file_bytes);
  if (automatic && !hts::index_is_cheaper(choice.cost, static_cast<unsigned>(threads))) {
    return choice;
  }
  // Checked before any line is given, so that a scan in its place repeats nothing.
  const hts::RangeCheck check = hts::check_ranges(file.handle(), ranges, index->sequences(), *kept);
  if (check.outcome == hts::RangeCheck::Outcome::mismatch) {
    return decline({hts::IndexProblem::Kind::stale,
                    "index " + index->path() + " does not match " + path + ": " + check.message},
                   index->path());
  }
  if (check.outcome == hts::RangeCheck::Outcome::damaged) {
    // Damage is the data's: the reading reports it at its block, from a fresh handle.
    hts::SourceResult reopened =
        hts::is_url(path) ? hts::BgzfSource::open_for_index(path) : hts::BgzfSource::open(path);
    if (std::holds_alternative<core::IoError>(reopened)) return choice;
    file = std::get<hts::BgzfSource>(std::move(reopened));
  }
  // A local file keeps nothing, and a fresh handle reads what it meets: both read as ever.
  if (!hts::is_url(path) || check.outcome == hts::RangeCheck::Outcome::damaged) kept.reset();
  choice.source = std::make_unique<IndexedInput>(std::move(file), std::move(ranges),
                                                 std::move(kept), std::move(header));
  return choice;
}

std::unique_ptr<core::ByteSource> open_selected_input(const std::string& path,
                                                      const Selection& selection,
                                                      const IndexOptions& options, int threads,
                                                      std::string& warning,
                                                      std::vector<std::string>& sequences) {
  const auto read_bcf = [&](std::optional<hts::BgzfSource> opened) {
    SelectedBcf chosen = open_selected_bcf(path, selection, options, threads, std::move(opened));
    warning = std::move(chosen.warning);
    return open_bcf(std::move(chosen.reader), chosen.through_index);
  };
  // A local file is looked at first; a URL as choose_index opens it, if it does. One it did
  // not open needs no index, and open_input tells BCF apart as it reads: each is opened once.
  if (!hts::is_url(path) && hts::is_bcf(path)) return read_bcf(std::nullopt);
  IndexChoice choice = choose_index(path, selection, options, threads);
  if (choice.bcf_file) return read_bcf(std::move(choice.bcf_file));
  warning = std::move(choice.warning);
  sequences = std::move(choice.sequences);
  if (choice.source) return std::move(choice.source);
  return open_input(path, threads);
}

}  // namespace varsift::library
