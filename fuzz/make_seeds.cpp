// Writes the seed corpora of the fuzz targets: DIR/archive holds valid
// archives with stored, multi-part compressed and removed entries (and one
// with a damaged part), DIR/names a few names of the shapes users type.
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "archive/Archive.h"
#include "fuzz/ArchiveChecks.h"
#include "fuzz/MemoryFileSystem.h"
#include "platform/FileSystem.h"

namespace {

using GAME::Archive;
using Bytes = std::vector<unsigned char>;

// Compressible text of the given size, so multi-part seeds stay small.
std::string Text(size_t size, const std::string& line) {
  std::string text;
  while (text.size() < size) text += line;
  text.resize(size);
  return text;
}

bool Add(Archive& archive, const char* name, std::string content, int level) {
  return archive.AddFileFromMemory(name, reinterpret_cast<unsigned char*>(content.data()),
                                   static_cast<unsigned>(content.size()), level) >= 0;
}

// The bytes of an archive that build fills, or nothing when a step failed.
Bytes Build(const std::function<bool(Archive&)>& build) {
  fuzzing::MemoryFileSystem fs;
  {
    Archive archive(fs);
    if (!archive.Open("/seed.arc", Archive::ModeWrite) || !build(archive) ||
        !archive.Close(false)) {
      return {};
    }
  }
  return *fs.FileBytes("/seed.arc");
}

bool FourFiles(Archive& a) {
  return Add(a, "readme.txt", "a small stored file\n", 0) &&
         Add(a, "Textures\\Stone.TEX", Text(5000, "stone texture "), 0) &&
         Add(a, "sounds/step.wav", Text(20000, "step sound sample "), 9) &&
         Add(a, "maps/level1.map", Text(300000, "level one tiles 0123456789 "), 9);
}

bool WithRemoved(Archive& a) { return FourFiles(a) && a.RemoveFile(1) && a.RemoveFile(2); }

bool Write(const std::string& path, const Bytes& bytes) {
  const platform::FileSystem& fs = platform::NativeFileSystem();
  platform::File file(fs, fs.Open(path, platform::Access::ReadWrite,
                                  platform::Creation::CreateAlways, platform::Lock::Exclusive));
  if (!file.IsOpen()) return false;
  const platform::IoResult wrote = fs.WriteAt(file.Handle(), 0, bytes.data(), bytes.size());
  return wrote.ok && wrote.count == bytes.size();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: make_seeds DIR\n");
    return 2;
  }
  const std::string dir = argv[1];
  const platform::FileSystem& fs = platform::NativeFileSystem();
  fs.CreateDirectory(dir);
  fs.CreateDirectory(dir + "/archive");
  fs.CreateDirectory(dir + "/names");
  fs.CreateDirectory(dir + "/journal");

  // A byte flipped 40 bytes before the index: inside the last compressed part.
  Bytes damaged = Build(FourFiles);
  if (damaged.size() >= 2048) {
    const size_t indexOffset =
        damaged[24] | damaged[25] << 8 | damaged[26] << 16 | damaged[27] << 24;
    damaged[indexOffset - 40] ^= 0x20;
  }
  const std::vector<std::pair<std::string, Bytes>> archives = {
      {"empty.arc", Build([](Archive&) { return true; })},
      {"stored.arc",
       Build([](Archive& a) { return Add(a, "a.txt", "alpha", 0) && Add(a, "b/c.txt", "", 0); })},
      {"multipart.arc",
       Build([](Archive& a) { return Add(a, "big.bin", Text(270000, "multi part "), 9); })},
      {"removed.arc", Build(WithRemoved)},
      {"reused.arc",
       Build([](Archive& a) { return WithRemoved(a) && Add(a, "new.txt", Text(4000, "n"), 0); })},
      {"compacted.arc", Build([](Archive& a) { return WithRemoved(a) && a.Compact(); })},
      {"damaged.arc", damaged},
  };
  const char* names[] = {
      "Textures\\Stone.TEX", "./a/b.txt", "../up.txt", "/abs/path", "a//b\\c", "readme", "sounds/",
      "x/./y/../z"};

  bool ok = true;
  for (const auto& [name, bytes] : archives) {
    ok = ok && !bytes.empty() && Write(dir + "/archive/" + name, bytes);
  }
  for (size_t i = 0; i < std::size(names); ++i) {
    const std::string name = names[i];
    ok = ok && Write(dir + "/names/" + std::to_string(i), Bytes(name.begin(), name.end()));
  }
  // Real journals: of a writer of the base archive interrupted amid a change,
  // cut short, and one of another archive.
  Bytes crashed = fuzzing::CrashedJournal();
  Bytes torn = crashed;
  torn.resize(torn.size() / 2);
  const std::vector<std::pair<std::string, Bytes>> journals = {
      {"crashed", crashed}, {"torn", torn}, {"empty", {}}};
  for (const auto& [name, bytes] : journals) ok = ok && Write(dir + "/journal/" + name, bytes);
  ok = ok && !crashed.empty();
  if (!ok) std::fprintf(stderr, "make_seeds: could not write the seeds under %s\n", dir.c_str());
  return ok ? 0 : 1;
}
