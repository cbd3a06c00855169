#include "remote_file.hpp"

#include <htslib/hfile.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <utility>

#include "bgzf_file.hpp"

namespace varsift::hts {
namespace {

// Bytes of the last read kept: more than a whole BGZF block.
constexpr std::size_t kept_tail = std::size_t{128} << 10;

}  // namespace

bool is_url(std::string_view path) {
  const std::size_t colon = path.find("://");
  if (colon == std::string_view::npos || colon == 0) return false;
  // htslib knows the scheme (its plugins are loaded on the first look-up).
  return hisremote(std::string(path).c_str()) != 0;
}

std::string remote_reason(int code) {
  // htslib turns the server's status and the transfer's faults into these errno values.
  switch (code) {
    case ENOENT:
      return "not found (HTTP 404 or 410)";
    case EACCES:
      return "access forbidden (HTTP 403)";
    case EPERM:
      return "authentication required (HTTP 401 or 407)";
    case EINVAL:
      return "request refused (HTTP 400, 416, 429 or another 4xx status)";
    case EROFS:
      return "method not allowed (HTTP 405)";
    case ETIMEDOUT:
      return "timed out (HTTP 408 or 504, or no answer)";
    case EIO:
      return "server error (HTTP 500 or 502) or failed transfer";
    case EBUSY:
      return "service unavailable (HTTP 503)";
    case ESPIPE:
      return "the server does not serve byte ranges, which this read needs";
    case EPIPE:
      return "the transfer was cut short (the body ended before its announced length)";
    case EDESTADDRREQ:
      return "cannot resolve the host name";
    default:
      return std::strerror(code);
  }
}

RemoteOpenResult RemoteFile::open(const std::string& url) {
  silence_htslib_logging();
  errno = 0;
  hFILE* const file = hopen(url.c_str(), "r");
  if (file == nullptr) return core::IoError::os(errno != 0 ? errno : EIO);
  return RemoteFile(file);
}

RemoteFile::RemoteFile(RemoteFile&& other) noexcept
    : file_(std::exchange(other.file_, nullptr)), position_(other.position_) {}

RemoteFile::~RemoteFile() {
  if (file_ != nullptr) hclose_abruptly(file_);
}

bool RemoteFile::read_at(unsigned char* buffer, std::size_t size, std::uint64_t offset,
                         std::size_t& got, core::IoError& error) {
  got = 0;
  if (offset < position_ && position_ - offset <= tail_.size()) {
    const std::size_t back = static_cast<std::size_t>(position_ - offset);
    got = std::min(back, size);
    std::memcpy(buffer, tail_.data() + (tail_.size() - back), got);
  } else if (offset != position_) {
    errno = 0;
    if (hseek(file_, static_cast<off_t>(offset), SEEK_SET) < 0) {
      error = core::IoError::os(errno != 0 ? errno : ESPIPE);
      return false;
    }
    position_ = offset;
    tail_.clear();
  }
  const std::size_t kept_from = got;
  while (got < size) {
    errno = 0;
    const ssize_t read = hread(file_, buffer + got, size - got);
    if (read < 0) {
      error = core::IoError::os(errno != 0 ? errno : EIO);
      return false;
    }
    if (read == 0) break;
    got += static_cast<std::size_t>(read);
    position_ += static_cast<std::uint64_t>(read);
  }
  // Keeps what was just read from the server, up to a block and a header past any cut.
  const std::size_t fresh = got - kept_from;
  const std::size_t keep = std::min(got, kept_tail);
  if (fresh >= keep) {
    tail_.assign(buffer + got - keep, buffer + got);
  } else {
    tail_.insert(tail_.end(), buffer + kept_from, buffer + got);
    if (tail_.size() > kept_tail) tail_.erase(tail_.begin(), tail_.end() - kept_tail);
  }
  return true;
}

std::size_t RemoteFile::peek(unsigned char* buffer, std::size_t size) {
  const ssize_t got = hpeek(file_, buffer, size);
  return got < 0 ? 0 : static_cast<std::size_t>(got);
}

bool read_whole(const std::string& url, std::size_t limit, std::string& bytes,
                core::IoError& error) {
  RemoteOpenResult opened = RemoteFile::open(url);
  if (auto* failure = std::get_if<core::IoError>(&opened)) {
    error = *failure;
    return false;
  }
  RemoteFile& file = std::get<RemoteFile>(opened);
  bytes.clear();
  std::size_t got = 0;
  do {
    const std::size_t had = bytes.size();
    bytes.resize(had + (std::size_t{1} << 20));
    if (!file.read_at(reinterpret_cast<unsigned char*>(bytes.data() + had), bytes.size() - had, had,
                      got, error)) {
      return false;
    }
    bytes.resize(had + got);
    if (bytes.size() > limit) {
      error = core::IoError::os(EFBIG);
      return false;
    }
  } while (got != 0);
  return true;
}

}  // namespace varsift::hts
