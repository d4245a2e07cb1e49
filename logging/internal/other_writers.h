// A sink's evidence of other writers in its file, and how careful it is
// near the threshold because of them.
#ifndef VELMOR_LOGGING_INTERNAL_OTHER_WRITERS_H_
#define VELMOR_LOGGING_INTERNAL_OTHER_WRITERS_H_

#include <cstddef>
#include <cstdint>

#include "logging/internal/platform.h"

namespace velmor::common::internal {

// Another writer's lines may land between a size read and an append. While
// a sink may have company, the last stretch before the threshold goes one
// line per append, each checked as a single write is, so that no batch ends
// past its crossing line. Until it has written a few files alone, a sink
// assumes company: a writer descheduled for a moment is no proof of being
// alone. Everything here is a hint, checked against the disk. Not
// thread-safe: used under the process-wide mutex.
class OtherWriters {
 public:
  // Whether another writer may append to the file now.
  bool mayHaveCompany() const noexcept {
    return seenOthers_ || filesWrittenAlone_ < kAloneFilesToTrust;
  }
  // Whether another writer of the file is known: seen in this file, or in
  // the last few before it.
  bool knownShared() const noexcept {
    return seenOthers_ || (everSeenOthers_ && filesWrittenAlone_ < kAloneFilesToTrust);
  }
  // Whether an append is to be marked for the processes that compress the
  // file (see AppendFile::tryLockForAppend): the first append to a file,
  // and the rest while it is known to be shared and its backups are
  // `compressed`. The mark costs about a microsecond a line.
  bool marksAppends(bool compressed) const noexcept {
    return !last_.valid || (compressed && knownShared());
  }
  // The size from which lines go one per append, for a file rotated at
  // `maxFileBytes`: the stretch before it while there may be company, no
  // size otherwise.
  std::uint64_t lineByLineFrom(std::uint64_t maxFileBytes) const noexcept;

  // Whether `file` is the file this sink last wrote, and it is remembered.
  bool knows(const platform::FileId& file) const noexcept {
    return last_.valid && last_.id == file;
  }
  bool knowsAFile() const noexcept { return last_.valid; }
  // Whether `found` is the file this sink last wrote, ending where its last
  // append left it: nobody else has written it since.
  bool leftAsItWas(const platform::FileState& found) const noexcept {
    return knows(found.id) && last_.size == found.size;
  }
  // Where this sink's last append to the file it knows ended; only if
  // knowsAFile().
  std::uint64_t lastSize() const noexcept { return last_.size; }
  // Whether the file last written had reached `size` then.
  bool lastSizeReached(std::uint64_t size) const noexcept {
    return last_.valid && last_.size >= size;
  }

  // A file found before an append: one new to this sink that holds lines
  // already has other writers, as far as it can tell.
  void noteFound(const platform::FileState& found) noexcept;
  // After an append of `written` bytes: the file grew by more than that
  // (`before`, if read, is the file just before the append), so others write
  // it too. Remembers `after` as the file last written.
  void noteAppend(const platform::FileState* before, const platform::FileState& after,
                  std::size_t written) noexcept;
  // This sink is about to rotate the file: one more file written alone, or
  // the count starts again.
  void noteRotation() noexcept;
  // The name means a file another writer made.
  void noteNameMovedOn() noexcept {
    last_.valid = false;
    filesWrittenAlone_ = 0;
  }
  // The file last written is no longer the one at the name.
  void forgetFile() noexcept { last_.valid = false; }

 private:
  static constexpr int kAloneFilesToTrust = 4;
  static constexpr std::uint64_t kMinStretch = 16 * 1024;

  struct LastFile {
    platform::FileId id;
    std::uint64_t size = 0;
    bool valid = false;  // False before the first write and after a rotation.
  };
  LastFile last_;
  bool seenOthers_ = false;  // In the file being written now.
  bool everSeenOthers_ = false;
  int filesWrittenAlone_ = 0;  // Files in a row rotated without seeing another writer.
  std::uint64_t stretch_ = kMinStretch;
};

}  // namespace velmor::common::internal

#endif  // VELMOR_LOGGING_INTERNAL_OTHER_WRITERS_H_
