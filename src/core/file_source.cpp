#include "file_source.hpp"

#include "allocator.hpp"
#include "os_error.hpp"

namespace varsift::core {

FileSource::FileSource(File file, Interruption* interruption, std::size_t read_size)
    : file_(std::move(file)),
      read_size_(read_size),
      buffer_(static_cast<char*>(allocate(read_size))),
      interruption_(interruption) {}

bool FileSource::next_bytes(std::string_view& bytes, IoError& error) {
  for (;;) {
    const std::ptrdiff_t n = file_.read(buffer_.get(), read_size_, error);
    if (n >= 0) {
      bytes = {buffer_.get(), static_cast<std::size_t>(n)};
      if (interruption_ != nullptr) interruption_->consumed(bytes.size());
      return true;
    }
    const ErrorKind kind = os_error_kind(error.os_code());
    if (kind == ErrorKind::Interrupted) {
      if (interruption_ != nullptr) interruption_->check();
      continue;
    }
    if (kind == ErrorKind::BrokenPipe) {
      bytes = {};
      return true;
    }
    return false;
  }
}

}  // namespace varsift::core
