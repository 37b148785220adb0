// Crash safety: a write that dies at any I/O call, or is killed at any
// moment, leaves an archive that opens in either mode as exactly the state it
// had before the command or the one the command was making; the journal
// beside it is rolled back, ignored or removed as its state calls for.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "archive/Archive.h"
#include "support/FaultyFileSystem.h"
#include "support/RawArchive.h"
#include "support/ScratchDir.h"
#include "support/ToolRunner.h"
#include "support/WritableArchive.h"
#include "tool/Dispatcher.h"

namespace {

namespace stdfs = std::filesystem;
using GAME::Archive;
using testing_support::FaultyFileSystem;
using testing_support::RawArchive;
using testing_support::WriteWholeFile;
using Call = FaultyFileSystem::Call;
using Files = std::map<std::string, std::string>;  // name -> content
using Command = std::vector<std::string>;          // the tool's arguments

std::string Letters(size_t size, unsigned seed) { return testing_support::Noise(size, seed, 26); }

// The active files of the archive at path read through the class, and the
// count of entries (which compaction changes); nothing when it does not open
// or a file does not verify or cannot be read.
std::optional<Files> FilesOf(const std::string& path, Archive::FileMode mode) {
  Archive archive;
  if (!archive.Open(path.c_str(), mode)) return std::nullopt;
  Files files{{"#entries", std::to_string(archive.GetNumFiles())}};
  for (unsigned int i = 0; i < archive.GetNumFiles(); ++i) {
    const Archive::FileEntry& e = archive.GetFileEntry(int(i));
    if (!(e.flags & 1)) continue;
    std::string content(e.realSize, '\0');
    auto* data = reinterpret_cast<unsigned char*>(content.data());
    const bool whole = archive.VerifyFile(int(i), nullptr);
    if (!whole || !archive.ExtractFileToMemory(int(i), data, e.realSize)) return std::nullopt;
    files[std::string(e.name, e.nameLength)] = content;
  }
  if (!archive.Close(false)) return std::nullopt;
  return files;
}

// The file's bytes (none when it is missing), read in one call.
std::vector<unsigned char> BytesOf(const std::string& path) {
  std::error_code error;
  const auto size = stdfs::file_size(path, error);
  if (error) return {};
  std::vector<unsigned char> bytes(size);
  std::ifstream(path, std::ios::binary)
      .read(reinterpret_cast<char*>(bytes.data()), std::streamsize(bytes.size()));
  return bytes;
}

// Runs the commands in a child over a file system that ends the child at the
// nth call of the kind (never when nth is 0); true when it ended there.
bool RunInChild(const std::vector<Command>& commands, Call call = Call::ReadAt, uint64_t nth = 0) {
  const pid_t pid = fork();
  if (pid == 0) {
    const int null = open("/dev/null", O_WRONLY);
    if (null < 0 || dup2(null, 1) < 0 || dup2(null, 2) < 0) _exit(127);
    FaultyFileSystem fs;
    fs.Inject(call, nth, FaultyFileSystem::Fault::Exit);
    for (Command command : commands) {
      command.insert(command.begin(), "korvat");
      std::vector<char*> argv;
      for (std::string& s : command) argv.push_back(s.data());
      tool::Run(int(argv.size()), argv.data(), fs);
    }
    _exit(0);
  }
  int status = 0;
  EXPECT_EQ(waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status));
  return WEXITSTATUS(status) == FaultyFileSystem::kExitStatus;
}

// Starts the built tool in directory, its output discarded.
pid_t StartTool(const std::string& directory, Command args) {
  args.insert(args.begin(), KORVAT_EXE);
  std::vector<char*> argv;
  for (std::string& s : args) argv.push_back(s.data());
  argv.push_back(nullptr);
  const pid_t pid = fork();
  if (pid == 0) {
    const int null = open("/dev/null", O_WRONLY);
    if (null >= 0 && dup2(null, 1) >= 0 && dup2(null, 2) >= 0 && chdir(directory.c_str()) == 0) {
      execv(argv[0], argv.data());
    }
    _exit(127);
  }
  return pid;
}

