// A program of someone else's that uses the installed archive library: it
// stores a small file and a large one (three parts) from memory, reopens the
// archive for reading and reads the large one through a stream and whole,
// and prints the small one. With --abi it prints the sizes of the public
// types instead.
#include <korvat/Archive.h>
#include <korvat/korvat.h>

#include <cstdio>
#include <cstring>
#include <istream>
#include <string>
#include <vector>

#if KORVAT_VERSION != KORVAT_VERSION_MAJOR * 10000 + KORVAT_VERSION_MINOR * 100 + KORVAT_VERSION_PATCH
#error "the version macros disagree"
#endif

using GAME::Archive;

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  if (std::strcmp(argv[1], "--abi") == 0) {
    std::printf("size Archive %zu\nsize FileEntry %zu\nsize Stats %zu\nsize BlockBuffer %zu\n"
                "size Reader %zu\nsize StreamBuf %zu\nsize Error %zu\nsize korvat_entry %zu\n",
                sizeof(Archive), sizeof(Archive::FileEntry), sizeof(Archive::Stats),
                sizeof(Archive::BlockBuffer), sizeof(Archive::Reader), sizeof(Archive::StreamBuf),
                sizeof(GAME::Error), sizeof(korvat_entry));
    return 0;
  }
  if (std::strcmp(Archive::Version(), KORVAT_VERSION_STRING) != 0) return 3;
  std::vector<unsigned char> large(3 * 262144 - 100);
  for (size_t i = 0; i < large.size(); ++i) large[i] = static_cast<unsigned char>(i * 7919 >> 5);
  {
    Archive archive;
    const unsigned char text[] = {'h', 'e', 'l', 'l', 'o'};
    if (!archive.Open(argv[1], Archive::ModeWrite, Archive::OpenCreate, 0) ||
        archive.AddFileFromMemory("Hello.TXT", text, sizeof text, 6, {1, 2}) < 0 ||
        archive.AddFileFromMemory("data/large.bin", large.data(), unsigned(large.size()), 6,
                                  {0, 0}) < 0 ||
        !archive.Close(false)) {
      std::fprintf(stderr, "%s\n", GAME::ErrorMessage(archive.LastError()).c_str());
      return 1;
    }
  }
  Archive archive;
  if (!archive.Open(argv[1], Archive::ModeRead)) return 1;
  const int index = archive.FindFile("data/LARGE.bin");
  Archive::StreamBuf buffer(archive, index);
  std::istream in(&buffer);
  in.seekg(262140);
  char four[4];
  if (!in.read(four, 4) || static_cast<unsigned char>(four[3]) != large[262143]) return 5;
  std::vector<unsigned char> whole;
  if (!archive.ReadFile("data/large.bin", whole) || whole != large) return 6;
  const Archive::FileEntry& entry = archive.GetFileEntry(archive.FindFile("hello.txt"));
  std::printf("%s %u\n", entry.name, entry.realSize);
  return 0;
}
