// The packing pipeline: jobs (one per submitted file) in submission order,
// worker threads that open files and read and compress their blocks, and the
// hand-over of blocks to the placing thread in order.
//
// Blocks are issued strictly in submission order, so the blocks in flight
// are always the oldest ones the placing thread has not taken; with a cap on
// them and on the files opened ahead, memory and descriptors stay bounded.
// A file of one block is read and compressed by the worker that opens it,
// in the same task: its block is outside that cap but bounded by the files
// opened ahead.
//
// Wake-ups cost more than the work of a small file, so they are kept few:
// workers and the placing thread wait on conditions of their own, a worker
// is woken only for work that came up, and a placing thread waiting for the
// next file only once a run of files is ready (or nothing else can come).
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
  bool counted = true;  // among the blocks in flight (not read at opening)
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
  std::condition_variable work;    // workers wait here for tasks
  std::condition_variable placed;  // the placing thread waits here
  std::list<Job> jobs;  // submission order; a job leaves once released and idle
  size_t inFlight = 0;
  bool stopping = false;
  std::exception_ptr error;
  // The placing thread waits for the oldest job not taken: it is woken
  // once that many jobs from there on are ready.
  size_t placerWants = 0;  // 0: not waiting for a job
  bool placerWaitsForBlock = false;

  // A job's opening (block null) or one of its blocks.
  struct Task {
    Job* job;
    Block* block;
    uint32_t index;
  };

  std::optional<Task> TakeTask();
  void Settle(Job& job);
  void Work();
  // Under the lock: how many jobs from the oldest not taken on are ready,
  // counting up to limit.
  size_t ReadyRun(size_t limit) const;
  // Under the lock, after a job became ready: wakes the placing thread
  // when what it waits for is there.
  void WakePlacer();
  // Under the lock: whether a task is there for a worker; with batch,
  // whether that many files are there to open (a wake-up for less would
  // cost more than it gains while the workers are ahead).
  bool WorkWaiting(size_t batch) const;
  void Fail(std::exception_ptr e);
};

