#include "sequence_names.hpp"

#include <bit>
#include <functional>

namespace varsift::hts {

std::optional<std::string> SequenceNames::assign(const std::vector<std::string_view>& names) {
  names_.clear();
  slots_.assign(std::bit_ceil(2 * names.size() + 1), 0);
  const std::size_t mask = slots_.size() - 1;
  names_.reserve(names.size());
  for (const std::string_view name : names) {
    std::size_t slot = std::hash<std::string_view>{}(name)&mask;
    for (; slots_[slot] != 0; slot = (slot + 1) & mask) {
      if (names_[slots_[slot] - 1] == name) {
        names_.clear();
        slots_.clear();
        return std::string(name);
      }
    }
    names_.emplace_back(name);
    slots_[slot] = names_.size();
  }
  return std::nullopt;
}

int SequenceNames::find(std::string_view name) const noexcept {
  if (slots_.empty()) return -1;
  const std::size_t mask = slots_.size() - 1;
  for (std::size_t slot = std::hash<std::string_view>{}(name)&mask; slots_[slot] != 0;
       slot = (slot + 1) & mask) {
    if (names_[slots_[slot] - 1] == name) return static_cast<int>(slots_[slot] - 1);
  }
  return -1;
}

}  // namespace varsift::hts
