#include "support/TestSystem.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <cstdlib>
#include <filesystem>

namespace testing_support {

#if defined(_WIN32)

namespace {
std::wstring Wide(const std::string& path) { return std::filesystem::u8path(path).wstring(); }
}  // namespace

bool SetLastWrite(const std::string& path, int64_t seconds, int64_t nanoseconds) {
  const platform::FileTime time = platform::FileTimeFromUnix(seconds, nanoseconds);
  const HANDLE file = CreateFileW(Wide(path).c_str(), FILE_WRITE_ATTRIBUTES,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  const FILETIME written{time.low, time.high};
  const bool ok = SetFileTime(file, nullptr, nullptr, &written);
  CloseHandle(file);
  return ok;
}

void SetEnvironment(const char* name, const char* value) { _putenv_s(name, value ? value : ""); }

bool MakeFifo(const std::string&) { return false; }

#else

bool SetLastWrite(const std::string& path, int64_t seconds, int64_t nanoseconds) {
  const timespec times[2] = {{time_t(seconds), long(nanoseconds)},
                             {time_t(seconds), long(nanoseconds)}};
  return utimensat(AT_FDCWD, path.c_str(), times, 0) == 0;
}

void SetEnvironment(const char* name, const char* value) {
  if (value != nullptr) {
    setenv(name, value, 1);
  } else {
    unsetenv(name);
  }
}

bool MakeFifo(const std::string& path) { return mkfifo(path.c_str(), 0600) == 0; }

#endif

int ChangeMode(const std::filesystem::path& path, int mode) {
  std::error_code error;
  std::filesystem::permissions(path, std::filesystem::perms(mode), error);
  return error ? -1 : 0;
}

}  // namespace testing_support