namespace {

// The placing thread is woken when this many jobs are ready (or as many as
// there are): one wake-up serves a run of small files.
constexpr size_t kReadyRun = 8;
// Idle workers are woken for new files once this many can be opened.
constexpr size_t kOpenBatch = 4;

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

// Reads block index of the job's file (open as source) and compresses it;
// false when the read came up short or zlib failed.
bool PackBlock(const platform::FileSystem& fs, int level, const PackedFile::Job& job,
               const platform::File& source, uint32_t index, std::vector<unsigned char>& input,
               PackedBlock& out, Error& error) {
  const uint64_t offset = uint64_t(index) * format::kBlockSize;
  const auto length = static_cast<uint32_t>(std::min<uint64_t>(format::kBlockSize,
                                                               job.size - offset));
  input.resize(length);
  const platform::IoResult read = fs.ReadAt(source.Handle(), offset, input.data(), length);
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

size_t Packer::Shared::ReadyRun(size_t limit) const {
  size_t run = 0;
  for (const Job& job : jobs) {
    if (job.taken) continue;
    if (job.stage != Job::Stage::Ready || run == limit) break;
    ++run;
  }
  return run;
}

void Packer::Shared::WakePlacer() {
  if (placerWants > 0 && ReadyRun(placerWants) == placerWants) {
    placerWants = 0;
    placed.notify_one();
  }
}

bool Packer::Shared::WorkWaiting(size_t batch) const {
  if (inFlight < maxInFlight) {
    for (const Job& job : jobs) {
      if (job.released) continue;
      if (job.stage != Job::Stage::Ready) break;
      if (!job.broken && job.issued < job.blockCount) return true;
    }
  }
  size_t position = 0, openable = 0;
  for (const Job& job : jobs) {
    if (job.taken) continue;
    if (position++ == openAhead) break;
    if (job.stage == Job::Stage::Waiting && ++openable == batch) return true;
  }
  return false;
}

void Packer::Shared::Fail(std::exception_ptr e) {
  if (!error) error = std::move(e);
  work.notify_all();
  placed.notify_all();
}

// After a worker left the job: closes its file once nothing more will be
// read, and drops the job once its PackedFile is gone too.
void Packer::Shared::Settle(Job& job) {
  if (job.busy > 0) return;
  if (job.broken || job.released || job.issued == job.blockCount) job.source.Reset();
  if (job.released) {
    size_t counted = 0;
    for (const Block& block : job.blocks) counted += block.counted;
    if (counted > 0 && inFlight == maxInFlight) work.notify_all();
    inFlight -= counted;
    jobs.erase(job.self);
  }
}

void Packer::Shared::Work() {
  std::vector<unsigned char> input;
  std::unique_lock lock(mutex);
  try {
    for (;;) {
      std::optional<Task> task;
      work.wait(lock, [&] { return stopping || error || (task = TakeTask()); });
      if (!task) return;
      Job& job = *task->job;
      lock.unlock();
      if (task->block == nullptr) {
        // The job is this worker's until Ready: a file of one block is read,
        // compressed and closed here as well.
        platform::File source;
        OpenJob(fs, job, source);
        std::optional<Block> only;
        if (job.opened && job.blockCount == 1) {
          only.emplace();
          only->ok = PackBlock(fs, level, job, source, 0, input, only->packed, only->error);
          only->done = true;
          only->counted = false;
          source.Reset();
        }
        lock.lock();
        job.source = std::move(source);
        job.stage = Job::Stage::Ready;
        if (only) {
          job.issued = 1;
          job.broken = !only->ok;
          job.blocks.push_back(std::move(*only));
        }
        if (WorkWaiting(kOpenBatch)) work.notify_all();  // blocks that can be taken now
        WakePlacer();
      } else {
        PackedBlock packed;
        Error error;
        const bool ok = PackBlock(fs, level, job, job.source, task->index, input, packed, error);
        lock.lock();
        *task->block = Block{true, ok, true, std::move(packed), std::move(error)};
        if (!ok) job.broken = true;
        if (placerWaitsForBlock) placed.notify_one();
      }
      --job.busy;
      Settle(job);
    }
  } catch (...) {
    if (!lock.owns_lock()) lock.lock();
    Fail(std::current_exception());
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
  shared_->work.notify_all();
  shared_->placed.notify_all();
  for (std::thread& worker : workers_) worker.join();
  workers_.clear();
}

void Packer::Submit(const std::string& path) {
  const std::lock_guard lock(shared_->mutex);
  PackedFile::Job& job = shared_->jobs.emplace_back();
  job.self = std::prev(shared_->jobs.end());
  job.path = path;
  if (shared_->WorkWaiting(kOpenBatch)) shared_->work.notify_one();
}

std::unique_ptr<PackedFile> Packer::Next() {
  Shared& s = *shared_;
  std::unique_lock lock(s.mutex);
  const auto job = std::find_if(s.jobs.begin(), s.jobs.end(),
                                [](const PackedFile::Job& j) { return !j.taken; });
  if (job == s.jobs.end()) return nullptr;
  if (!s.error && job->stage != PackedFile::Job::Stage::Ready) {
    // Woken once a run of jobs is ready: as many as may be opened ahead,
    // at most kReadyRun, at least the oldest.
    const size_t waiting = static_cast<size_t>(
        std::count_if(job, s.jobs.end(), [](const PackedFile::Job& j) { return !j.taken; }));
    s.placerWants = std::min({kReadyRun, s.openAhead, waiting});
    s.work.notify_all();  // whatever is there to do, the placing thread waits for it
    s.placed.wait(lock, [&] {
      return s.error || (s.placerWants == 0 && job->stage == PackedFile::Job::Stage::Ready);
    });
    s.placerWants = 0;
  }
  if (s.error) std::rethrow_exception(s.error);
  job->taken = true;
  if (s.WorkWaiting(kOpenBatch)) s.work.notify_one();  // more jobs may be opened ahead
  lock.unlock();
  return std::make_unique<PackedFile>(shared_, *job);
}

PackedFile::PackedFile(std::shared_ptr<Packer::Shared> shared, Job& job)
    : shared_(std::move(shared)), job_(job) {}

PackedFile::~PackedFile() {
  const std::lock_guard lock(shared_->mutex);
  job_.released = true;
  shared_->Settle(job_);
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
  if (!arrived()) {
    s.placerWaitsForBlock = true;
    s.work.notify_all();
    s.placed.wait(lock, [&] { return s.error || s.stopping || arrived(); });
    s.placerWaitsForBlock = false;
  }
  if (s.error) std::rethrow_exception(s.error);
  if (job_.blocks.empty() || !job_.blocks.front().done) return false;
  Block taken = std::move(job_.blocks.front());
  job_.blocks.pop_front();
  const bool freed = taken.counted && s.inFlight-- == s.maxInFlight;
  lock.unlock();
  if (freed) s.work.notify_all();
  if (!taken.ok) {
    const std::lock_guard relock(s.mutex);
    job_.failure = std::move(taken.error);
    return false;
  }
  block = std::move(taken.packed);
  return true;
}

}  // namespace GAME
