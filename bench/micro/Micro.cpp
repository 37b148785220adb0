// Micro benchmarks of the archive class: FindFile over many names (two sizes,
// to show that a lookup costs the same at both), 4 KiB ReadFromFile calls in
// a large compressed entry with and without a caller's BlockBuffer, and
// AddFileFromMemory of small files, and what the journal costs: its flushes
// when every file of an archive is replaced, and the bytes a compaction
// writes for those it moves. The archives live in a temporary directory made
// at start and removed at exit. "--korvat_smoke" shrinks every
// size so that the test suite can run the binary in a moment.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "archive/Archive.h"
#include "platform/FileSystem.h"
#include "support/FaultyFileSystem.h"
#include "support/ScratchDir.h"

namespace {

struct Sizes {
  unsigned int lookupNames[2];  // entries of the two lookup archives
  unsigned int entryBytes;      // the large compressed entry
  unsigned int smallFiles;      // files added per AddFileFromMemory run
  unsigned int replacedFiles;   // files of 1..4 KiB replaced, each once
  unsigned int compactedMiB;    // files of 1 MiB, the first removed before compacting
};
constexpr Sizes kFullSizes{{50000, 100000}, 64u << 20, 20000, 2000, 30};
constexpr Sizes kSmokeSizes{{1000, 2000}, 4u << 20, 200, 200, 4};

// A seeded generator, so every run measures the same bytes and positions.
class Random {
 public:
  explicit Random(uint64_t seed) : state_(seed) {}
  uint64_t Next() {
    state_ ^= state_ << 13;
    state_ ^= state_ >> 7;
    state_ ^= state_ << 17;
    return state_;
  }
  uint32_t Below(uint32_t n) { return static_cast<uint32_t>(Next() % n); }

 private:
  uint64_t state_;
};

// size bytes of words and numbers: text that compresses about as well as
// source files do.
std::vector<unsigned char> Text(size_t size, uint64_t seed) {
  static constexpr const char* kWords[] = {"archive", "block", "entry", "index", "part",
                                           "name",    "the",   "of",    "level", "texture",
                                           "sound",   "map",   "wall",  "door",  "light"};
  Random random(seed);
  std::vector<unsigned char> text;
  text.reserve(size + 16);
  while (text.size() < size) {
    std::string word = random.Below(5) == 0 ? std::to_string(random.Below(100000))
                                            : kWords[random.Below(std::size(kWords))];
    text.insert(text.end(), word.begin(), word.end());
    text.push_back(random.Below(12) == 0 ? '\n' : ' ');
  }
  text.resize(size);
  return text;
}

std::string EntryName(unsigned int i) {
  char name[48];
  std::snprintf(name, sizeof name, "d%03u/s%u/f%05u.txt", i / 1000, (i / 100) % 10, i);
  return name;
}

// Opens path afresh for writing (removing what an earlier run left).
bool OpenNew(GAME::Archive& archive, const std::string& path) {
  const platform::FileSystem& fs = platform::NativeFileSystem();
  if (fs.GetAttributes(path).exists && !fs.RemoveFile(path)) return false;
  return archive.Open(path.c_str(), GAME::Archive::ModeWrite);
}

// An archive of count tiny entries, opened for reading, and a random order
// of its names to look up.
struct LookupArchive {
  GAME::Archive archive;
  std::vector<std::string> names;
  std::vector<unsigned int> order;

  bool Build(const std::string& path, unsigned int count) {
    GAME::Archive writer;
    if (!OpenNew(writer, path)) return false;
    unsigned char byte = 'x';
    for (unsigned int i = 0; i < count; ++i) {
      names.push_back(EntryName(i));
      if (writer.AddFileFromMemory(names.back().c_str(), &byte, 1, 0) < 0) return false;
    }
    if (!writer.Close(false) || !archive.Open(path.c_str(), GAME::Archive::ModeRead)) return false;
    Random random(count);
    for (unsigned int i = 0; i < count; ++i) order.push_back(random.Below(count));
    return true;
  }
};

// One large entry compressed at level 6, opened for reading.
struct LargeEntryArchive {
  GAME::Archive archive;
  int index = -1;
  unsigned int size = 0;

  bool Build(const std::string& path, unsigned int bytes) {
    GAME::Archive writer;
    std::vector<unsigned char> content = Text(bytes, 7);
    if (!OpenNew(writer, path)) return false;
    if (writer.AddFileFromMemory("large.bin", content.data(), bytes, 6) < 0) return false;
    if (!writer.Close(false) || !archive.Open(path.c_str(), GAME::Archive::ModeRead)) return false;
    index = archive.FindFile("large.bin");
    size = bytes;
    return index >= 0;
  }
};

// What the benchmarks share; the archives are built on first use, so a
// filtered run builds only what it measures.
class Context {
 public:
  explicit Context(const Sizes& chosen) : sizes(chosen) {}

