#pragma once

#include <memory>
#include <string>

#include "core/byte_source.hpp"
#include "hts/bcf_reader.hpp"
#include "hts/bgzf_source.hpp"

namespace varsift::library {

// Gives a BCF file, read by `reader`, as the VCF text htslib formats from it: the header, then
// the records the scanner's selection keeps, chosen by CHROM and POS before they are
// formatted; `through_index` when the reader gives only the records of an index's ranges.
std::unique_ptr<core::ByteSource> open_bcf(std::unique_ptr<hts::BcfReader> reader,
                                           bool through_index);
// As open_bcf, from an opened source whose first bytes hts::peek_bcf took into `first`.
std::unique_ptr<core::ByteSource> open_bcf(std::unique_ptr<hts::BgzfSource> source,
                                           std::string first);

}  // namespace varsift::library
