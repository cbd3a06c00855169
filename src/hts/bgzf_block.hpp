#pragma once

#include <libdeflate.h>

#include <cstddef>
#include <cstdint>
#include <memory>

namespace varsift::hts {

// Bytes of the smallest block header: the gzip header with a BC subfield alone.
inline constexpr std::size_t bgzf_header_size = 18;
// Most bytes a block holds, inflated or not.
inline constexpr std::size_t bgzf_max_block_size = 65536;

inline constexpr const char* missing_marker_message =
    "BGZF end-of-file marker missing (file truncated?)";
inline constexpr const char* bad_header_message =
    "invalid BGZF block header (corrupt data or trailing garbage)";
inline constexpr const char* corrupt_block_message =
    "corrupt BGZF block (inflating or its CRC32 check failed)";
inline constexpr const char* isize_mismatch_message =
    "BGZF block ISIZE does not match its inflated length";

// Where a block's parts lie, read from its header and trailer.
struct BlockLayout {
  std::size_t size;  // the whole block
  std::size_t data_offset;
  std::size_t data_size;
  std::uint32_t crc32;
  std::uint32_t isize;
};

enum class LayoutStatus : unsigned char { whole, partial, invalid };

// Bytes of a block's header up to XLEN, which header_size() needs.
inline constexpr std::size_t bgzf_fixed_header_size = 12;
// Bytes before a block's compressed data: the fixed part and the extra subfields.
std::size_t header_size(const unsigned char* bytes) noexcept;

// The total size of a block whose gzip extra field, `length` bytes, is `extra`, read from its
// BC subfield, which may sit among others; 0 when it has none or the field is malformed.
std::size_t block_size_in_extra(const unsigned char* extra, std::size_t length) noexcept;

// Reads the total size of the block at the start of `bytes` from its header alone, with the
// statuses of read_layout: `whole` once the header is there.
LayoutStatus read_block_size(const unsigned char* bytes, std::size_t available, std::size_t& size);

// Reads the layout of the block at the start of `bytes`: `whole` when all of it is there,
// `partial` when what is there is a valid beginning (a header, or its first bytes), `invalid`
// when it cannot start a BGZF block.
LayoutStatus read_layout(const unsigned char* bytes, std::size_t available, BlockLayout& layout);

enum class BlockDamage : unsigned char { none, corrupt, isize_mismatch };

// Inflates blocks and checks them against their CRC32 and ISIZE. One per thread.
class BlockInflater {
 public:
  BlockInflater();

  // Inflates the whole block `block`, laid out as `layout`, into `out`, which holds
  // min(ISIZE, 65536) bytes. A mismatched ISIZE is told apart from corrupt data only when the
  // data inflates and matches its CRC32.
  BlockDamage inflate(const unsigned char* block, const BlockLayout& layout, char* out);

 private:
  struct Free {
    void operator()(libdeflate_decompressor* d) const noexcept { libdeflate_free_decompressor(d); }
  };
  BlockDamage diagnose(const unsigned char* data, const BlockLayout& layout);

  std::unique_ptr<libdeflate_decompressor, Free> decompressor_;
  // Room for a whole block, to see what a damaged one holds.
  std::unique_ptr<char[]> room_;
};

}  // namespace varsift::hts
