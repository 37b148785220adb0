// The last failure of each thread on one archive object: const methods run
// on several threads at once, so each thread keeps its own, behind a lock
// that only failures and LastError() take.
#pragma once

#include <map>
#include <mutex>
#include <thread>

#include "archive/Error.h"

namespace platform {
class FileSystem;
}

namespace GAME {

// The error of fs's last failed call on this thread: its cause mapped to a
// code (fallback when the cause has none of its own), detail "what: system
// text". Call it right after the failed call.
Error SystemFailure(const platform::FileSystem& fs, ErrorCode fallback, const std::string& what);

class ErrorSlots {
 public:
  void Set(Error error) {
    const std::lock_guard lock(mutex_);
    byThread_[std::this_thread::get_id()] = std::move(error);
  }
  Error Get() const {
    const std::lock_guard lock(mutex_);
    const auto found = byThread_.find(std::this_thread::get_id());
    return found == byThread_.end() ? Error{} : found->second;
  }
  void Clear() {
    const std::lock_guard lock(mutex_);
    byThread_.erase(std::this_thread::get_id());
  }

 private:
  mutable std::mutex mutex_;
  std::map<std::thread::id, Error> byThread_;
};

}  // namespace GAME
