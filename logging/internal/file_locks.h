// The locks one append or rotation of a file holds, and the bounded waits
// that take them while the process-wide mutex lets other files' sinks go on.
#ifndef VELMOR_LOGGING_INTERNAL_FILE_LOCKS_H_
#define VELMOR_LOGGING_INTERNAL_FILE_LOCKS_H_

#include <chrono>
#include <mutex>

#include "logging/internal/platform.h"

namespace velmor::common::internal {

// How long a busy file lock is waited for. Any sink's own hold (an append on
// Windows, a rotation with a thousand backups) ends well within it; a lock
// held longer is a stranger's.
inline constexpr int kFileLockWaitMs = 50;
// How long a lock held by another sink (see AppendFile::heldBySink) is
// waited for: its holder may be descheduled on a loaded machine.
inline constexpr int kSinkLockWaitMs = 1000;
// How long an append waits for the append lock (Windows) the first time it
// finds it busy: a dropped line costs more than a wait.
inline constexpr int kAppendLockWaitMs = 1000;

// When a file lock last outlasted a whole wait: until then, a call spends
// only a short spin on it.
using LockMemory = std::chrono::steady_clock::time_point;
// How many waits long that memory lasts: a stranger's lock then costs one
// wait in so many.
inline constexpr int kLockMemory = 20;

// What a sink remembers of its file's locks between calls.
struct LockMemories {
  LockMemory rotation;  // The rotation lock (every OS).
  LockMemory append;    // The append lock (Windows).
};

// The locks of one open file, as one append or rotation takes them: the
// process-wide mutex (held on entry; let go only inside the waits below and
// in withoutProcessLock), then the file's rotation lock, then its append
// lock, never in another order. Lives for one pass over the open file.
//
// A busy file lock is tried again for a bounded time, with the process-wide
// mutex let go between tries after a short spin, so that the sinks of other
// files carry on. A lock that outlasted its wait is remembered for
// kLockMemory waits: meanwhile a call spins briefly at most, and the first
// try that succeeds forgets it. So a stranger's lock (`flock app.log sleep
// 60`) costs a wait now and then, and next to nothing per call.
class FileLocks {
 public:
  FileLocks(std::unique_lock<std::mutex>& process, platform::AppendFile& file,
            LockMemories& memories) noexcept
      : process_(process), file_(file), memories_(memories) {}

  platform::AppendFile& file() noexcept { return file_; }
  std::unique_lock<std::mutex>& processLock() noexcept { return process_; }

  // Takes the rotation lock, waiting kFileLockWaitMs at most (a second for
  // another sink's hold), one try while a stranger's hold is remembered.
  bool takeRotationLock() noexcept;
  // Takes the append lock (see AppendFile::tryLockForAppend: on POSIX at
  // once unless an AppendBarrier is up). The first wait is long, since a
  // dropped line costs more; a lock known to be a stranger's still gets a
  // millisecond of tries.
  bool takeAppendLock(bool shared) noexcept;
  void releaseAppendLock() noexcept { file_.unlockAppend(); }

  // Whether the process-wide mutex has been let go in a wait since this
  // object was made: the file may have been rotated away from its name.
  bool processLockReleased() const noexcept { return released_; }

  // Runs `work` without the process-wide mutex (a long step that holds
  // only the file's rotation lock), and takes the mutex back after it.
  template <typename Work>
  auto withoutProcessLock(Work&& work) {
    struct Relock {
      std::unique_lock<std::mutex>& lock;
      ~Relock() { lock.lock(); }
    };
    process_.unlock();
    const Relock relock{process_};
    return work();
  }

 private:
  template <typename Attempt>
  bool take(Attempt attempt, LockMemory& busyUntil, std::chrono::microseconds whileBusy,
            std::chrono::milliseconds wait) noexcept;

  std::unique_lock<std::mutex>& process_;
  platform::AppendFile& file_;
  LockMemories& memories_;
  bool released_ = false;
};

}  // namespace velmor::common::internal

#endif  // VELMOR_LOGGING_INTERNAL_FILE_LOCKS_H_
