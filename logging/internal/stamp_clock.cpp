// StampClock: counter stamps into wall time.
#include "logging/internal/stamp_clock.h"

#include <cmath>

namespace velmor::common::internal {
namespace {

using std::chrono::nanoseconds;

// The steady clock's nanoseconds between two of its readings.
double nsBetween(std::chrono::steady_clock::time_point from,
                 std::chrono::steady_clock::time_point to) noexcept {
  return static_cast<double>(std::chrono::duration_cast<nanoseconds>(to - from).count());
}

// The counter's rate, measured over a millisecond (or 100,000 readings of
// the steady clock, for a clock that barely moves): good to a part in
// 10,000, which a stamp a few milliseconds old turns into well under a
// microsecond. The clock's own measure over its life takes over soon.
double measureRate(const StampSources& sources) noexcept {
  const std::uint64_t ticks = sources.counter();
  const auto start = sources.steady();
  auto now = start;
  for (int i = 0; i < 100000 && now - start < std::chrono::milliseconds(1); ++i) {
    now = sources.steady();
  }
  const double ns = nsBetween(start, now);
  const double rate = ns > 0 ? static_cast<double>(sources.counter() - ticks) / ns : 1;
  return rate > 0 && std::isfinite(rate) ? rate : 1;
}

// The real clocks' rate, measured by the first clock of the process.
double processRate(const StampSources& sources) noexcept {
  static const double rate = measureRate(sources);
  return rate;
}

// After this much of its life a clock trusts its own measure of the rate.
constexpr std::chrono::milliseconds kOwnRateAfter{200};

}  // namespace

StampClock::StampClock(StampSources sources) noexcept
    : sources_(sources), startTicks_(sources.counter()), startSteady_(sources.steady()) {
  const bool real = sources.counter == StampSources{}.counter;
  ticksPerNs_ = real ? processRate(sources) : measureRate(sources);
  anchor();
}

void StampClock::anchor() noexcept {
  // The wall clock is read between two counter readings; a pair that a
  // preemption pulled apart is read again.
  std::uint64_t before = 0;
  std::uint64_t after = 0;
  std::chrono::system_clock::time_point wall;
  for (int attempt = 0; attempt < 3; ++attempt) {
    before = sources_.counter();
    wall = sources_.wall();
    after = sources_.counter();
    if (static_cast<double>(after - before) < 20000 * ticksPerNs_) break;  // 20 µs.
  }
  anchorTicks_ = before + (after - before) / 2;
  anchorWall_ = wall;
  anchorSteady_ = sources_.steady();
  if (anchorSteady_ - startSteady_ >= kOwnRateAfter) {
    ticksPerNs_ =
        static_cast<double>(anchorTicks_ - startTicks_) / nsBetween(startSteady_, anchorSteady_);
  }
  nsPerTick_ = 1 / ticksPerNs_;
}

std::chrono::system_clock::time_point StampClock::toWall(std::uint64_t stamp) const noexcept {
  // Signed: a stamp read before the anchor is older than it.
  const auto ticks = static_cast<double>(static_cast<std::int64_t>(stamp - anchorTicks_));
  const auto ns = nanoseconds(static_cast<std::int64_t>(ticks * nsPerTick_));
  return anchorWall_ + std::chrono::duration_cast<std::chrono::system_clock::duration>(ns);
}

}  // namespace velmor::common::internal
