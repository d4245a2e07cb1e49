// A log sink whose write only queues: a thread of its own hands the queue to
// FileLogSink::writeBatch.
#ifndef VELMOR_LOGGING_ASYNC_FILE_LOG_SINK_H_
#define VELMOR_LOGGING_ASYNC_FILE_LOG_SINK_H_

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string_view>

#include "logging/log_sink.h"
#include "logging/rotation_policy.h"
#include "logging/velmor_logging_export.h"

namespace velmor::common {

namespace internal {
class AsyncSink;
}  // namespace internal

// How much an AsyncFileLogSink may hold back, and for how long.
struct AsyncOptions {
  // Message bytes queued and not yet in the file, at most, in the queues of
  // all threads together (an empty message counts as one byte). A message
  // larger than this waits for empty queues and is then queued alone. Each
  // writing thread's queue is a ring of twice this, as far as 512 KiB (a
  // 16-byte header and padding to 16 bytes a message): a thread whose ring
  // is full finds the queue full.
  std::size_t maxQueuedBytes = 8 * 1024 * 1024;
  // An idle sink's line is in the file within this time; under load lines
  // are written as fast as the file takes them, without waiting for it.
  std::chrono::milliseconds maxDelay{10};
  // What write() does when the queue is full: wait until there is room, so
  // that nothing is lost (Block), or drop the message at once and count it
  // in dropped() (Drop: for code that must never wait).
  enum class WhenFull { Block, Drop } whenFull = WhenFull::Block;
  // With Drop, how long flush() and the destructor wait for the file to
  // take the queued lines (a pipe whose reader stalled takes none): then
  // the lines still queued are dropped and counted in dropped(), and the
  // destructor also cuts short the write in progress. Block waits as long
  // as it takes.
  std::chrono::milliseconds maxDropWait{1000};
  // While lines are being written, the thread syncs the file (puts it on
  // stable storage) at most once per this interval, and once more after the
  // last line of a burst; never while idle. 0: never (lines are in the OS's
  // cache once written). Lines that rotations moved into backups are
  // RotationPolicy::syncRotations' to cover.
  std::chrono::milliseconds syncInterval{0};
  // When the process is killed by SIGSEGV, SIGBUS, SIGILL, SIGFPE or
  // SIGABRT (an abort(), a failed assert, an uncaught exception), the lines
  // queued before the fault are written before it dies; it still ends by
  // that signal, and a handler the program installed before the sink still
  // runs. The sink installs handlers for these signals at construction
  // (the first such sink does) and leaves them installed. Every wait in the
  // handler is bounded (about a second): a fault in the sink's own thread,
  // in a write() (its line), or a second fault, costs those lines,
  // never a hang. On Windows the same holds for an unhandled exception (an
  // access violation, say: the filter found before runs after) and for
  // abort(). Up to 16 sinks at once.
  bool writeOnCrash = false;
};

// Writes the same lines to the same file as a FileLogSink with the same
// path and policy, with every guarantee of that sink (format, rotation,
// files shared by processes, streams, cut lines), but write() only copies
// the message into its thread's own queue, stamped with the CPU's counter:
// a thread of the sink merges the queues by stamp and appends them in large
// batches through FileLogSink::writeBatch. A line shows the local time of
// its write() call (the counter converted against the system clock, within
// a millisecond; a stepped system clock shows at once), not the time it
// reached the file.
//
// Pick it over FileLogSink for a program that logs much, or must not wait
// for the disk: a call takes no lock and makes no system call (unless the
// queue is full, or the sink's thread sleeps and this is the line that
// wakes it), and the file takes tens of times more lines per second. Pick
// FileLogSink where every line must be in the file when write() returns:
// here a crash (or _exit, or a kill) loses the lines still queued, up to
// maxDelay's worth for an idle program, more under load (unless
// writeOnCrash, for the crashes it catches); call flush() before a risky
// step.
//
// fork(): the child has the sink's memory but not its thread. It must neither
// write to nor destroy the sink (destruction would wait for a thread that
// does not exist there); lines queued before the fork are written by the
// parent alone. Flush before forking, and give a child a sink of its own.
//
// Thread safety: every member may be called from any thread at once. Lines
// of one thread appear in the order of its calls, and the lines of all
// threads in the order of their stamps; a file's times never go back (a
// line whose writer was descheduled between its stamp and its queueing
// shows the time of the line before it). A thread's queue is made on its
// first line to the sink and freed, once its lines are written, after the
// thread ends.
//
// Failure behaviour: never throws for file problems; lines that the file
// does not take are dropped as FileLogSink drops them. write() allocates
// only for a thread's first line (its queue; should that fail, the thread's
// lines go through one queue shared under a lock) and for a message over a
// quarter of a queue, which is copied to the heap: if that fails the
// message is dropped and counted in dropped().
class VELMOR_LOGGING_EXPORT AsyncFileLogSink final : public ILogSink {
 public:
  // As FileLogSink(path, policy), and starts the thread. Throws
  // std::invalid_argument for a policy outside its limits, or options with
  // maxQueuedBytes 0 or a negative maxDelay, maxDropWait or syncInterval, or writeOnCrash
  // with 16 such sinks alive already; std::system_error if the
  // thread cannot start.
  explicit AsyncFileLogSink(std::filesystem::path path, const RotationPolicy& policy = {},
                            const AsyncOptions& options = {});
  // Writes everything queued, then stops the thread (with Drop, within
  // maxDropWait and about 50 ms more, dropping what is left; the program's
  // own blocking standard output or error can hold it longer).
  ~AsyncFileLogSink() override;

  AsyncFileLogSink(const AsyncFileLogSink&) = delete;
  AsyncFileLogSink& operator=(const AsyncFileLogSink&) = delete;

  // Queues one line, stamped now. With a full queue: waits for room
  // (Block; the line keeps the stamp of the call), or drops it (Drop).
  void write(LogLevel level, std::string_view message) override;

  // Returns once every line queued before the call, by any thread, has been
  // handed to the file (written, or dropped by the file as FileLogSink drops
  // it); with Drop, after maxDropWait at most, dropping what is left (see
  // there).
  void flush();

  // As flush(), then the active file is on stable storage (fdatasync;
  // FlushFileBuffers), with every line written to it; lines that a rotation
  // moved into ".1" meanwhile are RotationPolicy::syncRotations' to cover.
  void sync();

  // Messages refused because the queue was full (Drop) or its storage could
  // not grow, and those given up when a Drop sink was destroyed.
  std::uint64_t dropped() const noexcept;

 private:
  // Everything else lives behind this pointer, so that the sink's state can
  // change without changing this header or sizeof(AsyncFileLogSink).
  std::unique_ptr<internal::AsyncSink> impl_;
};

// Creates an AsyncFileLogSink (see the constructor). Never returns null.
VELMOR_LOGGING_EXPORT std::shared_ptr<AsyncFileLogSink> makeAsyncFileLogSink(
    std::filesystem::path path, const RotationPolicy& policy = {},
    const AsyncOptions& options = {});

}  // namespace velmor::common

#endif  // VELMOR_LOGGING_ASYNC_FILE_LOG_SINK_H_
