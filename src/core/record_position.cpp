#include "record_position.hpp"

namespace varsift::core {

std::optional<std::string_view> position_field(std::string_view line) noexcept {
  const std::size_t first = line.find('\t');
  if (first == std::string_view::npos) return std::nullopt;
  const std::string_view rest = line.substr(first + 1);
  return rest.substr(0, rest.find('\t'));
}

RecordPosition read_position_exactly(std::string_view line) noexcept {
  const std::optional<std::string_view> field = position_field(line);
  if (!field) return {0, RecordPosition::Fault::no_field};
  RecordPosition result;
  if (const auto error = parse_position(*field, result.value)) {
    result.fault = RecordPosition::Fault::not_a_number;
    result.error = *error;
  }
  return result;
}

}  // namespace varsift::core
