#include "core/file.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>

#include <filesystem>

#include "child_process.hpp"
#include "core/system_calls.hpp"

namespace varsift::core {
namespace {

using testing::TempFile;

TEST(File, PathWithNulIsRefusedBeforeThePlatformIsAsked) {
  static int opens = 0;
  const SystemCalls counting{[](const char*, int) { return ++opens, -1; }, system_calls().read,
                             system_calls().close};
  const ScopedSystemCalls scope(counting);
  for (const std::string_view path : {std::string_view("a\0b", 3), std::string_view("\0", 1),
                                      std::string_view("input.vcf\0", 10)}) {
    const OpenResult result = File::open(path);
    ASSERT_TRUE(std::holds_alternative<IoError>(result));
    EXPECT_EQ(std::get<IoError>(result).debug(),
              "Error { kind: InvalidInput, message: \"strings passed to WinAPI cannot contain "
              "NULs\" }");
  }
  EXPECT_EQ(opens, 0);
}

TEST(File, MissingFileIsNotFoundAndNothingIsCreated) {
  const TempFile file("");
  const std::string missing = file.directory() + "/missing.vcf";
  for (const std::string& path : {missing, file.directory() + "/no/such/dir.vcf", std::string()}) {
    const OpenResult result = File::open(path);
    ASSERT_TRUE(std::holds_alternative<IoError>(result)) << path;
    EXPECT_EQ(std::get<IoError>(result).kind(), ErrorKind::NotFound) << path;
  }
  EXPECT_FALSE(std::filesystem::exists(missing));
}

TEST(File, OpensReadOnlyCloseOnExecAndClosesOnce) {
  const TempFile file("x\n");
  int fd = -1;
  {
    OpenResult result = File::open(file.path());
    File opened = std::get<File>(std::move(result));
    fd = opened.descriptor();
    EXPECT_EQ(fcntl(fd, F_GETFL) & O_ACCMODE, O_RDONLY);
    EXPECT_NE(fcntl(fd, F_GETFD) & FD_CLOEXEC, 0);
    File moved = std::move(opened);
    EXPECT_EQ(opened.descriptor(), -1);
    EXPECT_EQ(moved.descriptor(), fd);
  }
  EXPECT_EQ(fcntl(fd, F_GETFD), -1);
}

TEST(File, RelativePathsResolveAgainstTheCurrentDirectory) {
  const TempFile file("x\n");
  const auto previous = std::filesystem::current_path();
  std::filesystem::current_path(file.directory());
  const OpenResult result = File::open("input.vcf");
  std::filesystem::current_path(previous);
  EXPECT_TRUE(std::holds_alternative<File>(result));
}

}  // namespace
}  // namespace varsift::core
