#include "stderr_writer.hpp"

#include <cerrno>

#include "failure.hpp"
#include "fd_writer.hpp"
#include "io_error.hpp"

namespace varsift::core {

void write_stderr(std::string_view bytes) {
  const int error = write_all(2, bytes);
  if (error == 0 || error == EBADF) return;
  const IoError io_error =
      error < 0 ? IoError::fixed(ErrorKind::WriteZero, "failed to write whole buffer")
                : IoError::os(error);
  raise_failure_message(FailureSite::here(), "failed printing to stderr: " + io_error.display());
}

}  // namespace varsift::core
