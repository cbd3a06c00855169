#include "subset.hpp"

#include <variant>

#include "failure.hpp"
#include "file.hpp"
#include "file_source.hpp"
#include "line_reader.hpp"
#include "record_position.hpp"

namespace varsift::core {
namespace {

// The report locations of the four ways a subset can fail.
constexpr FailureSite open_site{"src\\lib", 18, 37};
constexpr FailureSite read_site{"src\\lib", 24, 25};
constexpr FailureSite missing_field_site{"src\\lib", 29, 37};
constexpr FailureSite position_site{"src\\lib", 29, 61};

// Reads the position of a data line, raising its failure if there is none.
std::uint64_t position_of(std::string_view line) {
  const RecordPosition position = read_position(line);
  switch (position.fault) {
    case RecordPosition::Fault::none:
      return position.value;
    case RecordPosition::Fault::no_field:
      raise_failure(missing_field_site);
    case RecordPosition::Fault::not_a_number:
      raise_failure(position_site, position.error);
  }
  return position.value;
}

// Collects the kept lines as owned strings.
class LineLists final : public LineSink {
 public:
  void header(std::string_view line, bool) override { result.header.emplace_back(line); }
  void data(std::string_view line, bool) override { result.data.emplace_back(line); }

  SubsetResult result;
};

}  // namespace

void subset_vcf(std::string_view path, const PositionList& positions, LineSink& sink,
                Interruption* interruption) {
  OpenResult opened = File::open(path, interruption);
  if (const auto* error = std::get_if<IoError>(&opened)) raise_failure(open_site, *error);
  FileSource source(std::get<File>(std::move(opened)), interruption);
  LineReader reader(source);
  PositionSet wanted(positions);
  for (;;) {
    const LineReader::Status status = reader.next();
    if (status == LineReader::Status::end) break;
    if (status == LineReader::Status::error) raise_failure(read_site, reader.error());
    const std::string_view line = reader.line();
    if (!line.empty() && line.front() == '#') {
      sink.header(line, reader.line_is_ascii());
      continue;
    }
    const std::uint64_t position = position_of(line);
    if (wanted.empty() || wanted.contains(position)) sink.data(line, reader.line_is_ascii());
  }
}

SubsetResult subset_vcf(std::string_view path, const PositionList& positions) {
  LineLists lists;
  subset_vcf(path, positions, lists);
  return std::move(lists.result);
}

}  // namespace varsift::core
