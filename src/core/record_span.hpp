#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace varsift::core {

// The TAB-separated field `index` (0: CHROM) of a data line; nullopt when the line has fewer.
std::optional<std::string_view> line_field(std::string_view line, unsigned index) noexcept;

// The INFO/END of a record as htslib's tabix reads it: the first entry named END, read as
// strtol reads a number (leading spaces, a sign, then the leading digits; "100000,5" and
// "100000.5" give 100000), saturating. nullopt without such an entry.
std::optional<std::int64_t> info_end(std::string_view info) noexcept;

// The last base a record covers, 1-based: INFO/END when it is not before POS, else the last
// base of REF (POS itself for an empty REF). This is the span that indexes store, so a region
// matched by it finds, through an index, what a scan finds.
std::uint64_t record_end(std::string_view line, std::uint64_t pos) noexcept;

// Where a record's variation starts, 1-based: POS plus the bases that REF shares at its start
// with every ALT allele, taking the allele that shares fewest. The variation of an insertion
// then starts just after the record's end (it lies between two bases). nullopt for a record
// without ALT alleles (ALT '.'), which varies nothing.
std::optional<std::uint64_t> variant_start(std::string_view line, std::uint64_t pos) noexcept;

}  // namespace varsift::core
