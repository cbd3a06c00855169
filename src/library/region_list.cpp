#include "region_list.hpp"

#include <htslib/hts.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "hts/bgzf_file.hpp"

namespace varsift::library {
namespace {

// What htslib asks of the names in one item of a list.
struct Names {
  bool braced = false;
  int asked = 0;
  std::string last;
};

// htslib asks first for the whole item as a name, then for the text before its last ':'. Any
// name is taken (the file's sequences are not known yet), except the whole item when it holds
// a ':', so that CHROM:POS is read as such, and names with a ',', which separates a list;
// braces say where a name with a ':' ends.
int name_to_id(void* data, const char* name) {
  auto& names = *static_cast<Names*>(data);
  ++names.asked;
  if (*name == '\0' || (!names.braced && std::strchr(name, ',') != nullptr)) return -1;
  if (!names.braced && names.asked == 1 && std::strchr(name, ':') != nullptr) return -1;
  names.last = name;
  return 0;
}

// htslib's positions wrap silently past 19 digits: refuse such numbers first.
bool has_huge_number(std::string_view item) {
  const std::size_t brace = item.starts_with('{') ? item.find('}') : 0;
  const std::size_t colon = item.rfind(':');
  if (brace == std::string_view::npos || colon == std::string_view::npos || colon < brace)
    return false;
  std::size_t run = 0;
  for (const char c : item.substr(colon + 1)) {
    if (c == ',') continue;
    run = c >= '0' && c <= '9' ? run + 1 : 0;
    if (run >= 19) return true;
  }
  return false;
}

// Parses one region at `text`; gives where the next begins, or nullptr.
const char* parse_one(const char* text, int flags, Region& region) {
  Names names;
  names.braced = *text == '{';
  int tid = -1;
  hts_pos_t beg = 0;
  hts_pos_t end = 0;
  const char* next = hts_parse_region(text, &tid, &beg, &end, name_to_id, &names, flags);
  if (next == nullptr || tid < 0) return nullptr;
  constexpr hts_pos_t open = hts_pos_t{1} << 62;
  region.chrom = std::move(names.last);
  region.end = end >= open ? UINT64_MAX : static_cast<std::uint64_t>(end);
  // CHROM and CHROM:1- take in a record at POS 0 too, as "CHROM:0-" does.
  region.beg = beg <= 0 && end >= open ? 0 : static_cast<std::uint64_t>(beg + 1);
  return next;
}

}  // namespace

void add_region_list(std::string_view list, Clause& clause) {
  const std::string text(list);
  const auto refuse = [&](std::string_view item) -> void {
    throw RegionListError("cannot read the region '" + std::string(item) + "'");
  };
  if (text.empty() || text.find('\0') != std::string::npos) refuse(text);
  hts::silence_htslib_logging();
  Region region;
  // One region, where commas may be thousands separators; otherwise a list.
  const char* whole =
      parse_one(text.c_str(), HTS_PARSE_ONE_COORD | HTS_PARSE_THOUSANDS_SEP, region);
  if (whole != nullptr && *whole == '\0' && !has_huge_number(text)) {
    clause.regions.add(region.chrom, region.beg, region.end);
    return;
  }
  for (const char* at = text.c_str(); *at != '\0';) {
    const char* comma = std::strchr(at, ',');
    const std::string_view item(
        at, comma == nullptr ? std::strlen(at) : static_cast<std::size_t>(comma - at));
    const char* next = has_huge_number(item)
                           ? nullptr
                           : parse_one(at, HTS_PARSE_ONE_COORD | HTS_PARSE_LIST, region);
    if (next == nullptr) refuse(item);
    if (region.beg > region.end) refuse(item);
    clause.regions.add(region.chrom, region.beg, region.end);
    at = next;
  }
}

}  // namespace varsift::library
