// A log sink that appends timestamped lines to a file and rotates it by size.
#ifndef VELMOR_LOGGING_FILE_LOG_SINK_H_
#define VELMOR_LOGGING_FILE_LOG_SINK_H_

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string_view>

#include "logging/log_sink.h"

namespace velmor::common {

// Size at which the active file is rotated, in bytes (5 MiB). A file of
// exactly this size is rotated.
inline constexpr std::uint64_t kRotateThresholdBytes = 5ull * 1024 * 1024;

// Number of numbered backups kept: "<file>.1" (newest) to "<file>.5" (oldest).
inline constexpr int kMaxBackups = 5;

// Appends each message as one line to the file at `path`:
//
//   [HH:MM:SS.mmm] [LEVEL] message<LF>
//
// in local time, with the message bytes unchanged. After every line, once the
// file has reached kRotateThresholdBytes it is renamed to "<path>.1" and the
// older backups move up by one number; the oldest beyond kMaxBackups is
// deleted. The next write creates the file afresh.
//
// Thread safety: all FileLogSink objects in the process share one lock, so
// calls from any thread on any sink are serialised and lines never
// interleave. Rotation is not coordinated between processes.
//
// Failure behaviour: never throws for file problems. A message whose file
// cannot be opened is dropped silently. A failed rename leaves the active file
// in place (it keeps growing past the threshold) and is retried after every
// later write; the first failure of a sink prints one warning line on stderr,
// later ones print nothing. Allocation failure propagates as std::bad_alloc.
class FileLogSink final : public ILogSink {
 public:
  // Creates missing parent directories of `path` (errors are ignored: writes
  // are then dropped until the directory exists). Neither creates nor opens
  // the log file itself.
  explicit FileLogSink(std::filesystem::path path);
  ~FileLogSink() override;

  FileLogSink(const FileLogSink&) = delete;
  FileLogSink& operator=(const FileLogSink&) = delete;

  // Appends one line, then rotates the file if it has reached the threshold.
  // The file is opened and closed within the call, so no handle is held
  // between calls and the file can be renamed or removed in between.
  void write(LogLevel level, std::string_view message) override;

 private:
  // Moves the active file to backup 1 and shifts older backups up. Called
  // only from write(), with the process-wide lock held.
  void rotate() noexcept;

  const std::filesystem::path path_;
  // Set once the sink has printed its one rotation warning.
  bool rotationWarned_ = false;
  // Backup number at which an interrupted rotation stopped (0: only the
  // active file was left to rename), or kNoInterruptedRotation. A retry
  // resumes there instead of starting over, so repeated failures never drop
  // or move a backup twice.
  static constexpr int kNoInterruptedRotation = -1;
  int interruptedAt_ = kNoInterruptedRotation;
};

// Creates a FileLogSink for `path` (see the constructor). Never returns null;
// allocation failure throws std::bad_alloc.
std::shared_ptr<ILogSink> makeFileLogSink(std::filesystem::path path);

}  // namespace velmor::common

#endif  // VELMOR_LOGGING_FILE_LOG_SINK_H_
