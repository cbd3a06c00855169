#include "contig_line.hpp"

namespace varsift::core {

std::string_view contig_id(std::string_view line) noexcept {
  constexpr std::string_view prefix = "##contig=<";
  if (!line.starts_with(prefix)) return {};
  line.remove_prefix(prefix.size());
  while (!line.empty()) {
    // One key=value entry, up to a ',' or '>' outside quotes.
    std::size_t at = 0;
    bool quoted = false;
    for (; at < line.size(); ++at) {
      const char c = line[at];
      if (quoted && c == '\\' && at + 1 < line.size()) {
        ++at;
      } else if (c == '"') {
        quoted = !quoted;
      } else if (!quoted && (c == ',' || c == '>')) {
        break;
      }
    }
    const std::string_view entry = line.substr(0, at);
    if (entry.starts_with("ID=")) {
      std::string_view id = entry.substr(3);
      if (id.size() >= 2 && id.front() == '"' && id.back() == '"') id = id.substr(1, id.size() - 2);
      return id;
    }
    if (at >= line.size() || line[at] == '>') return {};
    line.remove_prefix(at + 1);
  }
  return {};
}

}  // namespace varsift::core
