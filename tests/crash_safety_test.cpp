// Injected I/O faults and crashes. Each scenario runs once to count its
// reads, writes, truncations, flushes, opens and removals, then once for
// every one of them failing, coming up short or crashing; a crash keeps,
// drops, tears, reorders or loses sectors of what was not flushed (a journal
// segment of more than kTestChunk goes out in several writes: with sectors
// lost it keeps its length, and only its CRC shows it torn). The step that
// met the fault reports it, every other step succeeds (after a crash nothing
// is seen: the process would have ended). Then a reader sees, writing
// nothing, the files the run should leave (or, when Close did not report
// success, those of before), and a writer rolls the journal back to the same,
// leaving a well-formed archive and no journal.
#include <algorithm>
#include <array>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string_view>
#include <tuple>
#include <utility>
#include <vector>

#include "support/TestSystem.h"
#include "support/ToolRunner.h"
#include "support/WritableArchive.h"

namespace {

namespace stdfs = std::filesystem;
using namespace testing_support;
using Files = std::map<std::string, std::string>;  // name -> content; "#entries" -> count
// Runs one step over an archive on fs; false when it failed.
using Step = std::function<bool(Archive&, Files&, const FaultyFileSystem& fs)>;
// The journal's chunk in these tests: small, so that segments of a few
// hundred kilobytes span several.
constexpr uint32_t kTestChunk = 64 << 10;

std::string Letters(size_t size, unsigned seed) { return Noise(size, seed, 26); }

// The active files read through the class, and the count of entries (which
// compaction changes); nothing when it does not open or a file is not whole.
std::optional<Files> FilesOf(const std::string& path,
                             const platform::FileSystem& fs = platform::NativeFileSystem()) {
  Archive archive(fs);
  ArchiveTestPeer::SetJournalChunk(archive, kTestChunk);
  if (!archive.Open(path.c_str(), Archive::ModeRead)) return std::nullopt;
  Files files{{"#entries", std::to_string(archive.GetNumFiles())}};
  for (int i : archive.ActiveFiles(nullptr, true)) {
    const Archive::FileEntry& e = archive.GetFileEntry(i);
    std::string& content = files[std::string(e.name, e.nameLength)];
    content.resize(e.realSize);
    if (!archive.ExtractFileToMemory(i, (unsigned char*)content.data(), e.realSize) ||
        Adler32Of(content) != e.checksum) {
      return std::nullopt;
    }
  }
  return archive.Close(false) ? std::optional(files) : std::nullopt;
}

// Adds from memory, or from a file of that name (written at the first run),
// or replaces the entry of that name with such a file. A failed add leaves
// the entries and the free list as they were; a failed replacement keeps the
// old file.
enum How { kMemory, kDisk, kReplace };
Step Put(const std::string& name, const std::string& content, int level, How how) {
  return [=](Archive& a, Files& files, const FaultyFileSystem& fs) {
    const State before = StateOf(a);
    std::string bytes = content;
    if (how != kMemory && !stdfs::exists(name)) WriteWholeFile(name, {bytes.begin(), bytes.end()});
    const int index =
        how == kReplace ? a.ReplaceFileFromDisk(a.FindFile(name.c_str()), name.c_str(), level)
        : how == kDisk  ? a.AddFileFromDisk(name.c_str(), level)
                        : a.AddFileFromMemory(name.c_str(), (unsigned char*)bytes.data(),
                                              unsigned(bytes.size()), level);
    if (index >= 0) files[name] = content;
    EXPECT_TRUE(index >= 0 || how == kReplace || fs.Crashed() || StateOf(a) == before) << name;
    return index >= 0;
  };
}
Step RemoveAndCompact(const std::string& name) {
  return [=](Archive& a, Files& files, const FaultyFileSystem&) {
    const bool removed = a.RemoveFile(a.FindFile(name.c_str()));
    if (removed) files.erase(name);
    return removed && a.Compact();
  };
}
// Extracts one file, or all without a name; what is reported written is whole.
Step Extract(const std::string& name) {
  return [=](Archive& a, Files& files, const FaultyFileSystem&) {
    bool ok = name.empty() ? a.ExtractAll("out", nullptr)
                           : a.ExtractFileToDisk(a.FindFile(name.c_str()), "out");
    for (const auto& [stored, content] : files) {
      if (stored[0] != '#' && (name.empty() || name == stored)) {
        const std::vector<unsigned char> bytes = ReadWholeFile("out/" + stored);
        ok = ok && std::string(bytes.begin(), bytes.end()) == content;
      }
    }
    return ok;
  };
}

struct Scenario {
  std::vector<unsigned char> base;  // the archive file before the run
  std::vector<Step> steps;
};

// Made when a test first runs, not when the tests are listed, which every
// test program that ctest starts does.
constexpr size_t kScenarios = 5;
const std::array<Scenario, kScenarios>& Scenarios() {
  static const std::array<Scenario, kScenarios> scenarios = [] {
    RawArchiveBuilder base, fourFiles, moved;
    base.Stored("a.txt", "alpha").Compressed("b.bin", Letters(300000, 2)).Stored("c.txt", "c");
    for (char r : std::string("0123")) fourFiles.Stored(std::string{'r', r}, Letters(40000, r));
    moved.Stored("0", Letters(90000, 1)).Stored("1", Letters(200000, 2));
    moved.Compressed("2", Letters(120000, 3)).Stored("3", Letters(100, 4));
    return std::array<Scenario, kScenarios>{{
        // Adds, the first into a removed slot; "s.src" is copied in two
        // chunks, "z.src" makes two parts.
        {RawArchiveBuilder(base).Removed(4000).Build().Bytes(),
         {Put("s.txt", Letters(3000, 4), 0, kMemory), Put("z.txt", Letters(3000, 5), 6, kMemory),
          Put("s.src", Letters(1100000, 6), 0, kDisk),
          Put("z.src", Letters(kBlock + 5000, 7), 1, kDisk)}},
        // Replacements, each new file in the slot the one before freed.
        {fourFiles.Build().Bytes(),
         {Put("r0", Letters(30000, 10), 0, kReplace), Put("r1", Letters(30000, 11), 0, kReplace),
          Put("r2", Letters(30000, 12), 0, kReplace), Put("r3", Letters(30000, 13), 0, kReplace)}},
        // Compaction in batches: "1" lands partly on its own old place, saving
        // more than one chunk of the journal (kTestChunk); "2" on the old place
        // of "1", committed by then; "3" joins the batch of "2".
        {moved.Build().Bytes(), {RemoveAndCompact("0")}},
        {base.Build().Bytes(), {Extract("b.bin"), Extract("")}},
        {{}, {Put("x", Letters(1000, 1), 6, kMemory)}},  // the first add to an empty file
    }};
  }();
  return scenarios;
}

class CrashSafety : public ToolTest {
 protected:
  void SetUp() override { stdfs::current_path(dir.Path()); }
  void TearDown() override { stdfs::current_path(previous); }

