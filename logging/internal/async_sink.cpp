// AsyncSink: a queue in front of FileSink::append, emptied by a thread of its
// own.
#include "logging/internal/async_sink.h"

#include <algorithm>
#include <new>
#include <stdexcept>
#include <string>
#include <utility>

#include "logging/internal/crash_hook.h"

namespace velmor::common::internal {
namespace {

const AsyncOptions& checked(const AsyncOptions& options) {
  if (options.maxQueuedBytes == 0) {
    throw std::invalid_argument("AsyncOptions::maxQueuedBytes must be at least 1, not 0");
  }
  if (options.maxDelay.count() < 0) {
    throw std::invalid_argument("AsyncOptions::maxDelay must not be negative, not " +
                                std::to_string(options.maxDelay.count()) + "ms");
  }
  if (options.syncInterval.count() < 0) {
    throw std::invalid_argument("AsyncOptions::syncInterval must not be negative, not " +
                                std::to_string(options.syncInterval.count()) + "ms");
  }
  if (options.maxDropWait.count() < 0) {
    throw std::invalid_argument("AsyncOptions::maxDropWait must not be negative, not " +
                                std::to_string(options.maxDropWait.count()) + "ms");
  }
  return options;
}

// How much a waiting thread lets pile up before a write wakes it: enough
// for a few large appends, so that a busy program pays for a wake-up only
// now and then.
constexpr std::size_t kWakeBytes = 256 * 1024;
// How far a stamp may lag the line queued before it and still be taken for
// a caller descheduled in between: a clock stepped back further is a step.
constexpr std::chrono::seconds kLateStampSlack{1};

}  // namespace

AsyncSink::AsyncSink(std::filesystem::path path, const RotationPolicy& policy,
                     const AsyncOptions& options)
    : sink_(std::move(path), policy),
      options_(checked(options)),
      syncFrom_(policy.syncFrom),
      wakeBytes_(std::max<std::size_t>(1, std::min(kWakeBytes, options.maxQueuedBytes / 4))),
      thread_([this] { run(); }) {
  if (options_.writeOnCrash && !registerForCrash(this)) {
    // Constructed whole: stop the thread before refusing.
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      stopping_ = true;
    }
    work_.notify_one();
    thread_.join();
    throw std::invalid_argument("AsyncOptions::writeOnCrash: at most " +
                                std::to_string(kMaxCrashSinks) + " such sinks at once");
  }
}

AsyncSink::~AsyncSink() {
  if (options_.writeOnCrash) unregisterForCrash(this);
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  work_.notify_one();
  if (options_.whenFull == AsyncOptions::WhenFull::Drop) stopWithin();
  thread_.join();
}

void AsyncSink::stopWithin() noexcept {
  std::unique_lock<std::mutex> lock(mutex_);
  ++waiters_;
  if (!progress_.wait_for(lock, options_.maxDropWait, [&] { return finished_; })) {
    // The file takes nothing (a pipe whose reader stalled): the write in
    // progress is cut short, and the rest is counted as dropped.
    abandoned_.store(true);
    sink_.giveUpStreams();
    while (!progress_.wait_for(lock, std::chrono::milliseconds(10), [&] { return finished_; })) {
      interrupter_.interrupt();
    }
  }
  --waiters_;
}

