// AsyncSink: a ring per writing thread in front of FileSink::append, merged
// by time and emptied by a thread of its own.
#include "logging/internal/async_sink.h"

#include <algorithm>
#include <new>
#include <stdexcept>
#include <string>
#include <thread>
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
// A thread's ring holds twice the bound, as far as 512 KiB: a thread that
// queues faster than the file takes its lines waits for the file either
// way, and the sink's memory stays that of the lines in flight. (Larger
// rings make larger appends, which cost less a line: 512 KiB holds four
// thousand lines of 100 bytes.)
constexpr std::size_t kMinRingBytes = 4 * 1024;
constexpr std::size_t kMaxRingBytes = 512 * 1024;
// Tries of a writer that finds the queue full before it sleeps.
constexpr int kFullSpins = 50;
// Room a thread's ring takes from the bound at once, to queue that much
// without touching the shared count: a sixteenth of the bound, as far as
// 16 KiB (some 160 lines of 100 bytes).
constexpr std::size_t kMaxCreditBytes = 16 * 1024;
// Times a writer that finds the bound reached takes credit back and tries
// again before it calls the queue full.
constexpr int kReclaimRounds = 4;

std::size_t ringBytesFor(std::size_t maxQueued) {
  std::size_t bytes = kMinRingBytes;
  while (bytes < kMaxRingBytes && bytes / 2 < maxQueued) bytes *= 2;
  return bytes;
}

std::atomic<std::uint64_t> nextSinkId{1};

// A thread's rings, one per sink it wrote to, found by the sink's id; the
// last one used in two plain thread-locals, so that the common path reads
// no table. The table lives on the heap, and the platform hands it back
// when the thread ends (C++ thread-local destructors are not reliable on
// every runtime): its rings are marked so, and the sink writes what they
// hold and then frees them.
struct RingSlot {
  std::uint64_t sink;
  std::shared_ptr<ThreadRing> ring;
};
using ThreadRings = std::vector<RingSlot>;
thread_local std::uint64_t lastSink = 0;
thread_local ThreadRing* lastRing = nullptr;
thread_local ThreadRings* rings = nullptr;
thread_local bool ringsGone = false;             // This thread's table was released.
thread_local const void* runningSink = nullptr;  // The sink whose thread this is.

void releaseRings(void* table) {
  ringsGone = true;
  lastSink = 0;
  lastRing = nullptr;
  rings = nullptr;
  const auto* mine = static_cast<ThreadRings*>(table);
  for (const RingSlot& slot : *mine) slot.ring->producerGone.store(true, std::memory_order_release);
  delete mine;
}

// This thread's table, made on its first use; null once released, or if
// the platform cannot hand it back (its rings would never be freed).
ThreadRings* threadRings() {
  if (rings == nullptr && !ringsGone) {
    auto table = std::make_unique<ThreadRings>();
    if (platform::setThreadExitValue(table.get(), releaseRings)) rings = table.release();
  }
  return rings;
}

}  // namespace

