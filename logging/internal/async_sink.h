// The body of an AsyncFileLogSink: a double-buffered queue, and the thread
// that hands it to the file sink in batches.
#ifndef VELMOR_LOGGING_INTERNAL_ASYNC_SINK_H_
#define VELMOR_LOGGING_INTERNAL_ASYNC_SINK_H_

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string_view>
#include <thread>
#include <vector>

#include "logging/async_file_log_sink.h"
#include "logging/file_log_sink.h"
#include "logging/internal/file_sink.h"

namespace velmor::common::internal {

// What AsyncFileLogSink promises, done; the same contracts.
class AsyncSink {
 public:
  AsyncSink(std::filesystem::path path, const RotationPolicy& policy, const AsyncOptions& options);
  // Writes everything queued, then stops the thread.
  ~AsyncSink();
  AsyncSink(const AsyncSink&) = delete;
  AsyncSink& operator=(const AsyncSink&) = delete;

  void write(LogLevel level, std::string_view message);
  void flush();
  void sync();
  // For the crash handler: writes what is queued, waiting about a second
  // at most for the queue and the file (see AsyncOptions::writeOnCrash),
  // and keeps the queue's lock, so that nothing is queued after. Uses no
  // heap. Not async-signal-safe where it formats a stamp of a second not
  // seen before (the local time conversion) and in the locks' waits; the
  // rest is system calls.
  void writeQueuedOnCrash() noexcept;
  std::uint64_t dropped() const noexcept { return dropped_.load(std::memory_order_relaxed); }

 private:
  // One side of the double buffer: messages back to back in `bytes`, and
  // where each one is.
  struct Entry {
    LogLevel level;
    std::size_t offset;
    std::size_t size;
    std::chrono::system_clock::time_point time;
  };
  struct Buffer {
    std::vector<char> bytes;
    std::vector<Entry> entries;
  };

  void run();
  // Drop's end: waits maxDropWait for the thread, then gives the rest up.
  void stopWithin() noexcept;
  // Whether a caller is to wake the thread: always when it is asleep, and
  // when it dozes only if `urgent`; marks it busy if so. Under mutex_.
  bool wake(bool urgent) noexcept;
  // Hands `buffer` to the file; called by the thread without the lock.
  void writeOut(Buffer& buffer);
  // With a syncInterval, after lines were written: syncs the file if the
  // interval has passed since the last sync (or `burstOver`, if any line
  // is unsynced). The thread's, without the lock.
  void syncAfterWrite(bool burstOver);

  FileSink sink_;
  const AsyncOptions options_;
  // The policy's syncFrom: a write at or above it waits until its line is
  // written, and with it synced.
  const std::optional<LogLevel> syncFrom_;
  // The thread's own: when it last synced, and whether lines came since.
  std::chrono::steady_clock::time_point lastSync_{};
  bool unsynced_ = false;
  // The thread is writing a batch without the lock (what a crash handler
  // waits out, so that lines keep their order).
  std::atomic<bool> writingOut_{false};
  std::atomic<std::thread::id> runnerId_{};
  std::atomic<std::uint64_t> dropped_{0};

  // A write wakes a dozing thread once this many bytes are queued.
  const std::size_t wakeBytes_;

  std::mutex mutex_;
  // Guarded by mutex_.
  Buffer queued_;                  // Filled by write().
  std::size_t queuedBytes_ = 0;    // Message bytes in queued_ and in the buffer being written.
  std::uint64_t accepted_ = 0;     // Messages ever queued.
  std::uint64_t handedOver_ = 0;   // Messages ever handed to the file.
  std::uint64_t flushTarget_ = 0;  // What a flush() waits for.
  bool stopping_ = false;
  bool finished_ = false;   // The thread has left run().
  std::thread::id runner_;  // The sink's thread, once it runs.
  int waiters_ = 0;         // Callers waiting for room or for a flush.
  // The stamp of the line queued last: a later line never shows an earlier
  // time (see write()).
  std::chrono::system_clock::time_point lastStamp_{};
  // What the thread does: writes (Busy), waits up to maxDelay for more lines
  // (Dozing: only a large queue, a flush, a full queue or the end wakes it),
  // or waits for the next line (Asleep: any write wakes it).
  enum class ThreadState { Busy, Dozing, Asleep };
  ThreadState threadState_ = ThreadState::Busy;
  std::condition_variable work_;      // For the thread.
  std::condition_variable progress_;  // For callers: room, or lines handed over.

  // Set when a Drop sink's end gives the queued lines up: the thread drops
  // and counts them instead of writing.
  std::atomic<bool> abandoned_{false};
  platform::WriteInterrupter interrupter_;

  // The thread's own.
  Buffer writing_;
  std::vector<LogRecord> records_;
  std::thread thread_;  // Last: started once everything above is made.
};

}  // namespace velmor::common::internal

#endif  // VELMOR_LOGGING_INTERNAL_ASYNC_SINK_H_