class CrashSafety : public testing_support::ToolTest {
 protected:
  Command Cmd(const std::string& word, const std::string& argument = "",
              const std::string& level = "6") {
    if (word == "-compact") return {arc, word};
    if (word == "-remove") return {arc, word, argument};
    return {arc, word, argument, dir.Path().string(), level};
  }
  // Sets up the archive, then records it and the state after each command
  // of the scenario.
  void Prepare(const std::vector<Command>& setup, const std::vector<Command>& scenario) {
    ASSERT_FALSE(RunInChild(setup));
    initial = BytesOf(arc);
    states = {*FilesOf(arc, Archive::ModeRead)};
    for (const Command& command : scenario) {
      ASSERT_FALSE(RunInChild({command}));
      states.push_back(*FilesOf(arc, Archive::ModeRead));
    }
    Restore();
  }
  void Restore() {
    stdfs::remove(journal);
    WriteWholeFile(arc, initial);
  }
  // What a dead writer left: a reader sees the old or the new files, writing
  // nothing; the rollback alone leaves a well-formed archive (or an empty
  // file) that holds the same, with no journal beside it.
  void ExpectOldOrNew() {
    const std::vector<unsigned char> left = BytesOf(arc), leftJournal = BytesOf(journal);
    const std::optional<Files> seen = FilesOf(arc, Archive::ModeRead);
    ASSERT_TRUE(seen.has_value());
    EXPECT_NE(std::find(states.begin(), states.end(), *seen), states.end());
    sawOld |= *seen == states.front();
    sawNew |= *seen == states.back();
    EXPECT_TRUE(BytesOf(arc) == left && BytesOf(journal) == leftJournal);
    {
      Archive recovered;
      ASSERT_TRUE(recovered.Open(arc.c_str(), Archive::ModeWrite));
      EXPECT_FALSE(stdfs::exists(journal));
      RawArchive raw;
      const std::vector<unsigned char> bytes = BytesOf(arc);
      ASSERT_TRUE(bytes.empty() || RawArchive::Parse(bytes, raw));
      EXPECT_EQ(testing_support::FormatProblem(raw), "");
    }
    EXPECT_EQ(FilesOf(arc, Archive::ModeRead), seen);
  }
  // Ends the scenario at every call of every kind in turn.
  void CrashEverywhere(const std::vector<Command>& setup, const std::vector<Command>& scenario) {
    Prepare(setup, scenario);
    for (Call call : {Call::ReadAt, Call::WriteAt, Call::Truncate, Call::Flush}) {
      for (uint64_t n = 1; !HasFailure(); ++n) {
        SCOPED_TRACE(testing::Message() << "call " << int(call) << " #" << n);
        Restore();
        const bool died = RunInChild(scenario, call, n);
        ExpectOldOrNew();
        if (!died) break;
      }
    }
    EXPECT_TRUE(sawOld && sawNew);
  }
  // The state the scenario leaves when it ends at the nth call of the kind.
  void CrashAt(const std::vector<Command>& setup, const std::vector<Command>& scenario, Call call,
               uint64_t nth) {
    Prepare(setup, scenario);
    ASSERT_TRUE(RunInChild(scenario, call, nth));
    ASSERT_TRUE(stdfs::exists(journal));
  }

  std::string arc = dir / "test.arc";
  std::string journal = arc + "-journal";
  std::vector<unsigned char> initial;
  std::vector<Files> states;  // before the scenario, then after each command
  bool sawOld = false, sawNew = false;
};

TEST_F(CrashSafety, AddOfNewFiles) {
  Put("a/big", Letters(600000, 1));
  Put("a/small", "small");
  Put("b/empty", "");
  Put("b/part", Letters(300000, 2));
  Put("b/c/text", Letters(5000, 3));
  CrashEverywhere({Cmd("-add", "a")}, {Cmd("-add", "b", "0")});
}

