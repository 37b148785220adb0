// The packing pipeline: jobs (one per submitted file) in submission order,
// worker threads that open files and read and compress their blocks, and the
// hand-over of blocks to the placing thread in order.
//
// Blocks are issued strictly in submission order, so the blocks in flight
// are always the oldest ones the placing thread has not taken; with a cap on
// them and on the files opened ahead, memory and descriptors stay bounded.
#include "archive/Packer.h"

#include <zlib.h>

#include <algorithm>
#include <condition_variable>
#include <exception>
#include <list>
#include <mutex>
#include <optional>

#include "archive/ErrorSlots.h"
#include "archive/Format.h"
#include "platform/FileSystem.h"

namespace GAME {

namespace {

constexpr uint64_t kFileLimit = uint64_t(1) << 32;

struct Block {
  bool done = false;
  bool ok = false;
  PackedBlock packed;
  Error error;  // why it failed
};

}  // namespace

struct KORVAT_LOCAL PackedFile::Job {
  enum class Stage { Waiting, Opening, Ready };

  std::string path;
  Stage stage = Stage::Waiting;
  bool opened = false;
  Error failure;  // why it could not be opened, or why its last block failed
  Archive::FileTime time{0, 0};
  uint32_t size = 0;
  uint32_t blockCount = 0;
  uint32_t issued = 0;       // blocks handed to workers so far
  platform::File source;     // open while blocks remain to be read
  std::list<Block> blocks;   // issued and not taken, oldest first
  unsigned busy = 0;         // workers working on the job
  bool taken = false;        // handed out by Next
  bool released = false;     // its PackedFile is gone
  bool broken = false;       // a block failed: no more are issued
  std::list<PackedFile::Job>::iterator self;
};

struct KORVAT_LOCAL Packer::Shared {
  using Job = PackedFile::Job;

  Shared(const platform::FileSystem& f, int l, unsigned workers)
      : fs(f), level(l), maxInFlight(2 * size_t(workers) + 2), openAhead(4 * size_t(workers) + 4) {}

  const platform::FileSystem& fs;
  int level;
  size_t maxInFlight;  // blocks read and not taken
  size_t openAhead;    // jobs not taken yet that may be opened

  std::mutex mutex;
  std::condition_variable changed;
  std::list<Job> jobs;  // submission order; a job leaves once released and idle
  size_t inFlight = 0;
  bool stopping = false;
  std::exception_ptr error;

  // A job's opening (block null) or one of its blocks.
  struct Task {
    Job* job;
    Block* block;
    uint32_t index;
  };

