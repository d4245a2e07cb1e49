// The numbered backups of a log file: shift, retention by count, age and
// total size, and the copy of a pinned active file.
#include "logging/internal/backup_set.h"

#include <algorithm>
#include <cstdio>
#include <ctime>

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
  const fs::path dir = anchored.parent_path();
  listing_ = platform::listingOf(dir.empty() ? fs::path(".").native() : dir.native());
  stem_ = anchored.filename().native();
  for (const CompressionCodec codec : kCodecs) {
    for (const char* c = compressedSuffix(codec); *c != '\0'; ++c) {
      suffixes_[static_cast<int>(codec)] += static_cast<fs::path::value_type>(*c);
    }
  }
  for (auto& kinds : kinds_) kinds.assign(count, EntryKind::Absent);
  if (!policy_.compressBackups) return;
  temps_.reserve(count);
  for (int n = 0; n <= policy_.maxBackups; ++n) {
    temps_.push_back(zipped(n));
    for (const char c : {'.', 't', 'm', 'p'}) temps_.back() += static_cast<fs::path::value_type>(c);
  }
}

void BackupSet::survey() noexcept {
  for (auto& kinds : kinds_) std::fill(kinds.begin(), kinds.end(), EntryKind::Absent);
  // A directory crowded with other files costs more to list than the set's
  // names cost to query one by one.
  const std::size_t limit = 64 + 4 * kinds_.size() * kinds_[0].size();
  if (platform::listEntries(listing_.c_str(), limit, &BackupSet::noteEntry, this)) return;
  const auto names = allNames();
  for (std::size_t set = 0; set < names.size(); ++set) {
    for (int n = 1; n <= policy_.maxBackups; ++n) {
      kinds_[set][n] = platform::entryKind((*names[set])[n].c_str());
    }
  }
}

void BackupSet::noteEntry(void* context, const platform::NativeChar* name, std::size_t length,
                          EntryKind kind) noexcept {
  BackupSet& set = *static_cast<BackupSet*>(context);
  // "<stem>.<n>", n from 1 to maxBackups without leading zeros, then
  // nothing or a codec's suffix: exactly the names the set would query.
  const std::size_t stem = set.stem_.size();
  if (length < stem + 2 || name[stem] != '.' || name[stem + 1] == '0' ||
      !platform::sameEntryName(name, set.stem_.c_str(), stem)) {
    return;
  }
  std::size_t at = stem + 1;
  int n = 0;
  for (; at < length && name[at] >= '0' && name[at] <= '9'; ++at) {
    n = n * 10 + (name[at] - '0');
    if (n > set.policy_.maxBackups) return;
  }
  if (n == 0) return;
  const std::size_t rest = length - at;
  if (rest == 0) {
    set.kinds_[0][n] = kind;
    return;
  }
  for (std::size_t codec = 0; codec < set.suffixes_.size(); ++codec) {
    const platform::NativeString& suffix = set.suffixes_[codec];
    if (suffix.size() == rest && platform::sameEntryName(name + at, suffix.c_str(), rest)) {
      set.kinds_[1 + codec][n] = kind;
    }
  }
}

EntryKind BackupSet::kindAt(int n) const noexcept {
  for (const auto& kinds : kinds_) {
    if (kinds[n] != EntryKind::Absent) return kinds[n];
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
  survey();
  const int obstacle = firstObstacle(true);
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

int BackupSet::lastCompressible() const noexcept {
  // Asked by the compressor while rotations go on: the disk, not the survey.
  const int obstacle = firstObstacle(false);
  return obstacle > 0 ? obstacle - 1 : policy_.maxBackups;
}

void BackupSet::finishCompression(bool renamed) const noexcept {
  if (policy_.maxTotalBytes > 0) capTotal();
  // Synced if a compressed file took its name, or a backup may have gone.
  if (policy_.syncRotations && (renamed || policy_.maxTotalBytes > 0)) {
    platform::syncDirectoryOf(names_[0].c_str());
  }
}

void BackupSet::lookForCompression() noexcept {
  // Compression begins at ".2": ".1" stays plain for writers that still
  // have it open.
  if (compressed() || policy_.maxBackups < 2) return;
  for (const auto& names : packed_) {
    compressionSeen_ =
        compressionSeen_ || platform::entryKind(names[2].c_str()) == EntryKind::Regular;
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

int BackupSet::firstObstacle(bool surveyed) const noexcept {
  const auto names = allNames();
  for (int n = 1; n <= policy_.maxBackups; ++n) {
    for (std::size_t set = 0; set < names.size(); ++set) {
      const EntryKind kind =
          surveyed ? kinds_[set][n] : platform::entryKind((*names[set])[n].c_str());
      if (kind == EntryKind::Other) return n;
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
  const auto names = allNames();
  for (std::size_t set = 0; set < names.size(); ++set) {
    if (kinds_[set][from] == EntryKind::Absent) continue;
    const platform::NativeString& name = (*names[set])[from];
    const platform::ErrorCode failure = platform::renameNoReplace(
        name.c_str(), (*names[set])[from + 1].c_str(), policy_.syncRotations);
    // A backup that went since the survey has nothing left to move.
    if (failure != 0 && platform::entryKind(name.c_str()) != EntryKind::Absent) {
      refused(from, failure, set == 0 ? "" : suffixOf(*names[set]));
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
