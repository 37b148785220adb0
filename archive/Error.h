// Why a call of GAME::Archive failed: a code for programs to act on, the
// operating system's error number when one caused it, and a short detail
// for people (which check an archive failed, the system's text, a name).
// Archive::LastError() gives the last failure of the calling thread.
#pragma once

#include <string>

// The shared library exports the public interface; KORVAT_LOCAL keeps a
// class's private members out of it. On Windows the DLL exports it and its
// users import it, unless they link the static library (KORVAT_STATIC_DEFINE).
#if defined(_WIN32)
#if defined(KORVAT_STATIC_DEFINE)
#define KORVAT_API
#elif defined(KORVAT_BUILDING_LIBRARY)
#define KORVAT_API __declspec(dllexport)
#else
#define KORVAT_API __declspec(dllimport)
#endif
#define KORVAT_LOCAL
#elif defined(KORVAT_BUILDING_LIBRARY)
#define KORVAT_API __attribute__((visibility("default")))
#define KORVAT_LOCAL __attribute__((visibility("hidden")))
#else
#define KORVAT_API
#define KORVAT_LOCAL
#endif

namespace GAME {

enum class ErrorCode {
  None,              // no failure
  NotFound,          // no such file, or no such entry
  Locked,            // another object or process holds the archive
  NotAnArchive,      // the file is not a well-formed archive (detail: the check)
  Damaged,           // stored data does not inflate or fails its checksum
  NameTaken,         // an active entry already has the name
  BadLevel,          // a compression level outside 0..9
  TooLarge,          // the file or the archive would reach 4 GiB
  IO,                // a read or write failed (systemError says why)
  ReadOnly,          // a read-only file or file system, or an archive open for reading
  PermissionDenied,  // the system refused access
  DiskFull,          // no space left
  JournalInTheWay,   // the rollback journal beside the archive cannot be used
  BadArgument,       // a null or empty name, an index out of range, a removed entry
  NotOpen,           // the archive is not open (in the mode the call needs)
  IsDirectory,       // a directory where a file was wanted
  NotAFile,          // a device, FIFO or socket where a file was wanted
  OutsideDirectory,  // a stored name that would leave the destination directory
};

struct Error {
  ErrorCode code = ErrorCode::None;
  int systemError = 0;  // the system's error number (errno on Linux), 0 if none
  std::string detail;   // may be empty
};

// A short lower-case text for code ("locked by another process").
KORVAT_API const char* ErrorMessage(ErrorCode code);
// The text of error.code followed by its detail in parentheses, if any:
// "not an archive (bad magic)".
KORVAT_API std::string ErrorMessage(const Error& error);

}  // namespace GAME
