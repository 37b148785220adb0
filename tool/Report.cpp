// The "-totalStats" report: sums the active files of many archives by file
// type, then lists each archive with its entry count, size on disk and
// fragmentation. Only the archives' indexes are read; the report is built in
// memory and written with one call.
#include "tool/Report.h"

#include <algorithm>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <map>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "archive/Archive.h"
#include "tool/Reason.h"
#include "platform/FileSystem.h"
#include "tool/Refusals.h"

namespace tool {

namespace {

constexpr const char* kRule =
    "==============================================================================\r\n";
constexpr const char* kTypeHead =
    " Type      Count       Size    Compressed Size    Compression   Avg. Size\r\n";
constexpr const char* kArchiveHead =
    " Archive File       Num Files       File Size      Fragmentation\r\n";
constexpr uint32_t kActive = 1;  // bit 0 of FileEntry::flags
constexpr double kPerMiB = 1.0 / 1048576.0;
constexpr double kPerKiB = 1.0 / 1024.0;

// The active files of one type over every archive. The byte sums are 64-bit
// so that a type spread over several archives does not wrap at 4 GiB.
struct FileTypeTotals {
  std::string type;
  uint64_t size = 0;            // sum of realSize
  uint64_t compressedSize = 0;  // sum of storedSize
  uint32_t count = 0;
};

// Keyed by type string, in byte order.
using TypeTable = std::map<std::string, FileTypeTotals>;

// Appends printf-formatted text.
__attribute__((format(printf, 2, 3))) void Append(std::string& text, const char* format, ...) {
  va_list args;
  va_start(args, format);
  va_list measure;
  va_copy(measure, args);
  const int length = std::vsnprintf(nullptr, 0, format, measure);
  va_end(measure);
  if (length > 0) {
    const size_t at = text.size();
    text.resize(at + static_cast<size_t>(length) + 1);
    std::vsnprintf(text.data() + at, static_cast<size_t>(length) + 1, format, args);
    text.resize(at + static_cast<size_t>(length));
  }
  va_end(args);
}

// (1 - stored / real) in percent, rounded to single precision; 0 when there
// is nothing to compress.
float Compression(double stored, double real) {
  return real == 0 ? 0.0f : static_cast<float>((1.0 - stored / real) * 100.0);
}

// Average size in KiB of count files that add up to mib MiB; 0 for no files.
double AverageKiB(double mib, uint32_t count) { return count == 0 ? 0.0 : (mib / count) * 1024.0; }

// The directory of the pattern's matches: everything up to and including its
// last separator, empty when it has none.
std::string DirectoryPrefix(const std::string& pattern) {
  const size_t separator = pattern.find_last_of("/\\");
  return separator == std::string::npos ? std::string() : pattern.substr(0, separator + 1);
}

// Whether another process holds the file locked: opening it under lock
// fails for that reason alone.
bool LockedElsewhere(const platform::FileSystem& fs, const std::string& path, platform::Lock lock) {
  const platform::File locked(
      fs, fs.Open(path, platform::Access::Read, platform::Creation::OpenExisting, lock));
  return !locked.IsOpen() && fs.LastError().failure == platform::Failure::Locked;
}

// Opens every file the pattern matches read-only (but the report itself)
// and hands those that are archives to visit along with their directory
// record; each other match is named on standard error and left out. False
// when any was left out.
template <typename Visit>
bool ForEachArchive(const platform::FileSystem& fs, const std::string& pattern,
                    const std::optional<std::string>& report, Visit visit) {
  const std::string prefix = DirectoryPrefix(pattern);
  bool all = true;
  for (const platform::DirEntry& match : fs.Enumerate(pattern)) {
    if (match.isDirectory) continue;
    const std::string path = prefix + match.name;
    if (report && fs.OnDiskPath(path) == report) continue;
    bool opened = false;
    try {
      GAME::Archive archive(fs);
      opened = archive.Open(path.c_str(), GAME::Archive::ModeRead);
      if (opened) visit(match, archive);
    } catch (const std::bad_alloc&) {
      ReportArchiveSkipped(path, SkipReason::OutOfMemory);
      all = false;
      continue;
    }
    if (!opened) {
      ReportArchiveSkipped(path, LockedElsewhere(fs, path, platform::Lock::Shared)
                                     ? SkipReason::Locked
                                     : SkipReason::NotAnArchive);
      all = false;
    }
  }
  return all;
}

// The stored name from its last '.' on, the dot included; empty without one.
// The dot may lie in a directory component (maps.old/readme gives .old/readme).
std::string TypeOf(const GAME::Archive::FileEntry& entry) {
  const std::string_view name(entry.name, entry.nameLength);
  const size_t dot = name.rfind('.');
  return dot == std::string_view::npos ? std::string() : std::string(name.substr(dot));
}

void AddArchiveTypes(const GAME::Archive& archive, TypeTable& types) {
  const unsigned int count = archive.GetNumFiles();
  for (unsigned int i = 0; i < count; ++i) {
    const GAME::Archive::FileEntry& entry = archive.GetFileEntry(static_cast<int>(i));
    if (!(entry.flags & kActive)) continue;
    const std::string type = TypeOf(entry);
    FileTypeTotals& totals = types[type];
    totals.type = type;
    totals.size += entry.realSize;
    totals.compressedSize += entry.storedSize;
    totals.count += 1;
  }
}

// The first table: its head, one row per type, largest first (types of equal
// size in key order), and the total line. The totals add each type's sums
// truncated to whole KiB.
void AppendTypeTable(const TypeTable& types, std::string& text) {
  std::vector<FileTypeTotals> sorted;
  sorted.reserve(types.size());
  for (const auto& [type, totals] : types) sorted.push_back(totals);
  std::stable_sort(sorted.begin(), sorted.end(),
                   [](const FileTypeTotals& a, const FileTypeTotals& b) { return a.size > b.size; });

  text.append("\r\n").append(kRule).append(kTypeHead).append(kRule);
  uint32_t totalCount = 0;
  uint64_t totalKiB = 0;
  uint64_t storedKiB = 0;
  for (const FileTypeTotals& t : sorted) {
    const double mib = static_cast<double>(t.size) * kPerMiB;
    const double storedMiB = static_cast<double>(t.compressedSize) * kPerMiB;
    const float compression = Compression(static_cast<double>(t.compressedSize),
                                          static_cast<double>(t.size));
    Append(text, "%5s %10u %10.2f MB %12.2f MB %11.1f %11.1f KB\r\n", t.type.c_str(), t.count, mib,
           storedMiB, static_cast<double>(compression), AverageKiB(mib, t.count));
    totalCount += t.count;
    totalKiB += t.size >> 10;
    storedKiB += t.compressedSize >> 10;
  }
  const double totalMiB = static_cast<double>(totalKiB) * kPerKiB;
  const double storedMiB = static_cast<double>(storedKiB) * kPerKiB;
  const float compression =
      Compression(static_cast<double>(storedKiB), static_cast<double>(totalKiB));
  text.append(kRule);
  Append(text, "Total %10u %10.2f MB %12.2f MB %11.1f %11.1f KB\r\n\r\n\r\n", totalCount, totalMiB,
         storedMiB, static_cast<double>(compression), AverageKiB(totalMiB, totalCount));
}

// One row of the second table. The size is the low 32 bits the directory
// search reported; fragmentation is the share of entries that hold no file.
void AppendArchiveRow(const platform::DirEntry& match, const GAME::Archive& archive,
                      std::string& text) {
  GAME::Archive::Stats stats;
  archive.CalcStats(stats);
  const double fragmentation =
      stats.fileEntries == 0
          ? 0.0
          : static_cast<double>(stats.fileEntries - stats.activeFiles) / stats.fileEntries * 100.0;
  const float mib = static_cast<float>(match.sizeLow * kPerMiB);
  Append(text, "%-20s %8u %15.2f MB, %8.1f%%\r\n", match.name.c_str(), archive.GetNumFiles(),
         static_cast<double>(mib), fragmentation);
}

}  // namespace

bool TotalStats(const platform::FileSystem& fs, const char* reportPath, int patternCount,
                char** patterns) {
  if (reportPath == nullptr) return true;
  // Under an exclusive lock, taken before the file is cut: a file another
  // process holds as an archive is never truncated.
  platform::File report(fs, fs.Open(reportPath, platform::Access::ReadWrite,
                                    platform::Creation::CreateAlways, platform::Lock::Exclusive));
  if (!report.IsOpen()) {
    const platform::SystemError cause = fs.LastError();
    if (LockedElsewhere(fs, reportPath, platform::Lock::Exclusive)) {
      ReportReportFileLocked(reportPath);
      return false;
    }
    std::fprintf(stderr, "Failed to create report file %s.\n", reportPath);
    PrintReason(fs, cause);
    return false;
  }
  const std::optional<std::string> reportOnDisk = fs.OnDiskPath(reportPath);

  const std::vector<std::string> list(patterns, patterns + std::max(patternCount, 0));
  for (const std::string& pattern : list) {
    if (pattern.find('*') == std::string::npos) {
      std::fprintf(stderr, "Invalid path: %s\n", pattern.c_str());
      return true;  // the report stays empty
    }
  }

  // One pass over the archives: each is opened once, its types summed and
  // its row of the second table kept.
  TypeTable types;
  std::string rows;
  bool all = true;
  for (const std::string& pattern : list) {
    all = ForEachArchive(fs, pattern, reportOnDisk,
                         [&](const platform::DirEntry& match, const GAME::Archive& archive) {
                           AddArchiveTypes(archive, types);
                           AppendArchiveRow(match, archive, rows);
                         }) &&
          all;
  }
  std::string text;
  AppendTypeTable(types, text);
  text.append(kRule).append(kArchiveHead).append(kRule).append(rows);

  const platform::IoResult written = fs.WriteAt(report.Handle(), 0, text.data(), text.size());
  if (!written.ok || written.count != text.size()) {
    std::fprintf(stderr, "Failed to write report file %s.\n", reportPath);
    PrintReason(fs);
    return false;
  }
  return all;
}

}  // namespace tool
