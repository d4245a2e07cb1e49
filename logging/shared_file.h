// How the writers of one file keep out of each other's lines: bounded waits
// for a file lock, and the ends of lines that a cut or a dead writer left
// open. Internal header: not installed.
#ifndef VELMOR_LOGGING_SHARED_FILE_H_
#define VELMOR_LOGGING_SHARED_FILE_H_

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <mutex>

#include "logging/platform.h"

namespace velmor::common::detail {

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

// Takes a lock of `file` with `take` (AppendFile::tryLock or
// tryLockForAppend); true once it is held. A busy lock is tried again for
// `wait` at most, with `lock` (the process-wide mutex) let go between tries
// after a short spin, so that the sinks of other files carry on. A lock
// that outlasted the wait is remembered in `busyUntil` for kLockMemory
// waits: meanwhile a call spins for `whileBusy` at most (by default nothing
// but one try), and the first try that succeeds forgets it. So a stranger's
// lock (`flock app.log sleep 60`) costs a wait a second or so, and next to
// nothing per call. `letGo`, if given, is set when `lock` was let go: the
// file may have been rotated away from its name since.
bool takeFileLock(std::unique_lock<std::mutex>& lock, platform::AppendFile& file,
                  platform::LockResult (platform::AppendFile::*take)(), LockMemory& busyUntil,
                  bool* letGo = nullptr,
                  std::chrono::microseconds whileBusy = std::chrono::microseconds(0),
                  std::chrono::milliseconds wait = std::chrono::milliseconds(kFileLockWaitMs));

// The end of a line that reached a file only in part (disk full, file size
// limit, a reader that left): the next line written to that file must not
// continue it.
struct Fragment {
  platform::FileId file;
  std::uint64_t end = 0;  // A regular file's size just after the partial write.
};

// The cut lines the process knows of, one per file, in a fixed table so that
// remembering one never allocates. When more files than that are cut at
// once, the oldest record gives way (that file's next line may then follow
// its fragment directly).
class FragmentTable {
 public:
  bool empty() const noexcept { return used_ == 0; }
  // The record of `file`, or null.
  const Fragment* find(const platform::FileId& file) const noexcept;
  void remember(const Fragment& fragment) noexcept;
  void forget(const platform::FileId& file) noexcept;

 private:
  static constexpr std::size_t kSize = 8;
  void forgetAt(std::size_t i) noexcept;
  Fragment records_[kSize];  // Oldest first.
  std::size_t used_ = 0;
};

// The files, by a sink's active name, whose crossing of the threshold a
// thread of the process is deciding, in a fixed table so that marking one
// never allocates. Not thread-safe: guarded by the caller's mutex.
class DecidingTable {
 public:
  // Whether `name` is marked.
  bool has(const platform::NativeString& name) const noexcept;
  // Marks `name`, which must outlive the mark; false if the table is full
  // (the bound per process then may not hold for threads).
  bool mark(const platform::NativeString& name) noexcept;
  void unmark(const platform::NativeString& name) noexcept;

 private:
  static constexpr std::size_t kSize = 16;
  const platform::NativeString* marked_[kSize] = {};
  std::size_t used_ = 0;
};

// Whether the regular file open in `file`, found in `state`, ends inside a
// line that nobody is writing any more (a writer killed in mid-line): then
// the next line must begin with a LF. A file ending in LF, an empty or an
// unreadable one says no, and so does an end that moves once the writes in
// progress are done (another process's long write seen half-way). `state`
// is updated to what was seen last. Costs an open and a read of one byte.
bool endsInsideDeadLine(const platform::AppendFile& file, platform::FileState& state);

}  // namespace velmor::common::detail

#endif  // VELMOR_LOGGING_SHARED_FILE_H_
