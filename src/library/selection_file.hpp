#pragma once

#include <stdexcept>
#include <string>

#include "selection.hpp"

namespace varsift::library {

// The forms of a file of selectors, one a line, columns separated by TABs or spaces, blank
// lines and lines starting with '#' skipped, a UTF-8 byte order mark at the start ignored.
enum class SelectionFormat : unsigned char {
  // POS (on any chromosome), CHROM POS, or CHROM BEG END (1-based, inclusive).
  positions,
  // CHROM, CHROM POS or CHROM BEG END, 1-based and inclusive; a third column that is not a
  // number (REF, say) is ignored, as are the columns after it.
  tab,
  // CHROM BEG END, 0-based and half-open, further columns ignored; or CHROM alone.
  bed,
};

// A line of a selectors file that cannot be read: "FILE:LINE: reason".
class SelectionFileError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The form of a regions or targets file by its name: BED for .bed and .bed.gz, else tab.
SelectionFormat format_by_name(const std::string& path) noexcept;

// Adds the selectors of the file at `path` ("-": standard input; plain, gzip or BGZF) to
// `clause`, reading it once. Throws SelectionFileError for a line that cannot be read, and
// ScanError when the file cannot be opened or read.
void read_selection_file(const std::string& path, SelectionFormat format, Clause& clause);

}  // namespace varsift::library
