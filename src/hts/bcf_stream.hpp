#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

#include "core/byte_source.hpp"
#include "core/io_error.hpp"

namespace varsift::hts {

// A BCF record as it is stored: two lengths, the shared part (starting with the fixed fields
// CHROM, POS, rlen, QUAL and the counts) and the per-sample part.
struct BcfRecordBytes {
  // The fixed fields, before the first typed value of the shared part.
  static constexpr std::size_t fixed_bytes = 24;

  std::string_view whole;   // the record, its lengths included
  std::string_view shared;  // at least fixed_bytes long
  std::string_view indiv;

  std::int32_t chrom() const noexcept;
  // POS, 0-based as stored.
  std::int32_t pos() const noexcept;
};

// Frames the BCF records of an inflated byte stream: the magic and header text, then one
// record at a time, without decoding them. Records are viewed in the source's own buffers when
// they lie within one, copied together when they straddle two.
class BcfStream {
 public:
  // `first`: bytes already taken from the source, read before its next ones.
  BcfStream(core::ByteSource& source, std::string first) noexcept
      : source_(source), carry_(std::move(first)) {}

  // Reads the magic, the header's length and its text into `stored`, as they are stored;
  // false, with the reason in `error`, when the stream does not start as BCF or ends inside
  // its header.
  bool read_header(std::string& stored, core::IoError& error);
  // The header text within what read_header gave, up to its terminating NUL.
  static std::string_view header_text(std::string_view stored) noexcept;

  enum class Status : unsigned char { record, end, failed };
  // Frames the next record, valid until the next call. A stream that ends inside a record
  // fails: a cut file is never taken for a shorter one.
  Status next(BcfRecordBytes& record, core::IoError& error);

  // Bytes framed so far, the header included: the stream's offset.
  std::uint64_t offset() const noexcept { return offset_; }

 private:
  // Makes `size` bytes contiguous at the front of the unread bytes; false at the end of the
  // stream (`error` unset) or on a failure of the source (`error` set).
  bool ensure(std::uint64_t size, bool& failed, core::IoError& error);
  std::string_view front(std::size_t size) const noexcept;
  void consume(std::size_t size) noexcept;
  std::uint64_t unread() const noexcept { return carry_.size() - carry_used_ + chunk_.size(); }

  core::ByteSource& source_;
  // Bytes copied from earlier chunks, read before chunk_ when not all used.
  std::string carry_;
  std::size_t carry_used_ = 0;
  // The unread rest of the source's last chunk.
  std::string_view chunk_;
  std::uint64_t offset_ = 0;
};

}  // namespace varsift::hts
