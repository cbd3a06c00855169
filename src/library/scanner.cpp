#include "scanner.hpp"

#include <string>

#include "core/record_position.hpp"
#include "scan_error.hpp"

namespace varsift::library {
namespace {

// Field text shown in a message, cut short so that a huge field cannot flood it.
std::string shown(std::string_view text) {
  constexpr std::size_t limit = 40;
  std::string result = "'";
  result.append(text.substr(0, limit));
  if (text.size() > limit) result += "...";
  result += "'";
  return result;
}

std::string position_fault(std::string_view line, const core::RecordPosition& position) {
  if (position.fault == core::RecordPosition::Fault::no_field) {
    return "no POS field (the line has no TAB)";
  }
  const std::string_view field = core::position_field(line).value_or(std::string_view());
  switch (position.error.kind) {
    case core::IntErrorKind::Empty:
      return "POS is empty";
    case core::IntErrorKind::PosOverflow:
      return "POS out of range (above 18446744073709551615): " + shown(field);
    default:
      return "POS is not a number: " + shown(field);
  }
}

}  // namespace

Scanner::Scanner(std::unique_ptr<core::ByteSource> source, Selection selection)
    : source_(std::move(source)), reader_(source_), selection_(std::move(selection)) {}

void Scanner::fail_reading() {
  const core::IoError& error = reader_.error();
  const std::uint64_t line = line_number_ + 1;
  if (!source_.failed()) throw ScanError::malformed("not valid UTF-8", line);
  if (error.is_os()) throw ScanError::os(error.os_code(), line);
  throw ScanError::damaged(error, line);
}

bool Scanner::step(LineSink& sink, std::size_t input_bytes) {
  if (ended_) return false;
  const bool everything = selection_.keeps_everything();
  std::size_t read = 0;
  while (read < input_bytes && !sink.full()) {
    const core::LineReader::Status status = reader_.next();
    if (status == core::LineReader::Status::end) {
      ended_ = true;
      return false;
    }
    if (status == core::LineReader::Status::error) fail_reading();
    ++line_number_;
    const std::string_view line = reader_.line();
    read += line.size() + 1;
    if (!line.empty() && line.front() == '#') {
      sink.header(line, reader_.line_is_ascii());
      continue;
    }
    const core::RecordPosition position = core::read_position(line);
    if (position.fault != core::RecordPosition::Fault::none) {
      throw ScanError::malformed(position_fault(line, position), line_number_);
    }
    const std::string_view chrom =
        selection_.looks_at_chromosome() ? line.substr(0, line.find('\t')) : std::string_view();
    if (everything || selection_.keeps(chrom, position.value)) {
      ++records_kept_;
      sink.data(line, reader_.line_is_ascii());
    }
  }
  return true;
}

}  // namespace varsift::library
