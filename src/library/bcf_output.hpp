#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "core/io_error.hpp"
#include "index_input.hpp"
#include "pos_limit.hpp"
#include "selection.hpp"

namespace varsift::hts {
class BcfReader;
}

namespace varsift::library {

// Copies the header and the records of a BCF file that a selection keeps into another BCF
// file, each kept record's bytes unchanged: BGZF-compressed on `threads` threads, or not
// (`compress` false). With `index`, writes its CSI index there once the output is complete,
// as `bcftools index` does. Runs in steps, so that its owner can check for interruption.
class BcfCopy {
 public:
  // Opens `path` (local or a URL), following its index as `index_options` allow (see
  // open_selected_bcf), and writes the header into `fd`, which stays the caller's. Throws
  // ScanError when the input cannot be read, IndexUnusable when a forced or named index cannot
  // be followed, OutputError when the output cannot be written.
  BcfCopy(const std::string& path, Selection selection, const IndexOptions& index_options, int fd,
          bool compress, int threads, std::optional<std::string> index);
  ~BcfCopy();
  BcfCopy(const BcfCopy&) = delete;
  BcfCopy& operator=(const BcfCopy&) = delete;

  // Copies up to `records` records (or, when the input's blocks are copied whole, some tens of
  // MB of them); gives false once the input has ended and the output is complete. Throws ScanError,
  // OutputError, and IndexingError for records that cannot be indexed.
  bool step(std::uint64_t records);
  // The records written so far; none are counted while the input's blocks are copied whole.
  std::uint64_t records_kept() const noexcept { return kept_; }
  // Once the output is complete, the records written; when the input's blocks were copied
  // whole, the count of a sound .csi beside the input that ends where the data does, else
  // nullopt.
  std::optional<std::uint64_t> records_written() const noexcept;
  // The input read so far: inflated (as stored, when its blocks are copied whole), and as
  // stored (0 when read through an index).
  std::uint64_t bytes_read() const noexcept;
  std::uint64_t stored_bytes_read() const noexcept;
  // Whether every record is kept into BGZF, so that the input's blocks are copied as they
  // are, checked as hts::BgzfCopy checks them, and the records are not read.
  bool copies_whole() const noexcept;
  // Why an index beside the input was not followed although present; empty otherwise.
  const std::string& warning() const noexcept { return warning_; }

 private:
  struct Files;
  std::unique_ptr<Files> files_;
  Selection selection_;
  PosLimit limit_;
  std::string warning_;
  std::string line_;  // the record as text, when the selection meets records by overlap
  bool keeps(hts::BcfReader& reader);
  [[noreturn]] void fail_reading(const core::IoError& error) const;
  bool copy_whole();
  // Takes the count of records from a sound .csi beside `path`, if there is one.
  void count_indexed(const std::string& path);
  std::uint64_t kept_ = 0;
  // The records a sound index beside a input copied whole counts, and the last block it names.
  std::optional<std::uint64_t> indexed_records_;
  std::uint64_t indexed_last_block_ = 0;
  bool ended_ = false;
};

}  // namespace varsift::library