  LookupArchive* Lookup(unsigned int count) {
    std::optional<LookupArchive>& slot = count == sizes.lookupNames[0] ? lookups_[0] : lookups_[1];
    if (!slot) {
      slot.emplace();
      if (!slot->Build(scratch_ / ("lookup-" + std::to_string(count) + ".arc"), count)) return nullptr;
    }
    return &*slot;
  }
  LargeEntryArchive* Large() {
    if (!large_) {
      large_.emplace();
      if (!large_->Build(scratch_ / "large.arc", sizes.entryBytes)) return nullptr;
    }
    return &*large_;
  }
  std::string AddPath() const { return scratch_ / "add.arc"; }

  const Sizes sizes;

 private:
  testing_support::ScratchDir scratch_;
  std::optional<LookupArchive> lookups_[2];
  std::optional<LargeEntryArchive> large_;
};

void FindFile(benchmark::State& state, Context& context) {
  LookupArchive* lookup = context.Lookup(static_cast<unsigned int>(state.range(0)));
  if (lookup == nullptr) return state.SkipWithError("could not build the lookup archive");
  size_t next = 0;
  for (auto _ : state) {
    const unsigned int expected = lookup->order[next++ % lookup->order.size()];
    const int found = lookup->archive.FindFile(lookup->names[expected].c_str());
    if (found != static_cast<int>(expected)) return state.SkipWithError("lookup missed");
  }
  state.SetItemsProcessed(state.iterations());
}

// range(0): 1 with a caller's BlockBuffer; range(1): 1 for random positions,
// 0 for consecutive 4 KiB reads.
void ReadFromFile(benchmark::State& state, Context& context) {
  LargeEntryArchive* large = context.Large();
  if (large == nullptr) return state.SkipWithError("could not build the large entry");
  const bool withBuffer = state.range(0) != 0;
  const bool randomPositions = state.range(1) != 0;
  constexpr unsigned int kRead = 4096;
  std::vector<unsigned char> uncompressed(large->archive.BlockSize());
  std::vector<unsigned char> compressed(GAME::Archive::MaxPartSize());
  GAME::Archive::BlockBuffer buffer{GAME::Archive::kNoPart, compressed.data(), uncompressed.data()};
  std::vector<unsigned char> destination(kRead);
  Random random(42);
  unsigned int offset = 0;
  for (auto _ : state) {
    offset = randomPositions ? random.Below(large->size - kRead) : (offset + kRead) % large->size;
    if (!large->archive.ReadFromFile(large->index, destination.data(), offset, kRead,
                                     withBuffer ? &buffer : nullptr)) {
      return state.SkipWithError("read failed");
    }
    benchmark::DoNotOptimize(destination.data());
  }
  state.SetBytesProcessed(state.iterations() * kRead);
}

// range(0): the level. Each run adds to a new archive files of 1..4 KiB.
void AddFileFromMemory(benchmark::State& state, Context& context) {
  const int level = static_cast<int>(state.range(0));
  std::vector<unsigned char> text = Text(1 << 20, 11);
  GAME::Archive archive;
  if (!OpenNew(archive, context.AddPath())) return state.SkipWithError("could not open");
  Random random(level + 1);
  unsigned int count = 0;
  int64_t bytes = 0;
  for (auto _ : state) {
    const unsigned int size = 1024 + random.Below(3073);
    unsigned char* data = text.data() + random.Below(static_cast<uint32_t>(text.size()) - size);
    if (archive.AddFileFromMemory(EntryName(count++).c_str(), data, size, level) < 0) {
      return state.SkipWithError("add failed");
    }
    bytes += size;
  }
  state.SetBytesProcessed(bytes);
  state.SetItemsProcessed(state.iterations());
  if (!archive.Close(false)) state.SkipWithError("close failed");
}

// Counts the flushes of the journal files and the bytes written to any file.
// Flushes reach no disk: only the counts are of interest.
class CountingFileSystem : public testing_support::FaultyFileSystem {
 public:
  platform::FileHandle Open(const std::string& path, platform::Access access,
                            platform::Creation creation, platform::Lock lock) const override {
    const platform::FileHandle f = FaultyFileSystem::Open(path, access, creation, lock);
    const std::string suffix = "-journal";
    if (path.size() > suffix.size() && path.compare(path.size() - suffix.size(), suffix.size(),
                                                     suffix) == 0) {
      const std::lock_guard guard(mutex_);
      journals_.insert(f);
    }
    return f;
  }
  bool Flush(platform::FileHandle f) const override {
    const std::lock_guard guard(mutex_);
    journalFlushes += journals_.count(f);
    return FaultyFileSystem::Flush(f);
  }
  platform::IoResult WriteAt(platform::FileHandle f, uint64_t at, const void* data,
                             size_t size) const override {
    const platform::IoResult wrote = FaultyFileSystem::WriteAt(f, at, data, size);
    const std::lock_guard guard(mutex_);
    written += wrote.count;
    journalWritten += journals_.count(f) * wrote.count;
    return wrote;
  }

  mutable uint64_t journalFlushes = 0;
  mutable uint64_t written = 0;
  mutable uint64_t journalWritten = 0;