// Each new content fits the slot the replacement before it freed, so the
// journal grows by a segment per reuse.
TEST_F(CrashSafety, ReplaceReusingFreedSlots) {
  for (int i = 0; i < 4; ++i) Put("a/f" + std::to_string(i), Letters(40000, i));
  Prepare({Cmd("-add", "a", "0")}, {});
  for (int i = 0; i < 4; ++i) Put("a/f" + std::to_string(i), Letters(30000, 10 + i));
  CrashEverywhere({}, {Cmd("-replace", "a", "0")});
}

TEST_F(CrashSafety, RemoveThenCompact) {
  Put("a/one", Letters(70000, 1));
  Put("a/two", Letters(300000, 2));
  Put("a/three", "3");
  CrashEverywhere({Cmd("-add", "a")}, {Cmd("-remove", "a/one"), Cmd("-compact")});
}

// Each move lands partly on the old place of the entry before it, and the
// bytes saved for the compaction exceed one chunk of the journal.
TEST_F(CrashSafety, CompactionMovingEntriesOverEachOther) {
  Put("a/0", Letters(90000, 1));
  Put("a/1", Letters(4200000, 2));
  Put("a/2", Letters(200000, 3));
  Put("a/3", Letters(100, 4));
  CrashEverywhere({Cmd("-add", "a", "0"), Cmd("-remove", "a/0")}, {Cmd("-compact")});
}

TEST_F(CrashSafety, NewArchiveFallsBackToEmpty) {
  Put("a/x", Letters(1000, 1));
  WriteWholeFile(arc, {});  // an empty file is an empty archive
  CrashEverywhere({}, {Cmd("-add", "a")});
}

// A recovery that dies is recovered again.
TEST_F(CrashSafety, InterruptedRollbackIsResumed) {
  Put("a/x", Letters(300000, 1));
  Put("b/y", Letters(300000, 2));
  CrashAt({Cmd("-add", "a")}, {Cmd("-add", "b")}, Call::Truncate, 1);  // the new index is written
  const std::vector<unsigned char> crashed = BytesOf(arc), saved = BytesOf(journal);
  for (Call call : {Call::WriteAt, Call::Truncate, Call::Flush}) {
    for (uint64_t n = 1; !HasFailure(); ++n) {
      WriteWholeFile(arc, crashed);
      WriteWholeFile(journal, saved);
      const bool died = RunInChild({{arc, "-list"}}, call, n);
      ExpectOldOrNew();
      EXPECT_TRUE(sawOld && !sawNew);
      if (!died) break;
    }
  }
}

// The journal's flush ends the child: the archive is untouched. A journal
// torn or altered, or beside an archive that was replaced since, saved
// nothing of it: it is not applied, and a writer removes it.
TEST_F(CrashSafety, UnusableJournalIsIgnored) {
  Put("a/x", Letters(3000, 1));
  Put("b/y", Letters(3000, 2));
  CrashAt({Cmd("-add", "a")}, {Cmd("-add", "b")}, Call::Flush, 1);
  const std::vector<unsigned char> whole = BytesOf(journal);
  ASSERT_EQ(BytesOf(arc), initial);
  const std::vector<unsigned char> other =
      testing_support::RawArchiveBuilder().Stored("other", "o").Build().Bytes();
  for (int damage = 0; damage < 5; ++damage) {
    SCOPED_TRACE(damage);
    std::vector<unsigned char> bytes = whole;
    if (damage == 0) bytes.pop_back();
    if (damage == 1) bytes[bytes.size() - 10] ^= 1;  // inside the saved old index
    if (damage == 2) bytes.resize(2000);
    if (damage == 3) bytes.clear();
    if (damage == 4) states = {{{"#entries", "1"}, {"other", "o"}}};
    WriteWholeFile(journal, bytes);
    WriteWholeFile(arc, damage == 4 ? other : initial);
    ExpectOldOrNew();
    EXPECT_EQ(BytesOf(arc), damage == 4 ? other : initial);
  }
}

