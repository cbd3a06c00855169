#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <variant>

#include "core/io_error.hpp"

typedef struct BGZF BGZF;
typedef struct htsFile htsFile;
typedef struct bcf_hdr_t bcf_hdr_t;
typedef struct bcf1_t bcf1_t;

namespace varsift::hts {

// Whether the file at `path` (a regular file or a URL) holds BCF, compressed or not, by its
// content. Gives false for anything else (a pipe, standard input), and for a file that cannot
// be read: its reader says why.
bool is_bcf(const std::string& path);

// Whether the BGZF (or uncompressed) file read by `file`, at its start, holds BCF.
bool starts_bcf(BGZF* file);

class BcfReader;
using BcfOpenResult = std::variant<BcfReader, core::IoError>;

// Reads a BCF file through htslib, one record at a time, without decoding what is not asked
// for: a record's CHROM and POS come from its fixed fields.
class BcfReader {
 public:
  // Opens `path` (local or a URL) and reads its header; `threads` inflate its BGZF blocks.
  static BcfOpenResult open(const std::string& path, int threads);

  BcfReader(BcfReader&&) noexcept;
  BcfReader& operator=(BcfReader&&) = delete;
  BcfReader(const BcfReader&) = delete;
  BcfReader& operator=(const BcfReader&) = delete;
  ~BcfReader();

  enum class Status : unsigned char { record, end, failed };
  // Reads the next record; at the end, checks that the file was whole.
  Status next(core::IoError& error);
  std::string_view chrom() const noexcept { return chrom_; }
  // POS, 1-based.
  std::uint64_t pos() const noexcept;
  // The header as VCF text, and the current record as a VCF line, each ending in '\n',
  // appended to `text` as htslib formats them.
  bool format_header(std::string& text) const;
  bool format_record(std::string& text) const;
  // The compressed offset of the BGZF block being read; 0 for uncompressed BCF.
  std::uint64_t block_address() const noexcept;

  htsFile* file() const noexcept { return file_; }
  bcf_hdr_t* header() const noexcept { return header_; }
  bcf1_t* record() const noexcept { return record_; }

 private:
  BcfReader(htsFile* file, bcf_hdr_t* header, bcf1_t* record, bool marker_missing) noexcept
      : file_(file), header_(header), record_(record), marker_missing_(marker_missing) {}

  htsFile* file_;
  bcf_hdr_t* header_;
  bcf1_t* record_;
  // A compressed local file without its end-of-file block: reported at the end.
  bool marker_missing_;
  std::string_view chrom_;
};

}  // namespace varsift::hts
