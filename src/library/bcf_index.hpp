#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "hts/bcf_reader.hpp"
#include "index_input.hpp"
#include "selection.hpp"

namespace varsift::library {

// A BCF file opened for a selection: through its .csi, or whole.
struct SelectedBcf {
  std::unique_ptr<hts::BcfReader> reader;
  // Whether the reader gives only the records of the ranges the index points to.
  bool through_index = false;
  // Why an index beside the file was not followed although present; empty otherwise.
  std::string warning;
};

// The header's contig names, by their ids, as a BCF's records and index count them.
std::vector<std::string_view> contig_names(const bcf_hdr_t& header);

// Opens the BCF file `path` (local or a URL) for `selection`, following its .csi (what
// `bcftools index` writes: sequences by the header's contig ids) under the rules a BGZF VCF's
// index follows: a narrowing selection, a sound index that matches the file, and a query
// cheaper than a scan in automatic mode. A missing, stale or damaged index gives a warning and
// the whole file in automatic mode, and throws IndexUnusable when forced or named. Throws
// ScanError when the file cannot be opened. The index is followed through `positioned` when given
// (the file opened for index code, at its start), without opening the file again. With
// `not_bcf`, a file that is not BCF is no error: it is set, and the reader is null.
SelectedBcf open_selected_bcf(const std::string& path, const Selection& selection,
                              const IndexOptions& options, int threads,
                              std::optional<hts::BgzfSource> positioned = std::nullopt,
                              bool* not_bcf = nullptr);

}  // namespace varsift::library
