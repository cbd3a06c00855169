#pragma once

#include <cstdint>
#include <memory>
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

// A chromosome and an inclusive range of POS, 1-based.
struct Region {
  std::string chrom;
  std::uint64_t beg;
  std::uint64_t end;
};

// Which data lines to keep: every one, or those matching any of the positions (on any
// chromosome), targets and regions. A selection given but empty keeps none.
class Selection {
 public:
  static Selection everything() { return Selection(); }
  Selection(core::PositionList positions, std::vector<Target> targets, std::vector<Region> regions);

  bool keeps_everything() const noexcept { return everything_; }
  // Whether keeps() needs the chromosome; otherwise any name may be given.
  bool looks_at_chromosome() const noexcept { return !chromosomes_.empty(); }

  bool keeps(std::string_view chrom, std::uint64_t pos);

  // Calls visit(chrom, first, last) for each site and range kept, 1-based and inclusive, with
  // an empty chrom for positions on any chromosome: what an index is asked for. Calls it for
  // none when everything is kept.
  template <class Visit>
  void for_each_span(Visit&& visit) const {
    if (positions_) {
      for (std::uint64_t pos : *positions_) visit(std::string_view(), pos, pos);
    }
    for (const auto& [name, entry] : chromosomes_) {
      for (std::uint64_t pos : entry->positions) visit(std::string_view(name), pos, pos);
      for (const auto& [first, last] : entry->regions) visit(std::string_view(name), first, last);
    }
  }

 private:
  struct Chromosome {
    core::PositionList positions;
    std::unique_ptr<core::PositionSet> targets;
    // Sorted, disjoint and not adjacent, so that one binary search answers.
    std::vector<std::pair<std::uint64_t, std::uint64_t>> regions;

    bool keeps(std::uint64_t pos);
  };

  Selection() = default;
  Chromosome* find(std::string_view chrom);

  bool everything_ = true;
  // Positions on any chromosome; PositionSet views the list, so both live on the heap.
  std::unique_ptr<core::PositionList> positions_;
  std::unique_ptr<core::PositionSet> any_chromosome_;
  std::unordered_map<std::string, std::unique_ptr<Chromosome>> chromosomes_;
  // Records come grouped by chromosome: the last one looked up is nearly always the next.
  std::string last_name_;
  Chromosome* last_ = nullptr;
  bool last_valid_ = false;
};

}  // namespace varsift::library
