#include "remote_index.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "remote_file.hpp"
#include "unique_fd.hpp"

namespace varsift::hts {
namespace {

// More than any index of a real file holds; a larger answer is not an index.
constexpr std::size_t max_index_bytes = std::size_t{512} << 20;

// NAME.suffix for a URL, before its query (a signed URL keeps its signature last).
std::string beside(const std::string& url, const char* suffix) {
  const std::size_t query = url.find('?');
  if (query == std::string::npos) return url + suffix;
  return url.substr(0, query) + suffix + url.substr(query);
}

// A temporary file, removed on destruction.
class TemporaryFile {
 public:
  TemporaryFile() {
    const char* directory = std::getenv("TMPDIR");
    path_ = std::string(directory != nullptr && *directory != '\0' ? directory : "/tmp") +
            "/varsift-index-XXXXXX";
    fd_ = UniqueFd(::mkstemp(path_.data()));
    if (fd_.get() < 0) path_.clear();
  }
  TemporaryFile(const TemporaryFile&) = delete;
  TemporaryFile& operator=(const TemporaryFile&) = delete;
  ~TemporaryFile() {
    if (!path_.empty()) ::unlink(path_.c_str());
  }

  const std::string& path() const noexcept { return path_; }
  // Writes all of `bytes`; gives errno on failure, 0 on success.
  int write(const std::string& bytes) {
    if (path_.empty()) return errno != 0 ? errno : EIO;
    for (std::size_t done = 0; done < bytes.size();) {
      const ssize_t wrote = ::write(fd_.get(), bytes.data() + done, bytes.size() - done);
      if (wrote < 0) {
        if (errno == EINTR) continue;
        return errno;
      }
      done += static_cast<std::size_t>(wrote);
    }
    return 0;
  }

 private:
  std::string path_;
  UniqueFd fd_;
};

IndexProblem problem(IndexProblem::Kind kind, std::string message) {
  return IndexProblem{kind, std::move(message)};
}

}  // namespace

std::optional<Index> load_remote_index(const std::string& data_url,
                                       const std::optional<std::string>& index_path,
                                       IndexProblem& problem_out) {
  std::vector<std::string> candidates;
  if (index_path) {
    candidates.push_back(*index_path);
  } else {
    candidates = {beside(data_url, ".tbi"), beside(data_url, ".csi")};
  }
  for (const std::string& candidate : candidates) {
    if (!is_url(candidate)) {
      struct stat status {};
      if (::stat(candidate.c_str(), &status) != 0) {
        problem_out =
            problem(errno == ENOENT ? IndexProblem::Kind::missing : IndexProblem::Kind::unreadable,
                    "cannot read index " + candidate + ": " + std::strerror(errno));
        return std::nullopt;
      }
      return Index::load_file(data_url, candidate, candidate, std::nullopt, problem_out);
    }
    std::string bytes;
    core::IoError error = core::IoError::bare(core::ErrorKind::Other);
    if (!read_whole(candidate, max_index_bytes, bytes, error)) {
      const int code = error.is_os() ? error.os_code() : EIO;
      // Not there: the next name, or none.
      if (code == ENOENT) continue;
      problem_out = problem(IndexProblem::Kind::unreadable,
                            "cannot read index " + candidate + ": " +
                                (code == EFBIG ? "larger than any index" : remote_reason(code)));
      return std::nullopt;
    }
    TemporaryFile local;
    if (const int code = local.write(bytes); code != 0) {
      problem_out = problem(
          IndexProblem::Kind::unreadable,
          "cannot keep index " + candidate + " in a temporary file: " + std::strerror(code));
      return std::nullopt;
    }
    return Index::load_file(data_url, local.path(), candidate, std::nullopt, problem_out);
  }
  problem_out =
      problem(IndexProblem::Kind::missing,
              index_path ? "cannot read index " + *index_path + ": " + remote_reason(ENOENT)
                         : "no index beside " + data_url);
  return std::nullopt;
}

}  // namespace varsift::hts
