#include "header_field.hpp"

namespace varsift::core {
namespace {

// Where the quoted text starting at `from` (just after its opening quote) ends: the index of
// its closing quote, or npos.
std::size_t closing_quote(std::string_view text, std::size_t from) noexcept {
  for (std::size_t i = from; i < text.size(); ++i) {
    if (text[i] == '\\') {
      ++i;
    } else if (text[i] == '"') {
      return i;
    }
  }
  return std::string_view::npos;
}

}  // namespace

std::optional<std::string_view> structured_field(std::string_view line, std::string_view type,
                                                 std::string_view key) noexcept {
  if (!line.starts_with("##")) return std::nullopt;
  line.remove_prefix(2);
  if (!line.starts_with(type) || !line.substr(type.size()).starts_with("=<")) return std::nullopt;
  line.remove_prefix(type.size() + 2);
  std::size_t at = 0;
  while (at < line.size()) {
    const std::size_t equals = line.find_first_of("=,>", at);
    if (equals == std::string_view::npos) return std::nullopt;
    const std::string_view name = line.substr(at, equals - at);
    std::string_view value;
    std::size_t after = equals;
    if (line[equals] == '=') {
      if (equals + 1 < line.size() && line[equals + 1] == '"') {
        const std::size_t close = closing_quote(line, equals + 2);
        if (close == std::string_view::npos) return std::nullopt;
        value = line.substr(equals + 2, close - equals - 2);
        after = close + 1;
      } else {
        after = line.find_first_of(",>", equals + 1);
        if (after == std::string_view::npos) after = line.size();
        value = line.substr(equals + 1, after - equals - 1);
      }
    }
    if (name == key && line[equals] == '=') return value;
    if (after >= line.size() || line[after] == '>') return std::nullopt;
    at = after + 1;
  }
  return std::nullopt;
}

}  // namespace varsift::core
