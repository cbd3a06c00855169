#pragma once

#include <stdexcept>
#include <string_view>

#include "selection.hpp"

namespace varsift::library {

// A region list that htslib cannot read.
class RegionListError : public std::invalid_argument {
 public:
  using std::invalid_argument::invalid_argument;
};

// Adds the regions of a list as htslib reads region strings, 1-based: CHROM (all of it),
// CHROM:POS (one base), CHROM:BEG-END, CHROM:BEG- and CHROM:-END, in a comma-separated list,
// or one region with thousands separators (chr1:1,000-2,000). The last ':' ends CHROM unless
// CHROM is in braces ({HLA-A*01:01}:1-10). Throws RegionListError.
void add_region_list(std::string_view list, Clause& clause);

}  // namespace varsift::library
