// Stamps read from the CPU's counter on a caller's path, and their
// conversion into wall time on the background sink's thread.
#ifndef VELMOR_LOGGING_INTERNAL_STAMP_CLOCK_H_
#define VELMOR_LOGGING_INTERNAL_STAMP_CLOCK_H_

#include <chrono>
#include <cstdint>

#if defined(__x86_64__) || defined(_M_X64)
#ifdef _MSC_VER
#include <intrin.h>
#else
#include <x86intrin.h>
#endif
#endif

namespace velmor::common::internal {

// A counter that never goes back and costs a few nanoseconds to read: the
// time stamp counter on x86-64 (invariant on every CPU of the last 15
// years, and the same on every core), the virtual counter on AArch64, the
// steady clock's nanoseconds elsewhere. Its unit is its own: StampClock
// turns it into wall time.
inline std::uint64_t readStampCounter() noexcept {
#if defined(__x86_64__) || defined(_M_X64)
  return __rdtsc();
#elif defined(__aarch64__)
  std::uint64_t ticks;
  asm volatile("mrs %0, cntvct_el0" : "=r"(ticks));
  return ticks;
#else
  return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                        std::chrono::steady_clock::now().time_since_epoch())
                                        .count());
#endif
}

// Where StampClock reads the time; the real clocks unless a test gives
// others.
struct StampSources {
  std::uint64_t (*counter)() noexcept = readStampCounter;
  std::chrono::system_clock::time_point (*wall)() noexcept = []() noexcept {
    return std::chrono::system_clock::now();
  };
  std::chrono::steady_clock::time_point (*steady)() noexcept = []() noexcept {
    return std::chrono::steady_clock::now();
  };
};

// Converts counter stamps into the wall time of system_clock. anchor()
// pairs a counter reading with system_clock now, so that a stamp converted
// after it is off by its age times the rate's error: the rate is measured
// against the steady clock over the clock's whole life, its error shrinking
// with it (a few parts per million after a second). A wall clock that was
// stepped (NTP, an operator) shows from the next anchor on.
//
// Not thread-safe: one thread anchors and converts.
class StampClock {
 public:
  explicit StampClock(StampSources sources = {}) noexcept;

  // Reads both clocks again (a few hundred nanoseconds).
  void anchor() noexcept;
  // The wall time at which the counter read `stamp`.
  std::chrono::system_clock::time_point toWall(std::uint64_t stamp) const noexcept;

 private:
  StampSources sources_;
  std::uint64_t startTicks_;
  std::chrono::steady_clock::time_point startSteady_;
  // The last anchor.
  std::uint64_t anchorTicks_ = 0;
  std::chrono::steady_clock::time_point anchorSteady_{};
  std::chrono::system_clock::time_point anchorWall_{};
  // Counter ticks per nanosecond: measured at first, then the steady
  // clock's view of the counter from construction to the last anchor.
  double ticksPerNs_ = 1;
  double nsPerTick_ = 1;
};

}  // namespace velmor::common::internal

#endif  // VELMOR_LOGGING_INTERNAL_STAMP_CLOCK_H_
