#include "hts/bcf_stream.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace varsift::hts {
namespace {

// The bytes given in pieces of `piece` bytes, then `failure` (if any) in place of the end.
class Pieces final : public core::ByteSource {
 public:
  Pieces(std::string bytes, std::size_t piece, bool fail)
      : bytes_(std::move(bytes)), piece_(piece), fail_(fail) {}
  bool next_bytes(std::string_view& bytes, core::IoError& error) override {
    bytes = std::string_view(bytes_).substr(at_, piece_);
    at_ += bytes.size();
    if (bytes.empty() && fail_) {
      error = core::IoError::os(5);
      return false;
    }
    return true;
  }

 private:
  std::string bytes_;
  std::size_t at_ = 0;
  std::size_t piece_;
  bool fail_;
};

std::string little_32(std::uint32_t value) {
  std::string bytes;
  for (int shift = 0; shift < 32; shift += 8) bytes += static_cast<char>(value >> shift & 0xffU);
  return bytes;
}

// A record of `shared` bytes (the fixed part included, CHROM set to `chrom`) and `indiv`.
std::string record(std::uint32_t chrom, std::size_t shared, std::size_t indiv) {
  std::string fixed = little_32(chrom) + std::string(shared - 4, 's');
  return little_32(static_cast<std::uint32_t>(shared)) +
         little_32(static_cast<std::uint32_t>(indiv)) + fixed + std::string(indiv, 'i');
}

const std::string header = std::string("BCF\2\2", 5) + little_32(6) + std::string("#x\n\0\0\0", 6);

struct Framed {
  std::vector<std::string> records;
  BcfStream::Status last;
  std::uint64_t offset;
};

Framed frame(std::string bytes, std::size_t piece, bool fail = false) {
  Pieces source(std::move(bytes), piece, fail);
  BcfStream stream(source, std::string());
  Framed framed{{}, BcfStream::Status::failed, 0};
  core::IoError error = core::IoError::bare(core::ErrorKind::Other);
  std::string stored;
  if (!stream.read_header(stored, error)) return framed;
  EXPECT_EQ(stored, header);
  EXPECT_EQ(BcfStream::header_text(stored), "#x\n");
  BcfRecordBytes framed_bytes;
  while ((framed.last = stream.next(framed_bytes, error)) == BcfStream::Status::record) {
    EXPECT_EQ(framed_bytes.shared.size() + framed_bytes.indiv.size() + 8,
              framed_bytes.whole.size());
    framed.records.emplace_back(framed_bytes.whole);
  }
  framed.offset = stream.offset();
  return framed;
}

TEST(BcfStream, FramesRecordsWhateverPiecesTheyComeIn) {
  const std::vector<std::string> records = {record(0, 24, 0), record(1, 40, 300),
                                            record(2, 24, 70000), record(3, 31, 1)};
  std::string bytes = header;
  for (const std::string& one : records) bytes += one;
  for (const std::size_t piece : {1, 2, 7, 8, 9, 33, 4096, 1 << 20}) {
    const Framed framed = frame(bytes, piece);
    EXPECT_EQ(framed.records, records) << piece;
    EXPECT_EQ(framed.last, BcfStream::Status::end) << piece;
    EXPECT_EQ(framed.offset, bytes.size()) << piece;
  }
}

TEST(BcfStream, RefusesWhatIsNotWhole) {
  const std::string one = record(0, 30, 10);
  const struct {
    const char* what;
    std::string bytes;
    std::size_t records;
  } cases[] = {
      {"cut in the lengths", header + one + one.substr(0, 5), 1},
      {"cut in the record", header + one + one.substr(0, 20), 1},
      {"shared part shorter than the fixed fields",
       header + record(0, 24, 0).replace(0, 4, little_32(23)), 0},
      {"cut in the header", header.substr(0, 12), 0},
      {"not BCF", "BCF\2\3" + header.substr(5), 0},
  };
  for (const auto& each : cases) {
    for (const std::size_t piece : {1, 3, 1 << 20}) {
      const Framed framed = frame(each.bytes, piece);
      EXPECT_EQ(framed.records.size(), each.records) << each.what;
      EXPECT_EQ(framed.last, BcfStream::Status::failed) << each.what;
    }
  }
}

TEST(BcfStream, PassesOnAFailureOfItsSource) {
  const Framed framed = frame(header + record(0, 24, 0), 5, true);
  EXPECT_EQ(framed.records.size(), 1U);
  EXPECT_EQ(framed.last, BcfStream::Status::failed);
}

}  // namespace
}  // namespace varsift::hts
