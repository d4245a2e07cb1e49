// A log sink that appends timestamped lines to a file and rotates it by size.
#ifndef VELMOR_LOGGING_FILE_LOG_SINK_H_
#define VELMOR_LOGGING_FILE_LOG_SINK_H_

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "logging/log_sink.h"
#include "logging/velmor_logging_export.h"

namespace velmor::common {

namespace platform {
class AppendFile;
struct FileId;
struct FileState;
}  // namespace platform

// Size at which the active file is rotated, in bytes (5 MiB). A file of
// exactly this size is rotated.
inline constexpr std::uint64_t kRotateThresholdBytes = 5ull * 1024 * 1024;

// Number of numbered backups kept: "<file>.1" (newest) to "<file>.5" (oldest).
inline constexpr int kMaxBackups = 5;

// The most backups a RotationPolicy may ask for.
inline constexpr int kMaxBackupsLimit = 1000;

// How large the active file grows and how many backups are kept. The
// defaults are the sink's fixed behaviour: 5 MiB and five backups.
//
// maxFileBytes: from 1 (rotate after every line) up; a value larger than any
// file the platform can hold never rotates. maxBackups: 1 to
// kMaxBackupsLimit. Backup names are built once, at construction, so
// rotation still allocates nothing; but a rotation looks at every number and
// renames every kept backup, under the process-wide lock: its cost grows
// with maxBackups (about 10 ms for 1000 on a typical Linux disk).
//
// Sinks with different policies may share a file: each follows its own, and
// nothing is lost either way, since renames never replace. Give every writer
// of one file the same policy, or the files end at mixed sizes and counts.
struct RotationPolicy {
  std::uint64_t maxFileBytes =
      kRotateThresholdBytes;     // Rotate once the file holds this many bytes or more.
  int maxBackups = kMaxBackups;  // Keep "<name>.1" (newest) .. "<name>.<maxBackups>" (oldest).
};

// One message of a batch handed to FileLogSink::writeBatch.
struct LogRecord {
  LogLevel level = LogLevel::Info;
  std::string_view message;  // Bytes, as for ILogSink::write.
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
  // and the value, before anything is made on disk.
  FileLogSink(std::filesystem::path path, const RotationPolicy& policy);
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

 private:
  // What a sink last saw of the file it wrote. A hint, checked against the
  // disk.
  struct Seen {
    std::uint64_t device = 0;
    std::uint64_t index = 0;
    std::uint64_t size = 0;
    bool valid = false;  // False before the first write and after a rotation.
  };
  // Whether `seen` is a valid memory of file `id`.
  static bool isSeen(const Seen& seen, const platform::FileId& id) noexcept;

  using NativeString = std::filesystem::path::string_type;

  // write() and writeBatch(): appends the records, rotating as it goes.
  std::size_t append(const LogRecord* records, std::size_t count);
  // Moves the active file to backup 1 and shifts older backups up. Called
  // only from write(), with the process-wide lock and the file's own lock
  // held, once the name is known to still mean the file just written.
  void rotate() noexcept;
  // After an append that left the regular file `after` at the threshold:
  // rotates it if the name still means it, under its lock. `file` is open on
  // it; `lock` holds the process-wide mutex, let go while the file lock is
  // waited for (threads of the process hold back their lines to this file
  // meanwhile).
  void decideCrossing(std::unique_lock<std::mutex>& lock, platform::AppendFile& file,
                      const platform::FileState& after) noexcept;
  // Updates seen_ after an append of `written` bytes, and notices other
  // writers of the file: it grew by more than this sink wrote (`before`, if
  // read, is the file just before the append).
  void noteOtherWriters(const platform::FileState* before, const platform::FileState& after,
                        std::size_t written) noexcept;
  // Renames file `from` to `from + 1`; on failure remembers where the
  // rotation stopped and prints the sink's one warning. True on success.
  bool shift(int from) noexcept;

  // The path as the caller gave it; warnings print names built from it.
  const std::filesystem::path path_;
  const RotationPolicy policy_;
  // Set once the sink has printed its one rotation warning.
  bool rotationWarned_ = false;
  // Native names of the active file (0) and backups 1..maxBackups, anchored
  // at construction; empty if the path cannot be given to the OS. Built once
  // so that rotation needs no allocation.
  std::vector<NativeString> names_;
  // The same names as printed in warnings (UTF-8 on Windows).
  std::vector<std::string> shown_;
  // A hint, checked against the disk before use: the backup number that an
  // interrupted rotation of this sink emptied and failed to fill, or
  // kNoInterruptedRotation. While that number is still free, a retry resumes
  // there, so repeated failures never drop or move a backup twice.
  static constexpr int kNoInterruptedRotation = -1;
  int resumeAt_ = kNoInterruptedRotation;
  // A hint: the last file this sink wrote to was a regular file, so the next
  // one most likely is too and needs no check for being a stream (a system
  // call that would cost a sixth of a line).
  bool lastWasRegular_ = false;
  // The file last written: a file that is not this one is new to the sink,
  // and its end is looked at once before the first line goes in.
  Seen seen_;
  // Until when the file's append lock (Windows) or rotation lock is known
  // to be held by a stranger, after it outlasted a wait: meanwhile a call
  // costs a try (see detail::takeFileLock).
  std::chrono::steady_clock::time_point appendLockBusy_;
  std::chrono::steady_clock::time_point rotationLockBusy_;
  // Whether another writer has been seen appending to the file this sink
  // writes, and how many files in a row it rotated without seeing one.
  // Until it has written a few files alone, a sink assumes company: the
  // last `stretch_` bytes before the threshold then go one line per append
  // (a writer descheduled for a moment is no proof of being alone).
  bool othersInFile_ = false;
  static constexpr int kAloneFilesToTrust = 4;
  int aloneFiles_ = 0;
  static constexpr std::uint64_t kMinStretch = 16 * 1024;
  std::uint64_t stretch_ = kMinStretch;
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
