#pragma once

#include <string>
#include <string_view>

#include "interrupt.hpp"
#include "line.hpp"
#include "line_sink.hpp"
#include "position_set.hpp"

namespace varsift::core {

// Reads the VCF file at `path` once and hands `sink` every '#' line and the data lines whose
// second TAB-separated field is one of `positions` (every data line when `positions` is
// empty). Any fault raises a Failure; `interruption`, when given, is checked while the file is
// opened and read, and may end the subset by throwing.
void subset_vcf(std::string_view path, const PositionList& positions, LineSink& sink,
                Interruption* interruption = nullptr);

struct SubsetResult {
  LineList header;
  LineList data;
};

// The same, collecting the kept lines.
SubsetResult subset_vcf(std::string_view path, const PositionList& positions);

}  // namespace varsift::core
