// Tests of AsyncFileLogSink: the lines of FileLogSink in call order, stamps
// of the call, the queue's bound when the file takes nothing (Drop and
// Block), lines written without a flush, and flush().
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#ifndef _WIN32
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include "logging/async_file_log_sink.h"
#include "os_helpers.h"
#include "test_support.h"

namespace velmor::common {
namespace {

using namespace velmor::testing;
using Clock = std::chrono::system_clock;
using AsyncFileLogSinkTest = TempDirTest;

// Waits up to 10 s for `done`; true once it holds.
template <typename Done>
bool eventually(Done done) {
  for (int i = 0; i < 1000 && !done(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return done();
}

// With one policy and one sequence of messages, every file of the set holds
// what FileLogSink's holds, line for line; threads keep their own order;
// destruction writes everything.
TEST_F(AsyncFileLogSinkTest, WritesTheLinesOfFileLogSinkInCallOrder) {
  const RotationPolicy policy{20000, 50};
  const fs::path direct = dir() / "direct.log";
  const fs::path queued = dir() / "queued.log";
  {
    FileLogSink sink(direct, policy);
    AsyncFileLogSink async(queued, policy);
    for (std::uint64_t i = 0; i < 3000; ++i) {
      const auto level = static_cast<LogLevel>(i % 6);
      const std::string message = recordMessage("a", i, i * 37 % 700);
      sink.write(level, message);
      async.write(level, message);
    }
  }
  for (int n = 0; n <= policy.maxBackups; ++n) {
    const fs::path ours = n == 0 ? queued : backup(queued, n);
    const fs::path theirs = n == 0 ? direct : backup(direct, n);
    ASSERT_EQ(fs::exists(ours), fs::exists(theirs)) << n;
    std::vector<std::string> lines = splitLines(readFile(ours));
    std::vector<std::string> expected = splitLines(readFile(theirs));
    for (std::string& line : lines) line = afterStamp(line);
    for (std::string& line : expected) line = afterStamp(line);
    EXPECT_EQ(lines, expected) << n;
  }
  EXPECT_TRUE(fs::exists(backup(queued, 20)));

  const fs::path shared = dir() / "threads.log";
  constexpr std::uint64_t kRecords = 20000;
  {
    AsyncFileLogSink async(shared);
    std::vector<std::thread> threads;
    threads.reserve(4);
    for (int t = 0; t < 4; ++t) {
      threads.emplace_back([&async, t] {
        for (std::uint64_t seq = 0; seq < kRecords; ++seq) {
          async.write(LogLevel::Info, recordMessage("t" + std::to_string(t), seq, 20));
        }
      });
    }
    for (std::thread& thread : threads) thread.join();
  }
  expectEveryRecord(readAll(shared, 0, false), 4, kRecords);
  // A thread descheduled between reading the clock and queueing its line
  // must not make time go back in the file (a day's wrap aside).
  long last = -1;
  int back = 0;
  for (const std::string& line : splitLines(readFile(shared))) {
    const long ms = ((std::stol(line.substr(1, 2)) * 60 + std::stol(line.substr(4, 2))) * 60 +
                     std::stol(line.substr(7, 2))) *
                        1000 +
                    std::stol(line.substr(10, 3));
    if (ms < last && last - ms < 12L * 3600 * 1000) ++back;
    last = ms;
  }
  EXPECT_EQ(back, 0) << "lines whose stamp is earlier than the line before";
}

// Threads that take turns (a lock around each write) write their lines in
// one order of stamps: the file holds them in exactly that order, not
// thread by thread as their queues were emptied, nor as a take found them
// while the threads went on. And with a delay of an hour, a flush() covers
// the lines of a thread that is still running.
TEST_F(AsyncFileLogSinkTest, LinesOfAllThreadsGoOutInTheOrderOfTheirCalls) {
  AsyncOptions lazy;
  lazy.maxDelay = std::chrono::hours(1);
  const fs::path path = dir() / "turns.log";
  constexpr int kTurns = 20000;
  {
    AsyncFileLogSink sink(path);  // Emptied while the threads write.
    std::mutex turn;
    std::condition_variable turned;
    int next = 0;
    std::vector<std::thread> threads;
    threads.reserve(4);
    for (int t = 0; t < 4; ++t) {
      // Mostly in rotation, now and then two turns running.
      threads.emplace_back([&, t] {
        std::unique_lock<std::mutex> lock(turn);
        for (;;) {
          turned.wait(lock, [&] { return next == kTurns || (next * 7 / 9) % 4 == t; });
          if (next == kTurns) return;
          sink.write(LogLevel::Info, std::to_string(next++));
          turned.notify_all();
        }
      });
    }
    for (std::thread& thread : threads) thread.join();
  }
  const std::vector<std::string> lines = splitLines(readFile(path));
  ASSERT_EQ(lines.size(), static_cast<std::size_t>(kTurns));
  int outOfTurn = 0;
  for (int i = 0; i < kTurns; ++i) outOfTurn += messageOf(lines[i]) != std::to_string(i);
  EXPECT_EQ(outOfTurn, 0) << "lines not where their call's turn puts them";

  const fs::path other = dir() / "other.log";
  AsyncFileLogSink sink(other, {}, lazy);
  std::promise<void> wrote;
  std::promise<void> checked;
  std::thread writer([&] {
    for (std::uint64_t seq = 0; seq < 300; ++seq)
      sink.write(LogLevel::Info, recordMessage("o", seq, 10));
    wrote.set_value();
    checked.get_future().wait();  // Alive, its queue its own, until the check.
  });
  wrote.get_future().wait();
  sink.flush();
  expectEveryRecord(readAll(other, 0, false), 1, 300);
  checked.set_value();
  writer.join();
}

// An idle sink's line reaches the file with no flush and no more lines; with
// a delay of an hour, only flush() can have written the rest.
TEST_F(AsyncFileLogSinkTest, AnIdleLineArrivesAloneAndFlushWritesEverythingQueued) {
  const fs::path idle = dir() / "idle.log";
  AsyncFileLogSink sink(idle);
  // Long idle: the thread no longer looks by itself, and a write must wake it.
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  sink.write(LogLevel::Info, "first");
  sink.write(LogLevel::Info, "second");
  // 10 ms by the options; seconds here, so that a loaded machine passes.
  EXPECT_TRUE(eventually([&] { return splitLines(readFile(idle)).size() == 2; }));

  AsyncOptions lazy;
  lazy.maxDelay = std::chrono::hours(1);
  const fs::path flushed = dir() / "flushed.log";
  AsyncFileLogSink waiting(flushed, {}, lazy);
  for (std::uint64_t seq = 0; seq < 500; ++seq)
    waiting.write(LogLevel::Info, recordMessage("f", seq, 10));
  waiting.flush();
  expectEveryRecord(readAll(flushed, 0, false), 1, 500);

  AsyncOptions none;
  none.maxQueuedBytes = 0;
  EXPECT_THROW(AsyncFileLogSink(dir() / "x.log", {}, none), std::invalid_argument);
  AsyncOptions backwards;
  backwards.maxDelay = std::chrono::milliseconds(-1);
  EXPECT_THROW(AsyncFileLogSink(dir() / "x.log", {}, backwards), std::invalid_argument);
  AsyncOptions impatient;
  impatient.maxDropWait = std::chrono::milliseconds(-1);
  EXPECT_THROW(AsyncFileLogSink(dir() / "x.log", {}, impatient), std::invalid_argument);
}

#ifndef _WIN32
// A FIFO whose reader reads nothing until told, its pipe filled up front:
// a sink's first line to it blocks the sink's thread.
class StuckFifo {
 public:
  explicit StuckFifo(const fs::path& path) {
    EXPECT_EQ(::mkfifo(path.c_str(), 0600), 0);
    reader_ = ::open(path.c_str(), O_RDONLY | O_NONBLOCK);
    const int writer = ::open(path.c_str(), O_WRONLY | O_NONBLOCK);
    const std::string filler(4096, '\n');
    while (::write(writer, filler.data(), filler.size()) > 0) {
    }
    ::close(writer);
  }
  ~StuckFifo() { ::close(reader_); }
  StuckFifo(const StuckFifo&) = delete;
  StuckFifo& operator=(const StuckFifo&) = delete;

  // Reads what is there now, the filler's LFs left out.
  std::string drain() {
    std::string got;
    char buffer[65536];
    for (ssize_t n; (n = ::read(reader_, buffer, sizeof(buffer))) > 0;) got.append(buffer, n);
    const std::size_t start = got.find_first_not_of('\n');
    return start == std::string::npos ? "" : got.substr(start);
  }

 private:
  int reader_ = -1;
};

// While the file takes nothing, the queue holds maxQueuedBytes of messages
// and no more: Drop refuses the rest at once and counts them, Block makes
// write() wait until the file takes lines again. The lines that get through
// carry the time of their call, not of their arrival.
TEST_F(AsyncFileLogSinkTest, AFullQueueDropsOrWaitsAndLinesKeepTheirCallTime) {
  constexpr std::size_t kMessage = 100;
  const auto message = [](int i) {
    std::string text = "m" + std::to_string(i) + " ";
    return text + std::string(kMessage - text.size(), 'x');
  };
  for (const auto whenFull : {AsyncOptions::WhenFull::Drop, AsyncOptions::WhenFull::Block}) {
    const bool drop = whenFull == AsyncOptions::WhenFull::Drop;
    SCOPED_TRACE(drop ? "Drop" : "Block");
    const fs::path path = dir() / (drop ? "drop.fifo" : "block.fifo");
    StuckFifo fifo(path);
    AsyncOptions options;
    options.maxQueuedBytes = 10 * kMessage;
    options.whenFull = whenFull;
    AsyncFileLogSink sink(path, {}, options);
    // The first line goes alone, and blocks the thread: the others wait in
    // the queue, and would show the time they left it if stamped then.
    sink.write(LogLevel::Info, message(0));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    std::atomic<int> returned{1};
    const auto before = Clock::now();
    std::thread writer([&] {
      for (int i = 1; i < 20; ++i) {
        sink.write(LogLevel::Info, message(i));
        ++returned;
      }
    });
    ASSERT_TRUE(eventually([&] { return returned >= 10; }));
    const auto queuedBy = Clock::now();
    std::this_thread::sleep_for(std::chrono::milliseconds(drop ? 0 : 100));
    EXPECT_EQ(returned, drop ? 20 : 10);  // Block: the eleventh waits for room.
    // Later than any call of the first ten, by more than a millisecond.
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    std::string got;
    ASSERT_TRUE(eventually([&] {
      got += fifo.drain();
      return splitLines(got).size() >= (drop ? 10u : 20u) && returned == 20;
    }));
    writer.join();
    sink.flush();
    got += fifo.drain();
    EXPECT_EQ(sink.dropped(), drop ? 10u : 0u);
    const std::vector<std::string> lines = splitLines(got);
    ASSERT_EQ(lines.size(), drop ? 10u : 20u);
    for (std::size_t i = 0; i < lines.size(); ++i) {
      const std::string body = "[INFO] " + message(static_cast<int>(i)) + "\n";
      EXPECT_EQ(
          i > 0 && i < 10 ? checkStampAndStrip(lines[i], before, queuedBy) : afterStamp(lines[i]),
          body);
    }
  }
}

// The bound holds for all threads' queues together: while the file takes
// nothing, four threads get maxQueuedBytes of messages in between them
// (the line being written counts, and so do the lines of threads that
// wrote one and idle), and the rest is dropped. Room the idle threads set
// aside for their next lines goes to the others.
TEST_F(AsyncFileLogSinkTest, TheBoundCoversTheQueuesOfAllThreads) {
  const fs::path path = dir() / "bound.fifo";
  StuckFifo fifo(path);
  AsyncOptions options;
  options.maxQueuedBytes = 10 * 100;
  options.whenFull = AsyncOptions::WhenFull::Drop;
  AsyncFileLogSink sink(path, {}, options);
  sink.write(LogLevel::Info, std::string(100, 'b'));  // Blocks the sink's thread.
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  std::promise<void> end;
  const std::shared_future<void> ended = end.get_future().share();
  std::vector<std::thread> threads;
  threads.reserve(6);
  std::atomic<int> idle{0};
  for (int t = 0; t < 2; ++t) {
    threads.emplace_back([&] {
      sink.write(LogLevel::Info, std::string(100, 'i'));
      ++idle;
      ended.wait();
    });
  }
  ASSERT_TRUE(eventually([&] { return idle == 2; }));
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 20; ++i) sink.write(LogLevel::Info, std::string(100, 'q'));
    });
  }
  for (std::size_t t = 2; t < threads.size(); ++t) threads[t].join();
  end.set_value();
  for (std::size_t t = 0; t < 2; ++t) threads[t].join();
  EXPECT_EQ(sink.dropped(), 73u);
  std::string got;
  ASSERT_TRUE(eventually([&] {
    got += fifo.drain();
    return splitLines(got).size() >= 10;
  }));
  sink.flush();
  got += fifo.drain();
  EXPECT_EQ(splitLines(got).size(), 10u);
}