void AsyncSink::write(LogLevel level, std::string_view message) {
  // Read before the lock: the critical section is a copy and a push.
  const auto now = std::chrono::system_clock::now();
  const std::size_t size = message.size();
  std::unique_lock<std::mutex> lock(mutex_);
  // A message larger than the whole queue goes in alone. The sink's own
  // thread (an onRotated hook that logs) never waits for room: only it makes
  // any, so its few lines go past the bound instead.
  const bool ownThread = std::this_thread::get_id() == runner_;
  while (!ownThread && queuedBytes_ > 0 && queuedBytes_ + size > options_.maxQueuedBytes) {
    if (options_.whenFull == AsyncOptions::WhenFull::Drop) {
      lock.unlock();
      dropped_.fetch_add(1, std::memory_order_relaxed);
      return;
    }
    if (wake(true)) work_.notify_one();
    ++waiters_;
    progress_.wait(lock);
    --waiters_;
  }
  // A stamp read before the lock is older than the line queued last when
  // this thread was descheduled in between (for a time slice, or in the
  // wait for room): it shows that line's time instead, so that a file's
  // stamps never go back. A clock stepped back further than that is a real
  // step (NTP), and shows at once.
  const auto stamp = now < lastStamp_ && lastStamp_ - now < kLateStampSlack ? lastStamp_ : now;
  Buffer& buffer = queued_;
  const std::size_t offset = buffer.bytes.size();
  try {
    buffer.bytes.insert(buffer.bytes.end(), message.begin(), message.end());
    buffer.entries.push_back(Entry{level, offset, size, stamp});
  } catch (const std::bad_alloc&) {
    buffer.bytes.resize(offset);
    lock.unlock();
    dropped_.fetch_add(1, std::memory_order_relaxed);
    return;
  }
  lastStamp_ = stamp;
  queuedBytes_ += size;
  ++accepted_;
  const bool notify = wake(buffer.bytes.size() >= wakeBytes_);
  lock.unlock();
  if (notify) work_.notify_one();
  // Its append syncs the file, with every line before it.
  if (syncFrom_ && level >= *syncFrom_) flush();
}

void AsyncSink::flush() {
  std::unique_lock<std::mutex> lock(mutex_);
  const std::uint64_t target = accepted_;
  // From the sink's own thread (an onRotated hook), the lines to wait for
  // are the ones that thread is writing: nothing to wait for here.
  if (handedOver_ >= target || std::this_thread::get_id() == runner_) return;
  flushTarget_ = std::max(flushTarget_, target);
  if (wake(true)) work_.notify_one();
  ++waiters_;
  const auto done = [&] { return handedOver_ >= target; };
  if (options_.whenFull == AsyncOptions::WhenFull::Block) {
    progress_.wait(lock, done);
  } else if (!progress_.wait_for(lock, options_.maxDropWait, done)) {
    // The file takes nothing for now: what is still queued is given up and
    // counted; the write in progress goes on.
    const std::size_t left = queued_.entries.size();
    dropped_.fetch_add(left, std::memory_order_relaxed);
    queuedBytes_ -= queued_.bytes.size();
    handedOver_ += left;
    queued_.bytes.clear();
    queued_.entries.clear();
    progress_.notify_all();
  }
  --waiters_;
}

bool AsyncSink::wake(bool urgent) noexcept {
  if (threadState_ == ThreadState::Busy) return false;
  if (threadState_ == ThreadState::Dozing && !urgent) return false;
  threadState_ = ThreadState::Busy;
  return true;
}

