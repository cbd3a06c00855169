#include "error_kind.hpp"

#include <array>
#include <cerrno>
#include <cstddef>
#include <iterator>

namespace varsift::core {
namespace {

struct KindText {
  ErrorKind kind;
  std::string_view name;
  std::string_view description;
};

// In the order of ErrorKind; the static_assert below keeps the two in step.
constexpr std::array<KindText, error_kind_count> kKindTexts{{
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
}};

constexpr bool in_enum_order() {
  for (std::size_t i = 0; i < kKindTexts.size(); ++i) {
    if (static_cast<std::size_t>(kKindTexts[i].kind) != i) return false;
  }
  return true;
}
static_assert(in_enum_order());

struct WindowsCode {
  std::int32_t code;
  ErrorKind kind;
};

constexpr WindowsCode kWindowsCodes[] = {
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

constexpr bool codes_unique() {
  for (std::size_t i = 0; i < std::size(kWindowsCodes); ++i) {
    for (std::size_t j = i + 1; j < std::size(kWindowsCodes); ++j) {
      if (kWindowsCodes[i].code == kWindowsCodes[j].code) return false;
    }
  }
  return true;
}
static_assert(codes_unique());

const KindText& text_of(ErrorKind kind) noexcept {
  const auto index = static_cast<std::size_t>(kind);
  // A value outside the enumerators can only come from a cast; show it as the catch-all.
  return index < kKindTexts.size() ? kKindTexts[index] : kKindTexts.back();
}

}  // namespace

std::string_view error_kind_name(ErrorKind kind) noexcept { return text_of(kind).name; }

std::string_view error_kind_description(ErrorKind kind) noexcept {
  return text_of(kind).description;
}

ErrorKind error_kind_from_windows_code(std::int32_t code) noexcept {
  for (const WindowsCode& entry : kWindowsCodes) {
    if (entry.code == code) return entry.kind;
  }
  return ErrorKind::Uncategorized;
}

ErrorKind error_kind_from_errno(int code) noexcept {
  switch (code) {
    case ENOENT:
      return ErrorKind::NotFound;
    case EACCES:
    case EPERM:
      return ErrorKind::PermissionDenied;
    case ECONNREFUSED:
      return ErrorKind::ConnectionRefused;
    case ECONNRESET:
      return ErrorKind::ConnectionReset;
    case EHOSTUNREACH:
      return ErrorKind::HostUnreachable;
    case ENETUNREACH:
      return ErrorKind::NetworkUnreachable;
    case ECONNABORTED:
      return ErrorKind::ConnectionAborted;
    case ENOTCONN:
      return ErrorKind::NotConnected;
    case EADDRINUSE:
      return ErrorKind::AddrInUse;
    case EADDRNOTAVAIL:
      return ErrorKind::AddrNotAvailable;
    case ENETDOWN:
      return ErrorKind::NetworkDown;
    case EPIPE:
      return ErrorKind::BrokenPipe;
    case EEXIST:
      return ErrorKind::AlreadyExists;
    case EAGAIN:
#if EWOULDBLOCK != EAGAIN
    case EWOULDBLOCK:
#endif
      return ErrorKind::WouldBlock;
    case ENOTDIR:
      return ErrorKind::NotADirectory;
    case EISDIR:
      return ErrorKind::IsADirectory;
    case ENOTEMPTY:
      return ErrorKind::DirectoryNotEmpty;
    case EROFS:
      return ErrorKind::ReadOnlyFilesystem;
    case ELOOP:
      return ErrorKind::FilesystemLoop;
    case ESTALE:
      return ErrorKind::StaleNetworkFileHandle;
    case EINVAL:
      return ErrorKind::InvalidInput;
    case ETIMEDOUT:
      return ErrorKind::TimedOut;
    case ENOSPC:
      return ErrorKind::StorageFull;
    case ESPIPE:
      return ErrorKind::NotSeekable;
    case EDQUOT:
      return ErrorKind::FilesystemQuotaExceeded;
    case EFBIG:
      return ErrorKind::FileTooLarge;
    case EBUSY:
      return ErrorKind::ResourceBusy;
    case ETXTBSY:
      return ErrorKind::ExecutableFileBusy;
    case EDEADLK:
      return ErrorKind::Deadlock;
    case EXDEV:
      return ErrorKind::CrossesDevices;
    case EMLINK:
      return ErrorKind::TooManyLinks;
    case ENAMETOOLONG:
      return ErrorKind::InvalidFilename;
    case E2BIG:
      return ErrorKind::ArgumentListTooLong;
    case EINTR:
      return ErrorKind::Interrupted;
    case ENOSYS:
      return ErrorKind::Unsupported;
    case ENOMEM:
      return ErrorKind::OutOfMemory;
    default:
      return ErrorKind::Uncategorized;
  }
}

}  // namespace varsift::core