  std::optional<Task> TakeTask();
  void Settle(Job& job);
  void Work();
};

namespace {

// Opens the job's file: its time first, then the file and its size.
void OpenJob(const platform::FileSystem& fs, PackedFile::Job& job, platform::File& source) {
  const std::optional<platform::FileTime> time = fs.LastWriteTime(job.path);
  source = platform::File(fs, fs.Open(job.path, platform::Access::Read,
                                      platform::Creation::OpenExisting, platform::Lock::Shared));
  const std::optional<uint64_t> size =
      source.IsOpen() ? fs.Size(source.Handle()) : std::optional<uint64_t>();
  if (!size) job.failure = SystemFailure(fs, ErrorCode::IO, job.path);
  if (size && *size >= kFileLimit) job.failure = Error{ErrorCode::TooLarge, 0, job.path};
  job.time = time ? Archive::FileTime{time->low, time->high} : Archive::FileTime{0, 0};
  job.opened = size && *size < kFileLimit;
  job.size = job.opened ? static_cast<uint32_t>(*size) : 0;
  job.blockCount = static_cast<uint32_t>((uint64_t(job.size) + format::kBlockSize - 1) /
                                         format::kBlockSize);
}

// Reads block index of the job's file and compresses it; false when the read
// came up short or zlib failed.
bool PackBlock(const platform::FileSystem& fs, int level, const PackedFile::Job& job,
               uint32_t index, std::vector<unsigned char>& input, PackedBlock& out,
               Error& error) {
  const uint64_t offset = uint64_t(index) * format::kBlockSize;
  const auto length = static_cast<uint32_t>(std::min<uint64_t>(format::kBlockSize,
                                                               job.size - offset));
  input.resize(length);
  const platform::IoResult read = fs.ReadAt(job.source.Handle(), offset, input.data(), length);
  if (!read.ok) {
    error = SystemFailure(fs, ErrorCode::IO, job.path);
    return false;
  }
  if (read.count != length) {
    error = Error{ErrorCode::IO, 0, job.path + ": the file shrank while it was read"};
    return false;
  }
  out.realSize = length;
  out.checksum = static_cast<uint32_t>(adler32_z(adler32_z(0, nullptr, 0), input.data(), length));
  uLongf produced = compressBound(length);
  out.bytes.resize(produced);
  if (compress2(out.bytes.data(), &produced, input.data(), length, level) != Z_OK) {
    error = Error{ErrorCode::BadLevel, 0, "compression failed"};
    return false;
  }
  out.bytes.resize(produced);
  return true;
}

}  // namespace

std::optional<Packer::Shared::Task> Packer::Shared::TakeTask() {
  if (stopping || error) return std::nullopt;
  if (inFlight < maxInFlight) {
    for (Job& job : jobs) {
      if (job.released) continue;
      if (job.stage != Job::Stage::Ready) break;  // its blocks come first
      if (job.broken || job.issued == job.blockCount) continue;
      Block& block = job.blocks.emplace_back();
      ++inFlight;
      ++job.busy;
      return Task{&job, &block, job.issued++};
    }
  }
  size_t position = 0;  // among the jobs not taken yet
  for (Job& job : jobs) {
    if (job.taken) continue;
    if (position++ == openAhead) break;
    if (job.stage == Job::Stage::Waiting) {
      job.stage = Job::Stage::Opening;
      ++job.busy;
      return Task{&job, nullptr, 0};
    }
  }
  return std::nullopt;
}

// After a worker left the job: closes its file once nothing more will be
// read, and drops the job once its PackedFile is gone too.
void Packer::Shared::Settle(Job& job) {
  if (job.busy > 0) return;
  if (job.broken || job.released || job.issued == job.blockCount) job.source.Reset();
  if (job.released) {
    inFlight -= job.blocks.size();
    jobs.erase(job.self);
  }
}

void Packer::Shared::Work() {
  std::vector<unsigned char> input;
  std::unique_lock lock(mutex);
  try {
    for (;;) {
      std::optional<Task> task;
      changed.wait(lock, [&] { return stopping || error || (task = TakeTask()); });
      if (!task) return;
      Job& job = *task->job;
      lock.unlock();
      if (task->block == nullptr) {
        platform::File source;
        OpenJob(fs, job, source);  // the job is this worker's until Ready
        lock.lock();
        job.source = std::move(source);
        job.stage = Job::Stage::Ready;
      } else {
        PackedBlock packed;
        Error error;
        const bool ok = PackBlock(fs, level, job, task->index, input, packed, error);
        lock.lock();
        *task->block = Block{true, ok, std::move(packed), std::move(error)};
        if (!ok) job.broken = true;
      }
      --job.busy;
      Settle(job);
      changed.notify_all();
    }
  } catch (...) {
    if (!lock.owns_lock()) lock.lock();
    if (!error) error = std::current_exception();
    changed.notify_all();
  }
}

Packer::Packer(const platform::FileSystem& fs, int level, unsigned workers)
    : shared_(std::make_shared<Shared>(fs, level, std::max(workers, 1u))) {
  try {
    for (unsigned k = 0; k < std::max(workers, 1u); ++k) {
      workers_.emplace_back(&Shared::Work, shared_);
    }
  } catch (...) {
    Stop();
    throw;
  }
}

Packer::~Packer() { Stop(); }

void Packer::Stop() {
  {
    const std::lock_guard lock(shared_->mutex);
    shared_->stopping = true;
  }
  shared_->changed.notify_all();
  for (std::thread& worker : workers_) worker.join();
  workers_.clear();
}

void Packer::Submit(const std::string& path) {
  {
    const std::lock_guard lock(shared_->mutex);
    PackedFile::Job& job = shared_->jobs.emplace_back();
    job.self = std::prev(shared_->jobs.end());
    job.path = path;
  }
  shared_->changed.notify_all();
}

std::unique_ptr<PackedFile> Packer::Next() {
  Shared& s = *shared_;
  std::unique_lock lock(s.mutex);
  const auto job = std::find_if(s.jobs.begin(), s.jobs.end(),
                                [](const PackedFile::Job& j) { return !j.taken; });
  if (job == s.jobs.end()) return nullptr;
  s.changed.wait(lock, [&] { return s.error || job->stage == PackedFile::Job::Stage::Ready; });
  if (s.error) std::rethrow_exception(s.error);
  job->taken = true;
  return std::make_unique<PackedFile>(shared_, *job);
}

PackedFile::PackedFile(std::shared_ptr<Packer::Shared> shared, Job& job)
    : shared_(std::move(shared)), job_(job) {}

PackedFile::~PackedFile() {
  {
    const std::lock_guard lock(shared_->mutex);
    job_.released = true;
    shared_->Settle(job_);
  }
  shared_->changed.notify_all();
}

// Set before the job became Ready and not changed after: no lock needed.
const std::string& PackedFile::Path() const { return job_.path; }
bool PackedFile::Opened() const { return job_.opened; }
Archive::FileTime PackedFile::Time() const { return job_.time; }
uint32_t PackedFile::Size() const { return job_.size; }

Error PackedFile::Failure() const {
  const std::lock_guard lock(shared_->mutex);
  return job_.failure;
}

bool PackedFile::NextBlock(PackedBlock& block) {
  Packer::Shared& s = *shared_;
  std::unique_lock lock(s.mutex);
  const auto arrived = [&] {
    if (!job_.blocks.empty()) return job_.blocks.front().done;
    return job_.broken || job_.issued == job_.blockCount;
  };
  s.changed.wait(lock, [&] { return s.error || s.stopping || arrived(); });
  if (s.error) std::rethrow_exception(s.error);
  if (job_.blocks.empty() || !job_.blocks.front().done) return false;
  Block taken = std::move(job_.blocks.front());
  job_.blocks.pop_front();
  --s.inFlight;
  lock.unlock();
  s.changed.notify_all();
  if (!taken.ok) {
    const std::lock_guard relock(s.mutex);
    job_.failure = std::move(taken.error);
    return false;
  }
  block = std::move(taken.packed);
  return true;
}

}  // namespace GAME
