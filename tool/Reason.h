// The reason line that follows a failure message on standard error when the
// cause is known: "Reason: locked by another process".
#pragma once

#include <cstdio>

#include "archive/Archive.h"
#include "platform/FileSystem.h"

namespace tool {

// Why the archive's latest failed call on this thread failed; nothing when
// it does not know.
inline void PrintReason(const GAME::Error& error) {
  if (error.code == GAME::ErrorCode::None) return;
  std::fprintf(stderr, "Reason: %s\n", GAME::ErrorMessage(error).c_str());
}

// Why a file system call failed, from the cause it gave.
inline void PrintReason(const platform::FileSystem& fs, const platform::SystemError& cause) {
  if (cause.failure == platform::Failure::None || cause.code == 0) return;
  std::fprintf(stderr, "Reason: %s\n", fs.ErrorText(cause.code).c_str());
}

// Why the file system's latest failed call on this thread failed.
inline void PrintReason(const platform::FileSystem& fs) { PrintReason(fs, fs.LastError()); }

}  // namespace tool
