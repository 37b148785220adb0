// Injected I/O faults: each scenario (adding, removing and compacting,
// extracting) runs once to count its reads, writes and truncations, then once for every one of them
// failing and (for reads and writes) coming up short. The step that met the fault reports it, every
// other step succeeds, and unless the fault struck the index write at Close
// the archive reopens holding exactly the files it should, byte for byte.
#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "archive/Archive.h"
#include "archive/Names.h"
#include "support/WritableArchive.h"
#include "support/FaultyFileSystem.h"
#include "support/RawArchive.h"
#include "support/ScratchDir.h"

namespace {

using namespace testing_support;
using Archive = GAME::Archive;
using Call = FaultyFileSystem::Call;
using Fault = FaultyFileSystem::Fault;
using Files = std::map<std::string, std::string>;  // name -> content

const Files kBase = {{"keep/a.txt", "alpha"},
                     {"keep/b.bin", Noise(300000, 5, 26)},
                     {"keep/c.txt", Noise(1000, 6, 26)}};

// What a step works on; files is what the archive should hold, changed only
// by steps that report success.
struct Context {
  Archive& archive;
  Files& files;
  std::string dir;
};
using Step = std::function<bool(Context&)>;

// Adds content under name from memory, or from a file of that name in the
// scratch directory (stored then under the normalised path).
Step Add(const std::string& name, const std::string& content, int level, bool fromDisk) {
  return [=](Context& c) {
    std::string bytes = content, stored = name;
    int index;
    if (fromDisk) {
      const std::string path = c.dir + "/" + name;
      WriteWholeFile(path, {content.begin(), content.end()});
      GAME::names::NormalizeName(path.c_str(), stored);
      index = c.archive.AddFileFromDisk(path.c_str(), level);
    } else {
      index =
          c.archive.AddFileFromMemory(name.c_str(), reinterpret_cast<unsigned char*>(bytes.data()),
                                      unsigned(bytes.size()), level);
    }
    if (index >= 0) c.files[stored] = content;
    return index >= 0;
  };
}

// Whatever an extraction reports as written is there whole.
bool Extracted(const Context& c, const std::string& name) {
  const std::vector<unsigned char> bytes = ReadWholeFile(c.dir + "/out/" + name);
  return std::string(bytes.begin(), bytes.end()) == c.files.at(name);
}

const std::map<std::string, std::vector<Step>> kScenarios = {
    {"add",
     {Add("new/s.txt", Noise(3000, 7, 26), 0, false),
      Add("new/z.txt", Noise(3000, 8, 26), 6, false),
      Add("s.src", Noise(2000, 9, 26), 0, true),
      Add("z.src", Noise(300000, 10, 26), 1, true)}},
    {"remove and compact",
     {[](Context& c) {
        const bool ok = c.archive.RemoveFile(c.archive.FindFile("keep/a.txt"));
        if (ok) c.files.erase("keep/a.txt");
        return ok;
      },
      [](Context& c) { return c.archive.Compact(); }}},
    {"extract one, then all",
     {[](Context& c) {
        const int index = c.archive.FindFile("keep/b.bin");
        return c.archive.ExtractFileToDisk(index, (c.dir + "/out").c_str()) &&
               Extracted(c, "keep/b.bin");
      },
      [](Context& c) {
        bool ok = c.archive.ExtractAll((c.dir + "/out").c_str(), nullptr);
        for (const auto& [name, content] : c.files) ok = ok && Extracted(c, name);
        return ok;
      }}},
};

// How the archive file reopens after a fault in the index write at Close.
const char* Reopened(const std::string& path, const Files& should) {
  Archive archive;
  if (!archive.Open(path.c_str(), Archive::ModeRead)) return "does not open";
  bool whole = true;
  Files held;
  for (unsigned i = 0; i < archive.GetNumFiles(); ++i) {
    const Archive::FileEntry& e = archive.GetFileEntry(int(i));
    if (!(e.flags & 1)) continue;
    std::string content(e.realSize, '\0');
    if (!archive.VerifyFile(int(i), nullptr) ||
        !archive.ExtractFileToMemory(int(i), reinterpret_cast<unsigned char*>(content.data()),
                                     e.realSize)) {
      whole = false;
      continue;
    }
    // A file that checks out is one that was stored, never another content.
    const std::string name(e.name, e.nameLength);
    const bool known = (should.count(name) && should.at(name) == content) ||
                       (kBase.count(name) && kBase.at(name) == content);
    if (!known) return "opens with a wrong file that checks out";
    held[name] = content;
  }
  if (!whole) return "opens, -verify finds damaged files";
  return held == should ? "opens whole" : "opens with other files";
}

const std::vector<unsigned char>& BaseBytes() {
  static const std::vector<unsigned char> bytes =
      RawArchiveBuilder()
          .Stored("keep/a.txt", kBase.at("keep/a.txt"))
          .Compressed("keep/b.bin", kBase.at("keep/b.bin"))
          .Stored("keep/c.txt", kBase.at("keep/c.txt"))
          .Build()
          .Bytes();
  return bytes;
}

// Runs the scenario with the fault (none when nth is 0); returns how many
// calls of each kind were made, or how the archive reopened after a fault
// in Close.
std::map<Call, uint64_t> RunScenario(const std::vector<Step>& steps, Call call, uint64_t nth,
                                     Fault fault, std::string* closeOutcome) {
  ScratchDir dir;
  const std::string path = dir / "test.arc";
  WriteWholeFile(path, BaseBytes());
  FaultyFileSystem fs;
  if (nth != 0) fs.Inject(call, nth, fault);
  auto struck = [&](uint64_t before) { return nth != 0 && before < nth && fs.Count(call) >= nth; };
  Files files = kBase;
  bool closeStruck = false;
  {  // the archive closes before the file is checked
    Archive archive(fs);
    const bool opened = archive.Open(path.c_str(), Archive::ModeWrite);
    EXPECT_EQ(opened, !struck(0)) << "Open";
    if (!opened) {
      EXPECT_EQ(ReadWholeFile(path), BaseBytes());
      return {};
    }
    Context context{archive, files, dir.Path().string()};
    for (size_t s = 0; s < steps.size(); ++s) {
      const uint64_t before = fs.Count(call);
      const bool ok = steps[s](context);
      EXPECT_EQ(ok, !struck(before)) << "step " << s;
    }
    const uint64_t before = fs.Count(call);
    const bool closed = archive.Close(false);
    closeStruck = struck(before);
    EXPECT_EQ(closed, !closeStruck) << "Close";
  }
  if (closeStruck) {
    *closeOutcome = Reopened(path, files);
  } else {
    EXPECT_STREQ(Reopened(path, files), "opens whole");
  }
  std::map<Call, uint64_t> counts;
  for (Call kind : {Call::ReadAt, Call::WriteAt, Call::Truncate}) counts[kind] = fs.Count(kind);
  return counts;
}

// What a fault in the index write at Close leaves: the journal rolls the
// archive back to its state at opening when it is next opened, so it opens
// with the files it had before; a short header write still writes every
// field, so the archive is whole in its new state although Close reports a
// failure.
const std::map<std::string, std::set<std::string>> kAfterFailedClose = {
    {"add", {"opens with other files", "opens whole"}},
    {"remove and compact", {"opens with other files", "opens whole"}},
    {"extract one, then all", {"opens whole"}},
};

TEST(FaultInjection, EveryCallOfEveryScenario) {
  for (const auto& [name, steps] : kScenarios) {
    SCOPED_TRACE(name);
    std::string unused;
    const std::map<Call, uint64_t> counts =
        RunScenario(steps, Call::ReadAt, 0, Fault::Fail, &unused);
    std::set<std::string> afterClose;
    for (const auto& [call, count] : counts) {
      for (uint64_t nth = 1; nth <= count; ++nth) {
        for (Fault fault : {Fault::Fail, Fault::Short}) {
          if (call == Call::Truncate && fault == Fault::Short) continue;  // the same as Fail
          SCOPED_TRACE("call kind " + std::to_string(int(call)) + ", call " + std::to_string(nth) +
                       (fault == Fault::Fail ? ", failing" : ", short"));
          std::string outcome;
          RunScenario(steps, call, nth, fault, &outcome);
          if (!outcome.empty()) afterClose.insert(outcome);
        }
      }
    }
    EXPECT_EQ(afterClose, kAfterFailedClose.at(name));
  }
}

}  // namespace
