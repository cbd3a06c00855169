#include "bcf_output.hpp"

#include <fcntl.h>
#include <htslib/hfile.h>
#include <htslib/hts.h>
#include <htslib/vcf.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <new>
#include <variant>

#include "bcf_index.hpp"
#include "hts/bcf_reader.hpp"
#include "hts/bgzf_copy.hpp"
#include "hts/remote_file.hpp"
#include "hts/unique_fd.hpp"
#include "input.hpp"
#include "output.hpp"
#include "scan_error.hpp"

namespace varsift::library {
namespace {

// The bin size of the CSI index bcftools writes: 2^14.
constexpr int csi_min_shift = 14;
// Compressed bytes copied between two checks for signals when the input is copied whole: the
// next step's blocks are checked while these are written, and the first step's are not, so
// small steps hide more of the check, and about 20 ms of writing covers the next one's.
constexpr std::size_t whole_step_bytes = std::size_t{16} << 20;

[[noreturn]] void fail_output(int code) { throw OutputError(code != 0 ? code : EIO); }

}  // namespace

struct BcfCopy::Files {
  std::unique_ptr<hts::BcfReader> reader;
  // Set when the compressed input is copied whole: the records are not read.
  std::unique_ptr<hts::BgzfCopy> whole;
  int fd = -1;
  htsFile* output = nullptr;
  std::optional<std::string> index;

  explicit Files(std::unique_ptr<hts::BcfReader> opened) : reader(std::move(opened)) {}
  Files(const Files&) = delete;
  Files& operator=(const Files&) = delete;
  ~Files() {
    if (output != nullptr) hts_close(output);
  }
};

BcfCopy::BcfCopy(const std::string& path, Selection selection, const IndexOptions& index_options,
                 int fd, bool compress, int threads, std::optional<std::string> index)
    : selection_(std::move(selection)), limit_(selection_) {
  // htslib would read VCF text too, but its records have no BCF bytes to copy. A local file is
  // looked at first; a URL by the handle that reads it, without another request.
  const auto refuse = [] {
    throw ScanError::malformed("BCF output needs BCF input (this is not BCF)", LinePlace{});
  };
  const bool remote = hts::is_url(path);
  if (!remote && !hts::is_bcf(path)) refuse();
  // Every record of a local file kept into BGZF: the input's own blocks are the output,
  // copied as they are when they are BGZF.
  struct stat status {};
  const bool whole = selection_.keeps_everything() &&
                     index_options.mode != IndexOptions::Mode::force && compress && !index &&
                     !remote && ::stat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode);
  // The header is read on one thread: a whole copy inflates no more, and threads that read
  // ahead would only be stopped.
  bool not_bcf = false;
  SelectedBcf chosen = open_selected_bcf(path, selection_, index_options, whole ? 1 : threads,
                                         std::nullopt, &not_bcf);
  if (not_bcf) refuse();
  warning_ = std::move(chosen.warning);
  files_ = std::make_unique<Files>(std::move(chosen.reader));
  files_->index = std::move(index);
  core::IoError error = core::IoError::bare(core::ErrorKind::Other);
  if (whole && !chosen.through_index && files_->reader->compression() == hts::Compression::bgzf) {
    files_->whole = hts::BgzfCopy::open(path, error);
    if (!files_->whole) fail_to_open(error);
    count_indexed(path);
    files_->reader.reset();
    files_->fd = fd;
    return;
  }

  hts::DuplicateResult duplicate = hts::UniqueFd::duplicate(fd);
  if (auto* failure = std::get_if<core::IoError>(&duplicate)) fail_output(failure->os_code());
  hts::UniqueFd owned = std::get<hts::UniqueFd>(std::move(duplicate));
  errno = 0;
  hFILE* const stream = hdopen(owned.get(), "w");
  if (stream == nullptr) fail_output(errno);
  owned.release();  // the stream closes it
  const char* const mode = compress ? "wb" : "wbu";
  files_->output = hts_hopen(stream, "-", mode);
  if (files_->output == nullptr) {
    const int code = errno;
    hclose_abruptly(stream);
    fail_output(code);
  }
  // htslib's index of a file compressed on several threads misplaces the end of the last chunk.
  if (compress && threads > 1 && !files_->index && hts_set_threads(files_->output, threads) != 0) {
    fail_output(ENOMEM);
  }
  if (bcf_hdr_write(files_->output, files_->reader->header()) != 0) fail_output(errno);
  if (files_->index && bcf_idx_init(files_->output, files_->reader->header(), csi_min_shift,
                                    files_->index->c_str()) != 0) {
    throw IndexingError("cannot start the index of the output");
  }
}

BcfCopy::~BcfCopy() = default;

bool BcfCopy::copies_whole() const noexcept { return files_->whole != nullptr; }

