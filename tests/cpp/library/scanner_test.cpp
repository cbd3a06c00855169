#include "library/scanner.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <optional>
#include <string>
#include <vector>

#include "library/scan_error.hpp"

#include "string_source.hpp"

namespace varsift::library {
namespace {

using test_support::StringSource;

// Collects the lines, marking those said to be ASCII as "(ascii)": a line holding other
// bytes must never be.
struct Collected final : LineSink {
  std::vector<std::string> lines;
  std::size_t pause_after = SIZE_MAX;
  bool mark_ascii = false;
  void header(std::string_view line, bool ascii) override { keep(line, true, ascii); }
  void data(std::string_view line, bool ascii) override { keep(line, false, ascii); }
  void keep(std::string_view line, bool header, bool ascii) {
    const bool other_bytes = std::any_of(line.begin(), line.end(), [](char c) { return c & 0x80; });
    EXPECT_FALSE(ascii && other_bytes) << line;
    lines.push_back((header ? "H " : "D ") + std::string(line) +
                    (mark_ascii && ascii ? " (ascii)" : ""));
  }
  bool full() const noexcept override { return lines.size() >= pause_after; }
};

// The kept lines, or "<kind> line N: reason" for the error that ends the scan.
std::vector<std::string> scan(std::string bytes, Selection selection, std::size_t piece = 7,
                              std::optional<core::IoError> failure = std::nullopt) {
  Scanner scanner(std::make_unique<StringSource>(std::move(bytes), piece, failure),
                  std::move(selection));
  Collected sink;
  try {
    while (scanner.step(sink, 64)) {
    }
  } catch (const ScanError& error) {
    static const char* const kinds[] = {"os", "damaged", "malformed"};
    sink.lines.push_back(std::string(kinds[static_cast<int>(error.kind())]) + " line " +
                         std::to_string(error.line_number().value()) + ": " + error.what());
  }
  return sink.lines;
}

Selection positions(std::vector<std::uint64_t> list) {
  return Selection(core::PositionList(list.begin(), list.end()), {}, {});
}

using Lines = std::vector<std::string>;

TEST(Scanner, KeepsTheHeaderAndSelectedRecordsAndDropsLaterHashLines) {
  const std::string vcf = "##a\n#CHROM\tPOS\nc1\t5\tx\r\n#late\n##b\nc2\t6\nc2\t5\n";
  EXPECT_EQ(scan(vcf, positions({5})), (Lines{"H ##a", "H #CHROM\tPOS", "D c1\t5\tx", "D c2\t5"}));
  EXPECT_EQ(scan(vcf, Selection::everything()).size(), 5U);
  EXPECT_EQ(scan(vcf, positions({})), (Lines{"H ##a", "H #CHROM\tPOS"}));
  EXPECT_EQ(scan(vcf, Selection({}, {{"c2", 5}}, {{"c1", 1, 5}})),
            (Lines{"H ##a", "H #CHROM\tPOS", "D c1\t5\tx", "D c2\t5"}));
}

TEST(Scanner, TellsWhichLinesAreKnownAscii) {
  Scanner scanner(std::make_unique<StringSource>("#h\nc\t1\n", 100, std::nullopt),
                  Selection::everything());
  Collected sink;
  sink.mark_ascii = true;
  while (scanner.step(sink, SIZE_MAX)) {
  }
  EXPECT_EQ(sink.lines, (Lines{"H #h (ascii)", "D c\t1 (ascii)"}));
  EXPECT_EQ(scan("#h\nc\t1\tcaf\xC3\xA9\n", Selection::everything(), 100).back(),
            "D c\t1\tcaf\xC3\xA9");
}

struct FaultCase {
  const char* name;
  std::string bytes;
  std::string error;
};

class ScannerFaultTest : public ::testing::TestWithParam<FaultCase> {};

TEST_P(ScannerFaultTest, NamesTheLineAndWhatIsWrong) {
  const Lines lines = scan(GetParam().bytes, positions({1}));
  EXPECT_EQ(lines.back(), GetParam().error);
}

INSTANTIATE_TEST_SUITE_P(
    Faults, ScannerFaultTest,
    ::testing::Values(
        FaultCase{"no_tab", "#h\nc\t1\nno-tab\n",
                  "malformed line 3: no POS field (the line has no TAB)"},
        FaultCase{"empty_pos", "c\t\tx\n", "malformed line 1: POS is empty"},
        FaultCase{"letters", "c\t1\nc\t12a\tx\n", "malformed line 2: POS is not a number: '12a'"},
        FaultCase{"sign_only", "c\t+\n", "malformed line 1: POS is not a number: '+'"},
        FaultCase{"negative", "c\t-1\n", "malformed line 1: POS is not a number: '-1'"},
        FaultCase{"overflow", "c\t18446744073709551616\n",
                  "malformed line 1: POS out of range (above 18446744073709551615): "
                  "'18446744073709551616'"},
        FaultCase{"long_field_cut_short", "c\t" + std::string(50, 'x') + "\n",
                  "malformed line 1: POS is not a number: '" + std::string(40, 'x') + "...'"},
        FaultCase{"not_utf8", "#h\n#\xFF\n", "malformed line 2: not valid UTF-8"},
        FaultCase{"fault_after_unselected_record_still_counts", "c\t2\nc\tx\n",
                  "malformed line 2: POS is not a number: 'x'"}),
    [](const auto& test) { return std::string(test.param.name); });

TEST(Scanner, SourceFailuresAreOsErrorsOrDamage) {
  EXPECT_EQ(scan("c\t1\n", positions({1}), 7, core::IoError::os(EIO)).back(),
            "os line 2: Input/output error");
  EXPECT_EQ(scan("c\t1\npart", positions({1}), 7,
                 core::IoError::fixed(core::ErrorKind::InvalidData, "truncated file"))
                .back(),
            "damaged line 2: truncated file");
}

TEST(Scanner, PausesWhenTheSinkIsFullAndGoesOn) {
  Scanner scanner(std::make_unique<StringSource>("#h\nc\t1\nc\t2\nc\t3\n", 5, std::nullopt),
                  Selection::everything());
  Collected sink;
  sink.pause_after = 2;
  EXPECT_TRUE(scanner.step(sink, SIZE_MAX));
  EXPECT_EQ(sink.lines.size(), 2U);
  sink.pause_after = SIZE_MAX;
  while (scanner.step(sink, 1)) {
  }
  EXPECT_EQ(sink.lines.size(), 4U);
  EXPECT_EQ(scanner.records_kept(), 3U);
  EXPECT_EQ(scanner.lines_read(), 4U);
  EXPECT_FALSE(scanner.step(sink, SIZE_MAX));
}

// The header in one piece, then the data lines an index would lead to, from block 4242.
class PartialStrings final : public PartialSource {
 public:
  PartialStrings(std::string header, std::string data)
      : header_(std::move(header)), data_(std::move(data)) {}
  bool next_bytes(std::string_view& bytes, core::IoError&) override {
    bytes = given_ == 0 ? std::string_view(header_) : given_ == 1 ? data_ : std::string_view();
    ++given_;
    return true;
  }
  bool past_header() const noexcept override { return given_ > 1; }
  std::uint64_t block_address() const noexcept override { return 4242; }

