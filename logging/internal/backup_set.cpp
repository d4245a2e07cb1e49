// The numbered backups of a log file: shift, retention by count, age and
// total size, and the copy of a pinned active file.
#include "logging/internal/backup_set.h"

#include <chrono>
#include <cstdio>
#include <ctime>
#include <string_view>
#include <thread>

#include "logging/internal/compressor.h"

namespace velmor::common::internal {
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

// Raises `barrier`, waiting kFileLockWaitMs at most for the appends in
// progress (each takes microseconds); true also where there is no barrier
// to raise (no such locks), as nothing better can be done there.
bool raise(platform::AppendBarrier& barrier) noexcept {
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(kFileLockWaitMs);
  platform::LockResult result = barrier.tryTake();
  while (result == platform::LockResult::Busy && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    result = barrier.tryTake();
  }
  return result != platform::LockResult::Busy;
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
  // The compressed names of every codec are part of the set whatever this
  // sink's own policy: another writer of the file may compress, and a sink
  // that did not look at them would shift plain files in beside them and
  // past them.
  for (const CompressionCodec codec : kCodecs) {
    auto& names = packed_[static_cast<int>(codec)];
    names.reserve(count);
    for (int n = 0; n <= policy_.maxBackups; ++n) {
      names.push_back(names_[n]);
      for (const char* c = compressedSuffix(codec); *c != '\0'; ++c) {
        names.back() += static_cast<fs::path::value_type>(*c);
      }
    }
  }
  if (!policy_.compressBackups) return;
  temps_.reserve(count);
  for (int n = 0; n <= policy_.maxBackups; ++n) {
    temps_.push_back(zipped(n));
    for (const char c : {'.', 't', 'm', 'p'}) temps_.back() += static_cast<fs::path::value_type>(c);
  }
}

EntryKind BackupSet::kindAt(int n) const noexcept {
  for (const auto* names : allNames()) {
    const EntryKind kind = platform::entryKind((*names)[n].c_str());
    if (kind != EntryKind::Absent) return kind;
  }
  return EntryKind::Absent;
}

void BackupSet::remove(int n) const noexcept {
  for (const auto* names : allNames()) {
    if (platform::entryKind((*names)[n].c_str()) == EntryKind::Regular) {
      platform::removeFile((*names)[n].c_str());
    }
  }
}

//   backups too old: deleted
//   .N (deleted only if .1 to .N are all taken; N = maxBackups, or the
//       number below the lowest entry that is not a regular file)
//   .N-1 -> .N, ..., .1 -> .2 (present ones, below `top`)
//   active -> .1
//   the oldest above .1, while all backups exceed maxTotalBytes: deleted
//       (with compression, by compressBackups once it is done)
// With .1 free, the active rename is all that is left to do: whoever retries
// a refused rotation moves no backup a second time.
bool BackupSet::rotate(FileLocks& locks) noexcept {
  const bool moved = rotateSet(locks);
  // Renames and deletions outlive a power cut once the directory is synced.
  if (policy_.syncRotations) platform::syncDirectoryOf(names_[0].c_str());
  return moved;
}

bool BackupSet::rotateSet(FileLocks& locks) noexcept {
  if (policy_.maxBackupAge.count() > 0) {
    deleteOlderThan(std::time(nullptr) - static_cast<std::time_t>(policy_.maxBackupAge.count()));
  }
  // A directory, a link or a device among the numbers is never moved or
  // deleted: the set is the numbers below it.
  const int obstacle = firstObstacle();
  if (obstacle > 0) reportObstacle(obstacle);
  const int last = obstacle > 0 ? obstacle - 1 : policy_.maxBackups;
  if (last == 0) return moveActive(locks);  // Refused: ".1" is taken for good.
  const int top = freeNumber(last);
  for (int i = top - 1; i >= 1; --i) {
    if (kindAt(i) == EntryKind::Absent) continue;  // Gaps are skipped.
    if (!shift(i)) return false;
  }
  if (!moveActive(locks)) return false;
  resumeAt_ = kNone;
  // With compression the total is capped once the backups are compressed.
  if (policy_.maxTotalBytes > 0 && !policy_.compressBackups) capTotal();
  return true;
}

void BackupSet::compressBackups(FileLocks& locks) noexcept {
  const int obstacle = firstObstacle();
  const int last = obstacle > 0 ? obstacle - 1 : policy_.maxBackups;
  // Synced only if a plain backup was there to compress, or one may have
  // been deleted.
  bool changes = policy_.maxTotalBytes > 0;
  for (int n = 2; n <= last; ++n) {
    if (policy_.syncRotations && !changes) {
      changes = platform::entryKind(names_[n].c_str()) == EntryKind::Regular;
    }
    compress(n, locks);
  }
  if (policy_.maxTotalBytes > 0) capTotal();
  if (policy_.syncRotations && changes) platform::syncDirectoryOf(names_[0].c_str());
}

void BackupSet::lookForCompression() noexcept {
  // Compression begins at ".2": ".1" stays plain for writers that still
  // have it open.
  if (compressed() || policy_.maxBackups < 2) return;
  for (const auto& names : packed_) {
    compressionSeen_ = compressionSeen_ || platform::entryKind(names[2].c_str()) == EntryKind::Regular;
  }
}

int BackupSet::freeNumber(int last) noexcept {
  if (kindAt(1) == EntryKind::Absent) return 1;
  // An interrupted rotation's number, while it is still free.
  if (resumeAt_ != kNone && resumeAt_ <= last && kindAt(resumeAt_) == EntryKind::Absent) {
    return resumeAt_;
  }
  // A fresh rotation: the disk no longer agrees with the hint, if any.
  int top = last;
  while (top >= 1 && kindAt(top) != EntryKind::Absent) --top;
  if (top > 0) return top;
  // Every number is taken: the oldest backup is the one thing rotation may
  // drop.
  remove(last);
  return last;
}

int BackupSet::firstObstacle() const noexcept {
  for (int n = 1; n <= policy_.maxBackups; ++n) {
    for (const auto* names : allNames()) {
      if (platform::entryKind((*names)[n].c_str()) == EntryKind::Other) return n;
    }
  }
  return 0;
}

void BackupSet::reportObstacle(int n) noexcept {
  if (obstacleWarned_) return;
  obstacleWarned_ = true;
  const char* suffix = "";
  for (const CompressionCodec codec : kCodecs) {
    if (platform::entryKind(packed_[static_cast<int>(codec)][n].c_str()) == EntryKind::Other) {
      suffix = compressedSuffix(codec);
    }
  }
  if (platform::entryKind(names_[n].c_str()) == EntryKind::Other) suffix = "";
  std::fprintf(stderr,
               "[velmor-log-rotation] %s%s is not a regular file: it is never moved or deleted, "
               "and backups are kept below it. (one-shot warning)\n",
               shown_[n].c_str(), suffix);
}

void BackupSet::deleteOlderThan(std::time_t cutoff) const noexcept {
  for (int n = 1; n <= policy_.maxBackups; ++n) {
    for (const auto* names : allNames()) {
      const platform::EntryInfo info = platform::entryInfo((*names)[n].c_str());
      if (info.kind == EntryKind::Regular && info.modified < cutoff) {
        platform::removeFile((*names)[n].c_str());
      }
    }
  }
}

std::uint64_t BackupSet::bytesAt(int n) const noexcept {
  // Zero for all but regular files.
  std::uint64_t bytes = 0;
  for (const auto* names : allNames()) bytes += platform::entryInfo((*names)[n].c_str()).size;
  return bytes;
}

void BackupSet::capTotal() const noexcept {
  std::uint64_t total = 0;
  for (int n = 1; n <= policy_.maxBackups; ++n) total += bytesAt(n);
  for (int n = policy_.maxBackups; n >= 2 && total > policy_.maxTotalBytes; --n) {
    const std::uint64_t bytes = bytesAt(n);
    remove(n);
    total -= bytes - bytesAt(n);
  }
}

void BackupSet::compress(int n, FileLocks& locks) const noexcept {
  // Made only meanwhile: one found now was left by a writer that died.
  if (platform::entryKind(temps_[n].c_str()) == EntryKind::Regular) {
    platform::removeFile(temps_[n].c_str());
  }
  if (platform::entryKind(names_[n].c_str()) != EntryKind::Regular) return;
  platform::SourceFile plain(names_[n].c_str());
  platform::FileState source;
  if (!plain.isOpen() || !plain.state(source) || !source.regular) return;
  for (const CompressionCodec codec : kCodecs) {
    const platform::NativeString& name = packed_[static_cast<int>(codec)][n];
    const EntryKind kind = platform::entryKind(name.c_str());
    if (kind == EntryKind::Absent) continue;
    // A compressed file beside its plain file is either what a writer that
    // died before removing the plain one made from it (the plain file then
    // holds all of it and maybe more: made again), or an older backup that
    // a writer without compression shifted a plain file in beside. That one
    // is kept, and so is the plain file, as it is: the number holds both.
    if (kind == EntryKind::Other || !isCompressedPrefix(name, codec, plain)) return;
    platform::removeFile(name.c_str());
  }
  // Up from the last read of the plain file to its removal: a writer that
  // opened it while it was the active file appends either before, and is
  // copied, or after, and finds it removed.
  platform::AppendBarrier barrier(names_[n].c_str(), source.id);
  std::int64_t taken = -1;
  {
    platform::NewFile out(temps_[n].c_str(), plain);
    if (!out.isOpen()) return;
    // The slow part, without the process-wide lock: sinks of other files
    // go on meanwhile (this file's threads hold back their lines).
    taken = locks.withoutProcessLock([&]() -> std::int64_t {
      const std::int64_t compressed =
          compressFile(plain, out, policy_.codec, policy_.compressionLevel);
      if (compressed < 0 || !out.finish(source.modified)) return -1;
      // A writer that holds the barrier off longer is stalled: the file
      // stays as it is for now, to be compressed at a later rotation.
      return raise(barrier) ? compressed : -1;
    });
  }
  // Complete and on disk before it takes its final name, and the plain file
  // goes only then.
  if (taken < 0 || platform::renameNoReplace(temps_[n].c_str(), zipped(n).c_str(),
                                             policy_.syncRotations) != 0) {
    platform::removeFile(temps_[n].c_str());
    return;
  }
  platform::removeFile(names_[n].c_str());
  // Lines appended since it was read go to the active file rather than
  // vanish with the removed one.
  platform::FileState now;
  if (!plain.state(now) || now.size <= static_cast<std::uint64_t>(taken)) return;
  if (!locks.takeAppendLock(true)) return;
  char late[16 * 1024];
  for (auto at = static_cast<std::uint64_t>(taken);;) {
    const std::int64_t got = plain.readAt(at, late, sizeof(late));
    if (got <= 0) break;
    const std::string_view piece(late, static_cast<std::size_t>(got));
    if (locks.file().append(&piece, 1, false) != piece.size()) break;
    at += static_cast<std::uint64_t>(got);
  }
  locks.releaseAppendLock();
}

bool BackupSet::isCompressedPrefix(const platform::NativeString& name, CompressionCodec codec,
                                   const platform::SourceFile& plain) const noexcept {
  // Closed again before anything is removed: on Windows a deleted file
  // keeps its name while a handle to it is open.
  const platform::SourceFile made(name.c_str());
  return made.isOpen() && compressedPrefixOf(made, plain, codec);
}

bool BackupSet::moveActive(FileLocks& locks) noexcept {
  // Its lines on disk before its new name is: a backup is never a name over
  // a file of zeros.
  if (policy_.syncRotations) locks.file().syncData();
  const platform::ErrorCode failure =
      platform::renameNoReplace(names_[0].c_str(), names_[1].c_str(), policy_.syncRotations);
  if (failure == 0) return true;
  if (policy_.copyWhenPinned && platform::isPinnedError(failure) && locks.takeAppendLock(true)) {
    const platform::ErrorCode copyFailure = locks.file().copyToAndEmpty(names_[1].c_str());
    locks.releaseAppendLock();
    if (copyFailure == 0) return true;
  }
  refused(0, failure, "");
  return false;
}

bool BackupSet::shift(int from) noexcept {
  // Never onto an existing file: a stale plan, another sink's rotation or a
  // stranger's file at the destination must not cost a byte. A number may
  // hold its plain file, a compressed one or (after a crash) both: each
  // moves.
  for (const auto* names : allNames()) {
    if (platform::entryKind((*names)[from].c_str()) == EntryKind::Absent) {
      continue;
    }
    const platform::ErrorCode failure = platform::renameNoReplace(
        (*names)[from].c_str(), (*names)[from + 1].c_str(), policy_.syncRotations);
    if (failure != 0) {
      refused(from, failure, names == &names_ ? "" : suffixOf(*names));
      return false;
    }
  }
  return true;
}

void BackupSet::refused(int from, platform::ErrorCode error, const char* suffix) noexcept {
  resumeAt_ = from + 1;
  if (warned_) return;
  warned_ = true;
  // One text on every platform, naming the Windows call, so that whatever
  // watches for it needs one pattern; on POSIX the code is rename's errno.
  std::fprintf(stderr,
               "[velmor-log-rotation] MoveFileExW(%s%s -> %s%s) failed (GetLastError=%lu); "
               "log will continue at oversize. (one-shot warning)\n",
               from == 0 ? "active" : shown_[from].c_str(), suffix,
               from == 0 ? ".1" : shown_[from + 1].c_str(), suffix, error);
}

}  // namespace velmor::common::internal
