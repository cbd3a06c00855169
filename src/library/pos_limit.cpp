#include "pos_limit.hpp"

#include <algorithm>

namespace varsift::library {

PosLimit::PosLimit(const Selection& selection) : limited_(selection.narrows()) {
  selection.for_each_span([this](std::string_view chrom, std::uint64_t, std::uint64_t last) {
    if (chrom.empty()) {
      anywhere_ = std::max(anywhere_.value_or(0), last);
      return;
    }
    auto [entry, added] = last_.try_emplace(std::string(chrom), last);
    if (!added) entry->second = std::max(entry->second, last);
  });
}

bool PosLimit::beyond(std::string_view chrom, std::uint64_t pos) {
  if (!limited_) return false;
  if (!looked_up_ || chrom != chrom_) {
    chrom_.assign(chrom);
    looked_up_ = true;
    const auto found = last_.find(chrom_);
    // Nothing may be kept on a chromosome that no span names.
    chrom_spanned_ = found != last_.end() || anywhere_;
    chrom_last_ = std::max(found == last_.end() ? 0 : found->second, anywhere_.value_or(0));
  }
  return !chrom_spanned_ || pos > chrom_last_;
}

}  // namespace varsift::library
