// Reads the POS of the input as a data line, the quick way and the exact way, and checks both
// against a plain model of the rule: the text after the first TAB up to the next TAB, an
// optional '+', then digits whose value must fit in 64 bits.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "core/record_position.hpp"

namespace {

using varsift::core::IntErrorKind;
using varsift::core::RecordPosition;

RecordPosition model(std::string_view line) {
  const std::size_t tab = line.find('\t');
  if (tab == std::string_view::npos) return {0, RecordPosition::Fault::no_field, {}};
  std::string_view field = line.substr(tab + 1);
  field = field.substr(0, field.find('\t'));
  const auto fail = [](IntErrorKind kind) {
    return RecordPosition{0, RecordPosition::Fault::not_a_number, {kind}};
  };
  if (field.empty()) return fail(IntErrorKind::Empty);
  if (field == "+" || field == "-") return fail(IntErrorKind::InvalidDigit);
  if (field.front() == '+') field.remove_prefix(1);
  std::uint64_t value = 0;
  for (const char c : field) {
    if (c < '0' || c > '9') return fail(IntErrorKind::InvalidDigit);
    const auto digit = static_cast<std::uint64_t>(c - '0');
    if (value > (UINT64_MAX - digit) / 10) return fail(IntErrorKind::PosOverflow);
    value = value * 10 + digit;
  }
  return {value, RecordPosition::Fault::none, {}};
}

bool same(const RecordPosition& a, const RecordPosition& b) {
  if (a.fault != b.fault) return false;
  if (a.fault == RecordPosition::Fault::none) return a.value == b.value;
  if (a.fault == RecordPosition::Fault::not_a_number) return a.error.kind == b.error.kind;
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view line(reinterpret_cast<const char*>(data), size);
  const RecordPosition expected = model(line);
  if (!same(varsift::core::read_position(line), expected)) std::abort();
  if (!same(varsift::core::read_position_exactly(line), expected)) std::abort();
  return 0;
}