  void Begin(const std::vector<unsigned char>& base) {
    WriteWholeFile(arc, base);
    stdfs::remove(journal);
    old = *FilesOf(arc);
  }
  // Runs the steps and Close over fs from the base file; the call of the kind
  // that the fault strikes, if any, is counted nth. Returns the files the run
  // should leave and whether Close reported success.
  std::pair<Files, bool> Play(const Scenario& s, const FaultyFileSystem& fs, Call call,
                              uint64_t nth) {
    WriteWholeFile(arc, s.base);
    stdfs::remove(journal);
    stdfs::remove_all("out");
    uint64_t before = 0;
    const auto expect = [&](bool ok, const std::string& what) {
      EXPECT_TRUE(fs.Crashed() || ok != (nth != 0 && before < nth && fs.Count(call) >= nth))
          << what;
      before = fs.Count(call);
      return ok;
    };
    Files files = old;
    Archive archive(fs);
    ArchiveTestPeer::SetJournalChunk(archive, kTestChunk);
    if (!expect(archive.Open(arc.c_str(), Archive::ModeWrite), "Open")) return {files, true};
    for (size_t i = 0; i < s.steps.size(); ++i) {
      expect(s.steps[i](archive, files, fs), "step " + std::to_string(i));
    }
    files["#entries"] = std::to_string(archive.GetNumFiles());
    return {files, expect(archive.Close(false), "Close")};
  }
  // Runs run(fs, fault) with the nth call of the kind failing, coming up
  // short, or crashing with each power loss (but for the rest once one lost
  // nothing): crashes at reads and writes, the most numerous, take the
  // losses in turn. False when the nth call was never made.
  // Windows allows no rewriting of files held open, as a crash with a power
  // loss does.
  bool EachWay(Call call, uint64_t nth, const std::function<void(FaultyFileSystem&, Fault)>& run) {
    const bool many = call == Call::ReadAt || call == Call::WriteAt;
    bool struck = false;
    for (int way = 0; way < 7; ++way) {
      const Fault fault = way < 2 ? Fault(way) : Fault::Exit;
      const auto loss = PowerLoss(std::max(way - 2, 0));
      if ((way == 1 && !many) || (way >= 2 && many && int(loss) != int(nth % 5))) continue;
      if (kWindows && loss != PowerLoss::Keep) continue;
      SCOPED_TRACE(testing::Message() << "call kind " << int(call) << " #" << nth << ", fault "
                                      << int(fault) << ", loss " << int(loss));
      FaultyFileSystem fs;
      fs.Inject(call, nth, fault);
      fs.SetPowerLoss(loss);
      run(fs, fault);
      struck |= fs.Count(call) >= nth;
      EXPECT_EQ(fs.Crashed(), fault == Fault::Exit && fs.Count(call) >= nth);
      if (fs.Settled()) break;
    }
    return struck;
  }
  // See the first comment.
  void ExpectOldOrNew(const Files& now, bool closed) {
    const bool journaled = stdfs::exists(journal);
    const std::vector<unsigned char> left = ReadWholeFile(arc),
                                     leftJournal = ReadWholeFile(journal);
    const std::optional<Files> seen = FilesOf(arc);
    ASSERT_TRUE(seen.has_value());
    EXPECT_TRUE(*seen == now || (!closed && *seen == old));
    sawOld |= *seen == old;
    sawNew |= *seen == now;
    EXPECT_TRUE(ReadWholeFile(arc) == left && ReadWholeFile(journal) == leftJournal);
    const FaultyFileSystem noDiskFlushes;
    std::optional<Archive> recovered(noDiskFlushes);
    ArchiveTestPeer::SetJournalChunk(*recovered, kTestChunk);
    ASSERT_TRUE(recovered->Open(arc.c_str(), Archive::ModeWrite));
    recovered.reset();
    EXPECT_FALSE(stdfs::exists(journal));
    // The same bytes without a journal read the same; bytes met before were
    // found well-formed then.
    const std::vector<unsigned char> bytes = ReadWholeFile(arc);
    const auto [known, fresh] = rolledBack.try_emplace(
        std::hash<std::string_view>()({reinterpret_cast<const char*>(bytes.data()), bytes.size()}),
        *seen);
    EXPECT_TRUE(known->second == *seen);
    if (!fresh) return;
    RawArchive raw;
    ASSERT_TRUE(bytes.empty() || RawArchive::Parse(bytes, raw));
    EXPECT_EQ(FormatProblem(raw), "");
    if (journaled || bytes != left) {
      EXPECT_EQ(FilesOf(arc), seen);
    }
  }
  stdfs::path previous = stdfs::current_path();
  std::string arc = dir / "test.arc", journal = arc + "-journal";
  Files old;
  bool sawOld = false, sawNew = false;
  std::map<size_t, Files> rolledBack;  // by the hash of an archive's bytes, its files
};

// A scenario's writes and flushes, or its other calls: two halves of one
// scenario's cost, so that ctest runs them side by side.
class EveryCall : public CrashSafety,
                  public testing::WithParamInterface<std::tuple<size_t, bool>> {};

TEST_P(EveryCall, FailingComingUpShortOrEndingTheProcess) {
  const auto [scenario, writes] = GetParam();
  const Scenario& s = Scenarios()[scenario];
  Begin(s.base);
  FaultyFileSystem counter;
  const Files made = Play(s, counter, Call::ReadAt, 0).first;
  ExpectOldOrNew(made, true);
  sawOld = sawNew = false;
  for (Call call : writes ? std::vector{Call::WriteAt, Call::Flush}
                          : std::vector{Call::ReadAt, Call::Truncate, Call::Open, Call::Remove}) {
    for (uint64_t nth = 1; nth <= counter.Count(call) && !HasFatalFailure(); ++nth) {
      EachWay(call, nth, [&](FaultyFileSystem& fs, Fault) {
        const auto [files, closed] = Play(s, fs, call, nth);
        ExpectOldOrNew(files, closed);
      });
    }
  }
  EXPECT_TRUE(!writes || kWindows || (sawOld && sawNew));  // both, given crashes
}
INSTANTIATE_TEST_SUITE_P(Scenarios, EveryCall,
                         testing::Combine(testing::Range<size_t>(0, kScenarios), testing::Bool()));

// An add ended once its new header was written, leaving the journal. A tool
// on a read-only medium lists the archive as it was and changes nothing. A
// rollback whose read, write, truncation, flush, open or removal fails is
// refused and leaves the journal; one that dies is resumed by the next open.
// A reader or writer that cannot read the journal takes it for no foreign
// file: the reader sees nothing rather than the files half written, the
// writer reports the failed read. A journal cut short, in a segment or in its
// header, beside the archive it saved and never marked is removed by a
// writer. (One beside an archive changed since is a tool test's.)
TEST_F(CrashSafety, JournalOfACrashedAddRollsBackOnlyWhenItFits) {
  if (kWindows) GTEST_SKIP() << "Linux only: another user; crashes rewriting files held open";
  Begin(Scenarios()[0].base);
  FaultyFileSystem crashing;
  crashing.Inject(Call::Remove, 1, Fault::Exit);  // the journal's, at the commit
  Play(Scenarios()[0], crashing, Call::Remove, 1);
  ASSERT_TRUE(crashing.Crashed());
  const std::vector<unsigned char> crashed = ReadWholeFile(arc), saved = ReadWholeFile(journal);
  const auto readable = stdfs::perms::owner_read | stdfs::perms::others_read;
  for (const std::string& path : {arc, journal}) stdfs::permissions(path, readable);
  stdfs::permissions(dir.Path(), readable | stdfs::perms::owner_exec | stdfs::perms::others_exec);
  Expect({"test.arc", "-list"}, 0, "a.txt\nb.bin\nc.txt\n", "", {.unprivileged = true});
  EXPECT_TRUE(ReadWholeFile(arc) == crashed && ReadWholeFile(journal) == saved);
  stdfs::permissions(dir.Path(), stdfs::perms::owner_all);
  for (Call call : {Call::ReadAt, Call::WriteAt, Call::Truncate, Call::Flush, Call::Open,
                    Call::Remove}) {
    uint64_t n = 1;
    const auto rollBack = [&](FaultyFileSystem& fs, Fault fault) {
      WriteWholeFile(arc, crashed);
      WriteWholeFile(journal, saved);
      if (fault != Fault::Exit) {
        FaultyFileSystem readerFs;
        readerFs.Inject(call, n, fault);
        const std::optional<Files> seen = FilesOf(arc, readerFs);
        EXPECT_TRUE(seen == old || (!seen && readerFs.Count(call) >= n));
      }
      Archive archive(fs);
      const bool opened = archive.Open(arc.c_str(), Archive::ModeWrite);
      EXPECT_TRUE(fs.Crashed() || opened != (fs.Count(call) >= n));
      EXPECT_NE(archive.LastError().code, ErrorCode::JournalInTheWay);
      archive.Close(false);
      ExpectOldOrNew(old, true);
    };
    while (!HasFailure() && EachWay(call, n, rollBack)) ++n;
  }
  const std::vector<unsigned char>& initial = Scenarios()[0].base;
  for (const size_t torn : {saved.size() - 1, size_t(2000), size_t(0)}) {
    SCOPED_TRACE(torn);
    const std::vector<unsigned char> bytes(saved.begin(), saved.begin() + torn);
    WriteWholeFile(journal, bytes);
    WriteWholeFile(arc, initial);
    ExpectOldOrNew(old, true);
    EXPECT_EQ(ReadWholeFile(arc), initial);
  }
}

// SIGKILL amid a long add by the built tool, given the archive relative to a
// current directory that the import leaves: the journal is beside the
// archive, and the next open rolls back to the files of before.
TEST_F(CrashSafety, KilledAddRollsBack) {
  if (kWindows) GTEST_SKIP() << "Linux only: the tool killed amid its output";
  Put("a/x", Letters(1000, 1));
  for (int i = 0; i < 200; ++i) Put("src/b/" + std::to_string(i), Letters(16384, i));
  ASSERT_EQ(Run({"test.arc", "-add", "a", "."}).exitCode, 0);
  old = *FilesOf(arc);
  const Args add = {"test.arc", "-add", "b", dir / "src", "1"};
  EXPECT_EQ(Run(add, {.signalOnOutput = SIGKILL}).exitCode, 1000 + SIGKILL);
  ASSERT_TRUE(stdfs::exists(journal));
  ExpectOldOrNew(old, true);
}

}  // namespace
