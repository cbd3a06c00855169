#include "core/error_kind.hpp"

#include <cerrno>
#include <cstdint>
#include <set>
#include <string_view>

#include <gtest/gtest.h>

namespace varsift::core {
namespace {

struct KindCase {
  ErrorKind kind;
  std::string_view name;
  std::string_view description;
};

class ErrorKindTextTest : public ::testing::TestWithParam<KindCase> {};

TEST_P(ErrorKindTextTest, NameAndDescription) {
  const KindCase& c = GetParam();
  EXPECT_EQ(error_kind_name(c.kind), c.name);
  EXPECT_EQ(error_kind_description(c.kind), c.description);
}

const KindCase kKinds[] = {
    {ErrorKind::NotFound, "NotFound", "entity not found"},
    {ErrorKind::PermissionDenied, "PermissionDenied", "permission denied"},
    {ErrorKind::ConnectionRefused, "ConnectionRefused", "connection refused"},
    {ErrorKind::ConnectionReset, "ConnectionReset", "connection reset"},
    {ErrorKind::HostUnreachable, "HostUnreachable", "host unreachable"},
    {ErrorKind::NetworkUnreachable, "NetworkUnreachable", "network unreachable"},
    {ErrorKind::ConnectionAborted, "ConnectionAborted", "connection aborted"},
    {ErrorKind::NotConnected, "NotConnected", "not connected"},
    {ErrorKind::AddrInUse, "AddrInUse", "address in use"},
    {ErrorKind::AddrNotAvailable, "AddrNotAvailable", "address not available"},
    {ErrorKind::NetworkDown, "NetworkDown", "network down"},
    {ErrorKind::BrokenPipe, "BrokenPipe", "broken pipe"},
    {ErrorKind::AlreadyExists, "AlreadyExists", "entity already exists"},
    {ErrorKind::WouldBlock, "WouldBlock", "operation would block"},
    {ErrorKind::NotADirectory, "NotADirectory", "not a directory"},
    {ErrorKind::IsADirectory, "IsADirectory", "is a directory"},
    {ErrorKind::DirectoryNotEmpty, "DirectoryNotEmpty", "directory not empty"},
    {ErrorKind::ReadOnlyFilesystem, "ReadOnlyFilesystem", "read-only filesystem or storage medium"},
    {ErrorKind::FilesystemLoop, "FilesystemLoop",
     "filesystem loop or indirection limit (e.g. symlink loop)"},
    {ErrorKind::StaleNetworkFileHandle, "StaleNetworkFileHandle", "stale network file handle"},
    {ErrorKind::InvalidInput, "InvalidInput", "invalid input parameter"},
    {ErrorKind::InvalidData, "InvalidData", "invalid data"},
    {ErrorKind::TimedOut, "TimedOut", "timed out"},
    {ErrorKind::WriteZero, "WriteZero", "write zero"},
    {ErrorKind::StorageFull, "StorageFull", "no storage space"},
    {ErrorKind::NotSeekable, "NotSeekable", "seek on unseekable file"},
    {ErrorKind::FilesystemQuotaExceeded, "FilesystemQuotaExceeded", "filesystem quota exceeded"},
    {ErrorKind::FileTooLarge, "FileTooLarge", "file too large"},
    {ErrorKind::ResourceBusy, "ResourceBusy", "resource busy"},
    {ErrorKind::ExecutableFileBusy, "ExecutableFileBusy", "executable file busy"},
    {ErrorKind::Deadlock, "Deadlock", "deadlock"},
    {ErrorKind::CrossesDevices, "CrossesDevices", "cross-device link or rename"},
    {ErrorKind::TooManyLinks, "TooManyLinks", "too many links"},
    {ErrorKind::InvalidFilename, "InvalidFilename", "invalid filename"},
    {ErrorKind::ArgumentListTooLong, "ArgumentListTooLong", "argument list too long"},
    {ErrorKind::Interrupted, "Interrupted", "operation interrupted"},
    {ErrorKind::Unsupported, "Unsupported", "unsupported"},
    {ErrorKind::UnexpectedEof, "UnexpectedEof", "unexpected end of file"},
    {ErrorKind::OutOfMemory, "OutOfMemory", "out of memory"},
    {ErrorKind::Other, "Other", "other error"},
    {ErrorKind::Uncategorized, "Uncategorized", "uncategorized error"},
};

INSTANTIATE_TEST_SUITE_P(AllKinds, ErrorKindTextTest, ::testing::ValuesIn(kKinds));

TEST(ErrorKindTextTest, TableCoversEveryKindInOrder) {
  ASSERT_EQ(std::size(kKinds), static_cast<std::size_t>(error_kind_count));
  for (std::size_t i = 0; i < std::size(kKinds); ++i) {
    EXPECT_EQ(static_cast<std::size_t>(kKinds[i].kind), i) << kKinds[i].name;
  }
}

TEST(ErrorKindTextTest, OutOfRangeValueReadsAsUncategorized) {
  const auto bogus = static_cast<ErrorKind>(200);
  EXPECT_EQ(error_kind_name(bogus), "Uncategorized");
  EXPECT_EQ(error_kind_description(bogus), "uncategorized error");
}

struct CodeCase {
  std::int64_t code;
  ErrorKind kind;
};

class WindowsCodeTest : public ::testing::TestWithParam<CodeCase> {};

TEST_P(WindowsCodeTest, MapsToKind) {
  const CodeCase& c = GetParam();
  EXPECT_EQ(error_kind_from_windows_code(static_cast<std::int32_t>(c.code)), c.kind)
      << "code " << c.code;
}

const CodeCase kWindowsListed[] = {
    {2, ErrorKind::NotFound},
    {3, ErrorKind::NotFound},
    {15, ErrorKind::NotFound},
    {53, ErrorKind::NotFound},
    {67, ErrorKind::NotFound},
    {5, ErrorKind::PermissionDenied},
    {10013, ErrorKind::PermissionDenied},
    {10061, ErrorKind::ConnectionRefused},
    {10054, ErrorKind::ConnectionReset},
    {1232, ErrorKind::HostUnreachable},
    {10065, ErrorKind::HostUnreachable},
    {1231, ErrorKind::NetworkUnreachable},
    {10051, ErrorKind::NetworkUnreachable},
    {10053, ErrorKind::ConnectionAborted},
    {10057, ErrorKind::NotConnected},
    {10048, ErrorKind::AddrInUse},
    {10049, ErrorKind::AddrNotAvailable},
    {10050, ErrorKind::NetworkDown},
    {109, ErrorKind::BrokenPipe},
    {232, ErrorKind::BrokenPipe},
    {80, ErrorKind::AlreadyExists},
    {183, ErrorKind::AlreadyExists},
    {10035, ErrorKind::WouldBlock},
    {267, ErrorKind::NotADirectory},
    {336, ErrorKind::IsADirectory},
    {145, ErrorKind::DirectoryNotEmpty},
    {19, ErrorKind::ReadOnlyFilesystem},
    {87, ErrorKind::InvalidInput},
    {10022, ErrorKind::InvalidInput},
    {121, ErrorKind::TimedOut},
    {258, ErrorKind::TimedOut},
    {594, ErrorKind::TimedOut},
    {995, ErrorKind::TimedOut},
    {1053, ErrorKind::TimedOut},
    {1121, ErrorKind::TimedOut},
    {1460, ErrorKind::TimedOut},
    {5910, ErrorKind::TimedOut},
    {7012, ErrorKind::TimedOut},
    {7040, ErrorKind::TimedOut},
    {8014, ErrorKind::TimedOut},
    {8226, ErrorKind::TimedOut},
    {9705, ErrorKind::TimedOut},
    {10060, ErrorKind::TimedOut},
    {13805, ErrorKind::TimedOut},
    {15402, ErrorKind::TimedOut},
    {15403, ErrorKind::TimedOut},
    {39, ErrorKind::StorageFull},
    {112, ErrorKind::StorageFull},
    {132, ErrorKind::NotSeekable},
    {1295, ErrorKind::FilesystemQuotaExceeded},
    {223, ErrorKind::FileTooLarge},
    {170, ErrorKind::ResourceBusy},
    {1131, ErrorKind::Deadlock},
    {17, ErrorKind::CrossesDevices},
    {1142, ErrorKind::TooManyLinks},
    {123, ErrorKind::InvalidFilename},
    {161, ErrorKind::InvalidFilename},
    {206, ErrorKind::InvalidFilename},
    {120, ErrorKind::Unsupported},
    {8, ErrorKind::OutOfMemory},
    {14, ErrorKind::OutOfMemory},
};

INSTANTIATE_TEST_SUITE_P(Listed, WindowsCodeTest, ::testing::ValuesIn(kWindowsListed));

// Unlisted codes, including neighbours of listed ones and codes with high bits set.
INSTANTIATE_TEST_SUITE_P(Unlisted, WindowsCodeTest,
                         ::testing::Values(CodeCase{0, ErrorKind::Uncategorized},
                                           CodeCase{1, ErrorKind::Uncategorized},
                                           CodeCase{4, ErrorKind::Uncategorized},
                                           CodeCase{32, ErrorKind::Uncategorized},
                                           CodeCase{-2, ErrorKind::Uncategorized},
                                           CodeCase{10062, ErrorKind::Uncategorized},
                                           CodeCase{15404, ErrorKind::Uncategorized},
                                           CodeCase{0x10000002, ErrorKind::Uncategorized},
                                           CodeCase{-2147483648LL, ErrorKind::Uncategorized},
                                           CodeCase{2147483647, ErrorKind::Uncategorized}));

// Every code outside the list, in a wide window around the listed ones.
TEST(WindowsCodeTest, OnlyListedCodesAreCategorized) {
  std::set<std::int64_t> listed;
  for (const CodeCase& c : kWindowsListed) listed.insert(c.code);
  for (std::int32_t code = -1000; code <= 20000; ++code) {
    if (listed.count(code) == 0) {
      EXPECT_EQ(error_kind_from_windows_code(code), ErrorKind::Uncategorized) << "code " << code;
    }
  }
}

class ErrnoTest : public ::testing::TestWithParam<CodeCase> {};

TEST_P(ErrnoTest, MapsToKind) {
  const CodeCase& c = GetParam();
  EXPECT_EQ(error_kind_from_errno(static_cast<int>(c.code)), c.kind) << "errno " << c.code;
}

INSTANTIATE_TEST_SUITE_P(
    Mapped, ErrnoTest,
    ::testing::Values(
        CodeCase{ENOENT, ErrorKind::NotFound}, CodeCase{EACCES, ErrorKind::PermissionDenied},
        CodeCase{EPERM, ErrorKind::PermissionDenied},
        CodeCase{ECONNREFUSED, ErrorKind::ConnectionRefused},
        CodeCase{ECONNRESET, ErrorKind::ConnectionReset},
        CodeCase{EHOSTUNREACH, ErrorKind::HostUnreachable},
        CodeCase{ENETUNREACH, ErrorKind::NetworkUnreachable},
        CodeCase{ECONNABORTED, ErrorKind::ConnectionAborted},
        CodeCase{ENOTCONN, ErrorKind::NotConnected}, CodeCase{EADDRINUSE, ErrorKind::AddrInUse},
        CodeCase{EADDRNOTAVAIL, ErrorKind::AddrNotAvailable},
        CodeCase{ENETDOWN, ErrorKind::NetworkDown}, CodeCase{EPIPE, ErrorKind::BrokenPipe},
        CodeCase{EEXIST, ErrorKind::AlreadyExists}, CodeCase{EAGAIN, ErrorKind::WouldBlock},
        CodeCase{EWOULDBLOCK, ErrorKind::WouldBlock}, CodeCase{ENOTDIR, ErrorKind::NotADirectory},
        CodeCase{EISDIR, ErrorKind::IsADirectory},
        CodeCase{ENOTEMPTY, ErrorKind::DirectoryNotEmpty},
        CodeCase{EROFS, ErrorKind::ReadOnlyFilesystem}, CodeCase{ELOOP, ErrorKind::FilesystemLoop},
        CodeCase{ESTALE, ErrorKind::StaleNetworkFileHandle},
        CodeCase{EINVAL, ErrorKind::InvalidInput}, CodeCase{ETIMEDOUT, ErrorKind::TimedOut},
        CodeCase{ENOSPC, ErrorKind::StorageFull}, CodeCase{ESPIPE, ErrorKind::NotSeekable},
        CodeCase{EDQUOT, ErrorKind::FilesystemQuotaExceeded},
        CodeCase{EFBIG, ErrorKind::FileTooLarge}, CodeCase{EBUSY, ErrorKind::ResourceBusy},
        CodeCase{ETXTBSY, ErrorKind::ExecutableFileBusy}, CodeCase{EDEADLK, ErrorKind::Deadlock},
        CodeCase{EXDEV, ErrorKind::CrossesDevices}, CodeCase{EMLINK, ErrorKind::TooManyLinks},
        CodeCase{ENAMETOOLONG, ErrorKind::InvalidFilename},
        CodeCase{E2BIG, ErrorKind::ArgumentListTooLong}, CodeCase{EINTR, ErrorKind::Interrupted},
        CodeCase{ENOSYS, ErrorKind::Unsupported}, CodeCase{ENOMEM, ErrorKind::OutOfMemory}));

INSTANTIATE_TEST_SUITE_P(Unmapped, ErrnoTest,
                         ::testing::Values(CodeCase{0, ErrorKind::Uncategorized},
                                           CodeCase{-1, ErrorKind::Uncategorized},
                                           CodeCase{EIO, ErrorKind::Uncategorized},
                                           CodeCase{EBADF, ErrorKind::Uncategorized},
                                           CodeCase{ENXIO, ErrorKind::Uncategorized},
                                           CodeCase{EMFILE, ErrorKind::Uncategorized},
                                           CodeCase{EFAULT, ErrorKind::Uncategorized},
                                           CodeCase{100000, ErrorKind::Uncategorized}));

}  // namespace
}  // namespace varsift::core