// With Drop nothing waits for ever, even on a FIFO whose reader stalled:
// flush() returns after maxDropWait, dropping and counting the lines still
// queued, and the destructor returns too, cutting short the write that
// blocks the sink's thread.
TEST_F(AsyncFileLogSinkTest, DropNeverWaitsForAStalledReader) {
  const fs::path path = dir() / "stalled.fifo";
  StuckFifo fifo(path);
  AsyncOptions options;
  options.whenFull = AsyncOptions::WhenFull::Drop;
  options.maxDropWait = std::chrono::milliseconds(100);
  auto sink = std::make_unique<AsyncFileLogSink>(path, RotationPolicy{}, options);
  sink->write(LogLevel::Info, "blocks the thread");
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  for (int i = 0; i < 4; ++i) sink->write(LogLevel::Info, "queued");
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  // Each call runs in a thread of its own, let go if it hangs, so that a
  // hang fails the test instead of stopping it (the sink then leaks).
  const auto returns = [](std::function<void()> call) {
    auto done = std::make_shared<std::promise<void>>();
    std::future<void> returned = done->get_future();
    std::thread([call = std::move(call), done] {
      call();
      done->set_value();
    }).detach();
    return returned.wait_for(std::chrono::seconds(20)) == std::future_status::ready;
  };
  AsyncFileLogSink* const raw = sink.release();
  ASSERT_TRUE(returns([raw] { raw->flush(); }));
  EXPECT_EQ(raw->dropped(), 4u);
  ASSERT_TRUE(returns([raw] { delete raw; }));
}
#endif

