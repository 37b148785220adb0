/* korvat's C interface: the archive library for C and for other languages'
   foreign-function layers (every type is an opaque handle, a fixed-width
   integer, a size_t or a plain struct of them). Installed as
   <korvat/korvat.h>, exported from the same libkorvat as GAME::Archive.

   Results: every function that can fail returns a korvat_result, KORVAT_OK
   (0) on success; values come back through pointer arguments. The calling
   thread's last result on an archive handle, with a message that names what
   failed, is kept by the handle (korvat_last_error, korvat_last_message), a
   reader's by the reader. Sizes that a caller cannot know in advance are
   asked for first: a null buffer or a too small one gives
   KORVAT_ERROR_BUFFER_TOO_SMALL with the size needed.

   Threads: an archive open for reading may serve korvat_count, korvat_find,
   korvat_stat, korvat_name, korvat_list, korvat_names, korvat_read,
   korvat_read_file, korvat_verify, korvat_extract and korvat_reader_open
   from several threads at once; each reader is used by one thread at a time.
   Everything else, and everything on an archive open for writing, needs the
   handle to itself. A reader stays usable while its archive is open and
   unchanged; afterwards it fails (KORVAT_ERROR_WRONG_MODE). */
#ifndef KORVAT_KORVAT_H
#define KORVAT_KORVAT_H

#include <stddef.h>
#include <stdint.h>

#include "Version.h"

#if defined(_WIN32)
#if defined(KORVAT_STATIC_DEFINE)
#define KORVAT_C_API
#elif defined(KORVAT_BUILDING_LIBRARY)
#define KORVAT_C_API __declspec(dllexport)
#else
#define KORVAT_C_API __declspec(dllimport)
#endif
#elif defined(KORVAT_BUILDING_LIBRARY)
#define KORVAT_C_API __attribute__((visibility("default")))
#else
#define KORVAT_C_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

typedef struct korvat_archive korvat_archive;
typedef struct korvat_reader korvat_reader;

/* The numbers stay as they are across versions; new ones are added. */
typedef enum korvat_result {
  KORVAT_OK = 0,
  KORVAT_ERROR_NOT_FOUND = 1,        /* no such entry, or no such archive file */
  KORVAT_ERROR_LOCKED = 2,           /* another object has the archive open */
  KORVAT_ERROR_NOT_AN_ARCHIVE = 3,   /* the file is not a well-formed archive */
  KORVAT_ERROR_DAMAGED = 4,          /* stored data is missing or does not inflate or check */
  KORVAT_ERROR_NAME_TAKEN = 5,       /* an active entry has the name already */
  KORVAT_ERROR_BAD_LEVEL = 6,        /* compression level outside 0..9 */
  KORVAT_ERROR_TOO_LARGE = 7,        /* the file or the archive would reach 4 GiB */
  KORVAT_ERROR_IO = 8,               /* the system refused a read or write */
  KORVAT_ERROR_INVALID_ARGUMENT = 9, /* null handle, bad index, offset or name */
  KORVAT_ERROR_WRONG_MODE = 10,      /* not open, read-only, or the archive changed */
  KORVAT_ERROR_BUFFER_TOO_SMALL = 11,
  KORVAT_ERROR_NO_MEMORY = 12,
  KORVAT_ERROR_READ_ONLY = 13,        /* a read-only file or file system */
  KORVAT_ERROR_PERMISSION_DENIED = 14,
  KORVAT_ERROR_DISK_FULL = 15,
  KORVAT_ERROR_JOURNAL = 16,          /* the rollback journal beside the archive cannot be used */
  KORVAT_ERROR_IS_DIRECTORY = 17,     /* a directory where a file was wanted */
  KORVAT_ERROR_NOT_A_FILE = 18,       /* a device, FIFO or socket where a file was wanted */
  KORVAT_ERROR_OUTSIDE_DIRECTORY = 19 /* a stored name that would leave the destination */
} korvat_result;

enum { KORVAT_MODE_READ = 1, KORVAT_MODE_WRITE = 2 };
/* korvat_open flags: create the archive when missing (KORVAT_MODE_WRITE). */
enum { KORVAT_OPEN_CREATE = 1 };
/* korvat_add_* flags: replace an active entry of the same name. */
enum { KORVAT_ADD_REPLACE = 1 };
/* korvat_entry.flags */
enum { KORVAT_ENTRY_ACTIVE = 1, KORVAT_ENTRY_COMPRESSED = 2 };
/* korvat_reader_seek origins, as in fseek. */
enum { KORVAT_SEEK_SET = 0, KORVAT_SEEK_CUR = 1, KORVAT_SEEK_END = 2 };

typedef struct korvat_entry {
  int32_t index;
  uint32_t flags;       /* KORVAT_ENTRY_*; 0 for a removed entry */
  uint32_t real_size;   /* content bytes */
  uint32_t stored_size; /* bytes it takes in the archive */
  uint32_t checksum;    /* Adler-32 of the content */
  uint32_t parts;       /* compressed parts */
  uint64_t file_time;   /* 100 ns since 1601-01-01 UTC; 0 when unknown */
  uint32_t name_length; /* bytes of the stored name, without a NUL */
  uint32_t reserved;
} korvat_entry;

/* The library's version at run time ("0.2.0") and as
   MAJOR * 10000 + MINOR * 100 + PATCH. */
KORVAT_C_API const char* korvat_version(void);
KORVAT_C_API int korvat_version_number(void);
/* A fixed English text for a result ("entry not found"); never null. */
KORVAT_C_API const char* korvat_result_text(int result);

