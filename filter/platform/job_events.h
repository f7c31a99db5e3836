// JobEvents: what every thread of one job shares at the lowest level — the
// job's number and message stream for trace lines, its cancel state, and the
// one wake-up every wait of the job sleeps on.
//
// A waiter sleeps at most its interval, but wakes as soon as any thread
// reports a change with Notify(); so intervals are upper bounds, not the
// pace. Several jobs can run in one process, each with its own JobEvents.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>

#include "trace.h"

// Called from the SIGTERM handler: the only process-wide cancel, since a
// signal handler can reach nothing that belongs to a job. Async-signal-safe.
void NoteTermSignal();

class JobEvents {
 public:
  // The job counts a SIGTERM only from its own start on: the count of
  // signals seen so far is taken here, before any handler of the job exists,
  // and a later signal can never be cleared away.
  explicit JobEvents(FILE* err = stderr);
  JobEvents(const JobEvents&) = delete;
  JobEvents& operator=(const JobEvents&) = delete;

  TraceTarget trace;  // job number and message stream of the job's trace lines

  // Printer error: the page loop holds while nonzero. Whoever changes it
  // calls Notify() afterwards.
  std::atomic<int> errorSuspend{0};

  FILE* Err() const { return trace.err; }

  // True once the job is cancelled (by its own threads or by SIGTERM).
  bool Cancelled() const;
  // Cancels the job and wakes every waiter.
  void Cancel();

  // Wakes every waiter; call after storing a value some thread may wait on.
  void Notify();

  // Makes a change under the wake-up lock and wakes every waiter before
  // the lock is released: for a thread's last touch of a job that may be
  // gone as soon as a waiter sees the change.
  template <typename Change>
  void ChangeAndNotify(Change change) {
    std::lock_guard<std::mutex> lock(mutex_);
    change();
    wake_.notify_all();
  }

  // Sleeps until done() holds or upper has passed; returns done().
  template <typename Pred>
  bool WaitFor(std::chrono::milliseconds upper, Pred done) {
    std::unique_lock<std::mutex> lock(mutex_);
    return wake_.wait_for(lock, upper, done);
  }

 private:
  std::atomic<int> cancel_{0};
  unsigned termBase_;  // SIGTERMs seen before the job started
  std::mutex mutex_;
  std::condition_variable wake_;
};
