#include "selection.hpp"

#include <algorithm>

namespace varsift::library {

Selection::Selection(core::PositionList positions, std::vector<Target> targets,
                     std::vector<Region> regions)
    : everything_(false) {
  if (!positions.empty()) {
    positions_ = std::make_unique<core::PositionList>(std::move(positions));
    any_chromosome_ = std::make_unique<core::PositionSet>(*positions_);
  }
  auto chromosome = [this](std::string name) -> Chromosome& {
    std::unique_ptr<Chromosome>& entry = chromosomes_[std::move(name)];
    if (!entry) entry = std::make_unique<Chromosome>();
    return *entry;
  };
  for (Target& target : targets)
    chromosome(std::move(target.chrom)).positions.push_back(target.pos);
  for (Region& region : regions) {
    if (region.beg > region.end) continue;
    chromosome(std::move(region.chrom)).regions.emplace_back(region.beg, region.end);
  }
  for (auto& [name, entry] : chromosomes_) {
    if (!entry->positions.empty()) {
      entry->targets = std::make_unique<core::PositionSet>(entry->positions);
    }
    auto& ranges = entry->regions;
    std::sort(ranges.begin(), ranges.end());
    std::size_t kept = 0;
    for (const auto& range : ranges) {
      if (kept != 0 &&
          (ranges[kept - 1].second == UINT64_MAX || range.first <= ranges[kept - 1].second + 1)) {
        ranges[kept - 1].second = std::max(ranges[kept - 1].second, range.second);
      } else {
        ranges[kept++] = range;
      }
    }
    ranges.resize(kept);
  }
}

bool Selection::Chromosome::keeps(std::uint64_t pos) {
  if (targets && targets->contains(pos)) return true;
  auto after = std::upper_bound(
      regions.begin(), regions.end(), pos,
      [](std::uint64_t value, const auto& region) { return value < region.first; });
  return after != regions.begin() && pos <= std::prev(after)->second;
}

Selection::Chromosome* Selection::find(std::string_view chrom) {
  if (!last_valid_ || chrom != last_name_) {
    const auto found = chromosomes_.find(std::string(chrom));
    last_ = found == chromosomes_.end() ? nullptr : found->second.get();
    last_name_.assign(chrom);
    last_valid_ = true;
  }
  return last_;
}

bool Selection::keeps(std::string_view chrom, std::uint64_t pos) {
  if (everything_) return true;
  if (any_chromosome_ && any_chromosome_->contains(pos)) return true;
  if (chromosomes_.empty()) return false;
  Chromosome* entry = find(chrom);
  return entry != nullptr && entry->keeps(pos);
}

}  // namespace varsift::library
