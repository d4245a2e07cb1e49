// The numbered backups of one log file: the shift that makes room for the
// active file, compression, the pinned copy, and the rules that delete
// backups.
#ifndef VELMOR_LOGGING_INTERNAL_BACKUP_SET_H_
#define VELMOR_LOGGING_INTERNAL_BACKUP_SET_H_

#include <array>
#include <ctime>
#include <filesystem>
#include <string>
#include <vector>

#include "logging/internal/compressor.h"
#include "logging/internal/file_locks.h"
#include "logging/internal/platform.h"
#include "logging/rotation_policy.h"

namespace velmor::common::internal {

// The active file "<path>" and its backups "<path>.1" (newest) to
// "<path>.<maxBackups>" (oldest), by the rules of one RotationPolicy.
// Not thread-safe: used under the process-wide lock.
class BackupSet {
 public:
  // Builds the names of the set, anchored now, so that rotating allocates
  // nothing; none if `path` holds a NUL, which the OS would see as another,
  // shorter name. May throw std::bad_alloc.
  BackupSet(const std::filesystem::path& path, const RotationPolicy& policy);

  // Whether the path can be given to the OS at all.
  bool usable() const noexcept { return !names_.empty(); }
  // The native name of the active file; only if usable().
  const platform::NativeString& active() const noexcept { return names_[0]; }

  // Makes the active file, open in `locks.file()` with its rotation lock
  // held, the newest backup. In order: backups older than maxBackupAge are
  // deleted; the others move up one number, gaps skipped (the oldest is
  // deleted only when every number is taken); the active file becomes ".1"
  // (copied and emptied instead if it is pinned and the policy says so,
  // under its append lock); then, without compression, the oldest backups
  // go while all exceed maxTotalBytes.
  // A rename is never made onto an existing file. A refused one stops the
  // rotation where it is, prints the set's one warning on stderr and is
  // resumed by the next call, so no backup is moved or deleted twice.
  // Returns true once the active file has left its name (or was emptied).
  bool rotate(FileLocks& locks) noexcept;

  // With compression: the highest number a plain backup may be compressed
  // at (below the first entry that is not a regular file).
  int lastCompressible() const noexcept;
  // With compression, after a pass of BackupCompressions, under the active
  // file's rotation lock: the oldest backups go while all exceed
  // maxTotalBytes, and the directory is synced if the policy says so and
  // a compressed file was `renamed` into the set or a backup may have gone.
  void finishCompression(bool renamed) const noexcept;

  // The names of the set, for BackupCompression: the plain file `n`, its
  // name compressed by `codec`, and (with compression) its temporary one.
  const platform::NativeString& plainName(int n) const noexcept { return names_[n]; }
  const platform::NativeString& compressedName(CompressionCodec codec, int n) const noexcept {
    return packed_[static_cast<int>(codec)][n];
  }
  const platform::NativeString& tempName(int n) const noexcept { return temps_[n]; }
  const RotationPolicy& policy() const noexcept { return policy_; }

  // Whether backups of this set are compressed, by this sink or by another
  // writer: its policy says so, or a compressed file was seen at ".2" when
  // lookForCompression() last looked (a query per codec).
  bool compressed() const noexcept { return policy_.compressBackups || compressionSeen_; }
  void lookForCompression() noexcept;

 private:
  // rotate(), but for the directory's sync.
  bool rotateSet(FileLocks& locks) noexcept;
  using Names = std::vector<platform::NativeString>;
  // The plain names, then each codec's: every name a number may hold.
  std::array<const Names*, 1 + kCodecCount> allNames() const noexcept {
    return {&names_, &packed_[0], &packed_[1]};
  }
  // The name backup `n` is compressed under by this sink's codec.
  const platform::NativeString& zipped(int n) const noexcept {
    return compressedName(policy_.codec, n);
  }
  // The suffix of the codec whose names `names` are.
  const char* suffixOf(const Names& names) const noexcept {
    return compressedSuffix(&names == &packed_[1] ? kCodecs[1] : kCodecs[0]);
  }
  // Looks at every name of the set once, for a rotation: a listing of the
  // directory, or a query per name if it cannot be listed (or is crowded).
  void survey() noexcept;
  // survey()'s visitor: notes the entry if it is one of the set's names.
  static void noteEntry(void* set, const platform::NativeChar* name, std::size_t length,
                        platform::EntryKind kind) noexcept;
  // What number `n` held at the survey: its plain file, or else a compressed
  // one.
  platform::EntryKind kindAt(int n) const noexcept;
  // Deletes the backups last modified before `cutoff` (seconds since the
  // epoch).
  void deleteOlderThan(std::time_t cutoff) const noexcept;
  // Deletes the oldest backups above ".1" while all hold more than the cap.
  void capTotal() const noexcept;
  // Deletes backup `n`, plain and compressed, if they are regular files.
  void remove(int n) const noexcept;
  // The bytes on disk of backup `n`.
  std::uint64_t bytesAt(int n) const noexcept;
  // Moves the active file to ".1", or copies it there if it is pinned.
  bool moveActive(FileLocks& locks) noexcept;
  // Renames file `from` to `from + 1` (each name the survey found); true on
  // success.
  bool shift(int from) noexcept;
  // Remembers where a rotation stopped, refused with `error` when moving
  // `from` (its plain file, or with `suffix` ".gz" or ".zst" a compressed one), and
  // prints the one warning.
  void refused(int from, platform::ErrorCode error, const char* suffix) noexcept;
  // The number a rotation shifts the backups below up into: ".1" if free,
  // an interrupted rotation's while still free, else the highest free one up
  // to `last`, or `last` itself once its backup is deleted.
  int freeNumber(int last) noexcept;
  // The lowest number at which the plain or compressed name is neither
  // absent nor a regular file (a directory, a link, a device), or 0; as the
  // survey found them, or as the disk says now.
  int firstObstacle(bool surveyed) const noexcept;
  // Prints, once per set, that number `n` holds such an entry.
  void reportObstacle(int n) noexcept;

  const RotationPolicy policy_;
  // Native names of the active file (0) and backups 1..maxBackups.
  std::vector<platform::NativeString> names_;
  // The same names as printed in warnings (UTF-8 on Windows).
  std::vector<std::string> shown_;
  // "<name>.<n>.gz" and "<name>.<n>.zst", by codec, looked at by every
  // sink; with compression only, the name each is made under.
  std::array<Names, kCodecCount> packed_;
  Names temps_;
  // The active file's directory, as platform::listEntries() lists it, its
  // file name and the codecs' suffixes, as a survey compares names.
  platform::NativeString listing_;
  platform::NativeString stem_;
  std::array<platform::NativeString, kCodecCount> suffixes_;
  // What the last survey found, by the order of allNames() and by number.
  std::array<std::vector<platform::EntryKind>, 1 + kCodecCount> kinds_;
  // A hint, checked against the disk before use: the backup number that an
  // interrupted rotation emptied and failed to fill, or kNone. While that
  // number is still free, a retry resumes there, so repeated failures never
  // drop or move a backup twice.
  static constexpr int kNone = -1;
  int resumeAt_ = kNone;
  bool warned_ = false;           // Set once the one rotation warning is printed.
  bool compressionSeen_ = false;  // Stays set: another writer may compress again.
  bool obstacleWarned_ = false;   // And the one about an entry that is not a file.
};

}  // namespace velmor::common::internal

#endif  // VELMOR_LOGGING_INTERNAL_BACKUP_SET_H_
