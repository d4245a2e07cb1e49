// Bounded file-lock waits, the tables of cut lines and of crossings being
// decided, and the check for a line that a dead writer left open.
#include "logging/shared_file.h"

#include <chrono>
#include <thread>

namespace velmor::common::detail {

using platform::LockResult;

bool takeFileLock(std::unique_lock<std::mutex>& lock, platform::AppendFile& file,
                  LockResult (platform::AppendFile::*take)(), LockMemory& busyUntil, bool* letGo,
                  std::chrono::microseconds whileBusy, std::chrono::milliseconds wait) {
  using Clock = std::chrono::steady_clock;
  LockResult result = (file.*take)();
  if (result == LockResult::Busy) {
    // Within the process a file lock is only ever held under the mutex, so a
    // lock found taken here is another process's: after a short spin, let
    // it go on meanwhile. Tries are frequent because other sinks' appends
    // take the lock for microseconds, and polling has no queue to wait in.
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
        if (known || asked || !file.heldBySink()) break;
        asked = true;
        deadline = start + std::chrono::milliseconds(kSinkLockWaitMs);
      }
      if (now < spin) {
        std::this_thread::yield();
      } else {
        if (letGo != nullptr) *letGo = true;
        lock.unlock();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        lock.lock();
      }
      result = (file.*take)();
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

const Fragment* FragmentTable::find(const platform::FileId& file) const noexcept {
  for (std::size_t i = 0; i < used_; ++i) {
    if (records_[i].file == file) return &records_[i];
  }
  return nullptr;
}

void FragmentTable::remember(const Fragment& fragment) noexcept {
  forget(fragment.file);
  if (used_ == kSize) forgetAt(0);
  records_[used_++] = fragment;
}

void FragmentTable::forget(const platform::FileId& file) noexcept {
  for (std::size_t i = 0; i < used_; ++i) {
    if (records_[i].file == file) return forgetAt(i);
  }
}

void FragmentTable::forgetAt(std::size_t i) noexcept {
  for (; i + 1 < used_; ++i) records_[i] = records_[i + 1];
  --used_;
}

bool DecidingTable::has(const platform::NativeString& name) const noexcept {
  if (used_ == 0) return false;
  for (const platform::NativeString* marked : marked_) {
    if (marked != nullptr && *marked == name) return true;
  }
  return false;
}

bool DecidingTable::mark(const platform::NativeString& name) noexcept {
  for (const platform::NativeString*& slot : marked_) {
    if (slot == nullptr) {
      slot = &name;
      ++used_;
      return true;
    }
  }
  return false;
}

void DecidingTable::unmark(const platform::NativeString& name) noexcept {
  for (const platform::NativeString*& slot : marked_) {
    if (slot == &name) {
      slot = nullptr;
      --used_;
      return;
    }
  }
}

bool endsInsideDeadLine(const platform::AppendFile& file, platform::FileState& state) {
  // A size seen in the middle of another process's write (the kernel grows
  // a file a page at a time) also ends inside a line: only an end that
  // stays where it is once every write in progress is done is a dead one.
  constexpr int kLooks = 8;
  for (int look = 0; look < kLooks; ++look) {
    if (state.size == 0) return false;
    const int last = file.byteAt(state.size - 1);
    if (last < 0 || last == '\n') return false;
    const std::uint64_t seen = state.size;
    file.waitForWritesInProgress();
    if (!file.state(state)) return false;
    if (state.size == seen) return true;
  }
  return false;  // Still growing: its writers are alive.
}

}  // namespace velmor::common::detail
