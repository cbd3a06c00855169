#pragma once

#include "bcf_stream.hpp"

typedef struct bcf_hdr_t bcf_hdr_t;
typedef struct bcf1_t bcf1_t;

namespace varsift::hts {

// Why a framed record cannot be handed to htslib, or null when it can: every typed value lies
// within its part and has a known type, and the sequence, FILTER, INFO and FORMAT keys it
// names are declared by `header`. htslib decodes records on trust, so they are checked first.
const char* bcf_record_fault(const bcf_hdr_t& header, const BcfRecordBytes& record) noexcept;

// Gives `record` (checked) to htslib's `target`, as htslib's own reading would fill it, ready
// to be decoded or formatted. False when memory runs out.
bool load_bcf_record(const BcfRecordBytes& record, bcf1_t& target) noexcept;

}  // namespace varsift::hts
