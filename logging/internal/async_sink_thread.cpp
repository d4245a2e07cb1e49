// AsyncSink's thread: takes what the rings published, merges it by stamp,
// writes it in pieces; and the crash handler's last write.
#include <algorithm>
#include <thread>

#include "logging/internal/async_sink.h"

namespace velmor::common::internal {
namespace {

// How far a shown time may lag the line written before it and still be
// taken for a line that was late to its ring (a writer descheduled between
// its stamp and its push) or for two clocks' rounding: a wall clock stepped
// back further is a step, and shows at once.
constexpr std::chrono::seconds kLateStampSlack{1};
// Lines handed to the file at once; their room is given back after each
// piece, so that a full queue frees room a little at a time. Each append
// costs some ten system calls (the file is opened, locked and checked every
// time, as other processes may rotate it): smaller pieces cost throughput.
constexpr std::size_t kPieceLines = 2048;
// How often a dozing thread looks at the rings for a large queue.
constexpr std::chrono::milliseconds kDozeLook{1};
// Lines taken at once, at most: what the thread holds beside the rings.
constexpr std::size_t kMaxTake = 8192;

}  // namespace

bool AsyncSink::somethingUrgent() const noexcept {
  if (stopping_.load() || waiters_.load() > 0 || !ownLines_.empty()) return true;
  // The rings' bytes, headers included: the shared count holds credit too.
  std::uint64_t queued = 0;
  for (const auto& ring : drainRings_) queued += ring->published() - ring->released();
  return queued >= wakeBytes_;
}

bool AsyncSink::nothingQueued() noexcept {
  // With the credit back, the count is the bytes of lines queued: those
  // whose writers took their room before this, whether or not they have
  // pushed them yet. A writer after it finds no credit and counts its
  // bytes in the shared count before it reads the state.
  reclaimCredit();
  return queuedBytes_.load() == 0;
}

void AsyncSink::drainUntilStopped() {
  // Under load the thread comes straight back: what piled up while it wrote
  // goes out at once.
  bool loaded = false;
  for (;;) {
    if (!loaded && !somethingUrgent()) {
      if (unsynced_ && allWritten()) {
        // The burst is over: its last lines are synced before the wait.
        syncAfterWrite(true);
        continue;
      }
      waitForWork();
    }
    const std::size_t taken = drainOnce();
    loaded = taken >= kPieceLines / 4;
    if (taken > 0) {
      syncAfterWrite(false);
    } else if (stopping_.load() && allWritten()) {
      return;
    } else if (somethingUrgent()) {
      // A writer between its reservation and its push, or records stamped
      // after this take began: they are there in a moment.
      std::this_thread::yield();
    }
  }
}

void AsyncSink::waitForWork() {
  std::unique_lock<std::mutex> lock(wakeMutex_);
  const auto woken = [&] { return state_.load() == kBusy || stopping_.load(); };
  // A few lines wait for more: large appends cost a fraction of small ones,
  // and a thread that came back for every line would take the rings' cache
  // lines from the writers all the time. For maxDelay the thread looks at
  // the rings now and then, and goes to work once much is queued: writers
  // wake it only for a flush, a ring half full, a full queue or the end.
  state_.store(kDozing);
  const auto until = std::chrono::steady_clock::now() + options_.maxDelay;
  for (auto now = std::chrono::steady_clock::now(); now < until && !somethingUrgent();
       now = std::chrono::steady_clock::now()) {
    if (work_.wait_for(lock, std::min<std::chrono::steady_clock::duration>(kDozeLook, until - now),
                       woken)) {
      break;
    }
  }
  // Then, with nothing queued, any write wakes it. The state is set before
  // the count is read, and a writer counts its bytes before it reads the
  // state: one of the two sees the other.
  int dozing = kDozing;
  if (!stopping_.load() && state_.compare_exchange_strong(dozing, kAsleep) && nothingQueued() &&
      !somethingUrgent()) {
    work_.wait(lock, woken);
  }
  state_.store(kBusy);
}

std::size_t AsyncSink::drainOnce() {
  {
    std::unique_lock<std::mutex> lock(takeMutex_);
    if (crashing_.load()) {
      lock.unlock();
      parkForCrash();
    }
    take();
    if (records_.empty()) return 0;
    writingOut_ = true;
  }
  writeTaken();
  {
    std::unique_lock<std::mutex> lock(takeMutex_);
    writingOut_ = false;
    if (unwrittenFrom_ != kNoneUnwritten) {
      // The crash handler writes the rest: its room is not given back.
      lock.unlock();
      parkForCrash();
    }
    // What a Drop flush gave up meanwhile is given back too.
    for (const auto& ring : drainRings_) ring->release(ring->taken);
  }
  progressed();
  return records_.size();
}

void AsyncSink::parkForCrash() {
  // Blocked in a wait, the thread holds nothing the handler or the
  // process's end needs (a thread ended amid a write or an allocation can
  // leave a lock of the runtime held).
  std::unique_lock<std::mutex> lock(wakeMutex_);
  for (;;) work_.wait(lock);
}

bool AsyncSink::openRun(Run& run, std::uint64_t cut) noexcept {
  if (run.pos >= run.head) return false;
  run.stamp = run.ring == nullptr ? 0 : run.ring->stampAt(run.pos);
  // A record stamped after the take began may have a neighbour in another
  // ring stamped before it and not yet pushed: it waits for the next take,
  // which takes it whatever the stamp (a CPU whose counter runs ahead
  // delays its lines by one take, never longer).
  return run.pos < run.seen || run.stamp < cut;
}

void AsyncSink::take() {
  refreshRings();
  records_.clear();
  origins_.clear();
  runs_.clear();
  ownTaken_.clear();
  if (crashing_.load()) return;  // The crash handler writes the rings.
  ownTaken_.swap(ownLines_);
  if (abandoned_.load()) {
    std::size_t bytes = 0;
    for (const auto& ring : drainRings_) bytes += discard(*ring, ring->published());
    queuedBytes_.fetch_sub(bytes);
    dropped_.fetch_add(ownTaken_.size(), std::memory_order_relaxed);
    ownTaken_.clear();
    return;
  }
  // For the merge's heap: the run whose next record is oldest on top.
  const auto laterRun = [](const Run& a, const Run& b) { return a.stamp > b.stamp; };
  clock_.anchor();
  const std::uint64_t cut = readStampCounter();
  for (const auto& ring : drainRings_) {
    Run run{ring.get(), ring->taken, ring->published(), ring->seen, 0};
    ring->seen = run.head;
    if (openRun(run, cut)) runs_.push_back(run);
  }
  std::make_heap(runs_.begin(), runs_.end(), laterRun);
  while (!runs_.empty() && records_.size() < kMaxTake) {
    std::pop_heap(runs_.begin(), runs_.end(), laterRun);
    Run& run = runs_.back();
    // The oldest run's records up to the next run's oldest go at once: one
    // thread's lines, or lines that came in turns, cost no heap operation.
    const std::uint64_t until = runs_.size() > 1 ? runs_.front().stamp : ~std::uint64_t{0};
    bool open = true;
    while (open && run.stamp <= until && records_.size() < kMaxTake) {
      const ThreadRing::Item item = run.ring->next(run.pos);
      // Built in place: a temporary copied in costs more than the rest of
      // the loop (its stores are read back wider than they were written).
      records_.emplace_back(item.level, item.message, shownTime(item.stamp));
      Origin& origin = origins_.emplace_back();
      origin.ring = run.ring;
      origin.end = run.pos;
      origin.cost = cost(item.message);
      open = openRun(run, cut);
    }
    if (open) {
      std::push_heap(runs_.begin(), runs_.end(), laterRun);
    } else {
      run.ring->taken = run.pos;
      runs_.pop_back();
    }
  }
  for (const Run& run : runs_) run.ring->taken = run.pos;
  // The thread's own lines (its hooks wrote them while it wrote the last
  // batch) follow: nothing taken is later than the last line written then.
  for (const OwnLine& line : ownTaken_) {
    records_.push_back(LogRecord{line.level, line.message, shownTime(line.stamp)});
    origins_.push_back(Origin{nullptr, 0, 0});
  }
}

std::chrono::system_clock::time_point AsyncSink::shownTime(std::uint64_t stamp) noexcept {
  // A line late to its ring shows the time of the line before it.
  lastTicks_ = std::max(lastTicks_, stamp);
  auto shown = clock_.toWall(lastTicks_);
  if (shown < lastShown_ && lastShown_ - shown < kLateStampSlack) shown = lastShown_;
  lastShown_ = shown;
  return shown;
}

void AsyncSink::writeTaken() {
  const std::size_t count = records_.size();
  for (std::size_t start = 0; start < count; start += kPieceLines) {
    const std::size_t end = std::min(count, start + kPieceLines);
    // A record the file did not take whole is dropped, as write() drops
    // it, and the next one is tried: a file that comes back takes the rest.
    for (std::size_t done = start; done < end;) {
      if (abandoned_.load()) {
        dropped_.fetch_add(end - done, std::memory_order_relaxed);
        break;
      }
      // A crash handler waits for one pass of the file at most: near a
      // rotation lines go one at a time, and a piece can take long.
      done += sink_.append(records_.data() + done, end - done, nullptr, &crashing_);
      if (done < end && crashing_.load()) {
        releasePiece(start, done);
        unwrittenFrom_ = done;
        return;
      }
      if (done < end) ++done;
    }
    releasePiece(start, end);
  }
}

void AsyncSink::releasePiece(std::size_t from, std::size_t to) noexcept {
  std::size_t bytes = 0;
  for (std::size_t i = from; i < to; ++i) {
    const Origin& origin = origins_[i];
    bytes += origin.cost;
    if (origin.ring == nullptr) continue;
    if (origin.ring->pendingRelease == 0) touched_.push_back(origin.ring);
    origin.ring->pendingRelease = origin.end;
  }
  for (ThreadRing* ring : touched_) {
    ring->release(ring->pendingRelease);
    ring->pendingRelease = 0;
  }
  touched_.clear();
  queuedBytes_.fetch_sub(bytes);
  progressed();
}

void AsyncSink::refreshRings() {
  const auto ended = [](const std::shared_ptr<ThreadRing>& ring) {
    // Ended first: a ring whose thread has ended is published whole.
    return ring->producerGone.load(std::memory_order_acquire) &&
           ring->released() == ring->published() && ring->taken == ring->published();
  };
  const std::uint64_t version = ringsVersion_.load(std::memory_order_acquire);
  const bool reclaim = std::any_of(drainRings_.begin(), drainRings_.end(), ended);
  if (version == drainVersion_ && !reclaim) return;
  const std::lock_guard<std::mutex> lock(ringsMutex_);
  if (reclaim) {
    // An ended ring's credit goes back to the others.
    const auto gone = std::stable_partition(rings_.begin(), rings_.end(),
                                            [&](const auto& ring) { return !ended(ring); });
    std::size_t credit = 0;
    for (auto ring = gone; ring != rings_.end(); ++ring) credit += (*ring)->reclaimCredit();
    queuedBytes_.fetch_sub(credit);
    rings_.erase(gone, rings_.end());
  }
  drainRings_ = rings_;
  drainVersion_ = version;
}

bool AsyncSink::allWritten() const noexcept {
  return ownLines_.empty() &&
         std::all_of(drainRings_.begin(), drainRings_.end(),
                     [](const auto& ring) { return ring->released() == ring->published(); });
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

bool AsyncSink::appendOnCrash(const LogRecord* records, std::size_t count,
                              std::chrono::steady_clock::time_point deadline) noexcept {
  for (std::size_t done = 0; done < count;) {
    const std::size_t written = sink_.appendWithin(records + done, count - done, deadline);
    if (written == 0 && std::chrono::steady_clock::now() >= deadline) return false;
    done += written > 0 ? written : 1;  // A line the file refused is dropped, as always.
  }
  return true;
}

void AsyncSink::writeQueuedOnCrash() noexcept {
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::seconds(1);
  // The thread's batch in progress is older than the rings: it goes first,
  // unless the fault is in that thread.
  const bool ownThread = runnerId_.load() == std::this_thread::get_id();
  // The thread finishes the piece it writes and stops: the rest of its
  // batch, and then the rings, are written here, in order.
  crashing_.store(true);
  for (;;) {
    if (takeMutex_.try_lock()) {
      if (ownThread || !writingOut_) break;
      takeMutex_.unlock();
    }
    if (Clock::now() >= deadline) return;
    std::this_thread::yield();
  }
  if (!ownThread && unwrittenFrom_ != kNoneUnwritten &&
      !appendOnCrash(records_.data() + unwrittenFrom_, records_.size() - unwrittenFrom_,
                     deadline)) {
    return;
  }
  // Every ring registered, if their lock is free; else those the thread knew.
  bool registry = false;
  while (!(registry = ringsMutex_.try_lock()) && Clock::now() < deadline) std::this_thread::yield();
  const auto& rings = registry ? rings_ : drainRings_;
  clock_.anchor();
  LogRecord records[64];
  for (;;) {
    std::size_t n = 0;
    for (; n < 64; ++n) {
      // The oldest record of all rings: a scan, as nothing may be allocated.
      ThreadRing* oldest = nullptr;
      std::uint64_t stamp = 0;
      for (const auto& ring : rings) {
        if (ring->taken >= ring->published()) continue;
        const std::uint64_t next = ring->stampAt(ring->taken);
        if (oldest == nullptr || next < stamp) {
          oldest = ring.get();
          stamp = next;
        }
      }
      if (oldest == nullptr) break;
      const ThreadRing::Item item = oldest->next(oldest->taken);
      records[n] = LogRecord{item.level, item.message, shownTime(item.stamp)};
    }
    if (n == 0 || !appendOnCrash(records, n, deadline)) break;
  }
  if (registry) ringsMutex_.unlock();
}

}  // namespace velmor::common::internal
