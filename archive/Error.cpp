// Texts of the error codes.
#include "archive/Error.h"

#include "archive/ErrorSlots.h"
#include "platform/FileSystem.h"

namespace GAME {

const char* ErrorMessage(ErrorCode code) {
  switch (code) {
    case ErrorCode::None: return "no error";
    case ErrorCode::NotFound: return "not found";
    case ErrorCode::Locked: return "locked by another process";
    case ErrorCode::NotAnArchive: return "not an archive";
    case ErrorCode::Damaged: return "damaged data";
    case ErrorCode::NameTaken: return "name already in the archive";
    case ErrorCode::BadLevel: return "bad compression level";
    case ErrorCode::TooLarge: return "over 4 GiB";
    case ErrorCode::IO: return "I/O error";
    case ErrorCode::ReadOnly: return "read-only";
    case ErrorCode::PermissionDenied: return "permission denied";
    case ErrorCode::DiskFull: return "disk full";
    case ErrorCode::JournalInTheWay: return "the journal file is in the way";
    case ErrorCode::BadArgument: return "bad argument";
    case ErrorCode::NotOpen: return "archive not open for this";
    case ErrorCode::IsDirectory: return "is a directory";
    case ErrorCode::NotAFile: return "not a regular file";
    case ErrorCode::OutsideDirectory: return "name leaves the destination";
  }
  return "unknown error";
}

std::string ErrorMessage(const Error& error) {
  std::string text = ErrorMessage(error.code);
  if (!error.detail.empty()) text += " (" + error.detail + ")";
  return text;
}

Error SystemFailure(const platform::FileSystem& fs, ErrorCode fallback, const std::string& what) {
  const platform::SystemError cause = fs.LastError();
  ErrorCode code = fallback;
  switch (cause.failure) {
    case platform::Failure::NotFound: code = ErrorCode::NotFound; break;
    case platform::Failure::PermissionDenied: code = ErrorCode::PermissionDenied; break;
    case platform::Failure::ReadOnly: code = ErrorCode::ReadOnly; break;
    case platform::Failure::DiskFull: code = ErrorCode::DiskFull; break;
    case platform::Failure::Locked: code = ErrorCode::Locked; break;
    case platform::Failure::IsDirectory: code = ErrorCode::IsDirectory; break;
    case platform::Failure::NotRegularFile: code = ErrorCode::NotAFile; break;
    case platform::Failure::None:
    case platform::Failure::Exists:
    case platform::Failure::Other: break;
  }
  std::string detail = what;
  if (cause.code != 0) detail += (detail.empty() ? "" : ": ") + fs.ErrorText(cause.code);
  return Error{code, cause.code, std::move(detail)};
}

}  // namespace GAME