 private:
  std::string header_;
  std::string data_;
  int given_ = 0;
};

// "line N: reason", or "PLACE: reason" when the number is unknown.
std::string partial_failure(std::string header, std::string data) {
  Scanner scanner(std::make_unique<PartialStrings>(std::move(header), std::move(data)),
                  Selection::everything());
  Collected sink;
  try {
    while (scanner.step(sink, SIZE_MAX)) {
    }
  } catch (const ScanError& error) {
    if (error.line_number()) {
      EXPECT_EQ(error.place(), "");
      return "line " + std::to_string(*error.line_number()) + ": " + error.what();
    }
    return error.place() + ": " + error.what();
  }
  return "no error";
}

TEST(Scanner, LinesPastTheHeaderOfAPartialSourceAreNamedByPlace) {
  const std::string header = "##a\n#CHROM\tPOS\n";
  EXPECT_EQ(partial_failure("##a\n#caf\xE9\n", "c1\t5\n"), "line 2: not valid UTF-8");
  EXPECT_EQ(partial_failure(header, "c1\t5\nc1\t7\nc2\tx\n"),
            "record on 'c2' after c1:7 (BGZF block at compressed offset 4242): POS is not a "
            "number: 'x'");
  EXPECT_EQ(partial_failure(header, "c1\t5\nno tab\n"),
            "line after c1:5 (BGZF block at compressed offset 4242): no POS field (the line has "
            "no TAB)");
  EXPECT_EQ(partial_failure(header, "c1\t5\xFF\n"),
            "line before any record read through the index (BGZF block at compressed offset "
            "4242): not valid UTF-8");
  EXPECT_EQ(partial_failure(header, "c1\t5\n"), "no error");
}

}  // namespace
}  // namespace varsift::library
