// The body of an AsyncFileLogSink: a ring per writing thread, and the thread
// that merges them by time into the file sink's batches.
#ifndef VELMOR_LOGGING_INTERNAL_ASYNC_SINK_H_
#define VELMOR_LOGGING_INTERNAL_ASYNC_SINK_H_

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "logging/async_file_log_sink.h"
#include "logging/file_log_sink.h"
#include "logging/internal/file_sink.h"
#include "logging/internal/stamp_clock.h"
#include "logging/internal/thread_ring.h"

namespace velmor::common::internal {

// What AsyncFileLogSink promises, done; the same contracts.
//
// A writer stamps its line with the CPU's counter and copies it into its own
// thread's ring (made on its first line, found again through a thread-local
// table): no lock, no system call, unless the queue is full or the sink's
// thread sleeps. One atomic count of the bytes queued or set aside, shared
// by all rings, keeps maxQueuedBytes; each ring takes its room from it some
// lines at a time (its credit), so that a writer's common path writes no
// line that another thread writes. The sink's thread takes what the rings published,
// merges it by stamp, converts the stamps into wall time, and hands the
// lines to the file in pieces, giving each piece's room back as it goes.
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
  // For the crash handler: writes what is queued in every ring, waiting
  // about a second at most for the sink's thread and the file (see
  // AsyncOptions::writeOnCrash), and keeps the take lock, so that the
  // sink's thread writes nothing after. Uses no heap. Not
  // async-signal-safe where it formats a stamp of a second not seen before
  // (the local time conversion) and in the locks' waits; the rest is
  // system calls.
  void writeQueuedOnCrash() noexcept;
  std::uint64_t dropped() const noexcept { return dropped_.load(std::memory_order_relaxed); }
  // The rings registered now, the shared one included (for tests: the
  // rings of ended threads go once their lines are written).
  std::size_t ringsHeld();
  // The shared count (for tests): bytes queued, and the rings' credit.
  std::size_t bytesCounted() const noexcept { return queuedBytes_.load(); }

 private:
  struct Run;
  enum class Queued { Done, Full, Dropped };
  // Reserves the bytes and pushes into `ring` (under sharedMutex_ if it is
  // the shared ring); Full leaves nothing reserved.
  Queued tryQueue(ThreadRing& ring, std::uint64_t stamp, LogLevel level,
                  std::string_view message) noexcept;
  // Takes `bytes` from the shared count, and credit for `ring` if
  // `withCredit` and the count is low; false if the bound leaves no room,
  // even once every ring's credit is taken back.
  bool reserve(ThreadRing& ring, std::size_t bytes, bool withCredit) noexcept;
  // Takes every ring's credit back into the shared count; returns how much.
  std::size_t reclaimCredit() noexcept;
  // A full queue: drops (Drop) or waits for room and queues (Block).
  void queueWhenFull(ThreadRing& ring, std::uint64_t stamp, LogLevel level,
                     std::string_view message);
  // This thread's ring for this sink, made and registered on its first
  // line; the shared ring for a thread whose own cannot be made.
  ThreadRing& ringOfThisThread();
  // Wakes the thread if it sleeps, or dozes and `urgent`.
  void wake(bool urgent) noexcept;
  // Tells whoever waits for room or for a flush that the rings moved on.
  void progressed() noexcept;

  // The thread's body: marks the thread as the sink's, then drains.
  void run();
  void drainUntilStopped();
  // Waits for work: up to maxDelay for more lines (Dozing), then, with
  // nothing queued, for the next line (Asleep).
  void waitForWork();
  bool somethingUrgent() const noexcept;
  // Whether nothing is queued, nor about to be pushed (the sleep's check):
  // takes every ring's credit back first.
  bool nothingQueued() noexcept;
  // Takes what the rings published, merges it by stamp and writes it;
  // returns how many lines it took.
  std::size_t drainOnce();
  // Under takeMutex_: gathers the records to write into `records_`, in
  // stamp order.
  void take();
  // Whether `run` has a record to take before `cut`, its stamp read.
  static bool openRun(Run& run, std::uint64_t cut) noexcept;
  // Writes records_ in pieces, giving room back after each; stops between
  // two pieces when a crash handler runs (see unwrittenFrom_).
  void writeTaken();
  // After a crash handler began: waits for the process to end, touching
  // nothing, so that the end never finds the thread amid a write.
  [[noreturn]] void parkForCrash();
  // The crash handler's append: false once `deadline` passed.
  bool appendOnCrash(const LogRecord* records, std::size_t count,
                     std::chrono::steady_clock::time_point deadline) noexcept;
  // Gives back the room of records_[from, to), written or dropped.
  void releasePiece(std::size_t from, std::size_t to) noexcept;
  // Whether every ring's records and the thread's own lines are written.
  bool allWritten() const noexcept;
  // Under takeMutex_: the registered rings into drainRings_, forgetting
  // those whose thread has ended and whose lines are all written.
  void refreshRings();
  // Drop's end: waits maxDropWait for the thread, then gives the rest up.
  void stopWithin() noexcept;
  // Under takeMutex_: drops and counts the records of `ring` from its take
  // position up to `upTo`; returns their bytes.
  std::size_t discard(ThreadRing& ring, std::uint64_t upTo) noexcept;
  // With a syncInterval, after lines were written: syncs the file if the
  // interval has passed since the last sync (or `burstOver`, if any line
  // is unsynced). The thread's.
  void syncAfterWrite(bool burstOver);
  // The wall time a record shows: its stamp, never before the line written
  // before it.
  std::chrono::system_clock::time_point shownTime(std::uint64_t stamp) noexcept;
  // Queued bytes that a message costs: an empty one counts as one, so that
  // "nothing queued" is "zero".
  static std::size_t cost(std::string_view message) noexcept {
    return message.empty() ? 1 : message.size();
  }

