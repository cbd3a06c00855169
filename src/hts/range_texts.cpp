#include "range_texts.hpp"

#include <algorithm>

namespace varsift::hts {

void RangeTexts::keep(std::size_t range, std::string_view bytes) {
  if (bytes.empty() || bytes.size() > capacity_ - held_) return;
  texts_.emplace_back(range, bytes);
  held_ += bytes.size();
}

const std::string* RangeTexts::find(std::size_t range) const noexcept {
  const auto found =
      std::lower_bound(texts_.begin(), texts_.end(), range,
                       [](const auto& text, std::size_t wanted) { return text.first < wanted; });
  return found != texts_.end() && found->first == range ? &found->second : nullptr;
}

}  // namespace varsift::hts
