#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/byte_source.hpp"
#include "core/line_reader.hpp"
#include "hts/sequence_names.hpp"
#include "line_sink.hpp"
#include "scan_error.hpp"
#include "selection.hpp"

namespace varsift::library {

// A source that gives the header from the file's start, then only some of the data lines (the
// ranges an index points to): the numbers of the lines after the header are unknown.
class PartialSource : public core::ByteSource {
 public:
  // Whether the source has begun giving the lines after the header.
  virtual bool past_header() const noexcept = 0;
  // The compressed offset of the BGZF block being read, to name where a line is.
  virtual std::uint64_t block_address() const noexcept = 0;
  // Whether the lines after the header are those an index led to (else a BCF file's records,
  // read in order), to say where a line is.
  virtual bool through_index() const noexcept { return true; }
  // Lets a source that decodes records leave out those `selection` does not keep before
  // making their text. The scanner that reads the source calls it once, with its own.
  virtual void select(Selection& selection) noexcept { static_cast<void>(selection); }
};

// One pass over a VCF: the '#' lines before the first record are kept as header lines (later
// ones are dropped), and the data lines that the
// selection keeps, under the same line, UTF-8 and POS rules as the module. Runs in steps, so
// that its owner can check for interruption and empty the sink between them. Errors name the
// line by number; past the header of a PartialSource, by the last record read before it and
// the BGZF block being read.
class Scanner {
 public:
  Scanner(std::unique_ptr<core::ByteSource> source, Selection selection);
  // The reader refers to the source inside: a scanner stays where it was made.
  Scanner(const Scanner&) = delete;
  Scanner& operator=(const Scanner&) = delete;

  // Reads lines until about `input_bytes` have been read, the sink is full or the input ends.
  // Gives false once the input has ended. Throws ScanError; the scan cannot go on after one.
  bool step(LineSink& sink, std::size_t input_bytes);

  std::uint64_t lines_read() const noexcept { return line_number_; }
  // The sequences an index of the input names: they stand for the header's ##contig lines
  // when it has none. Called before the first step.
  void name_sequences(std::vector<std::string> sequences) {
    index_sequences_ = std::move(sequences);
  }
  // Once the header is read: a warning when the selection names chromosomes that the header's
  // ##contig lines (or, without them, the index's sequences), which name some, do not; empty
  // otherwise, and after the first call.
  std::string take_warning() { return std::exchange(warning_, std::string()); }
  std::uint64_t records_kept() const noexcept { return records_kept_; }
  // The bytes of the lines read so far, terminators counted, as inflated.
  std::uint64_t bytes_read() const noexcept { return bytes_read_; }
  // The input's bytes as stored read so far; 0 where the source does not tell.
  std::uint64_t stored_bytes_read() const noexcept { return source_.stored_bytes(); }
  core::ByteSource& source() noexcept { return source_.inner(); }

 private:
  // Passes the source's bytes on, noting whether it failed: the reader reports a failure of
  // the source and a line that is not UTF-8 alike.
  class WatchedSource final : public core::ByteSource {
   public:
    explicit WatchedSource(std::unique_ptr<core::ByteSource> inner) noexcept
        : inner_(std::move(inner)) {}
    bool next_bytes(std::string_view& bytes, core::IoError& error) override {
      failed_ = !inner_->next_bytes(bytes, error);
      return !failed_;
    }
    std::uint64_t stored_bytes() const noexcept override { return inner_->stored_bytes(); }
    bool failed() const noexcept { return failed_; }
    core::ByteSource& inner() noexcept { return *inner_; }

   private:
    std::unique_ptr<core::ByteSource> inner_;
    bool failed_ = false;
  };

  [[noreturn]] void fail_reading();
  // Where line `number` is; `what` names it when its number is unknown.
  LinePlace place(std::uint64_t number, std::string_view what) const;

  // The source as a PartialSource when it is one; owned through source_, set before it.
  const PartialSource* partial_;
  WatchedSource source_;
  core::LineReader reader_;
  Selection selection_;
  // For a PartialSource: CHROM:POS of the last record read, to name a later line.
  std::string last_record_;
  // The selection's chromosomes, made when the first ##contig line (or index sequence) is
  // met, each marked once one declares it: no list of 10^5 contigs is kept or sorted.
  hts::SequenceNames chromosomes_;
  std::vector<bool> declared_;
  bool chromosomes_ready_ = false;
  bool any_contig_ = false;  // the header has ##contig lines
  std::vector<std::string> index_sequences_;
  bool header_done_ = false;
  std::string warning_;
  void note_contig(std::string_view id);
  void end_header();
  std::uint64_t line_number_ = 0;
  std::uint64_t records_kept_ = 0;
  std::uint64_t bytes_read_ = 0;
  bool ended_ = false;
};

}  // namespace varsift::library