// A hook runs in the sink's own thread, the only one that makes room: its
// writes must not wait for room, nor its flush() for itself. A sink that
// hangs here fails the test at once rather than the run's time limit.
TEST_F(AsyncFileLogSinkTest, AHookThatLogsAndFlushesNeverHangsTheSink) {
  const fs::path path = dir() / "hooked.log";
  constexpr int kLines = 300;
  std::atomic<int> calls{0};
  AsyncFileLogSink* self = nullptr;
  RotationPolicy policy{2000, 200};
  policy.onRotated = [&](const fs::path&) {
    ++calls;
    for (int i = 0; i < 3; ++i) self->write(LogLevel::Warn, std::string(100, 'h'));
    self->flush();
  };
  AsyncOptions options;
  options.maxQueuedBytes = 256;  // Full after two lines.
  auto done = std::async(std::launch::async, [&] {
    AsyncFileLogSink sink(path, policy, options);
    self = &sink;
    for (int seq = 0; seq < kLines; ++seq) sink.write(LogLevel::Info, recordMessage("a", seq, 100));
  });
  if (done.wait_for(std::chrono::seconds(60)) != std::future_status::ready) {
    ADD_FAILURE() << "the sink hung in its rotation hook";
    std::_Exit(1);
  }
  std::string all;
  for (int n = policy.maxBackups; n >= 1; --n) all += readBackup(path, n);
  all += readFile(path);
  std::vector<Record> records;
  int hookLines = 0;
  for (const std::string& line : splitLines(all)) {
    if (messageOf(line) == std::string(100, 'h')) {
      ++hookLines;
    } else {
      records.push_back(parseRecordBody(afterStamp(line).substr(7)));
    }
  }
  EXPECT_GT(calls.load(), 5);
  EXPECT_EQ(hookLines, 3 * calls.load());
  expectEveryRecord(records, 1, kLines);
}

}  // namespace
}  // namespace velmor::common
