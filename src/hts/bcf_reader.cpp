#include "bcf_reader.hpp"

#include <htslib/bgzf.h>
#include <htslib/hfile.h>
#include <htslib/hts.h>
#include <htslib/kstring.h>
#include <htslib/vcf.h>

#include <sys/stat.h>

#include <cstdlib>
#include <cstring>
#include <utility>
#include <variant>

#include "bcf_record.hpp"
#include "bgzf_file.hpp"
#include "remote_file.hpp"

namespace varsift::hts {
namespace {

using core::ErrorKind;
using core::IoError;

// "BCF" and the major version: what tells BCF apart.
constexpr std::string_view bcf_magic("BCF\2", 4);

// A whole BGZF (or uncompressed) file, read in order.
class WholeBcf final : public BcfBytes {
 public:
  explicit WholeBcf(std::unique_ptr<BgzfSource> source) noexcept : source_(std::move(source)) {}
  bool next_bytes(std::string_view& bytes, IoError& error) override {
    return source_->next_bytes(bytes, error);
  }
  std::uint64_t stored_bytes() const noexcept override { return source_->stored_bytes(); }
  std::uint64_t block_address() const noexcept override {
    return static_cast<std::uint64_t>(source_->tell()) >> 16U;
  }
  Compression compression() const noexcept override { return source_->compression(); }

