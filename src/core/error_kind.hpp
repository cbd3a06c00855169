#pragma once

#include <cstdint>
#include <string_view>

namespace varsift::core {

// The kinds of I/O error, in their fixed order.
enum class ErrorKind : std::uint8_t {
  NotFound,
  PermissionDenied,
  ConnectionRefused,
  ConnectionReset,
  HostUnreachable,
  NetworkUnreachable,
  ConnectionAborted,
  NotConnected,
  AddrInUse,
  AddrNotAvailable,
  NetworkDown,
  BrokenPipe,
  AlreadyExists,
  WouldBlock,
  NotADirectory,
  IsADirectory,
  DirectoryNotEmpty,
  ReadOnlyFilesystem,
  FilesystemLoop,
  StaleNetworkFileHandle,
  InvalidInput,
  InvalidData,
  TimedOut,
  WriteZero,
  StorageFull,
  NotSeekable,
  FilesystemQuotaExceeded,
  FileTooLarge,
  ResourceBusy,
  ExecutableFileBusy,
  Deadlock,
  CrossesDevices,
  TooManyLinks,
  InvalidFilename,
  ArgumentListTooLong,
  Interrupted,
  Unsupported,
  UnexpectedEof,
  OutOfMemory,
  Other,
  Uncategorized,
};

inline constexpr int error_kind_count = 41;

// The name shown by debug forms, such as "NotFound".
std::string_view error_kind_name(ErrorKind kind) noexcept;

// The display form of a bare-kind error, such as "entity not found".
std::string_view error_kind_description(ErrorKind kind) noexcept;

// Kind of a Windows system error code; unlisted codes are Uncategorized.
ErrorKind error_kind_from_windows_code(std::int32_t code) noexcept;

// Kind of a POSIX errno value; unlisted numbers are Uncategorized.
ErrorKind error_kind_from_errno(int code) noexcept;

}  // namespace varsift::core
