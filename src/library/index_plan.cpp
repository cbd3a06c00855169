#include "index_plan.hpp"

#include <htslib/bgzf.h>

#include <string_view>
#include <utility>

#include "hts/index_reader.hpp"

namespace varsift::library {

bool index_is_binding(const IndexOptions& options) noexcept {
  return options.mode != IndexOptions::Mode::automatic || options.path.has_value();
}

std::unique_ptr<hts::RangeTexts> texts_for_check(const IndexOptions& options, bool remote) {
  // Some kilobytes a range: a few queried sites each.
  constexpr std::size_t local_text_bytes = std::size_t{4} << 20;
  if (index_is_binding(options) || remote) return nullptr;
  return std::make_unique<hts::RangeTexts>(local_text_bytes);
}

IndexPlan plan_index_read(const hts::Index& index, BGZF* file, const Selection& selection,
                          const IndexOptions& options, int threads, std::uint64_t file_bytes,
                          bool remote, std::size_t kept_bytes) {
  IndexPlan result;
  const bool automatic = options.mode == IndexOptions::Mode::automatic;
  const auto scan_threads = static_cast<unsigned>(threads);
  std::uint64_t block_bytes =
      hts::block_bytes_at(file, static_cast<std::uint64_t>(bgzf_tell(file)));
  if (block_bytes == 0) block_bytes = file_bytes;  // the data fit one block

  hts::Index::Planner planner(index);
  selection.for_each_span([&](std::string_view chrom, std::uint64_t first, std::uint64_t last) {
    planner.add(chrom, first, last);
  });
  const hts::QueryPlan plan = planner.finish();
  result.cost = hts::plan_cost(plan, block_bytes, file_bytes);
  if (automatic && hts::plan_rules_out_index(result.cost, scan_threads)) return result;
  // The sequences the plan touches are checked now, and only they.
  if (auto damaged = index.check(plan)) {
    result.verdict = IndexPlan::Verdict::damaged;
    result.problem = std::move(damaged);
    return result;
  }
  result.ranges = index.ranges(plan);
  result.cost = hts::range_cost(result.ranges, block_bytes, file_bytes);
  // Where a failed check gives way to a scan, every range is checked before any line is given,
  // so that the scan repeats nothing. Over a URL, the check then fetches again what the
  // reading takes beyond the blocks kept.
  if (!index_is_binding(options) && remote) {
    hts::count_check_refetch(result.cost, kept_bytes, block_bytes);
  }
  if (automatic && !hts::index_is_cheaper(result.cost, scan_threads)) return result;
  result.verdict = IndexPlan::Verdict::follow;
  return result;
}

}  // namespace varsift::library
