// Internals shared by the Windows file-system sources: the handle owner and
// the conversions at the Win32 boundary. Not part of the seam's interface.
//
// korvat keeps paths in UTF-8; every Win32 call takes UTF-16. A path is made
// absolute and, when it is long, given the "\\?\" form, which lifts the
// MAX_PATH limit.
#pragma once

#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/FileSystem.h"

namespace platform::win32 {

// Owns a HANDLE; INVALID_HANDLE_VALUE when empty.
class Handle {
 public:
  Handle() = default;
  explicit Handle(HANDLE handle) : handle_(handle) {}
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  ~Handle() {
    if (IsOpen()) ::CloseHandle(handle_);
  }

  bool IsOpen() const { return handle_ != INVALID_HANDLE_VALUE && handle_ != nullptr; }
  HANDLE Get() const { return handle_; }
  HANDLE Release() {
    HANDLE handle = handle_;
    handle_ = INVALID_HANDLE_VALUE;
    return handle;
  }

 private:
  HANDLE handle_ = INVALID_HANDLE_VALUE;
};

inline FileHandle ToHandle(HANDLE handle) { return static_cast<FileHandle>(handle); }
inline HANDLE ToNative(FileHandle handle) { return static_cast<HANDLE>(handle); }

// UTF-8 to UTF-16 and back; nothing when the text is not valid (the last
// error is then ERROR_NO_UNICODE_TRANSLATION).
std::optional<std::wstring> Widen(const std::string& text);
std::string Narrow(const std::wstring& text);

// The path as Win32 calls take it: slashes turned into backslashes, made
// absolute, and in the "\\?\" form when it would be too long otherwise.
std::optional<std::wstring> SystemPath(const std::string& path);

// Opens path for its attributes only (no access to its data, every sharing
// allowed), directories included; follows a link unless told not to.
Handle OpenForAttributes(const std::string& path, bool followLink = true);

// FileSystem::ListDirectory for the native file system; the last error
// says why when it gives nothing.
std::optional<std::vector<DirEntry>> Enumerate(const std::string& pattern);

}  // namespace platform::win32
