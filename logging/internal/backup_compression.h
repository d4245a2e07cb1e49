// The compression of one plain backup, in the steps that let writers go on
// meanwhile: only the short first and last steps hold the set's rotation
// lock, so rotations go on while the file is compressed and may move it.
#ifndef VELMOR_LOGGING_INTERNAL_BACKUP_COMPRESSION_H_
#define VELMOR_LOGGING_INTERNAL_BACKUP_COMPRESSION_H_

#include <cstdint>
#include <optional>

#include "logging/internal/backup_set.h"
#include "logging/internal/file_locks.h"
#include "logging/internal/platform.h"

namespace velmor::common::internal {

// Compresses the plain backup at number `n` of a set with the set's codec.
// The temporary file "<name>.<n><suffix>.tmp" exists only meanwhile; one
// that a compressor which died left is removed. Not thread-safe: one owner.
class BackupCompression {
 public:
  // Opens the plain file now at number `n`.
  BackupCompression(const BackupSet& set, int n) noexcept;
  // Removes the temporary file unless it was committed.
  ~BackupCompression();
  BackupCompression(const BackupCompression&) = delete;
  BackupCompression& operator=(const BackupCompression&) = delete;

  // Under the set's rotation lock: makes the temporary file. False if there
  // is no plain regular file to compress, or another compressor (of another
  // process) is at this number.
  bool begin() noexcept;
  // Without any lock, the slow part: compresses the plain file into the
  // temporary one, which is then on disk. False if that failed.
  bool compress() noexcept;
  // Under the rotation lock of the set's active file, open in `locks` with
  // the process-wide mutex held: the compressed file takes the name of the
  // number the plain file holds now (rotations may have moved it up), and
  // the plain file goes. Lines appended to the plain file since it was read
  // go to the active file. Nothing is done if the plain file left the set
  // (another process compressed it, or it was deleted), or a compressed
  // file beside it is not a copy of it (both are kept).
  // True if the compressed file took its name.
  bool commit(FileLocks& locks) noexcept;

 private:
  // Where the plain file is now, or 0 if it is not in the set any more.
  int whereNow() const noexcept;
  // Whether the file `name` is a complete compression by `codec` of the
  // start of the plain file.
  bool isCompressedPrefix(const platform::NativeString& name,
                          CompressionCodec codec) const noexcept;
  // Moves what was appended to the plain file after `taken_` to the
  // active file.
  void moveLateLines(FileLocks& locks) noexcept;

  const BackupSet& set_;
  const int number_;  // Where the plain file was when it was opened.
  platform::SourceFile plain_;
  platform::FileState source_;
  std::optional<platform::NewFile> out_;
  std::int64_t taken_ = -1;  // Bytes of the plain file compressed.
  bool made_ = false;        // The temporary file is this object's.
};

}  // namespace velmor::common::internal

#endif  // VELMOR_LOGGING_INTERNAL_BACKUP_COMPRESSION_H_
