// Bounded waits for a file's rotation and append locks.
#include "logging/internal/file_locks.h"

#include <thread>

namespace velmor::common::internal {

using platform::LockResult;

bool FileLocks::takeRotationLock() noexcept {
  return take([this] { return file_.tryLock(); }, memories_.rotation, std::chrono::microseconds(0),
              std::chrono::milliseconds(kFileLockWaitMs));
}

bool FileLocks::takeAppendLock(bool shared) noexcept {
  return take([this, shared] { return file_.tryLockForAppend(shared); }, memories_.append,
              std::chrono::milliseconds(1), std::chrono::milliseconds(kAppendLockWaitMs));
}

template <typename Attempt>
bool FileLocks::take(Attempt attempt, LockMemory& busyUntil, std::chrono::microseconds whileBusy,
                     std::chrono::milliseconds wait) noexcept {
  using Clock = std::chrono::steady_clock;
  LockResult result = attempt();
  if (result == LockResult::Busy) {
    // Within the process a file lock is held under the mutex (a barrier
    // for a moment without it), so a lock found taken here is most likely
    // another process's: after a short spin, let it go on meanwhile. Tries are frequent because
    // other sinks' appends take the lock for microseconds, and polling has no queue to wait in.
    const auto start = Clock::now();
    const bool known = start < busyUntil;
    const auto spin = start + (known ? whileBusy : std::chrono::milliseconds(2));
    auto deadline = known ? spin : start + wait;
    bool asked = false;
    while (result == LockResult::Busy) {
      const auto now = Clock::now();
      if (now >= deadline) {
        // Another sink may be descheduled in the middle of its hold: that
        // one is worth a longer wait, a stranger's is not.
        if (known || asked || !file_.heldBySink()) break;
        asked = true;
        deadline = start + std::chrono::milliseconds(kSinkLockWaitMs);
      }
      if (now < spin) {
        std::this_thread::yield();
      } else {
        released_ = true;
        process_.unlock();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        process_.lock();
      }
      result = attempt();
    }
    // A lock that outlasted the wait is remembered for a while, not for
    // ever: busy writers can also outlast a wait now and then, and they must
    // not lose their waits for good.
    if (result == LockResult::Busy && !known) {
      const auto now = Clock::now();
      busyUntil = now + kLockMemory * (now - start);
    }
  }
  if (result == LockResult::Taken) busyUntil = {};
  return result == LockResult::Taken;
}

}  // namespace velmor::common::internal
