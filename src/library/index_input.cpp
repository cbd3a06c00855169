#include "index_input.hpp"

#include <htslib/bgzf.h>
#include <sys/stat.h>

#include <algorithm>
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
#include "hts/range_texts.hpp"
#include "hts/remote_file.hpp"
#include "hts/remote_index.hpp"
#include "index_plan.hpp"
#include "input.hpp"
#include "scanner.hpp"
#include "windowed_check.hpp"

namespace varsift::library {
namespace {

// The indexed source with the opened file whose handle it reads, and the blocks it takes
// from memory (none when null). With later checks, the ranges are checked in windows of what
// the kept blocks hold, each just before its lines are given: a forced index that fails there
// ends the reading with an error after the lines of the windows before.
class IndexedInput final : public PartialSource {
 public:
  IndexedInput(hts::BgzfSource file, std::vector<hts::VirtualRange> ranges,
               std::unique_ptr<hts::KeptBlocks> kept, hts::ReadHeader header,
               std::optional<WindowedCheck> later, std::unique_ptr<hts::RangeTexts> texts = {})
      : file_(std::move(file)),
        kept_(std::move(kept)),
        later_(std::move(later)),
        texts_(std::move(texts)),
        source_(file_.handle(), std::move(ranges), kept_.get(), std::move(header), before_range(),
                texts_.get()) {}
  bool next_bytes(std::string_view& bytes, core::IoError& error) override {
    return source_.next_bytes(bytes, error);
  }
  bool past_header() const noexcept override { return source_.past_header(); }
  std::uint64_t block_address() const noexcept override { return source_.block_address(); }

 private:
  hts::IndexedSource::BeforeRange before_range() {
    if (!later_) return {};
    return [this](std::size_t range, core::IoError&) {
      later_->before(file_.handle(), *kept_, range);
      return true;
    };
  }

  hts::BgzfSource file_;
  std::unique_ptr<hts::KeptBlocks> kept_;
  std::optional<WindowedCheck> later_;
  std::unique_ptr<hts::RangeTexts> texts_;
  hts::IndexedSource source_;
};

// The whole of a file, its header read before, read on through the handle that read it: every
// line is given, so that lines keep their numbers.
class ReadOn final : public core::ByteSource {
 public:
  explicit ReadOn(std::unique_ptr<IndexedInput> input) noexcept : input_(std::move(input)) {}
  bool next_bytes(std::string_view& bytes, core::IoError& error) override {
    return input_->next_bytes(bytes, error);
  }