// On a read-only medium the tool lists the archive as it was before the
// interrupted write and changes nothing.
TEST_F(CrashSafety, ReadOnlyArchiveWithJournalOpensRolledBack) {
  Put("a/x", Letters(3000, 1));
  Put("b/y", Letters(300000, 2));
  CrashAt({Cmd("-add", "a")}, {Cmd("-add", "b")}, Call::Truncate, 1);
  const std::vector<unsigned char> left = BytesOf(arc), leftJournal = BytesOf(journal);
  using stdfs::perms;
  const perms readable = perms::owner_read | perms::others_read;
  for (const std::string& path : {arc, journal}) stdfs::permissions(path, readable);
  stdfs::permissions(dir.Path(), readable | perms::owner_exec | perms::others_exec);
  const auto listed = Run({"test.arc", "-list"}, {.unprivileged = true});
  EXPECT_EQ(listed.exitCode, 0);
  EXPECT_EQ(listed.out, "a/x\n");
  EXPECT_TRUE(BytesOf(arc) == left && BytesOf(journal) == leftJournal);
  stdfs::permissions(dir.Path(), stdfs::perms::owner_all);
  ExpectOldOrNew();
  EXPECT_TRUE(sawOld);
}

// Nothing changed, nothing written; an add journals once, not per file.
TEST_F(CrashSafety, JournalCostsNothingUnchangedAndLittlePerAdd) {
  Put("a/x", "x");
  Prepare({Cmd("-add", "a")}, {});
  FaultyFileSystem fs;
  Archive archive(fs);
  ASSERT_TRUE(archive.Open(arc.c_str(), Archive::ModeWrite) && archive.Close(false));
  EXPECT_EQ(fs.Count(Call::WriteAt) + fs.Count(Call::Truncate) + fs.Count(Call::Flush), 0u);
  EXPECT_EQ(BytesOf(arc), initial);
  ASSERT_TRUE(archive.Open(arc.c_str(), Archive::ModeWrite));
  unsigned char data[] = "content";
  for (int i = 0; i < 20; ++i) {
    ASSERT_GE(archive.AddFileFromMemory(std::to_string(i).c_str(), data, 7, 0), 0);
  }
  ASSERT_TRUE(archive.Close(false));
  // Journal and its directory, the index, the header, the directory again.
  EXPECT_EQ(fs.Count(Call::Flush), 5u);
  EXPECT_EQ(fs.Count(Call::WriteAt), 20u + 3);  // the files, journal, index, header
}

// Real kills at random moments of a long add, as the built tool, given the
// archive relative to a current directory that the import leaves.
TEST_F(CrashSafety, KilledAddLeavesOldOrNew) {
  Put("a/x", Letters(1000, 1));
  for (int i = 0; i < 32; ++i) Put("src/b/" + std::to_string(i), Letters(16384, i));
  Prepare({Cmd("-add", "a")}, {});
  const std::vector<std::string> add = {"test.arc", "-add", "b", dir / "src", "1"};
  const auto start = std::chrono::steady_clock::now();
  int status = 0;
  ASSERT_GT(waitpid(StartTool(dir.Path(), add), &status, 0), 0);
  ASSERT_EQ(status, 0);
  const auto full = std::chrono::steady_clock::now() - start;
  states.push_back(*FilesOf(arc, Archive::ModeRead));
  std::mt19937 random(std::random_device{}());
  std::uniform_int_distribution<int64_t> delay(0, full.count() * 11 / 10);
  for (int run = 0; run < 100 && !HasFailure(); ++run) {
    Restore();
    const pid_t tool = StartTool(dir.Path(), add);
    std::this_thread::sleep_for(std::chrono::steady_clock::duration(delay(random)));
    kill(tool, SIGKILL);
    ASSERT_EQ(waitpid(tool, &status, 0), tool);
    ExpectOldOrNew();
  }
  EXPECT_TRUE(sawOld);
}

}  // namespace
