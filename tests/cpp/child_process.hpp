#pragma once

#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace varsift::testing {

struct ChildResult {
  int exit_code = -1;  // -1 when the child did not exit normally
  int signal = 0;      // the signal that ended the child, if any
  std::string stderr_bytes;
  std::string output;  // what the body returned, or "failure: <message>" if it raised one
};

using Environment = std::vector<std::pair<std::string, std::optional<std::string>>>;

// Runs `body` in a forked child with file descriptor 2 captured, so that failure reports and
// aborts never reach the test process. `environment` is applied in the child first (nullopt
// unsets a variable).
ChildResult run_in_child(const std::function<std::string()>& body,
                         const Environment& environment = {});

// A file in a fresh temporary directory that is removed with this object.
class TempFile {
 public:
  explicit TempFile(std::string_view contents);
  ~TempFile();
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;

  const std::string& path() const { return path_; }
  const std::string& directory() const { return directory_; }

 private:
  std::string directory_;
  std::string path_;
};

// Number of open file descriptors of this process.
int open_descriptor_count();

}  // namespace varsift::testing