 private:
  std::unique_ptr<IndexedInput> input_;
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

std::size_t kept_for_check(const IndexOptions& options, bool remote) noexcept {
  // Over a URL, reading a block again is another request.
  constexpr std::size_t remote_kept_bytes = std::size_t{64} << 20;
  return options.kept_bytes.value_or(remote ? remote_kept_bytes : 0);
}

std::optional<hts::Index> load_index(const std::string& path, const IndexOptions& options,
                                     int threads, hts::IndexProblem& problem,
                                     std::uint64_t& file_bytes) {
  if (hts::is_url(path)) {
    std::optional<hts::Index> index = hts::load_remote_index(path, options.path, problem);
    // The server gives no size: what the index covers stands for it.
    if (index) file_bytes = index->last_block() + hts::bgzf_max_block_size;
    return index;
  }
  // An index found beside the file is not even read when reading it costs more than a scan.
  const auto worth_reading = [threads](std::uint64_t index_bytes, std::uint64_t file_size) {
    return !hts::index_outweighs_scan(index_bytes, file_size, static_cast<unsigned>(threads));
  };
  const bool found_beside = !index_is_binding(options);
  std::optional<hts::Index> index =
      found_beside ? hts::Index::load(path, options.path, problem, worth_reading)
                   : hts::Index::load(path, options.path, problem);
  // The size load() took to check the index's age.
  if (index) file_bytes = index->data_bytes();
  return index;
}

IndexChoice choose_index(const std::string& path, const Selection& selection,
                         const IndexOptions& options, int threads) {
  IndexChoice choice;
  const bool automatic = options.mode == IndexOptions::Mode::automatic;
  // Declining is silent when nothing was asked for, an error when it was.
  const auto decline = [&](hts::IndexProblem problem, const std::string& index_path) {
    if (index_is_binding(options)) throw IndexUnusable(std::move(problem), index_path);
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

  const bool remote = hts::is_url(path);
  std::optional<hts::BgzfSource> data;
  // Opened first, as tabix does: its first bytes tell BCF apart, without opening it again. A
  // local file only when it is a regular file: opening a FIFO would disturb its writer.
  struct stat status {};
  if (remote || (::stat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode))) {
    hts::SourceResult opened = hts::BgzfSource::open_for_index(path);
    if (auto* source = std::get_if<hts::BgzfSource>(&opened)) {
      data.emplace(std::move(*source));
    } else if (remote) {
      return choice;
    }
    // A local file that cannot be opened is for the index's loading to report, as forced.
    if (data && data->handle() != nullptr) {
      choice.bcf = hts::starts_bcf(data->handle());
      if (*choice.bcf) {
        choice.bcf_file = std::move(data);
        return choice;
      }
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
  // The header's blocks are kept too: the reading takes them from memory rather than fetch
  // them again.
  const std::size_t kept_bytes = kept_for_check(options, remote);
  auto kept = std::make_unique<hts::KeptBlocks>(kept_bytes);
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
  // file read whole. A URL is read on from the header through the handle that read it, rather
  // than fetched again from its start.
  if (!selection.narrows()) {
    if (remote) {
      std::vector<hts::VirtualRange> rest{{header.end, UINT64_MAX, -1}};
      choice.source = std::make_unique<ReadOn>(std::make_unique<IndexedInput>(
          std::move(file), std::move(rest), std::move(kept), std::move(header), std::nullopt));
    }
    return choice;
  }

  IndexPlan plan = plan_index_read(*index, file.handle(), selection, options, threads, file_bytes,
                                   remote, kept_bytes);
  choice.cost = plan.cost;
  if (plan.verdict == IndexPlan::Verdict::damaged) {
    return decline(std::move(*plan.problem), index->path());
  }
  if (plan.verdict == IndexPlan::Verdict::scan) return choice;
  std::vector<hts::VirtualRange> ranges = std::move(plan.ranges);
  const bool binding = index_is_binding(options);
  // Where it is an error, the ranges past what the kept blocks hold are checked by the reading,
  // as it comes to them: each block is read once, in memory bounded by the kept blocks.
  const hts::RangeCheckOptions check_options{remote, binding};
  // Checked all first on a local file, each range's part in the block where it begins is kept:
  // the reading then spares inflating that block a second time.
  std::unique_ptr<hts::RangeTexts> texts = texts_for_check(options, remote);
  const hts::RangeCheck check = hts::check_ranges(file.handle(), ranges, index->sequences(), *kept,
                                                  check_options, texts.get());
  const std::string mismatch = "index " + index->path() + " does not match " + path + ": ";
  if (check.outcome == hts::RangeCheck::Outcome::mismatch) {
    return decline({hts::IndexProblem::Kind::stale, mismatch + check.message}, index->path());
  }
  if (check.outcome == hts::RangeCheck::Outcome::damaged) {
    // Damage is the data's: the reading reports it at its block, from a fresh handle.
    hts::SourceResult reopened = hts::BgzfSource::open_for_index(path);
    if (std::holds_alternative<core::IoError>(reopened)) return choice;
    file = std::get<hts::BgzfSource>(std::move(reopened));
  }
  std::optional<WindowedCheck> later;
  if (check.outcome == hts::RangeCheck::Outcome::damaged) {
    // A fresh handle reads what it meets, with nothing more to check.
    kept.reset();
    texts.reset();
  } else if (check.checked < ranges.size()) {
    later.emplace(std::move(*index), ranges, check.checked, check_options, mismatch);
  }
  choice.source =
      std::make_unique<IndexedInput>(std::move(file), std::move(ranges), std::move(kept),
                                     std::move(header), std::move(later), std::move(texts));
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
  // Told apart as choose_index opens the file, if it does. One it did not open needs no index,
  // and open_input tells BCF apart as it reads: each is opened once.
  IndexChoice choice = choose_index(path, selection, options, threads);
  if (choice.bcf_file) return read_bcf(std::move(choice.bcf_file));
  warning = std::move(choice.warning);
  sequences = std::move(choice.sequences);
  if (choice.source) return std::move(choice.source);
  return open_input(path, threads);
}

}  // namespace varsift::library
