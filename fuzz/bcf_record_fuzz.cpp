// Takes the input as the records of a BCF file (their inflated bytes, after the header) and
// frames and checks them as the reader does. Records the check passes are handed to htslib,
// decoded whole and formatted as VCF text: damage the check misses crashes here.

#include <htslib/hts_log.h>
#include <htslib/kstring.h>
#include <htslib/vcf.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "core/byte_source.hpp"
#include "hts/bcf_record.hpp"
#include "hts/bcf_stream.hpp"

namespace {

using namespace varsift::hts;

// Declares a flag, numbers and strings, in INFO, FILTER and FORMAT, and two samples.
constexpr const char* header_text =
    "##fileformat=VCFv4.2\n"
    "##contig=<ID=chr1>\n"
    "##contig=<ID=chr2>\n"
    "##FILTER=<ID=q10,Description=\"q\">\n"
    "##INFO=<ID=DP,Number=1,Type=Integer,Description=\"d\">\n"
    "##INFO=<ID=AF,Number=A,Type=Float,Description=\"a\">\n"
    "##INFO=<ID=DB,Number=0,Type=Flag,Description=\"b\">\n"
    "##INFO=<ID=NOTE,Number=.,Type=String,Description=\"n\">\n"
    "##INFO=<ID=END,Number=1,Type=Integer,Description=\"e\">\n"
    "##FORMAT=<ID=GT,Number=1,Type=String,Description=\"g\">\n"
    "##FORMAT=<ID=AD,Number=R,Type=Integer,Description=\"a\">\n"
    "##FORMAT=<ID=GL,Number=G,Type=Float,Description=\"l\">\n"
    "##FORMAT=<ID=FT,Number=1,Type=String,Description=\"f\">\n"
    "#CHROM\tPOS\tID\tREF\tALT\tQUAL\tFILTER\tINFO\tFORMAT\ts1\ts2\n";

// The input, given in pieces of at most 7 bytes so that records straddle them.
class Pieces final : public varsift::core::ByteSource {
 public:
  explicit Pieces(std::string_view bytes) noexcept : bytes_(bytes) {}
  bool next_bytes(std::string_view& bytes, varsift::core::IoError&) override {
    bytes = bytes_.substr(0, 7);
    bytes_.remove_prefix(bytes.size());
    return true;
  }

 private:
  std::string_view bytes_;
};

bcf_hdr_t* parsed_header() {
  // Records htslib refuses to format are not faults of the check.
  hts_set_log_level(HTS_LOG_OFF);
  bcf_hdr_t* const header = bcf_hdr_init("r");
  std::string text(header_text);
  if (header == nullptr || bcf_hdr_parse(header, text.data()) != 0) std::abort();
  return header;
}

struct Htslib {
  bcf_hdr_t* header = parsed_header();
  bcf1_t* record = bcf_init();
  BcfRecordCheck check{*header};
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static Htslib htslib;
  Pieces source(std::string_view(reinterpret_cast<const char*>(data), size));
  BcfStream stream(source, std::string());
  BcfRecordBytes framed;
  varsift::core::IoError error = varsift::core::IoError::bare(varsift::core::ErrorKind::Other);
  while (stream.next(framed, error) == BcfStream::Status::record) {
    if (htslib.check.fault(framed) != nullptr) break;
    if (!load_bcf_record(framed, *htslib.record)) std::abort();
    kstring_t text{0, 0, nullptr};
    static_cast<void>(vcf_format(htslib.header, htslib.record, &text));
    std::free(text.s);
    static_cast<void>(bcf_unpack(htslib.record, BCF_UN_ALL));
  }
  return 0;
}
