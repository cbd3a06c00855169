#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

#include "selection.hpp"

namespace varsift::library {

// The last POS at which a record may still be kept by a narrowing selection, by chromosome:
// whatever the overlap, a record meets a span only from its POS on, so one past the last span
// of its chromosome is not kept. Spares formatting a record only to test it by its text.
class PosLimit {
 public:
  // No limit when the selection does not narrow (it keeps everything, or all but some).
  explicit PosLimit(const Selection& selection);

  // Whether a record at `pos` on `chrom` lies past every span it could meet.
  bool beyond(std::string_view chrom, std::uint64_t pos);

 private:
  bool limited_ = false;
  std::unordered_map<std::string, std::uint64_t> last_;  // by chromosome
  std::optional<std::uint64_t> anywhere_;                // spans on any chromosome
  // The last chromosome looked up: records come grouped by chromosome.
  std::string chrom_;
  std::uint64_t chrom_last_ = 0;
  bool chrom_spanned_ = false;
  bool looked_up_ = false;
};

}  // namespace varsift::library
