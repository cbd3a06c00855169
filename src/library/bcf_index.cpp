#include "bcf_index.hpp"

#include <htslib/bgzf.h>
#include <htslib/vcf.h>

#include <memory>
#include <optional>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "hts/bcf_ranges.hpp"
#include "hts/kept_blocks.hpp"
#include "hts/range_check.hpp"
#include "hts/remote_file.hpp"
#include "index_plan.hpp"
#include "input.hpp"
#include "windowed_check.hpp"

namespace varsift::library {
namespace {

// Opens `path` for reading by ranges; null when it cannot be opened, for the whole read to
// report.
std::optional<hts::BgzfSource> open_positioned(const std::string& path) {
  hts::SourceResult opened =
      hts::is_url(path) ? hts::BgzfSource::open_for_index(path) : hts::BgzfSource::open(path);
  if (std::holds_alternative<core::IoError>(opened)) return std::nullopt;
  return std::get<hts::BgzfSource>(std::move(opened));
}

}  // namespace

std::vector<std::string_view> contig_names(const bcf_hdr_t& header) {
  std::vector<std::string_view> names;
  const int count = header.n[BCF_DT_CTG];
  names.reserve(static_cast<std::size_t>(count));
  for (int id = 0; id < count; ++id) names.emplace_back(header.id[BCF_DT_CTG][id].key);
  return names;
}

SelectedBcf open_selected_bcf(const std::string& path, const Selection& selection,
                              const IndexOptions& options, int threads,
                              std::optional<hts::BgzfSource> positioned, bool* not_bcf) {
  SelectedBcf chosen;
  const bool automatic = options.mode == IndexOptions::Mode::automatic;
  const auto whole = [&] {
    core::IoError error = core::IoError::bare(core::ErrorKind::Other);
    bool other = false;
    chosen.reader = hts::BcfReader::open(path, threads, error, other);
    if (!chosen.reader) {
      if (other && not_bcf != nullptr) {
        *not_bcf = true;
        return std::move(chosen);
      }
      fail_to_open(error);
    }
    chosen.through_index = false;
    return std::move(chosen);
  };
  // Declining is silent when nothing was asked for, an error when it was.
  const auto decline = [&](hts::IndexProblem problem, const std::string& index_path) {
    if (index_is_binding(options)) throw IndexUnusable(std::move(problem), index_path);
    if (problem.kind != hts::IndexProblem::Kind::missing &&
        problem.kind != hts::IndexProblem::Kind::outweighed) {
      chosen.warning = problem.message + "; reading the whole file instead";
    }
    return whole();
  };
  if (options.mode == IndexOptions::Mode::never) return whole();
  if (path == "-") {
    return decline({hts::IndexProblem::Kind::missing, "standard input has no index"}, "");
  }
  // Keeping everything, or all but some records, an index saves nothing.
  if (automatic && !selection.narrows()) return whole();

  hts::IndexProblem problem;
  std::uint64_t file_bytes = 0;
  std::optional<hts::Index> index = load_index(path, options, threads, problem, file_bytes);
  if (!index) return decline(std::move(problem), options.path.value_or(""));
  std::optional<hts::BgzfSource> data = positioned ? std::move(positioned) : open_positioned(path);
  if (!data) return whole();
  if (data->compression() != hts::Compression::bgzf || data->handle() == nullptr) {
    return decline({hts::IndexProblem::Kind::foreign,
                    path + " is not BGZF-compressed, so " + index->path() + " cannot index it"},
                   index->path());
  }
  // The header names the index's sequences: it is read through the source that then reads
  // the ranges.
  const bool remote = hts::is_url(path);
  // The header's blocks are kept too: the reading takes them from memory.
  const std::size_t kept_bytes = kept_for_check(options, remote);
  auto opened = std::make_unique<hts::BcfRangeSource>(
      std::move(*data), std::make_unique<hts::KeptBlocks>(kept_bytes));
  hts::BcfRangeSource* source = opened.get();
  core::IoError error = core::IoError::bare(core::ErrorKind::Other);
  std::unique_ptr<hts::BcfReader> reader = hts::BcfReader::open(std::move(opened), error);
  // A damaged header is for the whole read to report.
  if (!reader) return whole();
  if (auto foreign = index->name_sequences(contig_names(*reader->header()))) {
    return decline(std::move(*foreign), index->path());
  }
  // Nothing to look up (every record, or all but some, is kept): the index is checked, and the
  // file read whole.
  if (!selection.narrows()) return whole();

  BGZF* const handle = source->handle();
  IndexPlan plan =
      plan_index_read(*index, handle, selection, options, threads, file_bytes, remote, kept_bytes);
  if (plan.verdict == IndexPlan::Verdict::damaged) {
    return decline(std::move(*plan.problem), index->path());
  }
  if (plan.verdict == IndexPlan::Verdict::scan) return whole();
  std::vector<hts::VirtualRange> ranges = std::move(plan.ranges);
  // Where a failed check gives way to a whole read, every range is checked before any record
  // is given, so that the whole read repeats nothing; where it is an error, the ranges past
  // what the kept blocks hold are checked as the reading comes to them. Over a URL the check
  // reads each range whole, keeping its blocks for the reading.
  const bool binding = index_is_binding(options);
  const hts::RangeCheckOptions check_options{
      .whole_ranges = remote, .window = binding, .bcf = true};
  // Checked all first on a local file, each range's part in its first block is kept, as for VCF.
  std::unique_ptr<hts::RangeTexts> texts = texts_for_check(options, remote);
  const hts::RangeCheck check = hts::check_ranges(handle, ranges, index->sequences(),
                                                  *source->kept(), check_options, texts.get());
  const std::string mismatch = "index " + index->path() + " does not match " + path + ": ";
  if (check.outcome == hts::RangeCheck::Outcome::mismatch) {
    return decline({hts::IndexProblem::Kind::stale, mismatch + check.message}, index->path());
  }
  if (check.outcome == hts::RangeCheck::Outcome::damaged) {
    // Damage is the data's: the reading reports it at its block, from a fresh handle.
    data = open_positioned(path);
    if (!data) return whole();
    // A fresh handle reads what it meets, from the file.
    opened = std::make_unique<hts::BcfRangeSource>(std::move(*data));
    source = opened.get();
    reader = hts::BcfReader::open(std::move(opened), error);
    if (!reader) fail_to_open(error);
  }
  if (check.outcome == hts::RangeCheck::Outcome::sound && check.checked < ranges.size()) {
    auto later = std::make_shared<WindowedCheck>(std::move(*index), ranges, check.checked,
                                                 check_options, mismatch);
    source->set_ranges(std::move(ranges), [later, source](std::size_t range, core::IoError&) {
      later->before(source->handle(), *source->kept(), range);
      return true;
    });
  } else {
    source->set_ranges(
        std::move(ranges), {},
        check.outcome == hts::RangeCheck::Outcome::sound ? std::move(texts) : nullptr);
  }
  chosen.reader = std::move(reader);
  chosen.through_index = true;
  return chosen;
}

}  // namespace varsift::library
