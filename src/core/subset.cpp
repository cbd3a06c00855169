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

// Reads the position of a data line, raising its failure if there is none. The common field,
// a few plain digits, is read in the same pass that finds it; anything else goes the long
// way, which decides the exact fault.
std::uint64_t position_of(std::string_view line) {
  const char* const end = line.data() + line.size();
  const char* p = line.data();
  // The chromosome name is short: a byte loop beats memchr's set-up.
  while (p != end && *p != '\t') ++p;
  if (p != end) {
    const char* const digits = ++p;
    std::uint64_t value = 0;
    for (unsigned char digit; p != end && (digit = static_cast<unsigned char>(*p - '0')) <= 9;
         ++p) {
      value = value * 10 + digit;
    }
    if (p != digits && static_cast<std::size_t>(p - digits) <= digits_that_always_fit &&
        (p == end || *p == '\t')) {
      return value;
    }
  }
  const std::optional<std::string_view> field = position_field(line);
  if (!field) raise_failure(missing_field_site);
  std::uint64_t position = 0;
  if (const auto error = parse_position(*field, position)) raise_failure(position_site, *error);
  return position;
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
    const std::uint64_t position = position_of(line);
    if (wanted.empty() || wanted.contains(position)) result.data.push_back(reader.take_line());
  }
  return result;
}

}  // namespace varsift::core
