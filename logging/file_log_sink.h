// A log sink that appends timestamped lines to a file and rotates it by size.
#ifndef VELMOR_LOGGING_FILE_LOG_SINK_H_
#define VELMOR_LOGGING_FILE_LOG_SINK_H_

#include <chrono>
#include <cstddef>
#include <filesystem>
#include <memory>
#include <optional>
#include <string_view>
#include <system_error>

#include "logging/log_sink.h"
#include "logging/rotation_policy.h"
#include "logging/velmor_logging_export.h"

namespace velmor::common {

namespace internal {
class FileSink;
}  // namespace internal

// One message of a batch handed to FileLogSink::writeBatch.
struct LogRecord {
  using Time = std::chrono::system_clock::time_point;
  LogRecord() = default;
  LogRecord(LogLevel recordLevel, std::string_view bytes, std::optional<Time> when = {}) noexcept
      : level(recordLevel), message(bytes), time(when) {}

  LogLevel level = LogLevel::Info;
  std::string_view message;  // Bytes, as for ILogSink::write.
  // The time the line shows (in local time, to the millisecond); empty:
  // the time it is appended, read once per append.
  std::optional<Time> time;
};

// Appends each message as one line to the file at `path`:
//
//   [HH:MM:SS.mmm] [LEVEL] message<LF>
//
// in local time, with the message bytes unchanged. After every line, once the
// file has reached the policy's maxFileBytes (kRotateThresholdBytes by
// default) it is renamed to "<path>.1" and the older backups move up by one
// number. Rotation never replaces an existing file: the only data it ever
// removes is "<path>.<maxBackups>", and only when every number is taken.
// Numbers above maxBackups are never made or touched. The next write creates
// the file afresh.
//
// A relative `path` is anchored at construction, so a later change of the
// working directory does not move the log (on Windows a name absolute to
// Win32, UNC and \\?\ names included, is used as given). Only regular files
// are rotated: a name that is a symbolic link (or a FIFO, a device) is
// written through and never renamed. Pipes, FIFOs and sockets are written as
// standard output is: a full one makes the writer wait, and a reader that
// left costs the line but raises no SIGPIPE in the process. On POSIX
// "/dev/stdout" and "/dev/stderr" mean the process's descriptors 1 and 2. A
// name holding a NUL character cannot be given to the OS; such a sink drops
// every message and touches nothing.
//
// Thread safety: all FileLogSink objects in the process share one lock, so
// calls from any thread on any sink are serialised and lines never
// interleave. Across processes, sinks on one file coordinate through the file
// itself: every line is appended whole, and one crossing of the threshold is
// rotated once, by whichever process takes the file's lock first. A file
// lock held elsewhere is waited for 50 ms at most (a second when another
// sink holds it), with the process-wide lock let go between tries, so it
// never stalls the sinks of other files; a lock that outlasts the wait is
// remembered for a while, and meanwhile costs one try per call: rotation is
// left to a later line (and on Windows, where appends take a lock of their
// own, a line that cannot get that one is dropped). A file that does not end
// in LF when the sink first writes it (a writer killed in mid-line) gets its
// next line on a line of its own.
//
// Failure behaviour: never throws for file problems. A message whose file
// cannot be opened (or is a FIFO without a reader) is dropped silently, as is
// a line the file system refuses in part; the next line still starts on a
// line of its own. A failed rename leaves the active file in place (it keeps
// growing past the threshold) and is retried after every later write; the
// first failure of a sink prints one warning line on stderr, later ones print
// nothing. Allocation failure can only come from the constructor, as
// std::bad_alloc: writing and rotating allocate nothing.
class VELMOR_LOGGING_EXPORT FileLogSink final : public ILogSink {
 public:
  // Creates missing parent directories of `path` (errors are ignored: writes
  // are then dropped until the directory exists). Neither creates nor opens
  // the log file itself. Rotates with the default RotationPolicy.
  explicit FileLogSink(std::filesystem::path path);
  // The same with `policy`. A policy outside its limits (see RotationPolicy)
  // is a programming error: throws std::invalid_argument naming the field
  // and the value, before anything is made on disk. With compressBackups,
  // the first such sink of the process starts its compressor thread, and
  // throws std::system_error if the OS refuses one.
  FileLogSink(std::filesystem::path path, const RotationPolicy& policy);
  // Finishes the compression that this sink's rotations asked for.
  ~FileLogSink() override;

  FileLogSink(const FileLogSink&) = delete;
  FileLogSink& operator=(const FileLogSink&) = delete;

  // Appends one line, then rotates the file if it has reached the threshold.
  // The file is opened and closed within the call, so no handle is held
  // between calls and the file can be renamed or removed in between.
  void write(LogLevel level, std::string_view message) override;

  // Appends `count` records as lines, in order, for callers that queue
  // lines (a reader of a pipe, say): the same lines, rotation and guarantees
  // as `count` calls of write(), at a fraction of the cost. Each line gets
  // its own prefix; the lines go out in as few appends as the OS allows (one
  // open, one gathered write of up to 8,192 lines, one size query and one
  // close each), and each append ends at the line that reaches the
  // threshold, which is then rotated as after write(), so backups keep the
  // same bounds. Returns how many records, from the first, reached the file
  // whole; the others were dropped (the file could not be opened, or took a
  // line only in part). Same thread safety and failure behaviour as write().
  std::size_t writeBatch(const LogRecord* records, std::size_t count);
  // The same, and when fewer than `count` records reached the file, sets
  // `why` to the OS's reason for the first one dropped (a full disk is
  // std::errc::no_space_on_device on POSIX, ERROR_DISK_FULL on Windows), so
  // that a caller that keeps its lines can decide to wait and try them
  // again; otherwise clears it.
  std::size_t writeBatch(const LogRecord* records, std::size_t count, std::error_code& why);

  // Opens the file as a write does (creating it if missing) and closes it
  // again: no error if that worked, or the OS's reason why not (a FIFO
  // without a reader counts as openable: its lines wait for one). For a
  // program that wants to fail early on a bad name; writing never needs it.
  // Thread-safe.
  std::error_code probe() const;

 private:
  // Everything else lives behind this pointer, so that the sink's state can
  // change without changing this header or sizeof(FileLogSink).
  std::unique_ptr<internal::FileSink> impl_;
};

// Creates a FileLogSink for `path` (see the constructor). Never returns null;
// allocation failure throws std::bad_alloc.
VELMOR_LOGGING_EXPORT std::shared_ptr<ILogSink> makeFileLogSink(std::filesystem::path path);

// The same with `policy`; throws std::invalid_argument, before anything is
// made on disk, for a policy outside its limits.
VELMOR_LOGGING_EXPORT std::shared_ptr<ILogSink> makeFileLogSink(std::filesystem::path path,
                                                                const RotationPolicy& policy);

}  // namespace velmor::common

#endif  // VELMOR_LOGGING_FILE_LOG_SINK_H_
