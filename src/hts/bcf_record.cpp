#include "bcf_record.hpp"

#include <htslib/kstring.h>
#include <htslib/vcf.h>

#include <algorithm>
#include <array>
#include <cstring>

#include "little_endian.hpp"

namespace varsift::hts {
namespace {

constexpr unsigned kind_bit(int kind) noexcept { return 1U << static_cast<unsigned>(kind); }

// The typed values of a part of a record, read in order.
class TypedValues {
 public:
  explicit TypedValues(std::string_view part) noexcept
      : at_(reinterpret_cast<const unsigned char*>(part.data())), end_(at_ + part.size()) {}

  bool done() const noexcept { return at_ == end_; }

  // A type descriptor: the type, and the count (a typed integer follows for 15 or more).
  bool descriptor(unsigned& type, std::uint64_t& count) noexcept {
    if (at_ == end_) return false;
    const unsigned byte = *at_++;
    type = byte & 0xfU;
    if (type_size(type) < 0) return false;
    count = byte >> 4U;
    if (count == 15) {
      std::int64_t long_count = 0;
      if (!integer(long_count) || long_count < 15) return false;
      count = static_cast<std::uint64_t>(long_count);
    }
    // Values without a type: htslib ends the process when asked to format them.
    return type != BCF_BT_NULL || count == 0;
  }

  // One typed integer, as keys and long counts are stored.
  bool integer(std::int64_t& value) noexcept {
    if (end_ - at_ >= 2 && *at_ == (1U << 4U | BCF_BT_INT8)) {
      // Nearly every key fits one byte.
      value = static_cast<std::int8_t>(at_[1]);
      at_ += 2;
      return true;
    }
    if (at_ == end_) return false;
    const unsigned byte = *at_++;
    if (byte >> 4U != 1) return false;
    switch (byte & 0xfU) {
      case BCF_BT_INT8:
        if (end_ - at_ < 1) return false;
        value = static_cast<std::int8_t>(at_[0]);
        at_ += 1;
        return true;
      case BCF_BT_INT16:
        if (end_ - at_ < 2) return false;
        value = static_cast<std::int16_t>(little_endian_16(at_));
        at_ += 2;
        return true;
      case BCF_BT_INT32:
        if (end_ - at_ < 4) return false;
        value = static_cast<std::int32_t>(little_endian_32(at_));
        at_ += 4;
        return true;
      default:
        return false;
    }
  }

  // Passes over `count` values of `type`, `times` over.
  bool skip(unsigned type, std::uint64_t count, std::uint64_t times = 1) noexcept {
    // count < 2^31, size <= 4, times < 2^24: no overflow.
    const std::uint64_t size = count * static_cast<std::uint64_t>(type_size(type)) * times;
    if (size > static_cast<std::uint64_t>(end_ - at_)) return false;
    at_ += size;
    return true;
  }

  // A typed value of any kind.
  bool value() noexcept {
    unsigned type = 0;
    std::uint64_t count = 0;
    return descriptor(type, count) && skip(type, count);
  }

  // A string (or nothing).
  bool text() noexcept {
    unsigned type = 0;
    std::uint64_t count = 0;
    return descriptor(type, count) && (type == BCF_BT_CHAR || type == BCF_BT_NULL) &&
           skip(type, count);
  }

  // A key declared by the header for `kind` (a bit of Kinds).
  bool key(const std::vector<unsigned char>& kinds, unsigned kind) noexcept {
    std::int64_t id = 0;
    return integer(id) && declared(kinds, kind, id);
  }

  static bool declared(const std::vector<unsigned char>& kinds, unsigned kind,
                       std::int64_t id) noexcept {
    return id >= 0 && static_cast<std::uint64_t>(id) < kinds.size() &&
           (kinds[static_cast<std::size_t>(id)] & kind) != 0;
  }

  // The integers of a typed vector, each of which must be declared for `kind`.
  bool keys(const std::vector<unsigned char>& kinds, unsigned kind) noexcept {
    unsigned type = 0;
    std::uint64_t count = 0;
    if (!descriptor(type, count)) return false;
    if (type == BCF_BT_NULL) return true;
    const int size = type_size(type);
    if (type == BCF_BT_FLOAT || type == BCF_BT_CHAR ||
        count * static_cast<std::uint64_t>(size) > static_cast<std::uint64_t>(end_ - at_)) {
      return false;
    }
    for (std::uint64_t i = 0; i < count; ++i, at_ += size) {
      const std::int64_t id = size == 1   ? static_cast<std::int8_t>(at_[0])
                              : size == 2 ? static_cast<std::int16_t>(little_endian_16(at_))
                                          : static_cast<std::int32_t>(little_endian_32(at_));
      if (!declared(kinds, kind, id)) return false;
    }
    return true;
  }

 private:
  // Bytes of one value of each type (0 to 15); -1 for types that do not exist.
  static int type_size(unsigned type) noexcept {
    static constexpr std::array<signed char, 16> sizes = {0,  1,  2,  4,  -1, 4,  -1, 1,
                                                          -1, -1, -1, -1, -1, -1, -1, -1};
    return sizes[type & 0xfU];
  }

