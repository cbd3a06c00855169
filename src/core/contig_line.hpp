#pragma once

#include <string_view>

namespace varsift::core {

// The ID of a ##contig header line; empty for other lines. Values in double quotes may hold
// ',', '>' and '=' (with \" for a quote).
std::string_view contig_id(std::string_view line) noexcept;

}  // namespace varsift::core
