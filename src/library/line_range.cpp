#include "line_range.hpp"

#include <cstring>
#include <utility>

namespace varsift::library {

LineRangeSource::LineRangeSource(std::unique_ptr<core::ByteSource> inner, bool from_byte_before,
                                 std::uint64_t length) noexcept
    : inner_(std::move(inner)),
      phase_(length == 0        ? Phase::done
             : from_byte_before ? Phase::skip
                                : Phase::pass),
      position_(from_byte_before ? -1 : 0),
      last_(static_cast<std::int64_t>(length) - 1) {}

bool LineRangeSource::next_bytes(std::string_view& bytes, core::IoError& error) {
  while (phase_ != Phase::done) {
    if (held_.empty()) {
      if (!inner_->next_bytes(held_, error)) {
        phase_ = Phase::done;
        return false;
      }
      if (held_.empty()) break;
    }
    const std::string_view chunk = std::exchange(held_, std::string_view());
    const std::int64_t start = position_;
    position_ += static_cast<std::int64_t>(chunk.size());
    if (phase_ == Phase::skip) {
      // The line in progress before the range belongs to the range before.
      const void* newline = std::memchr(chunk.data(), '\n', chunk.size());
      if (newline == nullptr) continue;
      const std::size_t after =
          static_cast<std::size_t>(static_cast<const char*>(newline) - chunk.data()) + 1;
      if (start + static_cast<std::int64_t>(after) > last_) break;
      held_ = chunk.substr(after);
      position_ = start + static_cast<std::int64_t>(after);
      phase_ = Phase::pass;
      continue;
    }
    if (position_ <= last_) {
      bytes = chunk;
      return true;
    }
    // The chunk holds the range's last byte: give up to the end of the line holding it.
    const std::size_t from = start >= last_ ? 0 : static_cast<std::size_t>(last_ - start);
    const void* newline = std::memchr(chunk.data() + from, '\n', chunk.size() - from);
    if (newline != nullptr) {
      phase_ = Phase::done;
      bytes = chunk.substr(
          0, static_cast<std::size_t>(static_cast<const char*>(newline) - chunk.data()) + 1);
      return true;
    }
    bytes = chunk;
    return true;
  }
  phase_ = Phase::done;
  bytes = std::string_view();
  return true;
}

}  // namespace varsift::library