 private:
  std::unique_ptr<BgzfSource> source_;
};

// A kstring appended to a std::string, and freed.
bool take(kstring_t& text, int status, std::string& out) {
  if (status >= 0 && text.s != nullptr) out.append(text.s, text.l);
  std::free(text.s);
  return status >= 0;
}

}  // namespace

bool is_bcf(const std::string& path) {
  // Looking at a pipe would take its bytes from the reader: only files and URLs are looked at.
  struct stat status {};
  if (!is_url(path) && (::stat(path.c_str(), &status) != 0 || !S_ISREG(status.st_mode))) {
    return false;
  }
  silence_htslib_logging();
  hFILE* const file = hopen(path.c_str(), "r");
  if (file == nullptr) return false;
  htsFormat format{};
  const bool found = hts_detect_format2(file, path.c_str(), &format) == 0 && format.format == ::bcf;
  hclose_abruptly(file);
  return found;
}

bool starts_bcf(BGZF* file) {
  return bgzf_peek(file) >= 0 && file->block_length >= 4 &&
         std::memcmp(file->uncompressed_block, bcf_magic.data(), bcf_magic.size()) == 0;
}

Peeked peek_bcf(core::ByteSource& source, std::string& first,
                std::optional<core::IoError>& failure) {
  while (first.size() < bcf_magic.size()) {
    std::string_view bytes;
    IoError error = IoError::bare(ErrorKind::Other);
    if (!source.next_bytes(bytes, error)) {
      failure = std::move(error);
      return Peeked::failed;
    }
    if (bytes.empty()) return Peeked::end;
    first.append(bytes);
  }
  return std::string_view(first).starts_with(bcf_magic) ? Peeked::bcf : Peeked::other;
}

BcfReader::BcfReader(std::unique_ptr<BcfBytes> source, std::string first)
    : source_(std::move(source)), stream_(*source_, std::move(first)) {}

BcfReader::~BcfReader() {
  if (decoded_ != nullptr) bcf_destroy(decoded_);
  if (header_ != nullptr) bcf_hdr_destroy(header_);
}

std::unique_ptr<BcfReader> BcfReader::open(std::unique_ptr<BgzfSource> source, std::string first,
                                           IoError& error) {
  std::unique_ptr<BcfReader> reader(
      new BcfReader(std::make_unique<WholeBcf>(std::move(source)), std::move(first)));
  return reader->read_header(error) ? std::move(reader) : nullptr;
}

std::unique_ptr<BcfReader> BcfReader::open(std::unique_ptr<BcfBytes> source, IoError& error) {
  std::unique_ptr<BcfReader> reader(new BcfReader(std::move(source), {}));
  return reader->read_header(error) ? std::move(reader) : nullptr;
}

bool BcfReader::read_header(IoError& error) {
  silence_htslib_logging();
  if (!stream_.read_header(header_bytes_, error)) return false;
  header_ = bcf_hdr_init("r");
  decoded_ = bcf_init();
  if (header_ == nullptr || decoded_ == nullptr) {
    error = IoError::os(ENOMEM);
    return false;
  }
  // htslib parses a NUL-terminated copy in place.
  std::string text(BcfStream::header_text(header_bytes_));
  if (bcf_hdr_parse(header_, text.data()) != 0) {
    error = IoError::fixed(ErrorKind::InvalidData, "malformed BCF header");
    return false;
  }
  check_.emplace(*header_);
  return true;
}

std::unique_ptr<BcfReader> BcfReader::open(const std::string& path, int threads, IoError& error,
                                           bool& not_bcf) {
  not_bcf = false;
  SourceResult opened = BgzfSource::open(path, threads);
  if (auto* failure = std::get_if<IoError>(&opened)) {
    error = std::move(*failure);
    return nullptr;
  }
  auto source = std::make_unique<BgzfSource>(std::get<BgzfSource>(std::move(opened)));
  std::string first;
  std::optional<IoError> failure;
  const Peeked peeked = peek_bcf(*source, first, failure);
  if (peeked != Peeked::bcf) {
    not_bcf = peeked == Peeked::other;
    error =
        failure ? std::move(*failure) : IoError::fixed(ErrorKind::InvalidData, "not a BCF 2 file");
    return nullptr;
  }
  return open(std::move(source), std::move(first), error);
}

BcfReader::Status BcfReader::next(IoError& error) {
  switch (stream_.next(record_, error)) {
    case BcfStream::Status::end:
      return Status::end;
    case BcfStream::Status::failed:
      return Status::failed;
    case BcfStream::Status::record:
      break;
  }
  if (const char* const crossed =
          source_->crossing(stream_.offset() - record_.whole.size(), stream_.offset())) {
    error = IoError::fixed(ErrorKind::InvalidData, crossed);
    return Status::failed;
  }
  // The rest of a record is checked once it is asked for: one not kept is not decoded.
  if (const char* const fault = check_->fixed_fault(record_)) {
    error = IoError::fixed(ErrorKind::InvalidData, fault);
    return Status::failed;
  }
  // Records come grouped by sequence: its name is looked up once per run.
  if (record_.chrom() != chrom_id_) {
    chrom_id_ = record_.chrom();
    chrom_ = bcf_hdr_id2name(header_, chrom_id_);
  }
  return Status::record;
}

bool BcfReader::format_header(std::string& text) const {
  kstring_t formatted{0, 0, nullptr};
  return take(formatted, bcf_hdr_format(header_, 0, &formatted), text);
}

bcf1_t* BcfReader::decoded(IoError& error) {
  if (const char* const fault = check_->fault(record_)) {
    error = IoError::fixed(ErrorKind::InvalidData, fault);
    return nullptr;
  }
  if (!load_bcf_record(record_, *decoded_)) {
    error = IoError::os(ENOMEM);
    return nullptr;
  }
  return decoded_;
}

bool BcfReader::format_sites(std::string& text, IoError& error) {
  if (const char* const fault = check_->fault(record_)) {
    error = IoError::fixed(ErrorKind::InvalidData, fault);
    return false;
  }
  // The shared part alone: htslib formats a record without samples as its eight columns.
  BcfRecordBytes sites = record_;
  sites.indiv = record_.indiv.substr(0, 0);  // empty, yet not null: htslib copies from it
  if (!load_bcf_record(sites, *decoded_)) {
    error = IoError::os(ENOMEM);
    return false;
  }
  decoded_->n_sample = 0;
  decoded_->n_fmt = 0;
  kstring_t formatted{0, 0, nullptr};
  if (take(formatted, vcf_format(header_, decoded_, &formatted), text)) return true;
  error = IoError::fixed(ErrorKind::InvalidData, "a BCF record cannot be formatted as VCF text");
  return false;
}

bool BcfReader::format_record(std::string& text, IoError& error) {
  bcf1_t* const record = decoded(error);
  if (record == nullptr) return false;
  kstring_t formatted{0, 0, nullptr};
  if (take(formatted, vcf_format(header_, record, &formatted), text)) return true;
  error = IoError::fixed(ErrorKind::InvalidData, "a BCF record cannot be formatted as VCF text");
  return false;
}

}  // namespace varsift::hts
