// A log sink that appends timestamped lines to a file and rotates it by size.
#ifndef VELMOR_LOGGING_FILE_LOG_SINK_H_
#define VELMOR_LOGGING_FILE_LOG_SINK_H_

#include <atomic>
#include <chrono>
#include <cstdint>
#include <ctime>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "logging/log_sink.h"
#include "logging/velmor_logging_export.h"

namespace velmor::common {

namespace detail {
class BackupSet;
}  // namespace detail

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

// When the active file is also rotated by the clock: at the first write
// after the start of a new local hour or day.
enum class RotationPeriod { None, Hourly, Daily };

// How large the active file grows, when else it is rotated, and which
// backups are kept. The defaults are the sink's fixed behaviour: 5 MiB,
// five backups, nothing else.
//
// maxFileBytes: from 1 (rotate after every line) up; a value larger than any
// file the platform can hold never rotates. maxBackups: 1 to
// kMaxBackupsLimit. Backup names are built once, at construction, so
// rotation still allocates nothing; but a rotation looks at every number and
// renames every kept backup, under the process-wide lock: its cost grows
// with maxBackups (about 10 ms for 1000 on a typical Linux disk).
//
// period: a file last modified before the start of the current local hour
// (Hourly) or day (Daily) holds lines of an earlier period, and the next
// write rotates it before appending, so no line of the new period lands in
// it; when several writers find it at once it is rotated once, and the
// others append to the fresh file. Size rotation still applies. The check
// costs one look at the file per period per sink, not one per line.
//
// rotateOnStart: a sink's first write rotates a non-empty file first (one
// file per run); an empty or absent file is not rotated.
//
// maxBackupAge: when a sink rotates, backups last modified longer ago than
// this are deleted first, so that their numbers are free for the shift.
// maxTotalBytes: after a rotation, the oldest backups are deleted while all
// backups together hold more bytes than this; "<name>.1" is always kept.
// Both delete only regular files at numbers 1 to maxBackups: never a
// directory, a link or a higher number. Zero turns each off; a negative age
// is refused.
//
// copyWhenPinned (Windows; no effect elsewhere): when the active file cannot
// be renamed because another program holds it open without sharing its
// deletion (a viewer, a virus scanner), its content is copied into a new
// "<name>.1" and the file emptied, under the lock that every sink's append
// takes, so no line is lost and the file keeps its bound. Off: the rename is
// retried after later writes, with one warning, and the file grows past the
// threshold until the other program lets go.
//
// compressBackups: ".1" stays a plain file (a follower may still be reading
// it); from ".2" on, backups are gzip files "<name>.<n>.gz". Numbers keep
// their meaning: ".<n>" or ".<n>.gz" is the n-th newest, a number is taken if
// either exists, maxBackups counts both, the size bound is the uncompressed
// content's, and maxTotalBytes counts bytes on disk. A ".gz" keeps the plain
// file's permission bits and modification time. Compression happens in the
// rotation, before the active file moves, under the file's rotation lock but
// not the process-wide one: it delays the writers of this file (theirs are
// the lines that wait), never a sink of another file. It is safe under every
// fault: a ".gz" under its final name is complete and on disk before the
// plain file goes, "<name>.<n>.gz.tmp" exists only meanwhile, and whatever a
// killed writer left is finished or redone by the next rotation.
//
// onRotated: called once for each rotation that this sink made, with the
// name of the new ".1" (the path as given, plus ".1"), in the thread that
// wrote, after the sink let go of its locks: it may log, to this sink too. An
// exception it throws is caught; the first one prints one line on stderr.
//
// Sinks with different policies may share a file: each follows its own, and
// nothing is lost either way, since renames never replace. Give every writer
// of one file the same policy, or the files end at mixed sizes and counts.
struct RotationPolicy {
  std::uint64_t maxFileBytes =
      kRotateThresholdBytes;     // Rotate once the file holds this many bytes or more.
  int maxBackups = kMaxBackups;  // Keep "<name>.1" (newest) .. "<name>.<maxBackups>" (oldest).
  RotationPeriod period = RotationPeriod::None;
  bool rotateOnStart = false;
  std::chrono::seconds maxBackupAge{0};  // 0: any age.
  std::uint64_t maxTotalBytes = 0;       // Bytes in all backups; 0: no cap.
  bool copyWhenPinned = false;
  bool compressBackups = false;  // ".2" on as "<name>.<n>.gz".
  // Called after each rotation that this sink made, with "<path>.1".
  std::function<void(const std::filesystem::path& newest)> onRotated = nullptr;
};

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

  // write() and writeBatch(): appends the records, rotating as it goes, and
  // counts in `rotated` the rotations it made.
  std::size_t append(const LogRecord* records, std::size_t count, int& rotated);
  // Calls onRotated `rotations` times, outside every lock.
  void announce(int rotations) noexcept;
  // Reports an exception of onRotated, the first time.
  void hookFailed(const char* what) noexcept;
  // Rotates the regular file `found`, open in `file`, if under its lock the
  // name still means it and it is still due: by size, or `early` (see
  // dueEarly). `lock` holds the process-wide mutex, let go while the file
  // lock is waited for (threads of the process hold back their lines to
  // this file meanwhile). True if the name has moved on to another file (or
  // the file is no longer due): the lines are for a fresh open. A rotation
  // made here is counted in `rotated`.
  bool decide(std::unique_lock<std::mutex>& lock, platform::AppendFile& file,
              const platform::FileState& found, bool early, int& rotated) noexcept;
  // Whether the file is to be looked at before this write: a run's first
  // write, or the first of a new period (whose bounds it then computes).
  bool earlyCheckDue() noexcept;
  // Whether `found` is to be rotated before anything is appended.
  bool dueEarly(const platform::FileState& found) const noexcept;
  // The look is done until the next period.
  void settleEarlyCheck() noexcept;
  // Updates seen_ after an append of `written` bytes, and notices other
  // writers of the file: it grew by more than this sink wrote (`before`, if
  // read, is the file just before the append).
  void noteOtherWriters(const platform::FileState* before, const platform::FileState& after,
                        std::size_t written) noexcept;
  // The path as the caller gave it; warnings print names built from it.
  const std::filesystem::path path_;
  const RotationPolicy policy_;
  // The active file's name and its numbered backups.
  std::unique_ptr<detail::BackupSet> backups_;
  // What onRotated is given, "<path>.1", as built and as printed; whether
  // an exception of it was reported.
  std::filesystem::path newest_;
  std::string shownNewest_;
  std::atomic<bool> hookWarned_{false};
  // Whether the first write is still to rotate a non-empty file
  // (rotateOnStart); the period whose start a file's time is compared with,
  // and until when the file need not be looked at again (seconds since the
  // epoch).
  bool startPending_ = false;
  std::time_t periodStart_ = 0;
  std::time_t periodEnd_ = 0;
  std::time_t checkedUntil_ = 0;
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
