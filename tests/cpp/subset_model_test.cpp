// Random files, read in random pieces, must give what a plain model of the rules gives.

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "child_process.hpp"
#include "core/failure.hpp"
#include "core/subset.hpp"
#include "core/system_calls.hpp"

namespace varsift::core {
namespace {

using Lines = std::vector<std::string>;

// Decodes each code point and checks its range, unlike the production check.
bool model_valid_utf8(std::string_view bytes) {
  for (std::size_t i = 0; i < bytes.size();) {
    const auto lead = static_cast<unsigned char>(bytes[i]);
    std::size_t length = 0;
    char32_t c = 0;
    if (lead < 0x80) {
      length = 1, c = lead;
    } else if ((lead & 0xE0) == 0xC0) {
      length = 2, c = lead & 0x1F;
    } else if ((lead & 0xF0) == 0xE0) {
      length = 3, c = lead & 0x0F;
    } else if ((lead & 0xF8) == 0xF0) {
      length = 4, c = lead & 0x07;
    } else {
      return false;
    }
    if (i + length > bytes.size()) return false;
    for (std::size_t k = 1; k < length; ++k) {
      const auto next = static_cast<unsigned char>(bytes[i + k]);
      if ((next & 0xC0) != 0x80) return false;
      c = (c << 6) | (next & 0x3F);
    }
    static constexpr char32_t smallest[] = {0, 0, 0x80, 0x800, 0x10000};
    if (c < smallest[length] || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return false;
    i += length;
  }
  return true;
}

const std::string result_unwrap = "called `Result::unwrap()` on an `Err` value: ";

// The subset as the rules state it; a failure comes back as its message.
std::string model_subset(const std::string& bytes, const std::vector<std::uint64_t>& wanted) {
  Lines header;
  Lines data;
  for (std::size_t start = 0; start < bytes.size();) {
    std::size_t end = bytes.find('\n', start);
    end = end == std::string::npos ? bytes.size() : end + 1;
    std::string line = bytes.substr(start, end - start);
    start = end;
    if (!model_valid_utf8(line)) {
      return result_unwrap +
             "Error { kind: InvalidData, message: \"stream did not contain valid UTF-8\" }";
    }
    if (line.ends_with('\n')) {
      line.pop_back();
      if (line.ends_with('\r')) line.pop_back();
    }
    if (!line.empty() && line[0] == '#') {
      header.push_back(line);
      continue;
    }
    const std::size_t tab = line.find('\t');
    if (tab == std::string::npos) return "called `Option::unwrap()` on a `None` value";
    std::string field = line.substr(tab + 1, line.find('\t', tab + 1) - tab - 1);
    std::string kind;
    std::uint64_t value = 0;
    if (field.empty()) {
      kind = "Empty";
    } else if (field == "+" || field == "-") {
      kind = "InvalidDigit";
    } else {
      if (field[0] == '+') field.erase(0, 1);
      const auto [end_of_digits, error] =
          std::from_chars(field.data(), field.data() + field.size(), value);
      if (error == std::errc::result_out_of_range) {
        kind = "PosOverflow";
      } else if (error != std::errc() || end_of_digits != field.data() + field.size()) {
        kind = "InvalidDigit";
      }
    }
    if (!kind.empty()) return result_unwrap + "ParseIntError { kind: " + kind + " }";
    if (wanted.empty() || std::find(wanted.begin(), wanted.end(), value) != wanted.end()) {
      data.push_back(line);
    }
  }
  std::string out;
  for (const auto& line : header) out += "H " + line + "\n";
  for (const auto& line : data) out += "D " + line + "\n";
  return out;
}

// Serves the file in pieces of random size, with interrupted reads between them.
struct PiecewiseFile {
  static inline std::string bytes;
  static inline std::size_t offset = 0;
  static inline std::mt19937 random{1};

  static ssize_t read(int, void* buffer, std::size_t count) {
    if (random() % 8 == 0) {
      errno = EINTR;
      return -1;
    }
    const std::size_t n =
        std::min({count, bytes.size() - offset, std::size_t{1} + random() % 9000});
    std::memcpy(buffer, bytes.data() + offset, n);
    offset += n;
    return static_cast<ssize_t>(n);
  }
};

std::string subset(const std::string& bytes, const std::vector<std::uint64_t>& wanted) {
  PiecewiseFile::bytes = bytes;
  PiecewiseFile::offset = 0;
  const SystemCalls calls{[](const char*, int) { return 1000; }, &PiecewiseFile::read,
                          [](int) { return 0; }};
  const ScopedSystemCalls scope(calls);
  try {
    const SubsetResult result = subset_vcf("piecewise", PositionList(wanted.begin(), wanted.end()));
    std::string out;
    for (const auto& line : result.header) out += "H " + std::string(line) + "\n";
    for (const auto& line : result.data) out += "D " + std::string(line) + "\n";
    return out;
  } catch (const Failure& failure) {
    return failure.message();
  }
}

// Text without line feeds: mostly harmless, now and then ill-formed or long.
std::string random_text(std::mt19937& random) {
  static const std::vector<std::string> pieces = {"#",
                                                  "chr1",
                                                  "\t",
                                                  "1",
                                                  "23",
                                                  "0",
                                                  "+",
                                                  "-",
                                                  " ",
                                                  "\r",
                                                  "\xC3\xA9",
                                                  "\xE2\x82\xAC",
                                                  "\xF0\x9F\xA7\xAC",
                                                  "\xCC\x81",
                                                  "x",
                                                  "A",
                                                  "18446744073709551616",
                                                  "9999999999999999999"};
  std::string text;
  for (auto count = random() % 12; count > 0; --count) {
    const auto roll = random() % 1000;
    if (roll == 0) {
      text += "\xFF\xE2\x82\xED\xA0\x80\xC0\xAF"[random() % 8];  // ill-formed or cut-off
    } else if (roll < 10) {
      text += std::string(1 + random() % 9000, 'G');  // across buffer boundaries
    } else {
      text += pieces[random() % pieces.size()];
    }
  }
  return text;
}

std::string random_file(std::mt19937& random) {
  static const std::vector<std::string> fields = {"7",
                                                  "+7",
                                                  "0007",
                                                  "",
                                                  "-7",
                                                  "7 ",
                                                  "18446744073709551615",
                                                  "18446744073709551616",
                                                  "00000000000000000000042",
                                                  "1e3"};
  static const std::vector<std::string> endings = {"\n", "\n", "\r\n"};
  std::string bytes;
  for (auto lines = random() % 24; lines > 0; --lines) {
    const auto roll = random() % 200;
    if (roll < 30) {
      bytes += "#" + random_text(random);
    } else if (roll < 199) {
      const std::string position =
          roll < 197 ? std::to_string(random() % 60) : fields[random() % fields.size()];
      bytes += "chr" + std::to_string(random() % 3) + "\t" + position;
      if (random() % 2) bytes += "\t" + random_text(random);
    } else {
      bytes += random_text(random);
    }
    // A lone carriage return joins two lines, and one of two before a line feed stays with
    // the line; the last line may have no ending.
    const auto ending = random() % 200;
    bytes += ending == 0                     ? "\r"
             : ending == 1                   ? "\r\r\n"
             : lines == 1 && ending % 2 == 0 ? ""
                                             : endings[random() % endings.size()];
  }
  return bytes;
}

TEST(SubsetModel, RandomFilesReadInRandomPiecesAgreeWithTheModel) {
  // Failures write reports to standard error, so the comparison runs in a child.
  const auto child = testing::run_in_child([] {
    std::mt19937 random(20261208);
    int failures = 0;
    for (int round = 0; round < 3000; ++round) {
      const std::string bytes = random_file(random);
      std::vector<std::uint64_t> wanted;
      // Sizes that take the scan, the cursor and, with scattered positions, the hash table.
      const std::size_t count = std::vector<std::size_t>{0, 1, 5, 40, 400}[random() % 5];
      for (std::size_t i = 0; i < count; ++i) wanted.push_back(random() % 60);
      const std::string expected = model_subset(bytes, wanted);
      const std::string actual = subset(bytes, wanted);
      if (actual != expected) {
        return "round " + std::to_string(round) + ": expected\n" + expected + "\nactual\n" + actual;
      }
      failures += !expected.empty() && expected[0] != 'H' && expected[0] != 'D';
    }
    return "agreed, " + std::to_string(failures) + " failures among them";
  });
  ASSERT_TRUE(child.output.starts_with("agreed")) << child.output;
  // The random files must exercise both outcomes to mean anything.
  const int failures = std::atoi(child.output.c_str() + child.output.find(", ") + 2);
  EXPECT_GT(failures, 200);
  EXPECT_LT(failures, 1500);
}

}  // namespace
}  // namespace varsift::core
