#include "index_writer.hpp"

#include "bgzf_file.hpp"
#include "core/record_span.hpp"

#include <htslib/bgzf.h>
#include <htslib/hts.h>
#include <htslib/tbx.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <new>
#include <vector>

namespace varsift::hts {
namespace {

// Tabix's fixed scheme: 16 kbp leaf bins, five levels below the root, up to 2^29. CSI keeps the
// leaves and adds a level, reaching 2^32 as the peers' CSI indexes of VCFs do.
constexpr int min_shift = 14;
constexpr int tabix_depth = 5;
constexpr int csi_depth = 6;

std::string_view field(std::string_view line, unsigned index) noexcept {
  return core::line_field(line, index).value_or(std::string_view());
}

std::optional<std::int64_t> number(std::string_view text) noexcept {
  std::int64_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

void put_32(std::vector<std::uint8_t>& bytes, std::int32_t value) {
  const auto bits = static_cast<std::uint32_t>(value);
  for (int shift = 0; shift < 32; shift += 8)
    bytes.push_back(static_cast<std::uint8_t>(bits >> shift));
}

}  // namespace

IndexWriter::IndexWriter(Index::Format format, std::uint64_t data_start)
    : index_(format == Index::Format::tbi
                 ? hts_idx_init(0, HTS_FMT_TBI, data_start, min_shift, tabix_depth)
                 : hts_idx_init(0, HTS_FMT_CSI, data_start, min_shift, csi_depth)),
      format_(format) {
  silence_htslib_logging();
  if (index_ == nullptr) throw std::bad_alloc();
  // The tabix columns of a VCF, then the sequence names, which come as records name them.
  std::vector<std::uint8_t> meta;
  for (std::int32_t value : {tbx_conf_vcf.preset, tbx_conf_vcf.sc, tbx_conf_vcf.bc, tbx_conf_vcf.ec,
                             tbx_conf_vcf.meta_char, tbx_conf_vcf.line_skip, 0}) {
    put_32(meta, value);
  }
  if (hts_idx_set_meta(index_, static_cast<std::uint32_t>(meta.size()), meta.data(), 1) != 0) {
    hts_idx_destroy(index_);
    throw std::bad_alloc();
  }
}

IndexWriter::~IndexWriter() { hts_idx_destroy(index_); }

std::optional<std::string> IndexWriter::add(std::string_view line, std::uint64_t end_offset) {
  const std::string_view chrom = field(line, 0);
  const auto pos = number(field(line, 1));
  if (chrom.empty() || !pos || *pos < 0) return "cannot index a record without CHROM and POS";
  const std::int64_t begin = *pos == 0 ? 0 : *pos - 1;
  // Indexes store a record at POS 0 (a telomere) as one at POS 1.
  const std::uint64_t last =
      core::record_end(line, std::max<std::uint64_t>(static_cast<std::uint64_t>(*pos), 1));
  const std::int64_t end =
      last > static_cast<std::uint64_t>(INT64_MAX) ? INT64_MAX : static_cast<std::int64_t>(last);

  auto [entry, inserted] = tids_.try_emplace(std::string(chrom), static_cast<int>(tids_.size()));
  const int tid = entry->second;
  if (inserted) {
    if (hts_idx_tbi_name(index_, tid, entry->first.c_str()) < 0) throw std::bad_alloc();
  } else if (tid != last_tid_) {
    return "cannot index: records of sequence " + entry->first + " are not together";
  }
  if (tid == last_tid_ && begin < last_begin_) {
    return "cannot index: records of sequence " + entry->first + " are not sorted by POS";
  }
  const int depth = format_ == Index::Format::tbi ? tabix_depth : csi_depth;
  if (end > std::int64_t{1} << (min_shift + 3 * depth)) {
    return format_ == Index::Format::tbi ? tbi_range_message
                                         : "cannot index: a record reaches beyond 2^32";
  }
  last_tid_ = tid;
  last_begin_ = begin;
  if (hts_idx_push(index_, tid, begin, end, end_offset, 1) != 0) {
    return "cannot index a record of sequence " + entry->first;
  }
  return std::nullopt;
}

std::optional<std::string> IndexWriter::save(std::uint64_t data_end, const std::string& data_path,
                                             const std::string& index_path) {
  if (hts_idx_finish(index_, data_end) != 0) return "cannot complete the index";
  errno = 0;
  if (hts_idx_save_as(index_, data_path.c_str(), index_path.c_str(),
                      format_ == Index::Format::tbi ? HTS_FMT_TBI : HTS_FMT_CSI) != 0) {
    return "cannot write index " + index_path + ": " + std::strerror(errno != 0 ? errno : EIO);
  }
  return std::nullopt;
}

StreamIndexer::StreamIndexer(Index::Format format) : format_(format) {}

std::optional<std::uint64_t> StreamIndexer::virtual_offset(std::uint64_t uncompressed,
                                                           bool final) const {
  const std::uint64_t block = uncompressed / BGZF_BLOCK_SIZE;
  const std::uint64_t within = uncompressed % BGZF_BLOCK_SIZE;
  // An offset at the end of a block is named at the start of the next, as a reader's position
  // there is. Only once the output is complete is its end known to end the last block.
  if (within == 0 || (final && uncompressed == uncompressed_end_)) {
    const std::uint64_t next = within == 0 ? block : block + 1;
    if (next >= block_addresses_.size()) return std::nullopt;
    return block_addresses_[next] << 16;
  }
  if (uncompressed == uncompressed_end_ && !final) return std::nullopt;
  if (block >= block_addresses_.size()) return std::nullopt;
  return block_addresses_[block] << 16 | within;
}

std::optional<std::string> StreamIndexer::drain(bool final) {
  if (!writer_) {
    if (!data_start_) return std::nullopt;
    const auto start = virtual_offset(*data_start_, final);
    if (!start) return std::nullopt;
    writer_.emplace(format_, *start);
  }
  while (!pending_.empty()) {
    const auto end = virtual_offset(pending_.front().second, final);
    if (!end) break;
    if (auto problem = writer_->add(pending_.front().first, *end)) return problem;
    pending_.pop_front();
  }
  return std::nullopt;
}

std::optional<std::string> StreamIndexer::add(std::string_view line, std::uint64_t begin,
                                              std::uint64_t end) {
  if (!data_start_) data_start_ = begin;
  // CHROM to INFO are all the index reads: keep up to the eighth TAB.
  std::size_t cut = std::string_view::npos;
  std::size_t from = 0;
  for (int tabs = 0; tabs < 8; ++tabs) {
    cut = line.find('\t', from);
    if (cut == std::string_view::npos) break;
    from = cut + 1;
  }
  pending_.emplace_back(line.substr(0, cut), end);
  uncompressed_end_ = end;
  return drain(false);
}

std::optional<std::string> StreamIndexer::block_written(std::uint64_t compressed_size) {
  block_addresses_.push_back(block_addresses_.back() + compressed_size);
  return drain(false);
}

std::optional<std::string> StreamIndexer::save(std::uint64_t uncompressed_size,
                                               const std::string& data_path,
                                               const std::string& index_path) {
  if (uncompressed_size < uncompressed_end_) return "cannot index: the output is not all written";
  uncompressed_end_ = uncompressed_size;
  // Without records, the data starts and ends where the output does.
  if (!data_start_) data_start_ = uncompressed_size;
  // Every block must be written, the last one included.
  const std::uint64_t blocks = (uncompressed_end_ + BGZF_BLOCK_SIZE - 1) / BGZF_BLOCK_SIZE;
  if (block_addresses_.size() <= blocks) return "cannot index: the output is not all written";
  if (auto problem = drain(true)) return problem;
  const auto end = virtual_offset(uncompressed_end_, true);
  if (!writer_ || !pending_.empty() || !end) return "cannot index: the output is not all written";
  return writer_->save(*end, data_path, index_path);
}

std::optional<std::string> index_file(const std::string& data_path, const std::string& index_path,
                                      Index::Format format, int threads) {
  silence_htslib_logging();
  // A min_shift of 0 asks htslib for a tabix index, any other for a CSI one.
  const int shift = format == Index::Format::tbi ? 0 : min_shift;
  errno = 0;
  const int result =
      tbx_index_build3(data_path.c_str(), index_path.c_str(), shift, threads, &tbx_conf_vcf);
  if (result == 0) return std::nullopt;
  if (result == -2) return "cannot index: not BGZF-compressed";
  // htslib fails with ERANGE for a record its bins cannot hold.
  if (errno == ERANGE) {
    return format == Index::Format::tbi ? tbi_range_message
                                        : "cannot index: a record reaches beyond 2^32";
  }
  return "cannot index: " + (errno != 0 ? std::string(std::strerror(errno)) : "records not sorted");
}

}  // namespace varsift::hts
