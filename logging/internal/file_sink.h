// The body of a FileLogSink: its file set, its rules, and the decision to
// rotate taken under the file's lock.
#ifndef VELMOR_LOGGING_INTERNAL_FILE_SINK_H_
#define VELMOR_LOGGING_INTERNAL_FILE_SINK_H_

#include <atomic>
#include <chrono>
#include <cstddef>
#include <filesystem>
#include <string>
#include <system_error>

#include "logging/file_log_sink.h"
#include "logging/internal/background_compressor.h"
#include "logging/internal/backup_set.h"
#include "logging/internal/file_locks.h"
#include "logging/internal/other_writers.h"
#include "logging/internal/platform.h"
#include "logging/internal/rotation_trigger.h"
#include "logging/rotation_policy.h"

namespace velmor::common::internal {

// What FileLogSink promises, done. Thread-safe as FileLogSink is: every
// member but the constructor runs under the process-wide mutex.
class FileSink {
 public:
  // Throws std::invalid_argument for a policy outside its limits, before
  // anything is made on disk; std::bad_alloc; with compression,
  // std::system_error if the compressor's thread cannot be started.
  FileSink(std::filesystem::path path, const RotationPolicy& policy);
  // Finishes the compression of the backups this sink's rotations left
  // plain, if any are waiting.
  ~FileSink();
  FileSink(const FileSink&) = delete;
  FileSink& operator=(const FileSink&) = delete;

  // FileLogSink::writeBatch: appends the records, rotating as it goes, then
  // calls onRotated once per rotation made, outside every lock. If not all
  // were taken, `why` (if given) gets the OS's code for the first dropped.
  // Once `stop` (if given) is set, no further pass begins: what is not
  // written then is neither written nor dropped.
  std::size_t append(const LogRecord* records, std::size_t count,
                     platform::ErrorCode* why = nullptr, const std::atomic<bool>* stop = nullptr);
  // As append(), for a process that is dying (a crash handler): every lock
  // is waited for until `deadline` at most, then the rest is given up; no
  // onRotated hook is called. Returns the records written.
  std::size_t appendWithin(const LogRecord* records, std::size_t count,
                           std::chrono::steady_clock::time_point deadline) noexcept;
  // FileLogSink::probe.
  std::error_code probe() const;
  // Puts the file now at the name on stable storage; false if it could not
  // be (or there is none). Takes no lock: any thread.
  bool syncActive() const noexcept;
  // The permission bits the sink creates files with (before the umask).
  unsigned fileMode() const noexcept {
    return policy_.fileMode ? *policy_.fileMode : platform::kDefaultFileMode;
  }
  // From now on appends to a stream wait no more: the one in progress ends
  // with what went out, and later ones take nothing, so their lines are
  // dropped (for a background sink that must stop). Any thread.
  void giveUpStreams() noexcept { givenUp_.store(true); }

 private:
  friend class AppendPass;  // The append path's steps work on the parts below.

  // Rotates the regular file `found`, open in `locks.file()`, if under its
  // rotation lock the name still means it and it is still due: by size, or
  // `early` (RotationTrigger). True if the name has moved on to another file
  // (or the file is no longer due): the lines are for a fresh open. A
  // rotation made here is counted in `rotated`.
  bool rotateIfStillDue(FileLocks& locks, const platform::FileState& found, bool early,
                        int& rotated) noexcept;
  // The compressor's job: one pass over the plain backups from ".2" on,
  // each compressed without a lock and committed under the active file's
  // rotation lock, then the total cap.
  class Compression final : public CompressionJob {
   public:
    explicit Compression(FileSink& sink) noexcept : sink_(sink) {}
    void compressNow() noexcept override { sink_.compressPass(); }

   private:
    FileSink& sink_;
  };
  void compressPass() noexcept;
  // Runs `step` with the rotation lock of the file now at the active name
  // and the process-wide mutex held; false if they could not be had (a
  // stranger holds the lock) or `step` returned false.
  template <typename Step>
  bool underActiveLock(Step step) noexcept;
  // Calls onRotated `rotations` times, outside every lock; reports the first
  // exception it throws.
  void announce(int rotations) noexcept;
  void hookFailed(const char* what) noexcept;

  const RotationPolicy policy_;
  // The active file's name and its numbered backups, anchored at
  // construction.
  BackupSet backups_;
  RotationTrigger trigger_;
  OtherWriters company_;
  LockMemories lockMemories_;
  std::atomic<bool> givenUp_{false};  // See giveUpStreams.
  platform::TailReader tail_;         // Reads the end of the file, where it may be torn.
  // A hint: the last file this sink wrote to was a regular file, so the next
  // one most likely is too and needs no check for being a stream (a system
  // call that would cost a sixth of a line).
  bool lastWasRegular_ = false;
  // What onRotated is given, "<path>.1", as built and as printed; whether
  // an exception of it was reported.
  std::filesystem::path newest_;
  std::string shownNewest_;
  std::atomic<bool> hookWarned_{false};
  // With compression: the process's compressor, and this set's job.
  BackgroundCompressor* compressor_ = nullptr;
  Compression compression_{*this};
};

}  // namespace velmor::common::internal

#endif  // VELMOR_LOGGING_INTERNAL_FILE_SINK_H_
