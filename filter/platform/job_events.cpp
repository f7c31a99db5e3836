// Job cancel state and wake-ups (see job_events.h).
#include "job_events.h"

namespace {

// SIGTERMs received by the process. Only ever counted up, so no job can
// lose a signal that arrived after it started.
std::atomic<unsigned> gTermSignals{0};
static_assert(std::atomic<unsigned>::is_always_lock_free, "the SIGTERM handler needs a lock-free counter");

}  // namespace

void NoteTermSignal() {
  gTermSignals.fetch_add(1, std::memory_order_acq_rel);
}

JobEvents::JobEvents(FILE* err) : termBase_(gTermSignals.load(std::memory_order_acquire)) {
  trace.err = err;
}

bool JobEvents::Cancelled() const {
  return cancel_.load(std::memory_order_acquire) != 0 ||
         gTermSignals.load(std::memory_order_acquire) != termBase_;
}

void JobEvents::Cancel() {
  cancel_.store(1, std::memory_order_release);
  Notify();
}

void JobEvents::Notify() {
  // Taking the lock orders the change before any waiter's next look, so a
  // waiter between its look and its sleep cannot miss the wake-up.
  { std::lock_guard<std::mutex> lock(mutex_); }
  wake_.notify_all();
}
