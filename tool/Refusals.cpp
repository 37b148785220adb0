// The messages of the trust boundaries, in one place.
#include "tool/Refusals.h"

#include <cstdio>

namespace tool {

namespace {

const char* WhatItIs(GAME::Archive::JournalState state) {
  using State = GAME::Archive::JournalState;
  switch (state) {
    case State::NotAJournal:
      return "not a journal";
    case State::OtherChange:
      return "the journal of another archive or of another change";
    case State::Directory:
      return "a directory";
    case State::Link:
      return "a symbolic link";
    case State::OtherOwner:
      return "a file of another user";
    case State::Unreadable:
      return "a file that cannot be read";
    case State::Ready:
    case State::NoJournal:
      break;
  }
  return "not its journal";
}

}  // namespace

void ReportJournalInTheWay(const GAME::Archive& archive) {
  std::fprintf(stderr,
               "%s is in the way of the archive's journal: it is %s. The archive is not changed; "
               "move that file away to change it.\n",
               archive.JournalFile().c_str(), WhatItIs(archive.JournalProblem()));
}

void WarnNoJournal(const char* archivePath) {
  std::fprintf(stderr,
               "Warning: the directory of archive file %s is not writable, so the change is made "
               "without a journal; an interruption may damage the archive.\n",
               archivePath);
}

void ReportLinkInDestination(const std::string& path) {
  std::fprintf(stderr, "%s is a symbolic link; nothing is written through it.\n", path.c_str());
}

void ReportReportFileLocked(const char* reportPath) {
  std::fprintf(stderr, "Report file %s is locked by another process; it is left as it is.\n",
               reportPath);
}

void ReportArchiveSkipped(const std::string& path, SkipReason reason) {
  const char* why = reason == SkipReason::Locked         ? "it is locked by another process"
                    : reason == SkipReason::NotAnArchive ? "it is not an archive or is damaged"
                                                         : "out of memory";
  std::fprintf(stderr, "Left out of the report: %s (%s).\n", path.c_str(), why);
}

}  // namespace tool