  const unsigned char* at_;
  const unsigned char* end_;
};

struct Counts {
  std::uint16_t info;
  std::uint16_t alleles;
  std::uint32_t samples;  // 24 bits
  std::uint8_t formats;
};

inline Counts counts_of(const BcfRecordBytes& record) noexcept {
  const auto* const fixed = reinterpret_cast<const unsigned char*>(record.shared.data());
  const std::uint32_t info_alleles = little_endian_32(fixed + 16);
  const std::uint32_t samples_formats = little_endian_32(fixed + 20);
  return {static_cast<std::uint16_t>(info_alleles & 0xffffU),
          static_cast<std::uint16_t>(info_alleles >> 16U), samples_formats & 0xffffffU,
          static_cast<std::uint8_t>(samples_formats >> 24U)};
}

}  // namespace

BcfRecordCheck::BcfRecordCheck(const bcf_hdr_t& header)
    : sequences_(header.n[BCF_DT_CTG]),
      samples_(static_cast<std::uint32_t>(bcf_hdr_nsamples(&header))),
      kinds_(static_cast<std::size_t>(std::max(header.n[BCF_DT_ID], 0))) {
  for (int i = 0; i < sequences_; ++i) {
    // A sequence without a name cannot be named: none may be at or after it.
    if (header.id[BCF_DT_CTG][i].key == nullptr) sequences_ = i;
  }
  for (std::size_t id = 0; id < kinds_.size(); ++id) {
    const bcf_idpair_t& pair = header.id[BCF_DT_ID][id];
    if (pair.key == nullptr || pair.val == nullptr) continue;
    for (const int kind : {BCF_HL_FLT, BCF_HL_INFO, BCF_HL_FMT}) {
      if ((pair.val->info[kind] & 0xfU) != 0xfU) {
        kinds_[id] = static_cast<unsigned char>(kinds_[id] | kind_bit(kind));
      }
    }
  }
}

const char* BcfRecordCheck::fixed_fault(const BcfRecordBytes& record) const noexcept {
  const std::int32_t chrom = record.chrom();
  if (chrom < 0 || chrom >= sequences_) {
    return "BCF record names a sequence the header does not declare";
  }
  if (record.pos() < 0) return "BCF record has a negative POS";
  return nullptr;
}

const char* BcfRecordCheck::fault(const BcfRecordBytes& record) const noexcept {
  if (const char* const fixed = fixed_fault(record)) return fixed;
  const Counts counts = counts_of(record);
  TypedValues shared(record.shared.substr(BcfRecordBytes::fixed_bytes));
  if (!shared.text()) return "malformed BCF record (its ID)";
  for (unsigned i = 0; i < counts.alleles; ++i) {
    if (!shared.text()) return "malformed BCF record (its alleles)";
  }
  if (!shared.keys(kinds_, kind_bit(BCF_HL_FLT))) {
    return "malformed BCF record (its FILTER, or a filter the header does not declare)";
  }
  for (unsigned i = 0; i < counts.info; ++i) {
    if (!shared.key(kinds_, kind_bit(BCF_HL_INFO)) || !shared.value()) {
      return "malformed BCF record (its INFO, or a key the header does not declare)";
    }
  }
  if (!shared.done()) return "malformed BCF record (bytes after its INFO)";
  if (counts.formats > 0 && counts.samples != samples_) {
    return "BCF record has another number of samples than its header";
  }
  TypedValues indiv(record.indiv);
  for (unsigned i = 0; i < counts.formats; ++i) {
    unsigned type = 0;
    std::uint64_t count = 0;
    if (!indiv.key(kinds_, kind_bit(BCF_HL_FMT)) || !indiv.descriptor(type, count) ||
        !indiv.skip(type, count, counts.samples)) {
      return "malformed BCF record (its FORMAT, or a key the header does not declare)";
    }
  }
  if (!indiv.done()) return "malformed BCF record (bytes after its samples)";
  return nullptr;
}

bool load_bcf_record(const BcfRecordBytes& record, bcf1_t& target) noexcept {
  bcf_clear(&target);
  const auto* const fixed = reinterpret_cast<const unsigned char*>(record.shared.data());
  const Counts counts = counts_of(record);
  target.rid = record.chrom();
  target.pos = record.pos();
  target.rlen = static_cast<std::int32_t>(little_endian_32(fixed + 8));
  const std::uint32_t qual = little_endian_32(fixed + 12);
  std::memcpy(&target.qual, &qual, sizeof qual);
  target.n_info = counts.info;
  target.n_allele = counts.alleles;
  target.n_sample = counts.samples & 0xffffffU;
  target.n_fmt = counts.formats;
  target.shared.l = 0;
  target.indiv.l = 0;
  const std::string_view shared = record.shared.substr(BcfRecordBytes::fixed_bytes);
  if (kputsn(shared.data(), shared.size(), &target.shared) < 0 ||
      kputsn(record.indiv.data(), record.indiv.size(), &target.indiv) < 0) {
    return false;
  }
  target.unpacked = 0;
  target.errcode = 0;
  return true;
}

}  // namespace varsift::hts
