#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace varsift::hts {

// The sequences of an index, by position, with a hash table from name to position: looked up
// once per selected chromosome and per ##contig line, so it must stay cheap at 10^5 names.
class SequenceNames {
 public:
  SequenceNames() = default;
  // Takes the names in order; gives a name listed twice, if any, and leaves the table empty.
  std::optional<std::string> assign(const std::vector<std::string_view>& names);

  const std::vector<std::string>& names() const noexcept { return names_; }
  // The position of `name`; -1 if the index does not name it.
  int find(std::string_view name) const noexcept;

 private:
  std::vector<std::string> names_;
  // Open addressing, at most half full: a slot holds a position plus one, 0 when free.
  std::vector<std::size_t> slots_;
};

}  // namespace varsift::hts