  FileSink sink_;
  const AsyncOptions options_;
  const std::optional<LogLevel> syncFrom_;
  const std::uint64_t id_;  // Never reused: a thread's table finds its rings by it.
  const std::size_t ringBytes_;
  const std::size_t wakeBytes_;    // A dozing thread goes to work once this much is queued.
  const std::size_t creditBytes_;  // What a ring takes from the bound ahead, at once.
  std::atomic<std::uint64_t> dropped_{0};

  // Message bytes in all rings together, reserved before a push (from a
  // ring's credit, or here), given back once written; and the rings'
  // credit, given back when it is taken back. Never above maxQueuedBytes,
  // but for a message larger than it, alone.
  std::atomic<std::size_t> queuedBytes_{0};

  // For threads that have no ring of their own (one that could not be
  // allocated, or a thread past its thread-local destructors): one ring,
  // pushed to under sharedMutex_.
  std::mutex sharedMutex_;
  const std::shared_ptr<ThreadRing> sharedRing_;
  // The registered rings, the shared one first. Guarded by ringsMutex_.
  std::mutex ringsMutex_;
  std::vector<std::shared_ptr<ThreadRing>> rings_;
  std::atomic<std::uint64_t> ringsVersion_{0};

  // What the thread does: writes (Busy), waits up to maxDelay for more
  // lines (Dozing: it looks at the rings every millisecond, and only a
  // flush, a half-full ring, a full queue or the end wake it), or waits for
  // the next line (Asleep: any write wakes it).
  enum ThreadState : int { kBusy, kDozing, kAsleep };
  std::atomic<int> state_{kBusy};
  std::mutex wakeMutex_;
  std::condition_variable work_;
  std::atomic<bool> stopping_{false};
  // Callers waiting for room or a flush; rings moving on counts `progress`.
  std::atomic<int> waiters_{0};
  std::atomic<std::uint64_t> progress_{0};
  std::mutex progressMutex_;
  std::condition_variable progressed_;
  bool finished_ = false;  // The thread has left run(); under progressMutex_.

  // Held while the thread takes records, and by a Drop flush that gives
  // records up, and by the crash handler.
  std::mutex takeMutex_;
  // Under takeMutex_: the thread has taken records it is writing without
  // the lock (what a crash handler waits out, so that lines keep order).
  bool writingOut_ = false;
  // Under takeMutex_: where in records_ the thread stopped for a crash
  // handler, which writes the rest (still held by the rings) first.
  std::size_t unwrittenFrom_ = kNoneUnwritten;
  static constexpr std::size_t kNoneUnwritten = ~std::size_t{0};
  std::vector<std::shared_ptr<ThreadRing>> drainRings_;
  std::uint64_t drainVersion_ = ~std::uint64_t{0};
  StampClock clock_;
  std::uint64_t lastTicks_ = 0;  // The stamp of the line taken last.
  std::chrono::system_clock::time_point lastShown_{};

  // The thread's own: what it took (records_, with the ring and the
  // position each came from), and what its own rotation hooks wrote.
  struct Origin {
    ThreadRing* ring;  // Null: one of ownTaken_.
    std::uint64_t end;
    std::size_t cost;
  };
  std::vector<LogRecord> records_;
  std::vector<Origin> origins_;
  // A ring's records in a take's merge, from `pos`; `stamp` is its next's.
  struct Run {
    ThreadRing* ring;
    std::uint64_t pos;
    std::uint64_t head;  // Published at the take.
    std::uint64_t seen;  // Published at the take before: taken whatever the stamp.
    std::uint64_t stamp;
  };
  std::vector<Run> runs_;
  std::vector<ThreadRing*> touched_;  // The rings of a piece, to release.
  struct OwnLine {
    std::uint64_t stamp;
    LogLevel level;
    std::string message;
  };
  std::vector<OwnLine> ownLines_;
  std::vector<OwnLine> ownTaken_;
  std::chrono::steady_clock::time_point lastSync_{};
  bool unsynced_ = false;
  std::atomic<bool> abandoned_{false};  // A Drop sink's end gave up the rest.
  std::atomic<bool> crashing_{false};   // The crash handler runs: the thread takes no more.
  std::atomic<std::thread::id> runnerId_{};
  platform::WriteInterrupter interrupter_;
  std::thread thread_;  // Last: started once everything above is made.
};

}  // namespace velmor::common::internal

#endif  // VELMOR_LOGGING_INTERNAL_ASYNC_SINK_H_
