#include "line_reader.hpp"

#include "utf8.hpp"

namespace varsift::core {

bool LineReader::refill() {
  std::string_view bytes;
  if (!source_.next_bytes(bytes, error_)) return false;
  data_ = bytes.data();
  position_ = 0;
  filled_ = bytes.size();
  buffer_ascii_ = is_ascii(bytes);
  return true;
}

LineReader::Status LineReader::next_across_refills() {
  pending_.clear();
  line_in_pending_ = false;
  for (;;) {
    if (position_ == filled_) {
      if (!refill()) return Status::error;
      if (filled_ == 0) break;
    }
    const char* const start = data_ + position_;
    const std::size_t available = filled_ - position_;
    const auto* newline = static_cast<const char*>(std::memchr(start, '\n', available));
    if (newline != nullptr) {
      const std::size_t length = static_cast<std::size_t>(newline - start) + 1;
      position_ += length;
      if (!line_in_pending_) return finish({start, length}, buffer_ascii_);
      pending_.append(start, length);
      return finish(pending_, false);
    }
    pending_.append(start, available);
    line_in_pending_ = true;
    position_ = filled_;
  }
  if (!line_in_pending_) return Status::end;
  return finish(pending_, false);
}

LineReader::Status LineReader::finish(std::string_view bytes, bool known_valid) {
  if (!known_valid && !is_valid_utf8(bytes)) {
    error_ = IoError::fixed(ErrorKind::InvalidData, "stream did not contain valid UTF-8");
    return Status::error;
  }
  if (bytes.ends_with('\n')) {
    bytes.remove_suffix(1);
    if (bytes.ends_with('\r')) bytes.remove_suffix(1);
  }
  line_ = bytes;
  line_ascii_ = known_valid;
  return Status::line;
}

Line LineReader::take_line() {
  if (!line_in_pending_) return Line(line_);
  pending_.resize(line_.size());
  line_in_pending_ = false;
  line_ = {};
  return std::move(pending_);
}

}  // namespace varsift::core