void AsyncSink::run() {
  interrupter_.registerCurrentThread();
  std::unique_lock<std::mutex> lock(mutex_);
  runner_ = std::this_thread::get_id();
  runnerId_ = runner_;
  // Whoever waits for the end learns of it.
  struct Finish {
    AsyncSink& sink;
    ~Finish() {
      sink.finished_ = true;
      sink.progress_.notify_all();
    }
  } const finish{*this};
  for (;;) {
    // A few lines wait for more: large appends cost a fraction of small
    // ones, and a thread that came back for every line would take the
    // queue's lock (and its cache lines) from the writers all the time.
    const bool little =
        queued_.bytes.size() < wakeBytes_ && flushTarget_ <= handedOver_ && waiters_ == 0;
    if (unsynced_ && queued_.entries.empty()) {
      // The burst is over: its last lines are synced before the wait.
      lock.unlock();
      syncAfterWrite(true);
      lock.lock();
      continue;
    }
    if (!stopping_ && (little || queued_.entries.empty())) {
      // For maxDelay the thread is woken only by a large queue, a flush, a
      // full queue or the end (writes cost no wake-up); after that, with
      // nothing queued, by the next write.
      threadState_ = ThreadState::Dozing;
      work_.wait_for(lock, options_.maxDelay,
                     [&] { return threadState_ == ThreadState::Busy || stopping_; });
      if (queued_.entries.empty() && !stopping_) {
        threadState_ = ThreadState::Asleep;
        work_.wait(lock, [&] { return threadState_ == ThreadState::Busy || stopping_; });
      }
      threadState_ = ThreadState::Busy;
    }
    if (abandoned_.load()) {
      dropped_.fetch_add(queued_.entries.size(), std::memory_order_relaxed);
      queuedBytes_ -= queued_.bytes.size();
      queued_.bytes.clear();
      queued_.entries.clear();
    }
    if (queued_.entries.empty()) {
      if (stopping_) return;
      continue;
    }
    // Under load the thread comes straight back here: what piled up while
    // it wrote goes out at once, in one batch.
    std::swap(queued_, writing_);
    writingOut_ = true;
    lock.unlock();
    writeOut(writing_);
    syncAfterWrite(false);
    const std::size_t bytes = writing_.bytes.size();
    const std::size_t count = writing_.entries.size();
    writing_.bytes.clear();  // Capacity kept: the next swap reuses it.
    writing_.entries.clear();
    lock.lock();
    writingOut_ = false;
    queuedBytes_ -= bytes;
    handedOver_ += count;
    if (waiters_ > 0) progress_.notify_all();
  }
}

void AsyncSink::syncAfterWrite(bool burstOver) {
  if (options_.syncInterval.count() == 0) return;
  const auto now = std::chrono::steady_clock::now();
  if (burstOver || lastSync_ == std::chrono::steady_clock::time_point{} ||
      now - lastSync_ >= options_.syncInterval) {
    sink_.syncActive();
    lastSync_ = now;
    unsynced_ = false;
  } else {
    unsynced_ = true;
  }
}

void AsyncSink::writeQueuedOnCrash() noexcept {
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::seconds(1);
  // The thread's batch in progress is older than the queue: it goes first,
  // unless the fault is in that thread.
  const bool ownThread = runnerId_.load() == std::this_thread::get_id();
  for (;;) {
    if (mutex_.try_lock()) {
      if (ownThread || !writingOut_) break;
      mutex_.unlock();
    }
    if (Clock::now() >= deadline) return;
    std::this_thread::yield();
  }
  LogRecord records[64];
  const std::vector<Entry>& entries = queued_.entries;
  for (std::size_t done = 0; done < entries.size();) {
    std::size_t n = 0;
    for (; n < 64 && done + n < entries.size(); ++n) {
      const Entry& entry = entries[done + n];
      records[n] =
          LogRecord{entry.level, {queued_.bytes.data() + entry.offset, entry.size}, entry.time};
    }
    const std::size_t written = sink_.appendWithin(records, n, deadline);
    if (written == 0 && Clock::now() >= deadline) return;
    done += written > 0 ? written : 1;  // A line the file refused is dropped, as always.
  }
}

void AsyncSink::sync() {
  flush();
  sink_.syncActive();
}

void AsyncSink::writeOut(Buffer& buffer) {
  const std::size_t count = buffer.entries.size();
  records_.resize(count);
  for (std::size_t i = 0; i < count; ++i) {
    const Entry& entry = buffer.entries[i];
    records_[i] =
        LogRecord{entry.level, {buffer.bytes.data() + entry.offset, entry.size}, entry.time};
  }
  // A record the file did not take whole is dropped, as write() drops it,
  // and the next one is tried: a file that comes back takes the rest.
  for (std::size_t done = 0; done < count;) {
    done += sink_.append(records_.data() + done, count - done);
    if (done < count && abandoned_.load()) {
      dropped_.fetch_add(count - done, std::memory_order_relaxed);
      return;
    }
    if (done < count) ++done;
  }
}

}  // namespace velmor::common::internal
