#include "subset.hpp"

#include <variant>

#include "failure.hpp"
#include "file.hpp"
#include "line_reader.hpp"
#include "position.hpp"

namespace varsift::core {
namespace {

// The report locations of the four ways a subset can fail.
constexpr FailureSite open_site{"src\\lib", 18, 37};
constexpr FailureSite read_site{"src\\lib", 24, 25};
constexpr FailureSite missing_field_site{"src\\lib", 29, 37};
constexpr FailureSite position_site{"src\\lib", 29, 61};

// The text after the first TAB up to the second TAB or the end; nullopt without a TAB.
std::optional<std::string_view> position_field(std::string_view line) noexcept {
  const std::size_t first = line.find('\t');
  if (first == std::string_view::npos) return std::nullopt;
  const std::string_view rest = line.substr(first + 1);
  return rest.substr(0, rest.find('\t'));
}

}  // namespace

SubsetResult subset_vcf(std::string path, PositionList positions) {
  OpenResult opened = File::open(path);
  if (const auto* error = std::get_if<IoError>(&opened)) raise_failure(open_site, *error);
  LineReader reader(std::get<File>(std::move(opened)));
  PositionSet wanted(positions);
  SubsetResult result;
  for (;;) {
    const LineReader::Status status = reader.next();
    if (status == LineReader::Status::end) break;
    if (status == LineReader::Status::error) raise_failure(read_site, reader.error());
    const std::string_view line = reader.line();
    if (!line.empty() && line.front() == '#') {
      result.header.push_back(reader.take_line());
      continue;
    }
    const std::optional<std::string_view> field = position_field(line);
    if (!field) raise_failure(missing_field_site);
    std::uint64_t position = 0;
    if (const auto error = parse_position(*field, position)) raise_failure(position_site, *error);
    if (wanted.empty() || wanted.contains(position)) result.data.push_back(reader.take_line());
  }
  return result;
}

}  // namespace varsift::core
