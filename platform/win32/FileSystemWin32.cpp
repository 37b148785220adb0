// The FileSystem of the running Windows system: Win32 calls behind the seam.
// Names match ignoring case and sharing is enforced by the system itself, so
// a path is handed over as it stands and a Lock becomes a share mode.
#include <aclapi.h>

#include <algorithm>
#include <limits>
#include <memory>
#include <vector>

#include "platform/win32/Win32.h"

namespace platform {
namespace win32 {

std::optional<std::wstring> Widen(const std::string& text) {
  if (text.empty()) return std::wstring();
  if (text.size() > size_t(std::numeric_limits<int>::max())) {
    ::SetLastError(ERROR_FILENAME_EXCED_RANGE);
    return std::nullopt;
  }
  const int length = ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(),
                                           int(text.size()), nullptr, 0);
  if (length <= 0) return std::nullopt;
  std::wstring wide(size_t(length), L'\0');
  ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), int(text.size()), wide.data(),
                        length);
  return wide;
}

std::string Narrow(const std::wstring& text) {
  if (text.empty() || text.size() > size_t(std::numeric_limits<int>::max())) return {};
  const int length = ::WideCharToMultiByte(CP_UTF8, 0, text.data(), int(text.size()), nullptr, 0,
                                           nullptr, nullptr);
  if (length <= 0) return {};
  std::string narrow(size_t(length), '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, text.data(), int(text.size()), narrow.data(), length, nullptr,
                        nullptr);
  return narrow;
}

std::optional<std::wstring> SystemPath(const std::string& path) {
  if (path.empty()) {
    ::SetLastError(ERROR_PATH_NOT_FOUND);
    return std::nullopt;
  }
  std::optional<std::wstring> wide = Widen(path);
  if (!wide) return std::nullopt;
  std::replace(wide->begin(), wide->end(), L'/', L'\\');
  if (wide->rfind(L"\\\\?\\", 0) == 0) return wide;  // already in the long form
  // GetFullPathNameW resolves "." and ".." and the current directory, which
  // the long form would take literally.
  std::wstring full(MAX_PATH, L'\0');
  for (;;) {
    const DWORD length =
        ::GetFullPathNameW(wide->c_str(), DWORD(full.size()), full.data(), nullptr);
    if (length == 0) return std::nullopt;
    if (length < full.size()) {
      full.resize(length);
      break;
    }
    full.resize(length);
  }
  // Leave room for a file name appended by the system (a search's record).
  constexpr size_t kShortEnough = MAX_PATH - 12;
  if (full.size() < kShortEnough) return full;
  if (full.rfind(L"\\\\", 0) == 0) return L"\\\\?\\UNC\\" + full.substr(2);
  return L"\\\\?\\" + full;
}

Handle OpenForAttributes(const std::string& path, bool followLink) {
  const std::optional<std::wstring> name = SystemPath(path);
  if (!name) return Handle();
  const DWORD flags = FILE_FLAG_BACKUP_SEMANTICS | (followLink ? 0 : FILE_FLAG_OPEN_REPARSE_POINT);
  return Handle(::CreateFileW(name->c_str(), FILE_READ_ATTRIBUTES,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, flags, nullptr));
}

}  // namespace win32

