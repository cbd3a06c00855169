#include "scanner.hpp"

#include <string>

#include "core/contig_line.hpp"
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
    : partial_(dynamic_cast<const PartialSource*>(source.get())),
      source_(std::move(source)),
      reader_(source_),
      selection_(std::move(selection)) {
  if (auto* partial = dynamic_cast<PartialSource*>(&source_.inner())) partial->select(selection_);
}

LinePlace Scanner::place(std::uint64_t number, std::string_view what) const {
  if (partial_ == nullptr || !partial_->past_header()) return LinePlace::line(number);
  std::string description(what);
  description += last_record_.empty()
                     ? (partial_->through_index() ? " before any record read through the index"
                                                  : " before any record")
                     : " after " + last_record_;
  description +=
      " (BGZF block at compressed offset " + std::to_string(partial_->block_address()) + ")";
  return {std::nullopt, std::move(description)};
}

void Scanner::note_contig(std::string_view id) {
  if (!chromosomes_ready_) {
    chromosomes_ready_ = true;
    // Each name once: the table cannot refuse them.
    static_cast<void>(chromosomes_.assign(selection_.chromosomes()));
    declared_.assign(chromosomes_.names().size(), false);
  }
  if (const int found = chromosomes_.find(id); found >= 0) {
    declared_[static_cast<std::size_t>(found)] = true;
  }
}

void Scanner::end_header() {
  header_done_ = true;
  const bool from_index = !any_contig_;
  if (from_index && selection_.looks_at_chromosome()) {
    for (const std::string& name : index_sequences_) note_contig(name);
  }
  index_sequences_ = {};
  if (!chromosomes_ready_) return;
  std::string unknown;
  std::size_t count = 0;
  const std::vector<std::string>& names = chromosomes_.names();
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (declared_[i]) continue;
    if (++count <= 5) unknown += (count == 1 ? "'" : ", '") + names[i] + "'";
  }
  if (count > 5) unknown += " and " + std::to_string(count - 5) + " more";
  if (count != 0) {
    warning_ = "the selection names " + std::string(count == 1 ? "a chromosome" : "chromosomes") +
               (from_index ? " that the index's sequences do not: "
                           : " that the header's ##contig lines do not: ") +
               unknown;
  }
  chromosomes_ = {};
  declared_ = {};
}

void Scanner::fail_reading() {
  const core::IoError& error = reader_.error();
  const LinePlace where = place(line_number_ + 1, "line");
  if (!source_.failed()) throw ScanError::malformed("not valid UTF-8", where);
  if (error.is_os()) throw ScanError::os(error.os_code(), where);
  throw ScanError::damaged(error, where);
}

bool Scanner::step(LineSink& sink, std::size_t input_bytes) {
  if (ended_) return false;
  const bool everything = selection_.keeps_everything();
  std::size_t read = 0;
  while (read < input_bytes && !sink.full()) {
    const core::LineReader::Status status = reader_.next();
    if (status == core::LineReader::Status::end) {
      if (!header_done_) end_header();
      ended_ = true;
      return false;
    }
    if (status == core::LineReader::Status::error) fail_reading();
    ++line_number_;
    const std::string_view line = reader_.line();
    read += line.size() + 1;
    bytes_read_ += line.size() + 1;
    if (!line.empty() && line.front() == '#') {
      // '#' lines among the records (files joined after their headers) are not records, and
      // an index reaches only some: dropped, so that both ways of reading agree.
      if (!header_done_ && (partial_ == nullptr || !partial_->past_header())) {
        if (selection_.looks_at_chromosome()) {
          if (const std::string_view id = core::contig_id(line); !id.empty()) {
            any_contig_ = true;
            note_contig(id);
          }
        }
        sink.header(line, reader_.line_is_ascii());
      }
      continue;
    }
    if (!header_done_) end_header();
    const core::RecordPosition position = core::read_position(line);
    if (position.fault != core::RecordPosition::Fault::none) {
      const std::size_t tab = line.find('\t');
      throw ScanError::malformed(
          position_fault(line, position),
          place(line_number_, tab == std::string_view::npos
                                  ? "line"
                                  : "record on " + shown(line.substr(0, tab))));
    }
    const std::string_view chrom = selection_.looks_at_chromosome() || partial_ != nullptr
                                       ? line.substr(0, line.find('\t'))
                                       : std::string_view();
    if (partial_ != nullptr) {
      last_record_.assign(chrom);
      last_record_ += ':' + std::to_string(position.value);
    }
    if (everything || selection_.keeps(chrom, position.value, line)) {
      ++records_kept_;
      sink.data(line, reader_.line_is_ascii());
    }
  }
  return true;
}

}  // namespace varsift::library