/* A new archive handle, not open; null when memory is exhausted. */
KORVAT_C_API korvat_archive* korvat_new(void);
/* Closes the archive when open (a failure to save is lost: call
   korvat_close first to see it) and frees the handle. Null is ignored. */
KORVAT_C_API void korvat_free(korvat_archive* archive);
/* Opens path in KORVAT_MODE_READ or KORVAT_MODE_WRITE, closing what the
   handle had open. A lock another object holds is waited for up to
   lock_timeout_ms. */
KORVAT_C_API int korvat_open(korvat_archive* archive, const char* path, int mode, unsigned flags,
                             unsigned lock_timeout_ms);
/* Closes the archive; in KORVAT_MODE_WRITE this commits the changes
   (KORVAT_ERROR_IO when that failed: the next open rolls them back). */
KORVAT_C_API int korvat_close(korvat_archive* archive);
/* The result of the calling thread's last call on the handle and its
   message ("" after success); the message lives until that thread's next
   call on the handle. */
KORVAT_C_API int korvat_last_error(korvat_archive* archive);
KORVAT_C_API const char* korvat_last_message(korvat_archive* archive);

/* Entries, active and removed (indices run from 0 to count - 1). */
KORVAT_C_API int korvat_count(korvat_archive* archive, uint32_t* count);
/* The index of the active entry name (any case, '\\' or '/'). */
KORVAT_C_API int korvat_find(korvat_archive* archive, const char* name, int32_t* index);
KORVAT_C_API int korvat_stat(korvat_archive* archive, int32_t index, korvat_entry* entry);
/* The stored name of the active entry index with a NUL; *length is the
   name's length without it, also when the buffer is too small. */
KORVAT_C_API int korvat_name(korvat_archive* archive, int32_t index, char* buffer,
                             size_t capacity, size_t* length);
/* The indices of the active entries under directory (null or "": all), in
   its subdirectories too when recursive is not 0. *count is how many there
   are; capacity is counted in indices. */
KORVAT_C_API int korvat_list(korvat_archive* archive, const char* directory, int recursive,
                             int32_t* indices, size_t capacity, size_t* count);
/* The names korvat_list would give, each followed by a NUL, in one buffer;
   *size is the bytes they take. */
KORVAT_C_API int korvat_names(korvat_archive* archive, const char* directory, int recursive,
                              char* buffer, size_t capacity, size_t* size);

/* Copies up to size bytes of the entry's content from offset; *read is the
   number given, less than size only at the end. */
KORVAT_C_API int korvat_read(korvat_archive* archive, int32_t index, uint64_t offset,
                             void* buffer, size_t size, size_t* read);
/* The whole content of the active entry name, its checksum checked; *size
   is the content's size, also when the buffer is too small. */
KORVAT_C_API int korvat_read_file(korvat_archive* archive, const char* name, void* buffer,
                                  size_t capacity, size_t* size);
/* Reads the entry whole and checks it: KORVAT_ERROR_DAMAGED with the
   reason in the message when a part does not inflate, bytes are missing or
   the checksum differs. */
KORVAT_C_API int korvat_verify(korvat_archive* archive, int32_t index);
/* Writes the active entry name (null: every active entry) under directory,
   creating the directories on the way. With many entries, every one is
   tried; the result and message are of the first that failed. */
KORVAT_C_API int korvat_extract(korvat_archive* archive, const char* name, const char* directory);

/* A reader at the start of the active entry index, with its own cache of
   one inflated part. */
KORVAT_C_API int korvat_reader_open(korvat_archive* archive, int32_t index,
                                    korvat_reader** reader);
KORVAT_C_API void korvat_reader_free(korvat_reader* reader);
/* Copies up to size bytes from the position and moves past them; *read is
   the number given, 0 at the end. */
KORVAT_C_API int korvat_reader_read(korvat_reader* reader, void* buffer, size_t size,
                                    size_t* read);
/* Moves to origin + offset, which must lie within the content; *position
   (may be null) receives the new position. */
KORVAT_C_API int korvat_reader_seek(korvat_reader* reader, int64_t offset, int origin,
                                    uint64_t* position);
KORVAT_C_API uint64_t korvat_reader_tell(const korvat_reader* reader);
KORVAT_C_API uint64_t korvat_reader_size(const korvat_reader* reader);
KORVAT_C_API int korvat_reader_last_error(const korvat_reader* reader);
KORVAT_C_API const char* korvat_reader_last_message(const korvat_reader* reader);

/* Adds size bytes under name, stored (level 0) or compressed (1..9), with
   file_time as its time; with KORVAT_ADD_REPLACE an active entry of that
   name is replaced (kept as it was when the add fails). *index (may be
   null) receives the new entry's index. KORVAT_MODE_WRITE only. */
KORVAT_C_API int korvat_add_memory(korvat_archive* archive, const char* name, const void* data,
                                   size_t size, int level, uint64_t file_time, unsigned flags,
                                   int32_t* index);
/* Adds the file at path under name (null: the name path normalises to),
   with its last-write time; otherwise as korvat_add_memory. */
KORVAT_C_API int korvat_add_file(korvat_archive* archive, const char* path, const char* name,
                                 int level, unsigned flags, int32_t* index);
/* Removes the active entry name; its space is reused or compacted away. */
KORVAT_C_API int korvat_remove(korvat_archive* archive, const char* name);
/* Moves the active entries together and drops the removed ones; indices
   change. */
KORVAT_C_API int korvat_compact(korvat_archive* archive);

#ifdef __cplusplus
}
#endif

#endif
