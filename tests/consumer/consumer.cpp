// A program of someone else's that uses the installed archive library: it
// creates an archive, adds one file from memory, reopens it and prints what
// it finds.
#include <archive/Archive.h>

#include <cstdio>

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  {
    GAME::Archive archive;
    if (!archive.Open(argv[1], GAME::Archive::ModeWrite)) return 1;
    unsigned char text[] = {'h', 'e', 'l', 'l', 'o'};
    if (archive.AddFileFromMemory("Hello.TXT", text, sizeof text, 6) < 0) return 1;
    if (!archive.Close(false)) return 1;
  }
  GAME::Archive archive;
  if (!archive.Open(argv[1], GAME::Archive::ModeRead)) return 1;
  int index = archive.FindFile("hello.txt");
  if (index < 0) return 1;
  const GAME::Archive::FileEntry& entry = archive.GetFileEntry(index);
  std::printf("%s %u\n", entry.name, entry.realSize);
  return 0;
}
