// One thread's queue of lines for a background sink: a bounded ring with
// one producer and one consumer, and no lock.
#ifndef VELMOR_LOGGING_INTERNAL_THREAD_RING_H_
#define VELMOR_LOGGING_INTERNAL_THREAD_RING_H_

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>

#include "logging/log_sink.h"

namespace velmor::common::internal {

// Records back to back in a circular buffer: a 16-byte header (the stamp,
// the size, the level) and the message, padded to 16 bytes; a message over
// a quarter of the ring is copied to the heap and the ring holds where.
// Positions only grow (64 bits: they never wrap); the ring is at
// `position % capacity`.
//
// Thread safety: push() is the producer's alone. The consumer's members
// (next, release, taken/seen) are for one thread at a time, which the
// owner serialises; published() and released() may be read by anyone.
class ThreadRing {
 public:
  // `capacity`: a power of two, at least 4 KiB. Throws std::bad_alloc.
  explicit ThreadRing(std::size_t capacity);
  // Frees the heap copies of messages still held.
  ~ThreadRing();
  ThreadRing(const ThreadRing&) = delete;
  ThreadRing& operator=(const ThreadRing&) = delete;

  enum class Push { Done, Full, NoMemory };
  // Appends a record. Full: not enough room until the consumer releases
  // some; NoMemory: a large message whose copy could not be allocated.
  Push push(std::uint64_t stamp, LogLevel level, std::string_view message) noexcept;
  // The producer's: whether more than half the ring is in use (it reads the
  // consumer's position, a cache miss: for the rare path).
  bool halfFull() noexcept {
    cachedTail_ = tail_.load(std::memory_order_acquire);
    return head_.load(std::memory_order_relaxed) - cachedTail_ > capacity_ / 2;
  }

  // Room of the sink's bound set aside for this ring's producer, so that
  // its common path touches no line another thread writes. Taken and
  // added by the producer; taken back whole by anyone (a writer that finds
  // the bound reached, or the sink once the producer ended).
  bool takeCredit(std::size_t bytes) noexcept {
    const auto wanted = static_cast<std::int64_t>(bytes);
    if (credit_.load(std::memory_order_relaxed) < wanted) return false;
    // A taker between the load and here may have left less.
    if (credit_.fetch_sub(wanted) >= wanted) return true;
    credit_.fetch_add(wanted);
    return false;
  }
  void addCredit(std::size_t bytes) noexcept {
    credit_.fetch_add(static_cast<std::int64_t>(bytes));
  }
  // The credit left, now zero. A producer that is between its two steps of
  // a failed take holds it below zero for a moment: that part stays.
  std::size_t reclaimCredit() noexcept {
    std::int64_t left = credit_.load();
    while (left > 0 && !credit_.compare_exchange_weak(left, 0)) {
    }
    return left > 0 ? static_cast<std::size_t>(left) : 0;
  }

  struct Item {
    std::uint64_t stamp;
    LogLevel level;
    std::string_view message;  // Valid until release() passes `end`.
  };
  // The record at `pos` (a position below published(), a record's start),
  // with `pos` moved past it.
  Item next(std::uint64_t& pos) const noexcept;
  // The stamp of the record at `pos`, as next() would return it.
  std::uint64_t stampAt(std::uint64_t pos) const noexcept;
  // Gives the room below `upTo` back to the producer (and frees the heap
  // copies there). Positions only grow.
  void release(std::uint64_t upTo) noexcept;

  std::uint64_t published() const noexcept { return head_.load(std::memory_order_acquire); }
  std::uint64_t released() const noexcept { return tail_.load(std::memory_order_acquire); }

  // The consumer's: where its next take starts, and what it had seen
  // published at its last take.
  std::uint64_t taken = 0;
  std::uint64_t seen = 0;
  std::uint64_t pendingRelease = 0;  // Where a written piece ends, 0 if none.

  // The producing thread has ended (its lines may still be queued), or the
  // sink no longer drains the ring.
  std::atomic<bool> producerGone{false};
  std::atomic<bool> sinkGone{false};

 private:
  struct Header;
  std::size_t index(std::uint64_t pos) const noexcept {
    return static_cast<std::size_t>(pos) & (capacity_ - 1);
  }
  // The header at `pos`, past a wrap marker (which moves `pos`).
  Header headerAt(std::uint64_t& pos) const noexcept;

  const std::size_t capacity_;
  const std::unique_ptr<unsigned char[]> bytes_;
  // The producer's line: where it writes, and the last release it saw.
  alignas(64) std::atomic<std::uint64_t> head_{0};
  std::uint64_t cachedTail_ = 0;
  // Heap copies not yet freed: release() looks for them only then.
  std::atomic<std::uint64_t> heapCopies_{0};
  // The producer's alone but when credit is taken back: the consumer's
  // reads of the line above do not stall its updates.
  alignas(64) std::atomic<std::int64_t> credit_{0};
  // The consumer's line.
  alignas(64) std::atomic<std::uint64_t> tail_{0};
};

}  // namespace velmor::common::internal

#endif  // VELMOR_LOGGING_INTERNAL_THREAD_RING_H_