void BcfCopy::count_indexed(const std::string& path) {
  hts::IndexProblem problem;
  std::optional<hts::Index> index = hts::Index::load(path, std::nullopt, problem);
  if (!index || index->name_sequences(contig_names(*files_->reader->header()))) return;
  std::uint64_t total = 0;
  for (std::size_t tid = 0; tid < index->sequences().size(); ++tid) {
    const std::optional<std::uint64_t> records = index->records(static_cast<int>(tid));
    if (!records) return;
    total += *records;
  }
  indexed_records_ = total;
  indexed_last_block_ = index->last_block();
}

std::optional<std::uint64_t> BcfCopy::records_written() const noexcept {
  if (!files_->whole) return kept_;
  // An index whose last record does not end in the data's last blocks is not this file's.
  const hts::BgzfCopy& copy = *files_->whole;
  if (indexed_records_ &&
      (indexed_last_block_ == copy.last_data_block() || indexed_last_block_ == copy.last_block())) {
    return indexed_records_;
  }
  return std::nullopt;
}

std::uint64_t BcfCopy::bytes_read() const noexcept {
  return files_->whole ? files_->whole->offset() : files_->reader->bytes_read();
}

std::uint64_t BcfCopy::stored_bytes_read() const noexcept {
  return files_->whole ? files_->whole->offset() : files_->reader->stored_bytes();
}

[[noreturn]] void BcfCopy::fail_reading(const core::IoError& error) const {
  const LinePlace place{std::nullopt, "BCF block at compressed offset " +
                                          std::to_string(files_->reader->block_address())};
  if (error.is_os()) throw ScanError::os(error.os_code(), place);
  throw ScanError::damaged(error, place);
}

bool BcfCopy::keeps(hts::BcfReader& reader) {
  if (selection_.matches_by_pos()) return selection_.keeps(reader.chrom(), reader.pos());
  if (limit_.beyond(reader.chrom(), reader.pos())) return false;
  // Overlap reads REF, ALT and INFO/END from the record's text, as for any other input.
  line_.clear();
  core::IoError error = core::IoError::bare(core::ErrorKind::Other);
  if (!reader.format_sites(line_, error)) fail_reading(error);
  if (!line_.empty() && line_.back() == '\n') line_.pop_back();
  return selection_.keeps(reader.chrom(), reader.pos(), line_);
}

bool BcfCopy::copy_whole() {
  Files& files = *files_;
  core::IoError error = core::IoError::bare(core::ErrorKind::Other);
  int output_errno = 0;
  switch (files.whole->step(files.fd, whole_step_bytes, error, output_errno)) {
    case hts::BgzfCopy::Status::more:
      return true;
    case hts::BgzfCopy::Status::done:
      ended_ = true;
      return false;
    case hts::BgzfCopy::Status::output_failed:
      fail_output(output_errno);
    case hts::BgzfCopy::Status::input_failed:
    case hts::BgzfCopy::Status::damaged:
      break;
  }
  const LinePlace place{std::nullopt,
                        "BGZF block at compressed offset " + std::to_string(files.whole->offset())};
  if (error.is_os()) throw ScanError::os(error.os_code(), place);
  throw ScanError::damaged(error, place);
}

bool BcfCopy::step(std::uint64_t records) {
  if (ended_) return false;
  if (files_->whole) return copy_whole();
  Files& files = *files_;
  const bool everything = selection_.keeps_everything();
  core::IoError error = core::IoError::bare(core::ErrorKind::Other);
  for (std::uint64_t read = 0; read < records; ++read) {
    switch (files.reader->next(error)) {
      case hts::BcfReader::Status::failed:
        fail_reading(error);
      case hts::BcfReader::Status::end: {
        ended_ = true;
        if (files.index && bcf_idx_save(files.output) != 0) {
          throw IndexingError("cannot write the index of the output");
        }
        htsFile* const output = std::exchange(files.output, nullptr);
        errno = 0;
        if (hts_close(output) != 0) fail_output(errno);
        // The index was saved before the data's last bytes: make it no older than they are.
        if (files.index && ::utimensat(AT_FDCWD, files.index->c_str(), nullptr, 0) != 0) {
          throw IndexingError("cannot date the index of the output");
        }
        return false;
      }
      case hts::BcfReader::Status::record:
        if (!everything && !keeps(*files.reader)) break;
        bcf1_t* const record = files.reader->decoded(error);
        if (record == nullptr) fail_reading(error);
        errno = 0;
        if (bcf_write(files.output, files.reader->header(), record) != 0) {
          // With an index, htslib refuses records out of order.
          if (files.index && errno == 0) {
            throw IndexingError("records are not sorted by CHROM and POS, so cannot be indexed");
          }
          fail_output(errno);
        }
        ++kept_;
        break;
    }
  }
  return true;
}

}  // namespace varsift::library
