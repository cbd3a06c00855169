#include "bcf_output.hpp"

#include <fcntl.h>
#include <htslib/hfile.h>
#include <htslib/hts.h>
#include <htslib/vcf.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <variant>

#include "hts/bcf_reader.hpp"
#include "hts/unique_fd.hpp"
#include "input.hpp"
#include "output.hpp"
#include "scan_error.hpp"

namespace varsift::library {
namespace {

// The bin size of the CSI index bcftools writes: 2^14.
constexpr int csi_min_shift = 14;

[[noreturn]] void fail_output(int code) { throw OutputError(code != 0 ? code : EIO); }

}  // namespace

struct BcfCopy::Files {
  hts::BcfReader reader;
  htsFile* output = nullptr;
  std::optional<std::string> index;

  explicit Files(hts::BcfReader opened) : reader(std::move(opened)) {}
  Files(const Files&) = delete;
  Files& operator=(const Files&) = delete;
  ~Files() {
    if (output != nullptr) hts_close(output);
  }
};

BcfCopy::BcfCopy(const std::string& path, Selection selection, int fd, bool compress, int threads,
                 std::optional<std::string> index)
    : selection_(std::move(selection)) {
  // htslib would read VCF text too, but its records have no BCF bytes to copy.
  if (!hts::is_bcf(path)) {
    throw ScanError::malformed("BCF output needs BCF input (this is not BCF)", LinePlace{});
  }
  hts::BcfOpenResult opened = hts::BcfReader::open(path, threads);
  if (auto* error = std::get_if<core::IoError>(&opened)) fail_to_open(*error);
  files_ = std::make_unique<Files>(std::get<hts::BcfReader>(std::move(opened)));
  files_->index = std::move(index);

  hts::DuplicateResult duplicate = hts::UniqueFd::duplicate(fd);
  if (auto* error = std::get_if<core::IoError>(&duplicate)) fail_output(error->os_code());
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
  if (bcf_hdr_write(files_->output, files_->reader.header()) != 0) fail_output(errno);
  if (files_->index && bcf_idx_init(files_->output, files_->reader.header(), csi_min_shift,
                                    files_->index->c_str()) != 0) {
    throw IndexingError("cannot start the index of the output");
  }
}

BcfCopy::~BcfCopy() = default;

bool BcfCopy::keeps(const hts::BcfReader& reader) {
  if (selection_.matches_by_pos()) return selection_.keeps(reader.chrom(), reader.pos());
  // Overlap reads REF, ALT and INFO/END from the record's text, as for any other input.
  line_.clear();
  if (!reader.format_record(line_)) return true;  // bcf_write reports the record
  if (!line_.empty() && line_.back() == '\n') line_.pop_back();
  return selection_.keeps(reader.chrom(), reader.pos(), line_);
}

bool BcfCopy::step(std::uint64_t records) {
  if (ended_) return false;
  Files& files = *files_;
  const bool everything = selection_.keeps_everything();
  core::IoError error = core::IoError::bare(core::ErrorKind::Other);
  for (std::uint64_t read = 0; read < records; ++read) {
    switch (files.reader.next(error)) {
      case hts::BcfReader::Status::failed: {
        const LinePlace place{std::nullopt, "BCF block at compressed offset " +
                                                std::to_string(files.reader.block_address())};
        if (error.is_os()) throw ScanError::os(error.os_code(), place);
        throw ScanError::damaged(error, place);
      }
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
        if (!everything && !keeps(files.reader)) break;
        errno = 0;
        if (bcf_write(files.output, files.reader.header(), files.reader.record()) != 0) {
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
