#pragma once

#include <cstdint>
#include <initializer_list>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "core/position_set.hpp"

namespace varsift::library {

// A chromosome and a POS.
struct Target {
  std::string chrom;
  std::uint64_t pos;
};

// Entries grouped by chromosome, each name once, each group's entries in the order given.
// Lists come in runs of one chromosome, so an entry costs a comparison and an append.
template <class List>
class ByChromosome {
 public:
  struct Group {
    std::string chrom;
    List entries;
  };

  // The index in groups() of the group of `chrom`, added when new.
  std::size_t group(std::string_view chrom) {
    if (last_ < groups_.size() && groups_[last_].chrom == chrom) return last_;
    std::string name(chrom);
    const auto [entry, added] = numbers_.try_emplace(name, groups_.size());
    if (added) groups_.push_back({std::move(name), {}});
    last_ = entry->second;
    return last_;
  }

  std::vector<Group>& groups() noexcept { return groups_; }
  const std::vector<Group>& groups() const noexcept { return groups_; }

 private:
  std::vector<Group> groups_;
  std::unordered_map<std::string, std::size_t> numbers_;  // a group's index by its name
  std::size_t last_ = 0;                                  // the group found last
};

// Targets: each chromosome's positions.
class TargetList : public ByChromosome<core::PositionList> {
 public:
  TargetList() = default;
  TargetList(std::initializer_list<Target> targets) { add(targets.begin(), targets.end()); }
  explicit TargetList(const std::vector<Target>& targets) { add(targets.begin(), targets.end()); }

  void add(std::string_view chrom, std::uint64_t pos) {
    groups()[group(chrom)].entries.push_back(pos);
  }

 private:
  template <class It>
  void add(It first, It last) {
    for (; first != last; ++first) add(first->chrom, first->pos);
  }
};

// A chromosome and an inclusive range of positions, 1-based.
struct Region {
  std::string chrom;
  std::uint64_t beg;
  std::uint64_t end;
};

// Ranges of positions, first and last, 1-based and inclusive.
using RangeList = std::vector<std::pair<std::uint64_t, std::uint64_t>>;

// Regions: each chromosome's ranges, 16 bytes a region whatever the name.
class RegionList : public ByChromosome<RangeList> {
 public:
  RegionList() = default;
  RegionList(std::initializer_list<Region> regions) { add(regions.begin(), regions.end()); }
  RegionList(const std::vector<Region>& regions) { add(regions.begin(), regions.end()); }

  void add(std::string_view chrom, std::uint64_t beg, std::uint64_t end) {
    groups()[group(chrom)].entries.emplace_back(beg, end);
  }

 private:
  template <class It>
  void add(It first, It last) {
    for (; first != last; ++first) add(first->chrom, first->beg, first->end);
  }
};

// How a record meets a range: by its POS; by any base from POS to its end (REF's length, or
// INFO/END); or by the bases its alleles change (REF's bases shared at the start with every
// ALT allele left out; an insertion lies between two bases and meets a range holding both).
enum class Overlap : unsigned char { pos, record, variant };

// One condition on records: they match any of its positions (on any chromosome), targets (by
// POS) or regions (by `overlap`); with `exclude`, the records that match none.
struct Clause {
  Overlap overlap = Overlap::pos;
  bool exclude = false;
  core::PositionList positions;
  TargetList targets;
  RegionList regions;
};

// Which data lines to keep: every one, or those that meet every clause. A clause given but
// empty keeps none (or, excluding, every record).
class Selection {
 public:
  static Selection everything() { return Selection(); }
  explicit Selection(std::vector<Clause> clauses);
  // One clause, every selector matched by POS.
  Selection(core::PositionList positions, std::vector<Target> targets, std::vector<Region> regions);

  Selection(Selection&&) noexcept = default;
  Selection& operator=(Selection&&) noexcept = default;

  bool keeps_everything() const noexcept { return conditions_.empty(); }
  // Whether some clause names the only records that can be kept: what an index can look up.
  bool narrows() const noexcept { return narrowing_ != nullptr; }
  // Whether every clause matches by POS alone, so that keeps() needs no line.
  bool matches_by_pos() const noexcept { return by_pos_; }
  // Whether keeps() needs the chromosome; otherwise any name may be given.
  bool looks_at_chromosome() const noexcept { return looks_at_chromosome_; }

  // `line` is the record, for its REF, ALT and INFO/END when a clause matches by overlap;
  // without it a record covers its POS alone.
  bool keeps(std::string_view chrom, std::uint64_t pos, std::string_view line = {});

  // The chromosomes that the clauses name, each once.
  std::vector<std::string_view> chromosomes() const;

  // Calls visit(chrom, first, last) for each site and range of a narrowing clause, 1-based and
  // inclusive, with an empty chrom for positions on any chromosome: what an index is asked
  // for. A record kept overlaps one of them. Calls it for none when nothing narrows.
  template <class Visit>
  void for_each_span(Visit&& visit) const {
    if (narrowing_ == nullptr) return;
    const Condition& condition = *narrowing_;
    if (condition.positions) {
      for (std::uint64_t pos : *condition.positions) visit(std::string_view(), pos, pos);
    }
    for (const auto& [name, entry] : condition.chromosomes) {
      for (std::uint64_t pos : entry->positions) visit(std::string_view(name), pos, pos);
      for (const auto& [first, last] : entry->ranges) visit(std::string_view(name), first, last);
    }
  }

 private:
  // A record's span, worked out only when a condition asks for it.
  struct Record {
    std::string_view line;
    std::uint64_t pos;
    std::optional<std::uint64_t> end;
    std::optional<std::optional<std::uint64_t>> variant_start;
    std::uint64_t last();
    std::optional<std::uint64_t> first_varied();
  };

  struct Chromosome {
    core::PositionList positions;
    std::unique_ptr<core::PositionSet> targets;
    // Sorted and disjoint, so that their ends are sorted too and one search answers.
    RangeList ranges;
    std::size_t cursor = 0;  // the range the last look-up found: records come sorted
    bool meets(std::uint64_t first, std::uint64_t last);
  };

  struct Condition {
    Overlap overlap = Overlap::pos;
    bool exclude = false;
    // Positions on any chromosome; PositionSet views the list, so both live on the heap.
    std::unique_ptr<core::PositionList> positions;
    std::unique_ptr<core::PositionSet> anywhere;
    std::unordered_map<std::string, std::unique_ptr<Chromosome>> chromosomes;
    // Records come grouped by chromosome: the last one looked up is nearly always the next.
    std::string last_name;
    Chromosome* last = nullptr;
    bool last_valid = false;

    explicit Condition(Clause clause);
    Chromosome* find(std::string_view chrom);
    bool matches(std::string_view chrom, Record& record);
  };

  Selection() = default;

  std::vector<std::unique_ptr<Condition>> conditions_;
  const Condition* narrowing_ = nullptr;
  bool looks_at_chromosome_ = false;
  bool by_pos_ = true;
};

}  // namespace varsift::library
