#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "bcf_record.hpp"
#include "bcf_stream.hpp"
#include "bgzf_source.hpp"
#include "core/io_error.hpp"

typedef struct BGZF BGZF;
typedef struct bcf_hdr_t bcf_hdr_t;
typedef struct bcf1_t bcf1_t;

namespace varsift::hts {

// Whether the file at `path` (a regular file or a URL) holds BCF, compressed or not, by its
// content. Gives false for anything else (a pipe, standard input), and for a file that cannot
// be read: its reader says why.
bool is_bcf(const std::string& path);

// Whether the BGZF (or uncompressed) file read by `file`, at its start, holds BCF.
bool starts_bcf(BGZF* file);

// Reads the first bytes of `source` into `first` (a few, or all there are), to tell BCF apart
// by them: whether they start as BCF does, or the source ended (after the bytes in `first`) or
// failed (the reason in `failure`) before telling.
enum class Peeked : unsigned char { bcf, other, end, failed };
Peeked peek_bcf(core::ByteSource& source, std::string& first,
                std::optional<core::IoError>& failure);

// What a BcfReader reads: the inflated bytes, and where they lie in the file.
class BcfBytes : public core::ByteSource {
 public:
  // The compressed offset of the BGZF block being read; 0 when unknown.
  virtual std::uint64_t block_address() const noexcept = 0;
  virtual Compression compression() const noexcept = 0;
  // Why a record that lies from `begin` to `end` bytes into the stream (the header included)
  // cannot lie there, or null: records may not cross the end of a stretch of whole records.
  virtual const char* crossing(std::uint64_t begin, std::uint64_t end) noexcept {
    static_cast<void>(begin);
    static_cast<void>(end);
    return nullptr;
  }
};

// Reads a BCF stream, one record at a time: records are framed and checked from the inflated
// bytes without decoding them (CHROM and POS come from their fixed fields), and only those
// asked for are handed to htslib to be formatted.
class BcfReader {
 public:
  // Reads the header from `source`, whose first bytes peek_bcf took into `first`. Null, with
  // the reason in `error`, when it cannot be read.
  static std::unique_ptr<BcfReader> open(std::unique_ptr<BgzfSource> source, std::string first,
                                         core::IoError& error);
  // Reads the header from `source`, from its start.
  static std::unique_ptr<BcfReader> open(std::unique_ptr<BcfBytes> source, core::IoError& error);
  // Opens `path` (local, a URL, or "-") with `threads` inflating, and reads its header.
  // `not_bcf` tells a file whose first bytes are not BCF's from one that fails.
  static std::unique_ptr<BcfReader> open(const std::string& path, int threads, core::IoError& error,
                                         bool& not_bcf);

  BcfReader(const BcfReader&) = delete;
  BcfReader& operator=(const BcfReader&) = delete;
  ~BcfReader();

  enum class Status : unsigned char { record, end, failed };
  // Frames the next record and checks its fixed fields; at the end, the stream was whole.
  Status next(core::IoError& error);
  std::string_view chrom() const noexcept { return chrom_; }
  // POS, 1-based.
  std::uint64_t pos() const noexcept { return static_cast<std::uint64_t>(record_.pos()) + 1; }
  // The current record's bytes as stored, lengths included.
  std::string_view record_bytes() const noexcept { return record_.whole; }
  // The magic and header as stored.
  std::string_view header_bytes() const noexcept { return header_bytes_; }
  // The header as VCF text, and the current record (checked whole first) as a VCF line, each
  // ending in '\n', appended to `text` as htslib formats them.
  bool format_header(std::string& text) const;
  bool format_record(std::string& text, core::IoError& error);
  // As format_record, but the first eight columns alone (CHROM to INFO): what a selection that
  // meets records by overlap reads, without formatting the samples.
  bool format_sites(std::string& text, core::IoError& error);
  // The inflated bytes framed so far, the header included.
  std::uint64_t bytes_read() const noexcept { return stream_.offset(); }
  // The input's bytes as stored read so far (see core::ByteSource).
  std::uint64_t stored_bytes() const noexcept { return source_->stored_bytes(); }
  // The compressed offset of the BGZF block being read; 0 when unknown.
  std::uint64_t block_address() const noexcept { return source_->block_address(); }
  // The current record, checked whole and given to htslib (for bcf_write); null, with the
  // reason in `error`, when it is malformed or memory runs out.
  bcf1_t* decoded(core::IoError& error);
  bcf_hdr_t* header() const noexcept { return header_; }
  Compression compression() const noexcept { return source_->compression(); }

 private:
  BcfReader(std::unique_ptr<BcfBytes> source, std::string first);
  bool read_header(core::IoError& error);

  std::unique_ptr<BcfBytes> source_;
  BcfStream stream_;
  std::string header_bytes_;
  bcf_hdr_t* header_ = nullptr;
  bcf1_t* decoded_ = nullptr;
  std::optional<BcfRecordCheck> check_;
  BcfRecordBytes record_;
  std::string_view chrom_;
  std::int32_t chrom_id_ = -1;
};

}  // namespace varsift::hts
