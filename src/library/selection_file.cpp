#include "selection_file.hpp"

#include <htslib/regidx.h>

#include <charconv>
#include <memory>
#include <optional>
#include <string_view>
#include <vector>

#include "core/utf8.hpp"
#include "hts/bgzf_file.hpp"
#include "input.hpp"
#include "scan_error.hpp"

namespace varsift::library {
namespace {

// A line of selectors is a few short columns; a longer one is not such a file (/dev/zero).
constexpr std::size_t max_line_bytes = 65536;
// Where htslib's region files end a range that runs to the end of its chromosome.
constexpr hts_pos_t open_end = static_cast<hts_pos_t>(REGIDX_MAX);

bool is_space(char c) noexcept {
  return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f';
}

// Plain decimal digits, as a number that fits hts_pos_t.
std::optional<std::uint64_t> digits(std::string_view text) noexcept {
  std::uint64_t value = 0;
  if (text.empty() || text.front() == '+') return std::nullopt;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

class LineError {
 public:
  LineError(const std::string& path, std::uint64_t number) : path_(path), number_(number) {}
  [[noreturn]] void operator()(const std::string& reason) const {
    throw SelectionFileError((path_ == "-" ? std::string("<stdin>") : path_) + ":" +
                             std::to_string(number_) + ": " + reason);
  }

 private:
  const std::string& path_;
  std::uint64_t number_;
};

std::string shown(std::string_view text) {
  std::string result = "'";
  result.append(text.substr(0, 40));
  if (text.size() > 40) result += "...";
  return result + "'";
}

void add_positions_line(const std::vector<std::string_view>& fields, Clause& clause,
                        const LineError& fail) {
  const auto number = [&](std::string_view text) {
    const std::optional<std::uint64_t> value = digits(text);
    if (!value) {
      const bool all_digits = text.find_first_not_of("0123456789") == std::string_view::npos;
      fail((all_digits && !text.empty() ? "position out of range (0 to 18446744073709551615): "
                                        : "not a position: ") +
           shown(text));
    }
    return *value;
  };
  switch (fields.size()) {
    case 1:
      clause.positions.push_back(number(fields[0]));
      return;
    case 2:
      clause.targets.add(fields[0], number(fields[1]));
      return;
    case 3: {
      const std::uint64_t beg = number(fields[1]);
      const std::uint64_t end = number(fields[2]);
      if (beg > end) fail("region begins after it ends");
      clause.regions.add(fields[0], beg, end);
      return;
    }
    default:
      fail("expected POS, CHROM POS or CHROM BEG END, got " + std::to_string(fields.size()) +
           " columns");
  }
}

// Checks the columns htslib reads (it takes "100x" for 100), then lets it read them.
void add_region_line(std::string_view line, const std::vector<std::string_view>& fields,
                     SelectionFormat format, Clause& clause, std::string& buffer,
                     const LineError& fail) {
  const bool bed = format == SelectionFormat::bed;
  if (bed && fields.size() == 2) fail("expected CHROM BEG END (BED), got 2 columns");
  for (std::size_t i = 1; i < std::min<std::size_t>(fields.size(), 3); ++i) {
    const std::optional<std::uint64_t> value = digits(fields[i]);
    // A tab file's third column may be REF, or anything else that is not a number.
    if (!bed && i == 2 && !value && !(fields[i].front() >= '0' && fields[i].front() <= '9')) break;
    if (!value || *value >= REGIDX_MAX) fail("not a position: " + shown(fields[i]));
    if (!bed && *value == 0) fail("positions are 1-based, not 0");
  }
  buffer.assign(line);
  char* chrom_begin = nullptr;
  char* chrom_end = nullptr;
  hts_pos_t beg = 0;
  hts_pos_t end = 0;
  const int parsed = (bed ? regidx_parse_bed : regidx_parse_tab)(
      buffer.c_str(), &chrom_begin, &chrom_end, &beg, &end, nullptr, nullptr);
  if (parsed != 0 || chrom_begin == nullptr || chrom_end < chrom_begin)
    fail("cannot read the line");
  if (end < beg) {
    // BED's empty ranges hold no base; elsewhere a range must not end before it begins.
    if (bed) return;
    fail("region begins after it ends");
  }
  const std::uint64_t last = end >= open_end - 1 ? UINT64_MAX : static_cast<std::uint64_t>(end) + 1;
  // A whole chromosome takes in POS 0 too.
  const std::uint64_t first = fields.size() == 1 ? 0 : static_cast<std::uint64_t>(beg) + 1;
  clause.regions.add(
      std::string_view(chrom_begin, static_cast<std::size_t>(chrom_end + 1 - chrom_begin)), first,
      last);
}

// Up to 19 plain digits, more than no uint64_t holds; gives where they end, or nullptr.
const char* short_number(const char* at, const char* end, std::uint64_t& value) noexcept {
  const char* const start = at;
  value = 0;
  for (; at != end && at - start < 20; ++at) {
    const unsigned digit = static_cast<unsigned char>(*at) - unsigned{'0'};
    if (digit > 9) break;
    value = value * 10 + digit;
  }
  return at == start || at - start > 19 ? nullptr : at;
}

// Reads the usual line, CHROM TAB POS or CHROM TAB BEG TAB END in ASCII with plain digits, or
// POS alone in a positions file, without splitting it into fields: what the general reading
// gives for it, at a fraction of the cost. False for any other line (comments, spaces, BED,
// a number that the general reading refuses), which the general reading takes.
bool read_usual_line(std::string_view line, SelectionFormat format, Clause& clause) {
  if (format == SelectionFormat::bed || line.size() > max_line_bytes) return false;
  const char* at = line.data();
  const char* const end = at + line.size();
  const auto printable = [](char c) {
    return static_cast<unsigned char>(c) > ' ' && static_cast<unsigned char>(c) < 0x7f;
  };
  while (at != end && printable(*at)) ++at;
  if (at == line.data() || line.front() == '#') return false;
  std::uint64_t first = 0;
  if (at == end) {
    if (format != SelectionFormat::positions || short_number(line.data(), end, first) != end)
      return false;
    clause.positions.push_back(first);
    return true;
  }
  if (*at != '\t') return false;
  const std::string_view chrom(line.data(), static_cast<std::size_t>(at - line.data()));
  const bool tab = format == SelectionFormat::tab;
  at = short_number(at + 1, end, first);
  if (at == nullptr || (tab && (first == 0 || first >= REGIDX_MAX))) return false;
  if (at == end) {
    if (tab) {
      clause.regions.add(chrom, first, first);
    } else {
      clause.targets.add(chrom, first);
    }
    return true;
  }
  std::uint64_t last = 0;
  if (*at != '\t' || short_number(at + 1, end, last) != end) return false;
  if (first > last || (tab && last >= REGIDX_MAX)) return false;
  clause.regions.add(chrom, first, last);
  return true;
}

}  // namespace

SelectionFormat format_by_name(const std::string& path) noexcept {
  const std::string_view name(path);
  return name.ends_with(".bed") || name.ends_with(".bed.gz") ? SelectionFormat::bed
                                                             : SelectionFormat::tab;
}

void read_selection_file(const std::string& path, SelectionFormat format, Clause& clause) {
  hts::silence_htslib_logging();
  const std::unique_ptr<core::ByteSource> source = open_input(path, 1);
  std::string pending;  // a line that began in an earlier piece of input
  std::string buffer;
  std::vector<std::string_view> fields;
  std::uint64_t number = 0;

  const auto take = [&](std::string_view line) {
    ++number;
    if (read_usual_line(line, format, clause)) return;
    const LineError fail(path, number);
    if (line.size() > max_line_bytes)
      fail("line longer than " + std::to_string(max_line_bytes) + " bytes");
    if (number == 1 && line.starts_with("\xEF\xBB\xBF")) line.remove_prefix(3);
    if (!core::is_ascii(line) && !core::is_valid_utf8(line)) fail("not UTF-8 text");
    fields.clear();
    for (std::size_t at = 0; at < line.size();) {
      while (at < line.size() && is_space(line[at])) ++at;
      const std::size_t start = at;
      while (at < line.size() && !is_space(line[at])) ++at;
      if (at > start) fields.push_back(line.substr(start, at - start));
    }
    if (fields.empty() || fields.front().front() == '#') return;
    if (format == SelectionFormat::positions) {
      add_positions_line(fields, clause, fail);
    } else {
      add_region_line(line, fields, format, clause, buffer, fail);
    }
  };

  std::string_view bytes;
  core::IoError error = core::IoError::bare(core::ErrorKind::Other);
  bool read = true;
  while ((read = source->next_bytes(bytes, error)) && !bytes.empty()) {
    while (!bytes.empty()) {
      const std::size_t newline = bytes.find('\n');
      if (newline == std::string_view::npos) {
        if (pending.size() + bytes.size() > max_line_bytes + 1) {
          LineError(path,
                    number + 1)("line longer than " + std::to_string(max_line_bytes) + " bytes");
        }
        pending.append(bytes);
        break;
      }
      if (pending.empty()) {
        take(bytes.substr(0, newline));
      } else {
        pending.append(bytes.substr(0, newline));
        take(pending);
        pending.clear();
      }
      bytes.remove_prefix(newline + 1);
    }
  }
  if (!read) {
    if (error.is_os()) throw ScanError::os(error.os_code(), LinePlace::line(number + 1));
    throw ScanError::damaged(error, LinePlace::line(number + 1));
  }
  if (!pending.empty()) take(pending);
}

}  // namespace varsift::library
