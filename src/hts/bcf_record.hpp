#pragma once

#include <cstdint>
#include <vector>

#include "bcf_stream.hpp"

typedef struct bcf_hdr_t bcf_hdr_t;
typedef struct bcf1_t bcf1_t;

namespace varsift::hts {

// Checks framed records before they are handed to htslib, which decodes records on trust.
class BcfRecordCheck {
 public:
  // Reads from `header` what its records may name.
  explicit BcfRecordCheck(const bcf_hdr_t& header);

  // Why the fixed fields of `record` cannot be read, or null: the sequence must be declared
  // by the header and POS not negative.
  const char* fixed_fault(const BcfRecordBytes& record) const noexcept;
  // Why `record` cannot be handed to htslib, or null when it can: its fixed fields can be
  // read, every typed value lies within its part and has a known type, and the FILTER, INFO
  // and FORMAT keys it names are declared by the header.
  const char* fault(const BcfRecordBytes& record) const noexcept;

 private:
  int sequences_;
  std::uint32_t samples_;
  // By dictionary id: bit 1 << BCF_HL_FLT, BCF_HL_INFO or BCF_HL_FMT when declared as such.
  std::vector<unsigned char> kinds_;
};

// Gives `record` (checked) to htslib's `target`, as htslib's own reading would fill it, ready
// to be decoded or formatted. False when memory runs out.
bool load_bcf_record(const BcfRecordBytes& record, bcf1_t& target) noexcept;

}  // namespace varsift::hts