 private:
  mutable std::mutex mutex_;
  mutable std::set<platform::FileHandle> journals_;  // handles are not reused while counted
};

// Replaces every file of an archive of small stored files with new bytes of
// the same size, in index order: the journal flushes of the whole run.
void ReplaceFlushes(benchmark::State& state, Context& context) {
  const unsigned int count = context.sizes.replacedFiles;
  std::vector<unsigned char> text = Text(1 << 20, 13);
  for (auto _ : state) {
    state.PauseTiming();
    Random random(3);
    std::vector<unsigned int> sizes;
    GAME::Archive writer;
    if (!OpenNew(writer, context.AddPath())) return state.SkipWithError("could not open");
    for (unsigned int i = 0; i < count; ++i) {
      sizes.push_back(1024 + random.Below(3073));
      if (writer.AddFileFromMemory(EntryName(i).c_str(), text.data() + i, sizes.back(), 0) < 0) {
        return state.SkipWithError("add failed");
      }
    }
    if (!writer.Close(false)) return state.SkipWithError("close failed");
    state.ResumeTiming();
    const CountingFileSystem fs;
    GAME::Archive archive(fs);
    if (!archive.Open(context.AddPath().c_str(), GAME::Archive::ModeWrite)) {
      return state.SkipWithError("could not open");
    }
    for (unsigned int i = 0; i < count; ++i) {
      if (archive.ReplaceFileFromMemory(static_cast<int>(i), EntryName(i).c_str(),
                                        text.data() + 4096 + i, sizes[i], 0, {}) < 0) {
        return state.SkipWithError("replace failed");
      }
    }
    if (!archive.Close(false)) return state.SkipWithError("close failed");
    state.counters["journal_flushes"] = static_cast<double>(fs.journalFlushes);
  }
}

// Removes the first of count files of 1 MiB and compacts: the bytes written
// (moves, journal, index) over the bytes moved.
void CompactWrites(benchmark::State& state, Context& context) {
  const unsigned int count = context.sizes.compactedMiB;
  const unsigned int size = 1u << 20;
  Random random(5);
  std::vector<unsigned char> noise(size + count);
  for (unsigned char& byte : noise) byte = static_cast<unsigned char>(random.Next());
  for (auto _ : state) {
    state.PauseTiming();
    GAME::Archive writer;
    if (!OpenNew(writer, context.AddPath())) return state.SkipWithError("could not open");
    for (unsigned int i = 0; i < count; ++i) {
      if (writer.AddFileFromMemory(EntryName(i).c_str(), noise.data() + i, size, 0) < 0) {
        return state.SkipWithError("add failed");
      }
    }
    if (!writer.Close(false)) return state.SkipWithError("close failed");
    state.ResumeTiming();
    const CountingFileSystem fs;
    GAME::Archive archive(fs);
    if (!archive.Open(context.AddPath().c_str(), GAME::Archive::ModeWrite) ||
        !archive.RemoveFile(0) || !archive.Compact() || !archive.Close(false)) {
      return state.SkipWithError("compaction failed");
    }
    const double moved = double(count - 1) * size;
    state.counters["written_per_moved"] = static_cast<double>(fs.written) / moved;
    state.counters["journal_per_moved"] = static_cast<double>(fs.journalWritten) / moved;
    state.counters["journal_flushes"] = static_cast<double>(fs.journalFlushes);
  }
}

void Register(Context& context) {
  for (unsigned int count : context.sizes.lookupNames) {
    benchmark::RegisterBenchmark("FindFile", [&context](benchmark::State& s) { FindFile(s, context); })
        ->Arg(count);
  }
  benchmark::RegisterBenchmark("ReadFromFile",
                               [&context](benchmark::State& s) { ReadFromFile(s, context); })
      ->ArgNames({"buffer", "random"})
      ->ArgsProduct({{0, 1}, {1, 0}});
  benchmark::RegisterBenchmark("AddFileFromMemory",
                               [&context](benchmark::State& s) { AddFileFromMemory(s, context); })
      ->ArgName("level")
      ->Arg(0)
      ->Arg(6)
      ->Iterations(context.sizes.smallFiles)
      ->Unit(benchmark::kMicrosecond);
  benchmark::RegisterBenchmark("ReplaceFlushes",
                               [&context](benchmark::State& s) { ReplaceFlushes(s, context); })
      ->Iterations(1)
      ->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("CompactWrites",
                               [&context](benchmark::State& s) { CompactWrites(s, context); })
      ->Iterations(1)
      ->Unit(benchmark::kMillisecond);
}

// Removes "--korvat_smoke" from the arguments; true when it was there.
bool TakeSmokeFlag(int& argc, char** argv) {
  bool found = false;
  int kept = 0;
  for (int i = 0; i < argc; ++i) {
    if (std::strcmp(argv[i], "--korvat_smoke") == 0) {
      found = true;
    } else {
      argv[kept++] = argv[i];
    }
  }
  argc = kept;
  return found;
}

}  // namespace

int main(int argc, char** argv) {
  const bool smoke = TakeSmokeFlag(argc, argv);
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  Context context(smoke ? kSmokeSizes : kFullSizes);
  Register(context);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
