// Tests of the background sink's parts: the counter stamps' conversion into
// wall time, and the reclaiming of the queues of threads that ended.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "logging/internal/async_sink.h"
#include "logging/internal/stamp_clock.h"
#include "test_support.h"

namespace velmor::common::internal {
namespace {

using namespace std::chrono;
using velmor::testing::TempDirTest;

// A machine whose counter runs at 3 ticks a nanosecond, and whose clocks
// the test moves: each reading of the steady clock moves time 1 µs on.
struct FakeClocks {
  static inline std::int64_t ns = 1'000'000'000;
  static inline std::int64_t wallOffset = 0;  // Wall minus steady, in ns.
  static std::uint64_t counter() noexcept { return static_cast<std::uint64_t>(ns) * 3; }
  static system_clock::time_point wall() noexcept {
    return system_clock::time_point(
        duration_cast<system_clock::duration>(nanoseconds(ns + wallOffset)));
  }
  static steady_clock::time_point steady() noexcept {
    ns += 1000;
    return steady_clock::time_point(duration_cast<steady_clock::duration>(nanoseconds(ns)));
  }
  static StampSources sources() { return StampSources{counter, wall, steady}; }
};

// A stamp converts into the wall time of its reading, hours later too; a
// wall clock stepped (an hour ahead, a minute back) shows from the next
// anchor on, at once.
TEST(StampClockTest, StampsShowTheWallTimeOfTheirReadingAndFollowASteppedClock) {
  FakeClocks::wallOffset = 1'700'000'000'000'000'000;
  StampClock clock(FakeClocks::sources());
  const auto expectShows = [&](std::uint64_t stamp, std::int64_t atNs) {
    const auto shown = duration_cast<nanoseconds>(clock.toWall(stamp).time_since_epoch()).count();
    EXPECT_NEAR(static_cast<double>(shown - (atNs + FakeClocks::wallOffset)), 0, 1000);
  };
  for (int hour = 0; hour < 3; ++hour) {
    const std::int64_t read = FakeClocks::ns;
    const std::uint64_t stamp = FakeClocks::counter();
    FakeClocks::ns += 3600LL * 1'000'000'000;  // An hour queued, the worst case.
    clock.anchor();
    expectShows(stamp, read);
  }
  for (const std::int64_t step : {3600LL * 1'000'000'000, -60LL * 1'000'000'000}) {
    FakeClocks::wallOffset += step;
    const std::int64_t read = FakeClocks::ns;
    const std::uint64_t stamp = FakeClocks::counter();
    FakeClocks::ns += 5'000'000;
    clock.anchor();
    expectShows(stamp, read);
  }
}

using AsyncRingsTest = TempDirTest;

// Thousands of short-lived threads, a line each: every line is written, and
// each thread's ring is freed once its lines are, so that the sink holds no
// more rings than there are threads alive; the room their rings set aside
// goes back to the bound.
TEST_F(AsyncRingsTest, TheRingsOfEndedThreadsAreWrittenAndFreed) {
  const auto path = dir() / "short.log";
  AsyncSink sink(path, {}, {});
  constexpr int kThreads = 2000;
  for (int round = 0; round < kThreads / 100; ++round) {
    std::vector<std::thread> threads;
    threads.reserve(100);
    for (int t = 0; t < 100; ++t) {
      threads.emplace_back([&sink, seq = round * 100 + t] {
        sink.write(LogLevel::Info, velmor::testing::recordMessage("s", seq, 10));
      });
    }
    for (std::thread& thread : threads) thread.join();
  }
  sink.flush();
  EXPECT_EQ(velmor::testing::readAll(path, 0, false).size(), static_cast<std::size_t>(kThreads));
  // The next take forgets the rings whose lines are all written.
  std::this_thread::sleep_for(milliseconds(50));
  sink.write(LogLevel::Info, "one more");
  sink.flush();
  EXPECT_LE(sink.ringsHeld(), 2u) << "the shared ring and this thread's";
  EXPECT_LE(sink.bytesCounted(), 16u * 1024) << "this thread's credit at most";
}

}  // namespace
}  // namespace velmor::common::internal
