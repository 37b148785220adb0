// The command dispatcher: the usage text, the command table, argument counts,
// opening and closing the archive, exit codes and the timing line.
//
// Beyond the commands of the usage text (whose sixteen lines stay as other
// tools read them), "-verify" checks every stored file without extracting it:
// it opens the archive for reading only, names each damaged file on standard
// error, prints "N files checked, M damaged" and exits 1 when any was damaged.
#include "tool/Dispatcher.h"

#include <cstdint>
#include <cstdio>
#include <exception>
#include <memory>
#include <new>

#include "archive/Archive.h"
#include "platform/FileSystem.h"
#include "platform/Process.h"
#include "tool/CommandLine.h"
#include "tool/Import.h"
#include "tool/Listing.h"
#include "tool/MissingFiles.h"
#include "tool/Reason.h"
#include "tool/Refusals.h"
#include "tool/RemoveExtract.h"
#include "tool/Report.h"
#include "tool/Verify.h"

namespace tool {

namespace {

// Exit codes. The shell sees the original program's -1 as 255.
constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitOutputLost = 3;  // the command ran and committed; stdout failed
constexpr int kExitUsage = 255;
constexpr int kExitInterruptBase = 128;

void PrintUsage() {
  std::printf("Usage: korvat <file> <command> [command arguuments]\n");
  std::printf("commands: \n");
  std::printf(
      "    -add <directory> <base> [compression (0: min, 9: max)]: add a file or directory\n");
  std::printf(
      "        relative to the base directory. If a file is already in the archive it will not "
      "be added.\n");
  std::printf(
      "    -replace <directory> <base> [compression (0: min, 9: max)]: replace a file or "
      "directory\n");
  std::printf(
      "        relative to the base directory. If a file is already in the archive it will be "
      "overwritten.\n");
  std::printf(
      "    -update <directory> <base> [compression (0: min, 9: max)]: update a file or "
      "directory\n");
  std::printf(
      "        relative to the base directory. Files will only be added if they are newer "
      "than\n");
  std::printf("        those already in the archive.\n");
  std::printf("    -remove <file> : remove a file from the archive.\n");
  std::printf("    -extract <location> [file] : extract the files or specified file to the\n");
  std::printf("        specified location.\n");
  std::printf(
      "    -removeMissing <file> <base> : remove the files that are not in the specified "
      "directory.\n");
  std::printf("    -compact : compact the archive removing unused files.\n");
  std::printf("    -list : list the files in the archive.\n");
  std::printf("    -stats : display the archive statistics.\n");
}

// What a command works on. Positions of argv as on the command line.
struct CommandContext {
  const platform::FileSystem& fs;
  GAME::Archive& archive;
  int argc;
  char** argv;
  unsigned workers;  // threads that commands may use
};

// A command's action; false when it met a failure the exit code must show
// (it has reported it on standard error).
using Action = bool (*)(const CommandContext&);

// How a command opens its archive.
enum class Opening {
  Write,          // read-write, created when missing
  WriteElseRead,  // as Write, but an existing file that cannot be written is read
  Read,           // read-only; never created and never written
};

struct Command {
  const char* word;
  int minArgc;
  Opening opening;
  Action action;
};

bool Import(const CommandContext& c, int mode) {
  const int level = ParseLevel(c.argc > 5 ? c.argv[5] : nullptr);
  return ImportPath(c.fs, c.archive, c.argv[3], c.argv[4], level, mode, c.workers, c.argv[1]);
}

bool Compact(const CommandContext& c) {
  if (CompactArchive(c.archive)) return true;
  std::fprintf(stderr, "Failed to compact archive file %s.\n", c.argv[1]);
  PrintReason(c.archive.LastError());
  return false;
}

// The command table, tested in this order ("-verify" is not in the usage
// text; see the top of this file).
constexpr Command kCommands[] = {
    {"-add", 5, Opening::Write, [](const CommandContext& c) { return Import(c, ImportAdd); }},
    {"-replace", 5, Opening::Write,
     [](const CommandContext& c) { return Import(c, ImportReplace); }},
    {"-update", 5, Opening::Write, [](const CommandContext& c) { return Import(c, ImportUpdate); }},
    {"-remove", 4, Opening::Write,
     [](const CommandContext& c) {
       RemoveNamedFile(c.archive, c.argv[3]);
       return true;
     }},
    {"-extract", 4, Opening::WriteElseRead,
     [](const CommandContext& c) {
       return c.argc == 4
                  ? ExtractEverything(c.archive, c.argv[3], platform::WorkerCount())
                  : ExtractNamedFile(c.archive, c.argv[3], c.argv[4], platform::WorkerCount());
     }},
    {"-removeMissing", 4, Opening::Write,
     [](const CommandContext& c) { return RemoveMissingFiles(c.fs, c.archive, c.argv[3]); }},
    {"-compact", 3, Opening::Write, Compact},
    {"-list", 3, Opening::WriteElseRead,
     [](const CommandContext& c) {
       ListFiles(c.archive);
       return true;
     }},
    {"-stats", 3, Opening::WriteElseRead,
     [](const CommandContext& c) {
       PrintStats(c.archive);
       return true;
     }},
    {"-verify", 3, Opening::Read, [](const CommandContext& c) { return VerifyArchive(c.archive, platform::WorkerCount()); }},
};

const Command* FindCommand(const char* word) {
  for (const Command& command : kCommands) {
    if (SameWord(word, command.word)) return &command;
  }
  return nullptr;
}

// Opens the archive as the command needs it; an unknown command opens it
// read-write (creating it when missing), as every command used to.
bool OpenArchive(const platform::FileSystem& fs, GAME::Archive& archive, const char* path,
                 const Command* command) {
  const Opening opening = command != nullptr ? command->opening : Opening::Write;
  if (opening == Opening::Read) return archive.Open(path, GAME::Archive::ModeRead);
  if (archive.Open(path, GAME::Archive::ModeWrite)) return true;
  if (opening != Opening::WriteElseRead) return false;
  const platform::Attributes attributes = fs.GetAttributes(path);
  if (!attributes.exists || attributes.isDirectory) return false;
  return archive.Open(path, GAME::Archive::ModeRead);
}

// Closes the archive, writing its index when it was opened for writing;
// false (reported) when that failed.
bool CloseArchive(GAME::Archive& archive, const char* path) {
  bool saved = false;
  try {
    saved = archive.Close(false);
  } catch (const std::bad_alloc&) {
    saved = false;
  }
  if (!saved) {
    std::fprintf(stderr, "Failed to write the index of archive file %s.\n", path);
    PrintReason(archive.LastError());
  }
  return saved;
}

// True (reported) when standard output failed during the run.
bool OutputWasLost() {
  if (std::fflush(stdout) == 0 && !OutputLost()) return false;
  std::fprintf(stderr, "Standard output failed; the command went on without printing.\n");
  return true;
}

// The exit code of a command that ran: a failed index write first, then an
// interrupt, then the command's own failure, then lost output.
int ExitCodeAfter(bool commandOk, bool closed) {
  const bool outputLost = OutputWasLost();
  if (!closed) return kExitFailed;
  if (const int signal = platform::PendingInterrupt(); signal != 0) {
    return kExitInterruptBase + signal;
  }
  if (!commandOk) return kExitFailed;
  return outputLost ? kExitOutputLost : kExitOk;
}

// An exception that reached the dispatcher; kind is "archive" or "report".
void ReportException(const std::exception& error, const char* kind, const char* path) {
  if (dynamic_cast<const std::bad_alloc*>(&error) != nullptr) {
    std::fprintf(stderr, "Out of memory while working on %s file %s.\n", kind, path);
  } else {
    std::fprintf(stderr, "Error while working on %s file %s: %s\n", kind, path, error.what());
  }
}

// "-totalStats <report> <pattern>...": the report over many archives; no
// archive of its own is opened.
int RunTotalStats(const platform::FileSystem& fs, int argc, char** argv) {
  if (argc <= 3) return kExitOk;
  try {
    if (!TotalStats(fs, argv[2], argc - 3, argv + 3)) return kExitFailed;
  } catch (const std::exception& error) {
    ReportException(error, "report", argv[2]);
    return kExitFailed;
  }
  if (const int signal = platform::PendingInterrupt(); signal != 0) {
    return kExitInterruptBase + signal;
  }
  return kExitOk;
}

// Steps from opening the archive to closing it; returns the exit code.
int RunArchiveCommand(const platform::FileSystem& fs, GAME::Archive& archive, int argc, char** argv,
                      uint32_t startMs, unsigned workers) {
  const char* path = argv[1];
  const Command* command = FindCommand(argv[2]);
  if (!OpenArchive(fs, archive, path, command)) {
    std::fprintf(stderr, "Failed to open archive file %s.\n", path);
    const GAME::Archive::JournalState journal = archive.JournalProblem();
    if (journal != GAME::Archive::JournalState::Ready &&
        journal != GAME::Archive::JournalState::NoJournal) {
      ReportJournalInTheWay(archive);
      return kExitFailed;
    }
    PrintReason(archive.LastError());
    return kExitUsage;
  }
  if (command != nullptr && command->opening == Opening::Write &&
      archive.JournalProblem() == GAME::Archive::JournalState::NoJournal) {
    WarnNoJournal(path);
  }
  if (command == nullptr) {
    std::fprintf(stderr, "Unknown command %s.\n\n", argv[2]);
    PrintUsage();
    return CloseArchive(archive, path) ? kExitUsage : kExitFailed;
  }
  if (argc < command->minArgc) {
    PrintUsage();
    return CloseArchive(archive, path) ? kExitUsage : kExitFailed;
  }
  const bool commandOk = command->action(CommandContext{fs, archive, argc, argv, workers});
  std::fputs(ElapsedLine(startMs, fs.Milliseconds()).c_str(), stdout);
  const bool closed = CloseArchive(archive, path);
  return ExitCodeAfter(commandOk, closed);
}

}  // namespace

int Run(int argc, char** argv) {
  platform::KeepFreedMemory();
  // One command's file system: what it learns of the directories it works in
  // lasts as long as the command.
  const std::unique_ptr<platform::FileSystem> fs = platform::NewNativeFileSystem();
  return Run(argc, argv, *fs, platform::WorkerCount());
}

int Run(int argc, char** argv, const platform::FileSystem& fs, unsigned workers) {
  platform::InstallCrashFilter();
  platform::InstallInterruptHandlers();
  platform::IgnoreBrokenPipe();
  if (argc < 3) {
    PrintUsage();
    return kExitOk;
  }
  const uint32_t startMs = fs.Milliseconds();
  GAME::Archive archive(fs);
  if (SameWord(argv[1], "-totalStats")) return RunTotalStats(fs, argc, argv);
  try {
    return RunArchiveCommand(fs, archive, argc, argv, startMs, workers);
  } catch (const std::exception& error) {
    ReportException(error, "archive", argv[1]);
    CloseArchive(archive, argv[1]);
    return kExitFailed;
  }
}

}  // namespace tool
