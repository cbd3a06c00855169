#include "record_span.hpp"

#include <algorithm>
#include <limits>

namespace varsift::core {

std::optional<std::string_view> line_field(std::string_view line, unsigned index) noexcept {
  for (unsigned i = 0; i < index; ++i) {
    const std::size_t tab = line.find('\t');
    if (tab == std::string_view::npos) return std::nullopt;
    line.remove_prefix(tab + 1);
  }
  return line.substr(0, line.find('\t'));
}

std::optional<std::int64_t> info_end(std::string_view info) noexcept {
  constexpr std::string_view key = "END=";
  for (std::size_t start = 0; start < info.size();) {
    const std::size_t semicolon = std::min(info.find(';', start), info.size());
    const std::string_view entry = info.substr(start, semicolon - start);
    if (entry.starts_with(key)) {
      std::string_view text = entry.substr(key.size());
      while (!text.empty() &&
             (text.front() == ' ' || (text.front() >= '\t' && text.front() <= '\r')))
        text.remove_prefix(1);
      const bool negative = !text.empty() && text.front() == '-';
      if (!text.empty() && (text.front() == '-' || text.front() == '+')) text.remove_prefix(1);
      constexpr std::int64_t most = std::numeric_limits<std::int64_t>::max();
      std::int64_t value = 0;
      for (const char c : text) {
        if (c < '0' || c > '9') break;
        const int digit = c - '0';
        value = value > (most - digit) / 10 ? most : value * 10 + digit;
      }
      return negative ? -value : value;
    }
    start = semicolon + 1;
  }
  return std::nullopt;
}

std::uint64_t record_end(std::string_view line, std::uint64_t pos) noexcept {
  // Fields 3 (REF) to 7 (INFO); a short line covers POS alone.
  const std::uint64_t first = pos;
  const std::optional<std::string_view> ref = line_field(line, 3);
  if (!ref) return first;
  const std::optional<std::string_view> info =
      line_field(std::string_view(ref->data(), line.data() + line.size() - ref->data()), 4);
  if (info) {
    const std::optional<std::int64_t> end = info_end(*info);
    if (end && *end >= 0 && static_cast<std::uint64_t>(*end) >= first)
      return static_cast<std::uint64_t>(*end);
  }
  if (ref->empty()) return first;
  const std::uint64_t length = ref->size() - 1;
  return first > std::numeric_limits<std::uint64_t>::max() - length
             ? std::numeric_limits<std::uint64_t>::max()
             : first + length;
}

std::optional<std::uint64_t> variant_start(std::string_view line, std::uint64_t pos) noexcept {
  const std::optional<std::string_view> ref = line_field(line, 3);
  if (!ref) return std::nullopt;
  const std::optional<std::string_view> alt =
      line_field(std::string_view(ref->data(), line.data() + line.size() - ref->data()), 1);
  if (!alt || *alt == "." || alt->empty()) return std::nullopt;
  std::size_t shared = ref->size();
  std::string_view alleles = *alt;
  while (true) {
    const std::size_t comma = alleles.find(',');
    const std::string_view allele = alleles.substr(0, comma);
    std::size_t common = 0;
    const std::size_t limit = std::min(allele.size(), ref->size());
    while (common < limit && allele[common] == (*ref)[common]) ++common;
    shared = std::min(shared, common);
    if (comma == std::string_view::npos) break;
    alleles.remove_prefix(comma + 1);
  }
  return pos + shared;
}

}  // namespace varsift::core
