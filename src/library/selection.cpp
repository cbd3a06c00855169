#include "selection.hpp"

#include <algorithm>

#include "core/record_span.hpp"

namespace varsift::library {

Selection::Condition::Condition(Clause clause) : overlap(clause.overlap), exclude(clause.exclude) {
  if (!clause.positions.empty()) {
    positions = std::make_unique<core::PositionList>(std::move(clause.positions));
    anywhere = std::make_unique<core::PositionSet>(*positions);
  }
  // Lists name few chromosomes, in runs: the last one found is nearly always the next.
  Chromosome* previous = nullptr;
  const std::string* previous_name = nullptr;
  auto chromosome = [&](std::string& name) -> Chromosome& {
    if (previous != nullptr && *previous_name == name) return *previous;
    const auto [entry, added] = chromosomes.try_emplace(std::move(name));
    if (added) entry->second = std::make_unique<Chromosome>();
    previous = entry->second.get();
    previous_name = &entry->first;
    return *previous;
  };
  for (TargetList::Group& group : clause.targets.groups()) {
    core::PositionList& list = chromosome(group.chrom).positions;
    if (list.empty()) {
      list = std::move(group.entries);
    } else {
      list.insert(list.end(), group.entries.begin(), group.entries.end());
    }
  }
  for (RegionList::Group& group : clause.regions.groups()) {
    Chromosome& entry = chromosome(group.chrom);
    if (overlap != Overlap::pos && entry.ranges.empty()) {
      entry.ranges = std::move(group.entries);
      std::erase_if(entry.ranges, [](const auto& range) { return range.first > range.second; });
      continue;
    }
    for (const auto& [beg, end] : group.entries) {
      if (beg > end) continue;
      // By POS, a one-base range is a site, which a PositionSet looks up fastest.
      if (overlap == Overlap::pos && beg == end) {
        entry.positions.push_back(beg);
      } else {
        entry.ranges.emplace_back(beg, end);
      }
    }
  }
  for (auto& [name, entry] : chromosomes) {
    if (!entry->positions.empty()) {
      entry->targets = std::make_unique<core::PositionSet>(entry->positions);
    }
    auto& ranges = entry->ranges;
    // Ranges read from a sorted file need no sorting: one pass tells.
    if (!std::is_sorted(ranges.begin(), ranges.end())) std::sort(ranges.begin(), ranges.end());
    std::size_t kept = 0;
    for (const auto& range : ranges) {
      // Only overlapping ranges join: an insertion between two adjacent ranges meets neither.
      if (kept != 0 && range.first <= ranges[kept - 1].second) {
        ranges[kept - 1].second = std::max(ranges[kept - 1].second, range.second);
      } else {
        ranges[kept++] = range;
      }
    }
    ranges.resize(kept);
  }
}

Selection::Selection(std::vector<Clause> clauses) {
  for (Clause& clause : clauses) {
    conditions_.push_back(std::make_unique<Condition>(std::move(clause)));
    const Condition& condition = *conditions_.back();
    looks_at_chromosome_ = looks_at_chromosome_ || !condition.chromosomes.empty();
    // Overlap is for ranges: sites (positions, targets) match by POS whatever it is.
    const bool ranges =
        std::any_of(condition.chromosomes.begin(), condition.chromosomes.end(),
                    [](const auto& entry) { return !entry.second->ranges.empty(); });
    by_pos_ = by_pos_ && (condition.overlap == Overlap::pos || !ranges);
    if (narrowing_ == nullptr && !condition.exclude) narrowing_ = &condition;
  }
}

Selection::Selection(core::PositionList positions, std::vector<Target> targets,
                     std::vector<Region> regions)
    : Selection([&] {
        std::vector<Clause> clauses(1);
        clauses[0].positions = std::move(positions);
        clauses[0].targets = TargetList(targets);
        clauses[0].regions = RegionList(regions);
        return clauses;
      }()) {}

std::uint64_t Selection::Record::last() {
  if (!end) end = core::record_end(line, pos);
  return *end;
}

std::optional<std::uint64_t> Selection::Record::first_varied() {
  if (!variant_start) variant_start = core::variant_start(line, pos);
  return *variant_start;
}

bool Selection::Chromosome::meets(std::uint64_t first, std::uint64_t last) {
  // The first range that ends at or after `first`: where the last look-up found one, or past it.
  const auto ends_before = [first](const auto& range) { return range.second < first; };
  std::size_t at = cursor;
  if (at < ranges.size() && !ends_before(ranges[at]) && (at == 0 || ends_before(ranges[at - 1]))) {
    // found at the cursor
  } else if (at + 1 < ranges.size() && ends_before(ranges[at]) && !ends_before(ranges[at + 1])) {
    ++at;
  } else {
    at = static_cast<std::size_t>(std::partition_point(ranges.begin(), ranges.end(), ends_before) -
                                  ranges.begin());
  }
  cursor = at;
  return at < ranges.size() && ranges[at].first <= last;
}

Selection::Chromosome* Selection::Condition::find(std::string_view chrom) {
  if (!last_valid || chrom != last_name) {
    const auto found = chromosomes.find(std::string(chrom));
    last = found == chromosomes.end() ? nullptr : found->second.get();
    last_name.assign(chrom);
    last_valid = true;
  }
  return last;
}

bool Selection::Condition::matches(std::string_view chrom, Record& record) {
  if (anywhere && anywhere->contains(record.pos)) return true;
  if (chromosomes.empty()) return false;
  Chromosome* entry = find(chrom);
  if (entry == nullptr) return false;
  if (entry->targets && entry->targets->contains(record.pos)) return true;
  if (entry->ranges.empty()) return false;
  switch (overlap) {
    case Overlap::pos:
      return entry->meets(record.pos, record.pos);
    case Overlap::record:
      return entry->meets(record.pos, record.last());
    case Overlap::variant: {
      const std::optional<std::uint64_t> first = record.first_varied();
      return first && entry->meets(*first, record.last());
    }
  }
  return false;
}

bool Selection::keeps(std::string_view chrom, std::uint64_t pos, std::string_view line) {
  Record record{line, pos, std::nullopt, std::nullopt};
  for (const auto& condition : conditions_) {
    if (condition->matches(chrom, record) == condition->exclude) return false;
  }
  return true;
}

std::vector<std::string_view> Selection::chromosomes() const {
  std::vector<std::string_view> names;
  for (const auto& condition : conditions_) {
    for (const auto& [name, entry] : condition->chromosomes) names.emplace_back(name);
  }
  std::sort(names.begin(), names.end());
  names.erase(std::unique(names.begin(), names.end()), names.end());
  return names;
}

}  // namespace varsift::library
