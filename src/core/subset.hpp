#pragma once

#include <string>

#include "line.hpp"
#include "position_set.hpp"

namespace varsift::core {

struct SubsetResult {
  LineList header;
  LineList data;
};

// Reads the VCF file at `path` once and gives every '#' line and the data lines whose second
// TAB-separated field is one of `positions` (every data line when `positions` is empty).
// Any fault raises a Failure; nothing partial comes back.
SubsetResult subset_vcf(std::string path, PositionList positions);

}  // namespace varsift::core
