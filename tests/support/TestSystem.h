// The few operating-system services the tests use beyond the platform layer,
// for Linux and for Windows: setting a file's time, the environment, FIFOs.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

#include "platform/FileSystem.h"

namespace testing_support {

// Whether the tests run on Windows (through Wine under CI).
#if defined(_WIN32)
inline constexpr bool kWindows = true;
#else
inline constexpr bool kWindows = false;
#endif

// Sets the last-write time to a Unix time; false when that failed.
bool SetLastWrite(const std::string& path, int64_t seconds, int64_t nanoseconds = 0);
// Gives path the permission bits of mode as chmod does; 0 when done, -1
// when not. On Windows a mode without write bits makes the file read-only.
int ChangeMode(const std::filesystem::path& path, int mode);
// Sets or, with nullptr, removes an environment variable.
void SetEnvironment(const char* name, const char* value);
// Makes a FIFO; false when it failed or the system has none (Windows).
bool MakeFifo(const std::string& path);

}  // namespace testing_support
