#pragma once

#include <memory>
#include <string>

#include "core/byte_source.hpp"
#include "hts/bgzf_source.hpp"

namespace varsift::library {

// Opens a BCF file (local or a URL) as the VCF text htslib formats from it: the header, then
// the records the scanner's selection keeps, chosen by CHROM and POS before they are
// formatted. Throws ScanError when it cannot be opened.
std::unique_ptr<core::ByteSource> open_bcf(const std::string& path, int threads);
// As open_bcf, from an opened source whose first bytes hts::peek_bcf took into `first`.
std::unique_ptr<core::ByteSource> open_bcf(std::unique_ptr<hts::BgzfSource> source,
                                           std::string first);

}  // namespace varsift::library