namespace {

using win32::Handle;
using win32::SystemPath;
using win32::ToHandle;
using win32::ToNative;

// FileRenameInfoEx (Windows 10), which MinGW's headers declare only for a
// later _WIN32_WINNT than they can express.
constexpr auto kRenameInfoEx = FILE_INFO_BY_HANDLE_CLASS(22);

// The most one ReadFile or WriteFile call moves.
constexpr DWORD kMaxChunk = 1u << 30;

Failure Classify(DWORD code) {
  switch (code) {
    case ERROR_SUCCESS:
      return Failure::None;
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
    case ERROR_INVALID_DRIVE:
    case ERROR_BAD_NETPATH:
    case ERROR_BAD_PATHNAME:
      return Failure::NotFound;
    case ERROR_ACCESS_DENIED:
      return Failure::PermissionDenied;
    case ERROR_WRITE_PROTECT:
      return Failure::ReadOnly;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
      return Failure::DiskFull;
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
      return Failure::Locked;
    case ERROR_DIRECTORY:
      return Failure::IsDirectory;
    case ERROR_BAD_FILE_TYPE:
      return Failure::NotRegularFile;
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS:
      return Failure::Exists;
    default:
      return Failure::Other;
  }
}

// Share modes stand for the locks. A shared lock shares reading only, so no
// open for writing can join it. An exclusive lock on a file opened for
// writing also shares reading: its own write access keeps every other lock
// out, while plain readers (Lock::None, which ignores locks on Linux too)
// may still read it; opened for reading only, it shares nothing. Deletion is
// always shared, so a file in use can still be renamed or removed.
DWORD ShareMode(Lock lock, Access access) {
  switch (lock) {
    case Lock::Shared:
      return FILE_SHARE_READ | FILE_SHARE_DELETE;
    case Lock::Exclusive:
      return (access == Access::ReadWrite ? FILE_SHARE_READ : 0) | FILE_SHARE_DELETE;
    case Lock::None:
      break;
  }
  return FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
}

DWORD Disposition(Creation creation) {
  switch (creation) {
    case Creation::OpenExisting:
      return OPEN_EXISTING;
    case Creation::CreateNew:
      return CREATE_NEW;
    case Creation::OpenAlways:
    case Creation::CreateAlways:
      break;
  }
  return OPEN_ALWAYS;  // CreateAlways truncates after the open, as on Linux
}

bool IsDirectoryPath(const std::wstring& name) {
  const DWORD attributes = ::GetFileAttributesW(name.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool SetLength(HANDLE file, uint64_t size) {
  if (size > uint64_t(std::numeric_limits<LONGLONG>::max())) return false;
  LARGE_INTEGER position;
  position.QuadPart = LONGLONG(size);
  return ::SetFilePointerEx(file, position, nullptr, FILE_BEGIN) && ::SetEndOfFile(file);
}

OVERLAPPED At(uint64_t offset) {
  OVERLAPPED overlapped{};
  overlapped.Offset = DWORD(offset);
  overlapped.OffsetHigh = DWORD(offset >> 32);
  return overlapped;
}

// A reparse point that leads elsewhere: a symbolic link or a junction.
bool IsLinkTag(const FILE_ATTRIBUTE_TAG_INFO& info) {
  return (info.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 &&
         (info.ReparseTag == IO_REPARSE_TAG_SYMLINK ||
          info.ReparseTag == IO_REPARSE_TAG_MOUNT_POINT);
}

// The owner of an open file as a number (a hash of its SID) and whether it
// is the caller: its user or the owner it gives to what it creates.
struct Ownership {
  bool caller = false;
  uint64_t owner = 0;
};

bool SameSidAsToken(PSID sid, TOKEN_INFORMATION_CLASS kind) {
  HANDLE raw = nullptr;
  if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &raw)) return false;
  const Handle token(raw);
  DWORD size = 0;
  ::GetTokenInformation(token.Get(), kind, nullptr, 0, &size);
  if (size == 0) return false;
  std::vector<unsigned char> buffer(size);
  if (!::GetTokenInformation(token.Get(), kind, buffer.data(), size, &size)) return false;
  // TOKEN_USER and TOKEN_OWNER both begin with the SID they name.
  PSID own = kind == TokenUser ? reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid
                               : reinterpret_cast<TOKEN_OWNER*>(buffer.data())->Owner;
  return ::EqualSid(sid, own) != 0;
}

Ownership OwnerOf(HANDLE file) {
  PSID owner = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (::GetSecurityInfo(file, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr,
                        nullptr, &descriptor) != ERROR_SUCCESS) {
    return {};
  }
  Ownership result;
  if (owner != nullptr && ::IsValidSid(owner)) {
    const auto* bytes = static_cast<const unsigned char*>(owner);
    uint64_t hash = 14695981039346656037ull;  // FNV-1a
    for (DWORD i = 0; i < ::GetLengthSid(owner); ++i) hash = (hash ^ bytes[i]) * 1099511628211ull;
    result.owner = hash;
    result.caller = SameSidAsToken(owner, TokenUser) || SameSidAsToken(owner, TokenOwner);
  }
  ::LocalFree(descriptor);
  return result;
}

class Native final : public FileSystem {
 public:
  FileHandle Open(const std::string& path, Access access, Creation creation,
                  Lock lock) const override {
    const std::optional<std::wstring> name = SystemPath(path);
    if (!name) return InvalidHandle();
    const DWORD desired = access == Access::Read ? GENERIC_READ : GENERIC_READ | GENERIC_WRITE;
    // A new file never follows a link that stands in its place.
    const DWORD flags = FILE_ATTRIBUTE_NORMAL |
                        (creation == Creation::CreateNew ? FILE_FLAG_OPEN_REPARSE_POINT : 0);
    Handle file(::CreateFileW(name->c_str(), desired, ShareMode(lock, access), nullptr,
                              Disposition(creation), flags, nullptr));
    if (!file.IsOpen()) {
      if (::GetLastError() == ERROR_ACCESS_DENIED && IsDirectoryPath(*name)) {
        ::SetLastError(ERROR_DIRECTORY);
      }
      return InvalidHandle();
    }
    if (::GetFileType(file.Get()) != FILE_TYPE_DISK) {
      ::SetLastError(ERROR_BAD_FILE_TYPE);
      return InvalidHandle();
    }
    if (creation == Creation::CreateAlways && !SetLength(file.Get(), 0)) return InvalidHandle();
    return ToHandle(file.Release());
  }

  void Close(FileHandle file) const override {
    if (file != InvalidHandle()) ::CloseHandle(ToNative(file));
  }

  IoResult ReadAt(FileHandle file, uint64_t offset, void* data, size_t size) const override {
    auto* bytes = static_cast<unsigned char*>(data);
    IoResult result{true, 0};
    while (result.count < size) {
      if (offset > std::numeric_limits<uint64_t>::max() - result.count)
        return {false, result.count};
      OVERLAPPED at = At(offset + result.count);
      const DWORD chunk = DWORD(std::min<size_t>(size - result.count, kMaxChunk));
      DWORD n = 0;
      if (!::ReadFile(ToNative(file), bytes + result.count, chunk, &n, &at)) {
        if (::GetLastError() == ERROR_HANDLE_EOF) break;
        return {false, result.count};
      }
      if (n == 0) break;  // end of file
      result.count += n;
    }
    return result;
  }

  IoResult WriteAt(FileHandle file, uint64_t offset, const void* data, size_t size) const override {
    const auto* bytes = static_cast<const unsigned char*>(data);
    IoResult result{true, 0};
    while (result.count < size) {
      if (offset > std::numeric_limits<uint64_t>::max() - result.count)
        return {false, result.count};
      OVERLAPPED at = At(offset + result.count);
      const DWORD chunk = DWORD(std::min<size_t>(size - result.count, kMaxChunk));
      DWORD n = 0;
      if (!::WriteFile(ToNative(file), bytes + result.count, chunk, &n, &at) || n == 0) {
        return {false, result.count};
      }
      result.count += n;
    }
    return result;
  }

  bool Truncate(FileHandle file, uint64_t size) const override {
    return SetLength(ToNative(file), size);
  }

  std::optional<uint64_t> Size(FileHandle file) const override {
    LARGE_INTEGER size;
    if (!::GetFileSizeEx(ToNative(file), &size)) return std::nullopt;
    return uint64_t(size.QuadPart);
  }

  bool Flush(FileHandle file) const override { return ::FlushFileBuffers(ToNative(file)) != 0; }

  // NTFS journals its directories itself and Win32 has no call to flush
  // one: it is enough that the directory is there.
  bool FlushDirectory(const std::string& path) const override {
    const std::optional<std::wstring> name = SystemPath(path);
    if (!name) return false;
    if (IsDirectoryPath(*name)) return true;
    if (::GetLastError() == ERROR_SUCCESS) ::SetLastError(ERROR_DIRECTORY);
    return false;
  }

  Attributes GetAttributes(const std::string& path) const override {
    const Handle own = win32::OpenForAttributes(path, false);
    FILE_ATTRIBUTE_TAG_INFO tag{};
    if (!own.IsOpen() ||
        !::GetFileInformationByHandleEx(own.Get(), FileAttributeTagInfo, &tag, sizeof tag)) {
      return {};
    }
    Attributes attributes;
    attributes.isLink = IsLinkTag(tag);
    const Ownership ownership = OwnerOf(own.Get());
    attributes.ownedByCaller = ownership.caller;
    attributes.owner = ownership.owner;
    if (attributes.isLink) {
      const Handle target = win32::OpenForAttributes(path);
      if (!target.IsOpen() ||
          !::GetFileInformationByHandleEx(target.Get(), FileAttributeTagInfo, &tag, sizeof tag)) {
        return attributes;  // a dangling link
      }
    }
    attributes.exists = true;
    attributes.isDirectory = (tag.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    return attributes;
  }

  std::optional<FileTime> LastWriteTime(const std::string& path) const override {
    const Handle file = win32::OpenForAttributes(path);
    FILETIME written;
    if (!file.IsOpen() || !::GetFileTime(file.Get(), nullptr, nullptr, &written)) {
      return std::nullopt;
    }
    return FileTime{written.dwLowDateTime, written.dwHighDateTime};
  }

  std::optional<FileId> Identify(const std::string& path) const override {
    const Handle file = win32::OpenForAttributes(path);
    BY_HANDLE_FILE_INFORMATION info;
    if (!file.IsOpen() || !::GetFileInformationByHandle(file.Get(), &info)) return std::nullopt;
    return FileId{info.dwVolumeSerialNumber,
                  (uint64_t(info.nFileIndexHigh) << 32) | info.nFileIndexLow};
  }

  std::optional<std::vector<DirEntry>> ListDirectory(const std::string& pattern) const override {
    return win32::Enumerate(pattern);
  }

  bool CreateDirectory(const std::string& path) const override {
    const std::optional<std::wstring> name = SystemPath(path);
    return name && ::CreateDirectoryW(name->c_str(), nullptr);
  }

  bool RemoveFile(const std::string& path) const override {
    const std::optional<std::wstring> name = SystemPath(path);
    return name && ::DeleteFileW(name->c_str());
  }

  // Replaces the target as on Linux even while it is open (shared for
  // deletion): the POSIX-semantics rename of Windows 10; MoveFileExW where
  // the system or file system has none.
  bool Rename(const std::string& from, const std::string& to) const override {
    const std::optional<std::wstring> source = SystemPath(from);
    const std::optional<std::wstring> target = source ? SystemPath(to) : std::nullopt;
    if (!target) return false;
    const Handle file(::CreateFileW(source->c_str(), DELETE | SYNCHRONIZE,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (file.IsOpen()) {
      const size_t nameBytes = target->size() * sizeof(wchar_t);
      std::vector<unsigned char> buffer(sizeof(FILE_RENAME_INFO) + nameBytes);
      auto* info = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
      info->Flags = FILE_RENAME_FLAG_REPLACE_IF_EXISTS | FILE_RENAME_FLAG_POSIX_SEMANTICS;
      info->RootDirectory = nullptr;
      info->FileNameLength = DWORD(nameBytes);
      std::copy(target->begin(), target->end(), info->FileName);
      if (::SetFileInformationByHandle(file.Get(), kRenameInfoEx, info, DWORD(buffer.size()))) {
        return true;
      }
    }
    return ::MoveFileExW(source->c_str(), target->c_str(),
                         MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
  }

  // Windows has no permission bits: a new file takes its access from the
  // directory it is made in, so there is nothing to copy but a check that
  // both files are open.
  bool CopyPermissions(FileHandle from, FileHandle to) const override {
    BY_HANDLE_FILE_INFORMATION info;
    return ::GetFileInformationByHandle(ToNative(from), &info) &&
           ::GetFileInformationByHandle(ToNative(to), &info);
  }

  // Asks for the right to add a file when opening the directory, so the
  // system checks it against the directory's access list.
  bool CanCreateIn(const std::string& directory) const override {
    const std::optional<std::wstring> name = SystemPath(directory);
    if (!name) return false;
    const Handle dir(::CreateFileW(name->c_str(), FILE_ADD_FILE,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                   OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    return dir.IsOpen() && IsDirectoryPath(*name);
  }

  std::optional<std::string> OnDiskPath(const std::string& path) const override {
    const Handle file = win32::OpenForAttributes(path);
    if (!file.IsOpen()) return std::nullopt;
    std::wstring name(MAX_PATH, L'\0');
    for (;;) {
      const DWORD length = ::GetFinalPathNameByHandleW(file.Get(), name.data(), DWORD(name.size()),
                                                       FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
      if (length == 0) return std::nullopt;
      const bool fits = length < name.size();
      name.resize(length);
      if (fits) break;
    }
    // Back from the long form where the path is short enough without it.
    if (name.rfind(L"\\\\?\\UNC\\", 0) == 0) {
      name = L"\\\\" + name.substr(8);
    } else if (name.rfind(L"\\\\?\\", 0) == 0 && name.size() - 4 < MAX_PATH) {
      name.erase(0, 4);
    }
    return win32::Narrow(name);
  }

  std::optional<std::string> CurrentDirectory() const override {
    std::wstring buffer(MAX_PATH, L'\0');
    for (;;) {
      const DWORD length = ::GetCurrentDirectoryW(DWORD(buffer.size()), buffer.data());
      if (length == 0) return std::nullopt;
      const bool fits = length < buffer.size();
      buffer.resize(length);
      if (fits) break;
    }
    return win32::Narrow(buffer);
  }

  bool SetCurrentDirectory(const std::string& path) const override {
    const std::optional<std::wstring> name = SystemPath(path);
    return name && ::SetCurrentDirectoryW(name->c_str());
  }

  uint32_t Milliseconds() const override { return uint32_t(::GetTickCount64()); }

  // The last error is the calling thread's own.
  SystemError LastError() const override {
    const DWORD code = ::GetLastError();
    return SystemError{Classify(code), int(code)};
  }

  // The failures the tool names most often read as on Linux, so both
  // systems print the same lines; any other the system describes.
  std::string ErrorText(int code) const override {
    switch (Classify(DWORD(code))) {
      case Failure::NotFound:
        return "No such file or directory";
      case Failure::PermissionDenied:
        return "Permission denied";
      case Failure::ReadOnly:
        return "Read-only file system";
      case Failure::DiskFull:
        return "No space left on device";
      case Failure::Locked:
        return "Resource temporarily unavailable";
      case Failure::IsDirectory:
        return "Is a directory";
      case Failure::NotRegularFile:
        return "No such device";
      case Failure::Exists:
        return "File exists";
      case Failure::None:
      case Failure::Other:
        break;
    }
    wchar_t* text = nullptr;
    const DWORD length = ::FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, DWORD(code), 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    if (length == 0 || text == nullptr) return "Error " + std::to_string(code);
    std::wstring message(text, length);
    ::LocalFree(text);
    // The system's text ends in a full stop and a line break.
    while (!message.empty() && (message.back() == L'\n' || message.back() == L'\r' ||
                                message.back() == L' ' || message.back() == L'.')) {
      message.pop_back();
    }
    return win32::Narrow(message);
  }
};

}  // namespace

const FileSystem& NativeFileSystem() {
  static const Native instance;
  return instance;
}

// Windows looks names up ignoring case itself: a command needs no cache.
std::unique_ptr<FileSystem> NewNativeFileSystem() { return std::make_unique<Native>(); }

}  // namespace platform
