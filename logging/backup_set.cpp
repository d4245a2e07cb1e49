// The numbered backups of a log file: shift, retention by count, age and
// total size, and the copy of a pinned active file.
#include "logging/backup_set.h"

#include <cstdio>
#include <ctime>

namespace velmor::common::detail {
namespace {

namespace fs = std::filesystem;
using platform::EntryKind;

// Native name of file `n` of the log at `base`: `base` itself for 0,
// "<base>.<n>" otherwise.
platform::NativeString nameOf(const fs::path& base, int n) {
  platform::NativeString name = base.native();
  if (n > 0) {
    name += fs::path::value_type('.');
    for (const char digit : std::to_string(n)) name += static_cast<fs::path::value_type>(digit);
  }
  return name;
}

}  // namespace

BackupSet::BackupSet(const fs::path& path, const RotationPolicy& policy) : policy_(policy) {
  if (path.native().find(fs::path::value_type('\0')) != platform::NativeString::npos) return;
  // Anchored now, so that a later change of the working directory (a
  // daemon's chdir("/")) does not send the lines elsewhere.
  const fs::path anchored = platform::anchorPath(path);
  const auto count = static_cast<std::size_t>(policy_.maxBackups) + 1;
  names_.reserve(count);
  shown_.reserve(count);
  for (int n = 0; n <= policy_.maxBackups; ++n) {
    names_.push_back(nameOf(anchored, n));
    shown_.push_back(platform::displayPath(nameOf(path, n)));
  }
}

EntryKind BackupSet::kind(int n) const noexcept { return platform::entryKind(names_[n].c_str()); }

//   backups too old: deleted
//   .N (deleted only if .1 to .N are all taken; N = maxBackups)
//   .N-1 -> .N, ..., .1 -> .2 (present ones, below `top`)
//   active -> .1
//   the oldest above .1, while all backups exceed maxTotalBytes: deleted
// With .1 free, the active rename is all that is left to do: whoever retries
// a refused rotation moves no backup a second time.
bool BackupSet::rotate(std::unique_lock<std::mutex>& lock, platform::AppendFile& file,
                       LockMemory& appendBusy) noexcept {
  const int last = policy_.maxBackups;
  if (policy_.maxBackupAge.count() > 0) {
    deleteOlderThan(std::time(nullptr) - static_cast<std::time_t>(policy_.maxBackupAge.count()));
  }
  // Backups below `top` move up one number; `top` itself is free.
  int top = resumeAt_;
  if (kind(1) == EntryKind::Absent) {
    top = 1;
  } else if (top == kNone || kind(top) != EntryKind::Absent) {
    // A fresh rotation: the disk no longer agrees with the hint, if any.
    top = last;
    while (top >= 1 && kind(top) != EntryKind::Absent) --top;
    if (top == 0) {
      // Every number is taken: the oldest backup is the one thing rotation
      // may drop, and only if it is a file of ours to drop.
      if (kind(last) == EntryKind::Regular) platform::removeFile(names_[last].c_str());
      top = last;
    }
  }
  for (int i = top - 1; i >= 1; --i) {
    // Gaps are skipped. Anything but a regular file stays where it is; the
    // rename onto it below then fails, since renames never replace.
    if (kind(i) != EntryKind::Regular) continue;
    if (!shift(i)) return false;
  }
  if (!moveActive(lock, file, appendBusy)) return false;
  resumeAt_ = kNone;
  if (policy_.maxTotalBytes > 0) capTotal();
  return true;
}

void BackupSet::deleteOlderThan(std::time_t cutoff) const noexcept {
  for (int n = 1; n <= policy_.maxBackups; ++n) {
    const platform::EntryInfo info = platform::entryInfo(names_[n].c_str());
    if (info.kind == EntryKind::Regular && info.modified < cutoff) {
      platform::removeFile(names_[n].c_str());
    }
  }
}

void BackupSet::capTotal() const noexcept {
  std::uint64_t total = 0;
  for (int n = 1; n <= policy_.maxBackups; ++n) {
    total += platform::entryInfo(names_[n].c_str()).size;  // Zero for all but files.
  }
  for (int n = policy_.maxBackups; n >= 2 && total > policy_.maxTotalBytes; --n) {
    const platform::EntryInfo info = platform::entryInfo(names_[n].c_str());
    if (info.kind == EntryKind::Regular && platform::removeFile(names_[n].c_str()) == 0) {
      total -= info.size;
    }
  }
}

bool BackupSet::moveActive(std::unique_lock<std::mutex>& lock, platform::AppendFile& file,
                           LockMemory& appendBusy) noexcept {
  const platform::ErrorCode failure =
      platform::renameNoReplace(names_[0].c_str(), names_[1].c_str());
  if (failure == 0) return true;
  if (policy_.copyWhenPinned && platform::isPinnedError(failure) &&
      takeFileLock(lock, file, &platform::AppendFile::tryLockForAppend, appendBusy, nullptr,
                   std::chrono::milliseconds(1), std::chrono::milliseconds(kAppendLockWaitMs))) {
    const platform::ErrorCode copyFailure = file.copyToAndEmpty(names_[1].c_str());
    file.unlockAppend();
    if (copyFailure == 0) return true;
  }
  refused(0, failure);
  return false;
}

bool BackupSet::shift(int from) noexcept {
  // Never onto an existing file: a stale plan, another sink's rotation or a
  // stranger's file at the destination must not cost a byte.
  const platform::ErrorCode failure =
      platform::renameNoReplace(names_[from].c_str(), names_[from + 1].c_str());
  if (failure == 0) return true;
  refused(from, failure);
  return false;
}

void BackupSet::refused(int from, platform::ErrorCode error) noexcept {
  resumeAt_ = from + 1;
  if (warned_) return;
  warned_ = true;
  // One text on every platform, naming the Windows call, so that whatever
  // watches for it needs one pattern; on POSIX the code is rename's errno.
  std::fprintf(stderr,
               "[velmor-log-rotation] MoveFileExW(%s -> %s) failed (GetLastError=%lu); "
               "log will continue at oversize. (one-shot warning)\n",
               from == 0 ? "active" : shown_[from].c_str(),
               from == 0 ? ".1" : shown_[from + 1].c_str(), error);
}

}  // namespace velmor::common::detail