AsyncSink::AsyncSink(std::filesystem::path path, const RotationPolicy& policy,
                     const AsyncOptions& options)
    : sink_(std::move(path), policy),
      options_(checked(options)),
      syncFrom_(policy.syncFrom),
      id_(nextSinkId.fetch_add(1)),
      ringBytes_(ringBytesFor(options.maxQueuedBytes)),
      wakeBytes_(std::max<std::size_t>(1, std::min(kWakeBytes, options.maxQueuedBytes / 4))),
      creditBytes_(std::min(kMaxCreditBytes, options.maxQueuedBytes / 16)),
      sharedRing_(std::make_shared<ThreadRing>(ringBytes_)),
      rings_({sharedRing_}),
      thread_([this] { run(); }) {
  if (options_.writeOnCrash && !registerForCrash(this)) {
    // Constructed whole: stop the thread before refusing.
    {
      const std::lock_guard<std::mutex> lock(wakeMutex_);
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
    const std::lock_guard<std::mutex> lock(wakeMutex_);
    stopping_ = true;
  }
  work_.notify_one();
  if (options_.whenFull == AsyncOptions::WhenFull::Drop) stopWithin();
  thread_.join();
  // The threads' tables still hold their rings: they forget them on their
  // next miss, or when they end.
  const std::lock_guard<std::mutex> lock(ringsMutex_);
  for (const auto& ring : rings_) ring->sinkGone.store(true, std::memory_order_release);
}

void AsyncSink::stopWithin() noexcept {
  std::unique_lock<std::mutex> lock(progressMutex_);
  if (!progressed_.wait_for(lock, options_.maxDropWait, [&] { return finished_; })) {
    // The file takes nothing (a pipe whose reader stalled): the write in
    // progress is cut short, and the rest is counted as dropped.
    abandoned_.store(true);
    sink_.giveUpStreams();
    while (!progressed_.wait_for(lock, std::chrono::milliseconds(10), [&] { return finished_; })) {
      interrupter_.interrupt();
    }
  }
}

ThreadRing& AsyncSink::ringOfThisThread() {
  if (lastSink == id_) return *lastRing;
  try {
    if (ThreadRings* const mine = threadRings()) {
      for (const RingSlot& slot : *mine) {
        if (slot.sink == id_) {
          lastSink = id_;
          lastRing = slot.ring.get();
          return *lastRing;
        }
      }
      // A first line to this sink: the rings of sinks destroyed since go.
      ThreadRings& slots = *mine;
      slots.erase(std::remove_if(slots.begin(), slots.end(),
                                 [](const RingSlot& slot) { return slot.ring->sinkGone.load(); }),
                  slots.end());
      auto ring = std::make_shared<ThreadRing>(ringBytes_);
      slots.reserve(slots.size() + 1);  // So that nothing throws once it is registered.
      {
        const std::lock_guard<std::mutex> lock(ringsMutex_);
        rings_.push_back(ring);
        ringsVersion_.fetch_add(1, std::memory_order_release);
      }
      slots.push_back(RingSlot{id_, ring});
      lastSink = id_;
      lastRing = ring.get();
      return *lastRing;
    }
  } catch (const std::bad_alloc&) {
    // The shared ring takes this thread's lines.
  }
  return *sharedRing_;
}

void AsyncSink::write(LogLevel level, std::string_view message) {
  const std::uint64_t stamp = readStampCounter();
  if (runningSink == this) {
    // The sink's own thread (an onRotated hook that logs) never waits for
    // room: only it makes any. Its few lines go past the bound instead, to
    // the next take.
    try {
      ownLines_.push_back(OwnLine{stamp, level, std::string(message)});
    } catch (const std::bad_alloc&) {
      dropped_.fetch_add(1, std::memory_order_relaxed);
    }
    return;
  }
  ThreadRing& ring = ringOfThisThread();
  const Queued result = tryQueue(ring, stamp, level, message);
  if (result == Queued::Done) {
    // The thread sleeps or dozes: it is woken for this line if it is the
    // first, or if this ring fills. (A dozing thread looks at the rings
    // itself: a wake-up would cost this call a system call, and, on a busy
    // machine, the woken thread's time slice.)
    if (state_.load() != kBusy) wake(ring.halfFull());
  } else if (result == Queued::Full) {
    queueWhenFull(ring, stamp, level, message);
  }
  // Its append syncs the file, with every line before it.
  if (syncFrom_ && level >= *syncFrom_) flush();
}

AsyncSink::Queued AsyncSink::tryQueue(ThreadRing& ring, std::uint64_t stamp, LogLevel level,
                                      std::string_view message) noexcept {
  const std::size_t bytes = cost(message);
  const bool shared = &ring == sharedRing_.get();
  if ((shared || !ring.takeCredit(bytes)) && !reserve(ring, bytes, !shared)) {
    return Queued::Full;
  }
  ThreadRing::Push pushed;
  if (shared) {
    // Stamped under the lock, so that this ring's stamps never go back.
    const std::lock_guard<std::mutex> lock(sharedMutex_);
    pushed = ring.push(readStampCounter(), level, message);
  } else {
    pushed = ring.push(stamp, level, message);
  }
  if (pushed == ThreadRing::Push::Done) return Queued::Done;
  if (shared) {
    queuedBytes_.fetch_sub(bytes);
  } else {
    ring.addCredit(bytes);
  }
  if (pushed == ThreadRing::Push::Full) return Queued::Full;
  dropped_.fetch_add(1, std::memory_order_relaxed);
  return Queued::Dropped;
}

bool AsyncSink::reserve(ThreadRing& ring, std::size_t bytes, bool withCredit) noexcept {
  const std::size_t bound = options_.maxQueuedBytes;
  for (int round = 0;; ++round) {
    std::size_t before = queuedBytes_.load();
    // A message larger than the whole bound goes in alone.
    while (before == 0 || before + bytes <= bound) {
      // Credit only from the lower half of the bound: what idle threads
      // hold never keeps a full queue from its room for long.
      const std::size_t credit =
          withCredit && before + bytes + creditBytes_ <= bound / 2 ? creditBytes_ : 0;
      if (queuedBytes_.compare_exchange_weak(before, before + bytes + credit)) {
        if (credit > 0) ring.addCredit(credit);
        return true;
      }
    }
    // The bound is reached, counting what rings hold in credit: that room
    // is taken back and tried again, while there is any (another writer
    // may take some meanwhile, a few times at most).
    if (round == kReclaimRounds || reclaimCredit() == 0) return false;
  }
}

std::size_t AsyncSink::reclaimCredit() noexcept {
  std::size_t bytes = 0;
  {
    const std::lock_guard<std::mutex> lock(ringsMutex_);
    for (const auto& ring : rings_) bytes += ring->reclaimCredit();
  }
  queuedBytes_.fetch_sub(bytes);
  return bytes;
}

void AsyncSink::queueWhenFull(ThreadRing& ring, std::uint64_t stamp, LogLevel level,
                              std::string_view message) {
  if (options_.whenFull == AsyncOptions::WhenFull::Drop) {
    dropped_.fetch_add(1, std::memory_order_relaxed);
    return;
  }
  // The line keeps the stamp of its call.
  for (int tries = 0;; ++tries) {
    const std::uint64_t seen = progress_.load();
    if (tryQueue(ring, stamp, level, message) != Queued::Full) return;
    if (tries < kFullSpins) {
      wake(true);
      std::this_thread::yield();
      continue;
    }
    // Counted before the wake, so that the thread does not doze; the
    // thread counts progress before it looks for waiters.
    waiters_.fetch_add(1);
    wake(true);
    {
      std::unique_lock<std::mutex> lock(progressMutex_);
      progressed_.wait(lock, [&] { return progress_.load() != seen || finished_; });
    }
    waiters_.fetch_sub(1);
  }
}

void AsyncSink::wake(bool urgent) noexcept {
  int state = state_.load();
  for (;;) {
    if (state == kBusy || (state == kDozing && !urgent)) return;
    if (state_.compare_exchange_weak(state, kBusy)) break;
  }
  { const std::lock_guard<std::mutex> lock(wakeMutex_); }
  work_.notify_one();
}

void AsyncSink::progressed() noexcept {
  progress_.fetch_add(1);
  if (waiters_.load() > 0) {
    { const std::lock_guard<std::mutex> lock(progressMutex_); }
    progressed_.notify_all();
  }
}

void AsyncSink::flush() {
  // From the sink's own thread (an onRotated hook), the lines to wait for
  // are the ones that thread is writing: nothing to wait for here.
  if (runningSink == this) return;
  struct Target {
    std::shared_ptr<ThreadRing> ring;
    std::uint64_t pos;
  };
  std::vector<Target> targets;
  {
    const std::lock_guard<std::mutex> lock(ringsMutex_);
    for (const auto& ring : rings_) {
      const std::uint64_t published = ring->published();
      if (ring->released() < published) targets.push_back(Target{ring, published});
    }
  }
  if (targets.empty()) return;
  const auto done = [&] {
    return std::all_of(targets.begin(), targets.end(),
                       [](const Target& t) { return t.ring->released() >= t.pos; }) ||
           finished_;
  };
  waiters_.fetch_add(1);
  wake(true);
  std::unique_lock<std::mutex> lock(progressMutex_);
  if (options_.whenFull == AsyncOptions::WhenFull::Block) {
    progressed_.wait(lock, done);
  } else if (!progressed_.wait_for(lock, options_.maxDropWait, done)) {
    // The file takes nothing for now: what is still queued is given up and
    // counted; the write in progress goes on.
    lock.unlock();
    std::size_t bytes = 0;
    {
      const std::lock_guard<std::mutex> take(takeMutex_);
      for (const Target& target : targets) {
        bytes += discard(*target.ring, target.pos);
        // While the thread writes, it gives the room back after its batch.
        if (!writingOut_) target.ring->release(target.ring->taken);
      }
    }
    queuedBytes_.fetch_sub(bytes);
    progressed();
  }
  waiters_.fetch_sub(1);
}

std::size_t AsyncSink::discard(ThreadRing& ring, std::uint64_t upTo) noexcept {
  std::size_t bytes = 0;
  std::uint64_t count = 0;
  std::uint64_t pos = ring.taken;
  while (pos < upTo) {
    bytes += cost(ring.next(pos).message);
    ++count;
  }
  ring.taken = std::max(ring.taken, pos);
  ring.seen = std::max(ring.seen, pos);
  dropped_.fetch_add(count, std::memory_order_relaxed);
  return bytes;
}

void AsyncSink::run() {
  runningSink = this;
  runnerId_ = std::this_thread::get_id();
  interrupter_.registerCurrentThread();
  drainUntilStopped();
  // Whoever waits for the end learns of it.
  {
    const std::lock_guard<std::mutex> lock(progressMutex_);
    finished_ = true;
  }
  progressed_.notify_all();
}

std::size_t AsyncSink::ringsHeld() {
  const std::lock_guard<std::mutex> lock(ringsMutex_);
  return rings_.size();
}

void AsyncSink::sync() {
  flush();
  sink_.syncActive();
}

}  // namespace velmor::common::internal
