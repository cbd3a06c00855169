#include "bgzf_block.hpp"

#include <algorithm>
#include <cstring>

#include "core/allocator.hpp"
#include "little_endian.hpp"

namespace varsift::hts {
namespace {

// ID1, ID2, CM (deflate) and FLG (only FEXTRA): the fixed start of every block.
constexpr unsigned char fixed_start[4] = {0x1f, 0x8b, 0x08, 0x04};
// Up to XLEN.
constexpr std::size_t xlen_end = bgzf_fixed_header_size;
constexpr std::size_t trailer_size = 8;

}  // namespace

std::size_t header_size(const unsigned char* bytes) noexcept {
  return xlen_end + little_endian_16(bytes + 10);
}

LayoutStatus read_block_size(const unsigned char* bytes, std::size_t available, std::size_t& size) {
  if (std::memcmp(bytes, fixed_start, std::min(available, sizeof fixed_start)) != 0) {
    return LayoutStatus::invalid;
  }
  if (available < xlen_end) return LayoutStatus::partial;
  const std::size_t data_offset = header_size(bytes);
  if (available < data_offset) return LayoutStatus::partial;
  size = block_size_in_extra(bytes + xlen_end, data_offset - xlen_end);
  if (size < data_offset + trailer_size) return LayoutStatus::invalid;
  return LayoutStatus::whole;
}

std::size_t block_size_in_extra(const unsigned char* extra, std::size_t length) noexcept {
  // The BC subfield may sit among others.
  std::size_t size = 0;
  for (std::size_t at = 0; at < length;) {
    if (length - at < 4) return 0;
    const std::size_t field = little_endian_16(extra + at + 2);
    if (length - at - 4 < field) return 0;
    if (extra[at] == 'B' && extra[at + 1] == 'C' && field == 2) {
      size = std::size_t{little_endian_16(extra + at + 4)} + 1;
    }
    at += 4 + field;
  }
  return size;
}

LayoutStatus read_layout(const unsigned char* bytes, std::size_t available, BlockLayout& layout) {
  std::size_t size = 0;
  const LayoutStatus header = read_block_size(bytes, available, size);
  if (header != LayoutStatus::whole) return header;
  if (available < size) return LayoutStatus::partial;
  const std::size_t data_offset = header_size(bytes);
  const unsigned char* const trailer = bytes + size - trailer_size;
  layout = {size, data_offset, size - data_offset - trailer_size, little_endian_32(trailer),
            little_endian_32(trailer + 4)};
  return LayoutStatus::whole;
}

BlockInflater::BlockInflater()
    : decompressor_(libdeflate_alloc_decompressor()),
      room_(std::make_unique_for_overwrite<char[]>(bgzf_max_block_size)) {
  if (!decompressor_) core::memory_exhausted(sizeof(void*));
}

BlockDamage BlockInflater::inflate(const unsigned char* block, const BlockLayout& layout,
                                   char* out) {
  const unsigned char* const data = block + layout.data_offset;
  if (layout.isize <= bgzf_max_block_size &&
      libdeflate_deflate_decompress(decompressor_.get(), data, layout.data_size, out, layout.isize,
                                    nullptr) == LIBDEFLATE_SUCCESS &&
      libdeflate_crc32(0, out, layout.isize) == layout.crc32) {
    return BlockDamage::none;
  }
  return diagnose(data, layout);
}

BlockDamage BlockInflater::diagnose(const unsigned char* data, const BlockLayout& layout) {
  std::size_t size = 0;
  if (libdeflate_deflate_decompress(decompressor_.get(), data, layout.data_size, room_.get(),
                                    bgzf_max_block_size, &size) == LIBDEFLATE_SUCCESS &&
      size != layout.isize && libdeflate_crc32(0, room_.get(), size) == layout.crc32) {
    return BlockDamage::isize_mismatch;
  }
  return BlockDamage::corrupt;
}

}  // namespace varsift::hts
