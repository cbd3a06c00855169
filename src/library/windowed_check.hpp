#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "hts/index.hpp"
#include "hts/range_check.hpp"

typedef struct BGZF BGZF;

namespace varsift::hts {
class KeptBlocks;
}

namespace varsift::library {

// The ranges of an index that the reading checks as it comes to them, where a failed check is
// an error (a forced or named index): in windows of what the kept blocks hold, each just before
// its records are given, so that each block is read once in memory bounded by the kept blocks.
class WindowedCheck {
 public:
  // `checked`: the ranges from the first checked before the reading; `mismatch` names the index
  // and the data ("index I does not match D: ").
  WindowedCheck(hts::Index index, std::vector<hts::VirtualRange> ranges, std::size_t checked,
                hts::RangeCheckOptions options, std::string mismatch) noexcept;

  // Checks the ranges from the first unchecked one on, as far as `kept` holds them, once the
  // reading of `file` comes to range `range`. Throws ScanError (malformed) where they do not
  // meet the data. Damage is the data's: the reading meets it at its block, reading from there
  // afresh, with nothing more to check.
  void before(BGZF* file, hts::KeptBlocks& kept, std::size_t range);

 private:
  hts::Index index_;
  std::vector<hts::VirtualRange> ranges_;
  std::size_t checked_;
  hts::RangeCheckOptions options_;
  std::string mismatch_;
};

}  // namespace varsift::library
