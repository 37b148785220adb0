// The messages of the trust boundaries: why a change, a write or an archive
// was refused or left out. Each goes to standard error as one line.
#pragma once

#include <string>

#include "archive/Archive.h"

namespace tool {

// The file at the archive's journal path is not its journal (ModeWrite was
// refused): names the file and what it is.
void ReportJournalInTheWay(const GAME::Archive& archive);

// The archive's directory is not writable: the change goes ahead without a
// journal.
void WarnNoJournal(const char* archivePath);

// Extraction refused to write through a symbolic link.
void ReportLinkInDestination(const std::string& path);

// "-totalStats": the report file is held by another process as an archive.
void ReportReportFileLocked(const char* reportPath);

// Why "-totalStats" left an archive out.
enum class SkipReason { Locked, NotAnArchive, OutOfMemory };
void ReportArchiveSkipped(const std::string& path, SkipReason reason);

}  // namespace tool
