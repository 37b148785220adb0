/* A C program of someone else's that uses the installed library through
   korvat/korvat.h: it adds files, removes and compacts, reads a range of one
   file through a reader, checks the errors it is given, extracts, and prints
   the small file's name and size. */
#include <korvat/korvat.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#define LARGE (3 * 262144 - 100)

static unsigned char Byte(size_t i) { return (unsigned char)((i * 7919) >> 5); }

#define CHECK(condition, code) \
  do {                         \
    if (!(condition)) {        \
      fprintf(stderr, "failed: %s\n", #condition); \
      return code;             \
    }                          \
  } while (0)

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  CHECK(strcmp(korvat_version(), KORVAT_VERSION_STRING) == 0 &&
            korvat_version_number() == KORVAT_VERSION, 3);
  unsigned char* large = malloc(LARGE);
  CHECK(large != NULL, 1);
  for (size_t i = 0; i < LARGE; ++i) large[i] = Byte(i);

  korvat_archive* archive = korvat_new();
  CHECK(archive != NULL, 1);
  /* A missing archive is not created without KORVAT_OPEN_CREATE. */
  CHECK(korvat_open(archive, argv[1], KORVAT_MODE_WRITE, 0, 0) == KORVAT_ERROR_NOT_FOUND &&
            korvat_last_error(archive) == KORVAT_ERROR_NOT_FOUND &&
            strstr(korvat_last_message(archive), argv[1]) != NULL, 10);
  CHECK(korvat_open(archive, argv[1], KORVAT_MODE_WRITE, KORVAT_OPEN_CREATE, 0) == KORVAT_OK, 11);
  CHECK(korvat_add_memory(archive, "gone.txt", "x", 1, 0, 0, 0, NULL) == KORVAT_OK, 12);
  CHECK(korvat_add_memory(archive, "Hello.TXT", "hello", 5, 6, 7, 0, NULL) == KORVAT_OK, 12);
  CHECK(korvat_add_memory(archive, "hello.txt", "x", 1, 6, 0, 0, NULL) == KORVAT_ERROR_NAME_TAKEN,
        13);
  CHECK(korvat_add_memory(archive, "x", "x", 1, 10, 0, 0, NULL) == KORVAT_ERROR_BAD_LEVEL, 13);
  CHECK(korvat_add_memory(archive, "data/large.bin", "", 0, 0, 0, 0, NULL) == KORVAT_OK, 14);
  CHECK(korvat_add_memory(archive, "data/large.bin", large, LARGE, 6, 0, KORVAT_ADD_REPLACE,
                          NULL) == KORVAT_OK, 14);
  CHECK(korvat_remove(archive, "gone.txt") == KORVAT_OK &&
            korvat_remove(archive, "gone.txt") == KORVAT_ERROR_NOT_FOUND, 15);
  CHECK(korvat_compact(archive) == KORVAT_OK && korvat_close(archive) == KORVAT_OK, 16);

  CHECK(korvat_open(archive, argv[1], KORVAT_MODE_READ, 0, 0) == KORVAT_OK, 20);
  CHECK(korvat_remove(archive, "hello.txt") == KORVAT_ERROR_WRONG_MODE, 21);
  int32_t index = -1;
  CHECK(korvat_find(archive, "nothing", &index) == KORVAT_ERROR_NOT_FOUND && index == -1, 22);
  CHECK(korvat_find(archive, "DATA\\large.bin", &index) == KORVAT_OK, 22);
  korvat_reader* reader = NULL;
  unsigned char range[10];
  size_t n = 0;
  CHECK(korvat_reader_open(archive, index, &reader) == KORVAT_OK &&
            korvat_reader_seek(reader, 262140, KORVAT_SEEK_SET, NULL) == KORVAT_OK &&
            korvat_reader_read(reader, range, sizeof range, &n) == KORVAT_OK && n == 10 &&
            range[9] == Byte(262149), 23);
  korvat_reader_free(reader);

  /* The names, sized first. */
  size_t size = 0;
  CHECK(korvat_names(archive, NULL, 1, NULL, 0, &size) == KORVAT_ERROR_BUFFER_TOO_SMALL &&
            size == sizeof "data/large.bin" + sizeof "hello.txt", 24);
  char names[64];
  CHECK(korvat_names(archive, NULL, 1, names, sizeof names, &size) == KORVAT_OK &&
            strcmp(names, "hello.txt") == 0 && strcmp(names + 10, "data/large.bin") == 0, 24);
  char* out = malloc(strlen(argv[1]) + sizeof "-out");
  CHECK(out != NULL, 1);
  strcat(strcpy(out, argv[1]), "-out");
  CHECK(korvat_extract(archive, "data/large.bin", out) == KORVAT_OK &&
            korvat_verify(archive, index) == KORVAT_OK, 25);
  free(out);

  char text[8] = {0};
  korvat_entry entry;
  CHECK(korvat_read_file(archive, "hello.txt", text, sizeof text, &size) == KORVAT_OK &&
            size == 5 && korvat_find(archive, "hello.txt", &index) == KORVAT_OK &&
            korvat_stat(archive, index, &entry) == KORVAT_OK && entry.file_time == 7, 26);
  char name[16];
  CHECK(korvat_name(archive, index, name, sizeof name, &size) == KORVAT_OK, 27);
  printf("%s %u\n", name, entry.real_size);
  korvat_free(archive);
  free(large);
  return 0;
}
