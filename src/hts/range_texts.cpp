#include "range_texts.hpp"

#include <algorithm>

namespace varsift::hts {

void RangeTexts::keep(std::size_t range, std::string_view bytes,
                      std::optional<std::uint64_t> rest) {
  if (bytes.empty() || bytes.size() > capacity_ - held_) return;
  texts_.push_back({range, std::string(bytes), rest});
  held_ += bytes.size();
}

const RangeTexts::Text* RangeTexts::find(std::size_t range) const noexcept {
  const auto found =
      std::lower_bound(texts_.begin(), texts_.end(), range,
                       [](const Text& text, std::size_t wanted) { return text.range < wanted; });
  return found != texts_.end() && found->range == range ? &*found : nullptr;
}

}  // namespace varsift::hts
