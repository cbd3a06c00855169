#include "core/stderr_writer.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include "child_process.hpp"

namespace varsift::core {
namespace {

using testing::run_in_child;

TEST(StderrWriter, WritesAllBytes) {
  const std::string text = std::string(100000, 'x') + "\n";
  const auto child = run_in_child([&] {
    write_stderr(text);
    return std::string("done");
  });
  EXPECT_EQ(child.output, "done");
  EXPECT_EQ(child.stderr_bytes, text);
}

TEST(StderrWriter, MissingStandardErrorCountsAsSuccess) {
  const auto child = run_in_child([] {
    close(2);
    write_stderr("lost\n");
    return std::string("done");
  });
  EXPECT_EQ(child.output, "done");
}

TEST(StderrWriter, WriteErrorRaisesAFailure) {
  const auto child = run_in_child([] {
    const int full = open("/dev/full", O_WRONLY);
    dup2(full, 2);
    write_stderr("lost\n");
    return std::string("done");
  });
  EXPECT_EQ(child.output,
            "failure: failed printing to stderr: No space left on device (os error 28)");
}

}  // namespace
}  // namespace varsift::core
