// RunInOrder: work on many entries at once while reporting them one by one
// in index order, as a loop over the entries would.
#pragma once

#include <condition_variable>
#include <exception>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

namespace tool {

// Runs work(i) for i = 0, 1, ... below count on `workers` threads and calls
// report(i, result) on the calling thread in index order, each once work(i)
// and every report before it are done. Items are handed out in order and at
// most `ahead` beyond the last one reported. stop() is asked before each
// item is handed out; once it is true no further item starts, and the items
// already in hand finish and are reported. An exception from work or report
// ends the run after the workers have stopped, and is raised again here.
template <class Result>
void RunInOrder(unsigned count, unsigned workers, unsigned ahead,
                const std::function<bool()>& stop, const std::function<Result(unsigned)>& work,
                const std::function<void(unsigned, Result&)>& report) {
  std::mutex lock;
  // Each side is woken only when the other has something for it: the
  // workers when the window moved while some of them wait, the reporter once
  // a run of results (or the last ones) can go out, so neither is woken once
  // per item.
  std::condition_variable forWorkers;
  std::condition_variable forReporter;
  unsigned workersWaiting = 0;
  bool reporterWaiting = false;
  std::vector<std::optional<Result>> done(ahead);  // item i in done[i % ahead]
  unsigned handed = 0;
  unsigned reported = 0;
  bool stopped = false;
  std::exception_ptr error;
  const unsigned run = ahead > 1 ? ahead / 2 : 1;  // results the reporter waits for

  const auto finished = [&](unsigned i) { return i < handed && done[i % ahead].has_value(); };
  // Under the lock: whether the reporter has work.
  const auto reporterMayGo = [&] {
    if (error || (reported == handed && (stopped || handed == count))) return true;
    if (!finished(reported)) return false;
    const unsigned last = reported + run - 1;
    return stopped || last >= count || finished(last);
  };
  const auto endAll = [&] {  // under the lock
    stopped = true;
    forWorkers.notify_all();
    forReporter.notify_all();
  };

  const auto workLoop = [&] {
    for (;;) {
      unsigned i;
      {
        std::unique_lock<std::mutex> hold(lock);
        ++workersWaiting;
        forWorkers.wait(hold,
                        [&] { return stopped || handed == count || handed < reported + ahead; });
        --workersWaiting;
        if (stopped || handed == count) {
          if (reporterWaiting) forReporter.notify_all();
          return;
        }
        if (stop()) {
          endAll();
          return;
        }
        i = handed++;
      }
      std::optional<Result> result;
      try {
        result.emplace(work(i));
      } catch (...) {
        const std::lock_guard<std::mutex> hold(lock);
        if (!error) error = std::current_exception();
        endAll();
        return;
      }
      const std::lock_guard<std::mutex> hold(lock);
      done[i % ahead] = std::move(result);
      if (reporterWaiting && reporterMayGo()) forReporter.notify_all();
    }
  };

  std::vector<std::jthread> threads;
  const auto finish = [&] {
    {
      const std::lock_guard<std::mutex> hold(lock);
      endAll();
    }
    threads.clear();  // joins
  };
  try {
    for (unsigned w = 0; w < workers; ++w) threads.emplace_back(workLoop);
    for (;;) {
      std::optional<Result> result;
      {
        std::unique_lock<std::mutex> hold(lock);
        if (!finished(reported)) {
          reporterWaiting = true;
          forReporter.wait(hold, reporterMayGo);
          reporterWaiting = false;
        }
        if (error || !finished(reported)) break;
        result = std::move(done[reported % ahead]);
        done[reported % ahead].reset();
        ++reported;
        if (workersWaiting > 0) forWorkers.notify_all();
      }
      report(reported - 1, *result);
    }
  } catch (...) {
    finish();
    throw;
  }
  finish();
  if (error) std::rethrow_exception(error);
}

}  // namespace tool
