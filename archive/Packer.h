// Packer: prepares files for Archive::AddPackedFile on a pool of worker
// threads. Files are submitted in the order they will be placed; workers take
// each file's last-write time, open it and read and compress its 262144-byte
// blocks (the blocks of one large file spread over the workers too), and the
// caller takes the files back in submission order, block by block. A bounded
// number of blocks is read ahead, so memory does not grow with file sizes.
//
// Blocks are read strictly in submission order: take a file's blocks only
// after the files before it were dropped (or read to the end).
//
// Thread safety: one thread submits and takes files; the workers only call
// the (thread-safe) FileSystem given.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "archive/Archive.h"

namespace platform {
class FileSystem;
}

namespace GAME {

// One compressed block of a prepared file.
struct PackedBlock {
  std::vector<unsigned char> bytes;  // the zlib stream
  uint32_t realSize = 0;             // the bytes it inflates to
  uint32_t checksum = 0;             // Adler-32 of those bytes
};

class PackedFile;

class KORVAT_API Packer {
 public:
  // level: compress2's level (1..9); workers: threads to run (at least one).
  Packer(const platform::FileSystem& fs, int level, unsigned workers);
  // Stops and joins the workers; files not taken are dropped.
  ~Packer();
  Packer(const Packer&) = delete;
  Packer& operator=(const Packer&) = delete;

  // Queues the file at path. Never waits: the caller bounds how many files
  // it submits ahead of those it has taken.
  void Submit(const std::string& path);
  // The oldest submitted file not taken yet, once it has been opened (or
  // failed to open); null when none is queued. Rethrows an exception a
  // worker met (std::bad_alloc).
  std::unique_ptr<PackedFile> Next();

  struct Shared;  // the state the workers share, in Packer.cpp

 private:
  KORVAT_LOCAL void Stop();

  std::shared_ptr<Shared> shared_;
  std::vector<std::thread> workers_;
};

// A file a Packer prepared. Dropping it drops its blocks not taken.
class KORVAT_API PackedFile {
 public:
  struct Job;  // in Packer.cpp

  PackedFile(std::shared_ptr<Packer::Shared> shared, Job& job);
  ~PackedFile();
  PackedFile(const PackedFile&) = delete;
  PackedFile& operator=(const PackedFile&) = delete;

  const std::string& Path() const;
  // False when the file could not be opened, its size could not be taken or
  // it is 4 GiB or larger.
  bool Opened() const;
  // The last-write time, taken before the content was read; 0 when unknown.
  Archive::FileTime Time() const;
  uint32_t Size() const;
  // Waits for the next block, in order. False when it could not be read
  // whole or compressed, or when none is left. Rethrows an exception a
  // worker met.
  bool NextBlock(PackedBlock& block);
  // Why opening it or its latest block failed.
  Error Failure() const;

 private:
  std::shared_ptr<Packer::Shared> shared_;
  Job& job_;
};

}  // namespace GAME
