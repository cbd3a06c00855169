#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "core/io_error.hpp"
#include "positioned_read.hpp"

typedef struct hFILE hFILE;

namespace varsift::hts {

// Whether `path` is a URL that htslib's hFILE layer opens (http, https, ftp, s3, gs...)
// rather than a local file name.
bool is_url(std::string_view path);

// What a failure reading a URL means, from the errno that htslib's hFILE layer gives for the
// server's answer or the transfer's fault: "HTTP 404 Not Found or 410 Gone", ...
std::string remote_reason(int code);

class RemoteFile;
using RemoteOpenResult = std::variant<RemoteFile, core::IoError>;

// Sole owner of an hFILE open on a URL, read by byte ranges where it is positioned. Its
// credentials and endpoints come from htslib's own settings (environment variables such as
// AWS_ACCESS_KEY_ID, HTS_S3_HOST, GCS_OAUTH_TOKEN, and the files they name).
class RemoteFile final : public PositionedInput {
 public:
  static RemoteOpenResult open(const std::string& url);

  RemoteFile(RemoteFile&& other) noexcept;
  RemoteFile& operator=(RemoteFile&&) = delete;
  RemoteFile(const RemoteFile&) = delete;
  RemoteFile& operator=(const RemoteFile&) = delete;
  ~RemoteFile() override;

  // Reads in order from where the last read ended, or from within its last bytes, which are
  // kept (a reader of whole blocks reads a block cut by a read again); elsewhere, asks the
  // server for a range (ESPIPE when it does not serve ranges). A body cut short is an error,
  // never an end.
  bool read_at(unsigned char* buffer, std::size_t size, std::uint64_t offset, std::size_t& got,
               core::IoError& error) override;
  // Copies the first bytes into `buffer` without consuming them; gives how many there are.
  std::size_t peek(unsigned char* buffer, std::size_t size);

 private:
  explicit RemoteFile(hFILE* file) noexcept : file_(file) {}

  hFILE* file_;
  std::uint64_t position_ = 0;
  // The last bytes read, ending at position_.
  std::vector<unsigned char> tail_;
};

// Reads the whole of a small remote file (an index) into `bytes`, at most `limit` bytes.
bool read_whole(const std::string& url, std::size_t limit, std::string& bytes,
                core::IoError& error);

}  // namespace varsift::hts
