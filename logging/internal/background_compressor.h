// The process's compressor thread: backups are compressed beside the
// writers, never in a writing thread.
#ifndef VELMOR_LOGGING_INTERNAL_BACKGROUND_COMPRESSOR_H_
#define VELMOR_LOGGING_INTERNAL_BACKGROUND_COMPRESSOR_H_

#include <condition_variable>
#include <mutex>

namespace velmor::common::internal {

// A set of backups that may want compressing, as the compressor sees it: a
// node of its queue, so that asking never allocates. Owned by its sink.
class CompressionJob {
 public:
  // One pass over the set; runs in the compressor's thread, or in the
  // thread of finish().
  virtual void compressNow() noexcept = 0;

 protected:
  CompressionJob() = default;
  ~CompressionJob() = default;
  CompressionJob(const CompressionJob&) = delete;
  CompressionJob& operator=(const CompressionJob&) = delete;

 private:
  friend class BackgroundCompressor;
  // Guarded by the compressor's mutex.
  CompressionJob* next_ = nullptr;
  bool queued_ = false;
  bool running_ = false;
};

// One thread per process, at low priority and with the asynchronous signals
// blocked (the host's signals go to its own threads), that runs the jobs
// asked for, each once however often it was asked meanwhile, in the order
// asked. Thread-safe.
class BackgroundCompressor {
 public:
  // The process's compressor, its thread started by the first call. Throws
  // std::system_error if the thread cannot be started (std::bad_alloc).
  // Never destroyed: sinks may live until the process ends.
  static BackgroundCompressor& get();

  // Queues `job` unless it is queued already (a job that is running is
  // queued again: the set changed since it looked). Returns at once. In the
  // child of a fork, the first call starts the child's own thread.
  void request(CompressionJob& job) noexcept;
  // Returns once `job` is neither queued nor running: one that is queued is
  // taken off the queue and run here. For a job that is about to be
  // destroyed; nothing may ask for it meanwhile.
  void finish(CompressionJob& job) noexcept;
  // Returns once no job is queued or running (for tests and benchmarks).
  void waitUntilIdle() noexcept;

 private:
  BackgroundCompressor() = default;
  // Starts the thread if there is none; false if it cannot be started.
  bool start() noexcept;
  void run() noexcept;
  // In the child of a fork only the forking thread lives on: the job the
  // compressor's thread was running is queued again, and the next request
  // starts a thread.
  void forked() noexcept;
  // Takes `job` off the queue; the mutex is held.
  void unlink(CompressionJob& job) noexcept;
  // Takes the queued `job` off the queue and runs it in this thread, with
  // `lock` (of mutex_, held) let go meanwhile.
  void runHere(CompressionJob& job, std::unique_lock<std::mutex>& lock) noexcept;

  std::mutex mutex_;
  std::condition_variable wake_;  // A job was queued.
  std::condition_variable done_;  // A job ended.
  CompressionJob* head_ = nullptr;
  CompressionJob* tail_ = nullptr;
  int running_ = 0;                    // Jobs running, here or in finish().
  CompressionJob* current_ = nullptr;  // The job the thread runs.
  bool started_ = false;               // The thread runs in this process.
};

}  // namespace velmor::common::internal

#endif  // VELMOR_LOGGING_INTERNAL_BACKGROUND_COMPRESSOR_H_
