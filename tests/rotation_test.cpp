// Tests of FileLogSink's size-based rotation: threshold, backup shifting and
// retention, warnings, retries after failed renames, and concurrent writers.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <limits>
#include <map>
#include <memory>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#ifdef __linux__
#include <unistd.h>
#endif

#include "logging/platform.h"
#include "os_helpers.h"
#include "test_support.h"

namespace velmor::common {
namespace {

using namespace velmor::testing;

constexpr std::int64_t kThreshold = static_cast<std::int64_t>(kRotateThresholdBytes);
constexpr std::size_t kInfoOverhead = lineSize(0);

// Prefills `path` so that one INFO line carrying `message` brings it to
// exactly `target` bytes.
void fillBefore(const fs::path& path, std::int64_t target, const std::string& message) {
  writeFile(path,
            std::string(static_cast<std::size_t>(target) - kInfoOverhead - message.size(), 'p'));
}

// The names in `dir`, sorted.
std::set<std::string> entries(const fs::path& dir) {
  std::set<std::string> names;
  for (const auto& entry : fs::directory_iterator(dir)) {
    names.insert(entry.path().filename().string());
  }
  return names;
}

// Checks a warning line's fixed text around the error code, which varies
// between platforms, and returns the code.
unsigned long checkWarning(const std::string& line, const std::string& head) {
  const std::string tail = "); log will continue at oversize. (one-shot warning)\n";
  EXPECT_EQ(line.compare(0, head.size(), head), 0) << line;
  EXPECT_GT(line.size(), head.size() + tail.size()) << line;
  if (line.size() <= head.size() + tail.size()) return 0;
  EXPECT_EQ(line.compare(line.size() - tail.size(), tail.size(), tail), 0) << line;
  const std::string code = line.substr(head.size(), line.size() - head.size() - tail.size());
  EXPECT_EQ(code.find_first_not_of("0123456789"), std::string::npos) << line;
  return code.empty() ? 0 : std::stoul(code);
}

using RotationTest = TempDirTest;

// A piece of an expected file: bytes the test placed, or one line the sink
// wrote (its message; the stamp is whatever the clock said).
struct Piece {
  bool line = false;
  std::string text;
};
Piece placed(std::string text) { return {false, std::move(text)}; }
Piece line(std::string message) { return {true, std::move(message)}; }
using Files = std::map<int, std::vector<Piece>>;  // By number: 0 is the active file.

// Checks that `file` holds exactly `pieces`, in order.
void expectFile(const fs::path& file, const std::vector<Piece>& pieces) {
  const std::string bytes = readFile(file);
  std::size_t at = 0;
  for (const Piece& piece : pieces) {
    if (!piece.line) {
      ASSERT_EQ(bytes.compare(at, piece.text.size(), piece.text), 0) << file.string() << " @" << at;
      at += piece.text.size();
      continue;
    }
    const std::size_t end = bytes.find('\n', at);
    ASSERT_NE(end, std::string::npos) << file.string() << " @" << at;
    EXPECT_EQ(afterStamp(bytes.substr(at, end + 1 - at)), "[INFO] " + piece.text + "\n")
        << file.string() << " @" << at;
    at = end + 1;
  }
  EXPECT_EQ(at, bytes.size()) << file.string();
}

// Fixed scenarios: the files placed, the messages one sink writes, and
// every file expected afterwards, compared whole; every number not listed
// (up to one above the oldest) must be absent.
TEST_F(RotationTest, FixedScenariosLeaveExactlyTheFilesExpected) {
  // Filler that brings a file to `total` bytes once a line of "m" follows.
  const auto upTo = [](std::int64_t total) {
    return std::string(static_cast<std::size_t>(total) - lineSize(1), 'p');
  };
  const std::string below = upTo(kThreshold - 1);
  const std::string at = upTo(kThreshold);
  const std::string oversize(6 * 1024 * 1024, 'o');
  const std::string huge(static_cast<std::size_t>(kThreshold) + 1, 'h');
  struct Scenario {
    std::string name;
    Files before;
    std::vector<std::string> writes;
    Files after;
  };
  const std::vector<Scenario> scenarios = {
      // The threshold counts to the byte: one short stays, exactly it rotates.
      {"below", {{0, {placed(below)}}}, {"m"}, {{0, {placed(below), line("m")}}}},
      {"at", {{0, {placed(at)}}}, {"m"}, {{1, {placed(at), line("m")}}}},
      // A file found oversize rotates after the first line; the next starts afresh.
      {"oversize",
       {{0, {placed(oversize)}}},
       {"first", "second"},
       {{1, {placed(oversize), line("first")}}, {0, {line("second")}}}},
      // A message larger than the threshold is kept whole in its own backup.
      {"huge", {}, {huge}, {{1, {line(huge)}}}},
      // Gaps are skipped.
      {"gaps",
       {{1, {placed("one")}}, {3, {placed("three")}}, {0, {placed(at)}}},
       {"m"},
       {{1, {placed(at), line("m")}}, {2, {placed("one")}}, {4, {placed("three")}}}},
      // With every number taken only the oldest goes; a sixth is never touched.
      {"full",
       {{1, {placed("b1")}},
        {2, {placed("b2")}},
        {3, {placed("b3")}},
        {4, {placed("b4")}},
        {5, {placed("b5")}},
        {6, {placed("foreign")}},
        {0, {placed(at)}}},
       {"m"},
       {{1, {placed(at), line("m")}},
        {2, {placed("b1")}},
        {3, {placed("b2")}},
        {4, {placed("b3")}},
        {5, {placed("b4")}},
        {6, {placed("foreign")}}}},
  };
  for (const Scenario& scenario : scenarios) {
    SCOPED_TRACE(scenario.name);
    const fs::path path = dir() / (scenario.name + ".log");
    const auto file = [&](int n) { return n == 0 ? path : backup(path, n); };
    for (const auto& [n, pieces] : scenario.before) writeFile(file(n), pieces.front().text);
    std::shared_ptr<ILogSink> sink = makeFileLogSink(path);
    for (int n = 0; n <= kMaxBackups + 1; ++n) {  // Construction touches nothing.
      EXPECT_EQ(fs::exists(file(n)), scenario.before.count(n) != 0) << n;
    }
    for (const std::string& message : scenario.writes) sink->write(LogLevel::Info, message);
    for (int n = 0; n <= kMaxBackups + 1; ++n) {
      const auto expected = scenario.after.find(n);
      if (expected == scenario.after.end()) {
        EXPECT_FALSE(fs::exists(file(n))) << n;
      } else {
        ASSERT_NO_FATAL_FAILURE(expectFile(file(n), expected->second)) << n;
      }
    }
  }
}

TEST_F(RotationTest, BytesAppendedByAnotherWriterCount) {
  const fs::path path = dir() / "shared.log";
  std::shared_ptr<ILogSink> sink = makeFileLogSink(path);
  sink->write(LogLevel::Info, "ours");
  {
    std::ofstream other(path, std::ios::binary | std::ios::app);
    other << std::string(static_cast<std::size_t>(kThreshold) - 27 - 30, 'z');
  }
  sink->write(LogLevel::Info, "short");  // 28 bytes: 2 short of the threshold.
  EXPECT_FALSE(fs::exists(backup(path, 1)));
  sink->write(LogLevel::Info, "x");
  EXPECT_FALSE(fs::exists(path));
  EXPECT_EQ(sizeOf(backup(path, 1)), kThreshold - 2 + lineSize(1));
}

// The fixed scenario of test_log_rotation, with the exact sizes it implies.
TEST_F(RotationTest, RepeatedRotationsLeaveFiveFullBackupsOfExactSize) {
  const fs::path path = dir() / "velmor-test.log";
  std::shared_ptr<ILogSink> sink = makeFileLogSink(path);
  const std::string kib(1024, 'X');
  for (int i = 0; i < 1024 + 5120; ++i) sink->write(LogLevel::Info, kib);
  EXPECT_EQ(sizeOf(backup(path, 1)), 5008 * lineSize(1024));
  EXPECT_EQ(sizeOf(path), 1136 * lineSize(1024));

  const std::string four(4096, 'X');
  for (int i = 0; i < 8000; ++i) sink->write(LogLevel::Info, four);
  EXPECT_EQ(sizeOf(path), 650 * lineSize(4096));
  for (int n = 1; n <= 5; ++n) EXPECT_EQ(sizeOf(backup(path, n)), 1273 * lineSize(4096)) << n;
  EXPECT_EQ(entries(dir()).size(), 6u);  // The active file and .1 to .5 only.
}

// The rename rotation is built on: it refuses an occupied destination with
// the OS's own code and leaves both files as they were.
TEST_F(RotationTest, TheRenameOfRotationNeverReplaces) {
  const fs::path from = dir() / "from";
  const fs::path to = dir() / "to";
  writeFile(from, "moving");
  writeFile(to, "kept");
#ifdef _WIN32
  const platform::ErrorCode occupied = 183;  // ERROR_ALREADY_EXISTS
#else
  const platform::ErrorCode occupied = EEXIST;
#endif
  EXPECT_EQ(platform::renameNoReplace(from.c_str(), to.c_str()), occupied);
  EXPECT_EQ(readFile(to), "kept");
  EXPECT_EQ(readFile(from), "moving");
  EXPECT_EQ(platform::renameNoReplace(from.c_str(), (dir() / "free").c_str()), 0u);
  EXPECT_EQ(readFile(dir() / "free"), "moving");
}

// Whatever stands at a backup number without being a regular file (a
// directory; on POSIX a symbolic link, whose target must not be touched
// either) is never moved, replaced or deleted, the oldest number included,
// even when every number is taken.
TEST_F(RotationTest, NothingButRegularFilesIsEverMovedOrDeleted) {
  std::vector<std::string> kinds = {"directory"};
#ifndef _WIN32
  kinds.push_back("symlink");
#endif
  for (const std::string& kind : kinds) {
    for (int n = 1; n <= kMaxBackups; ++n) {
      SCOPED_TRACE(kind + " at ." + std::to_string(n));
      const fs::path path = dir() / (kind + std::to_string(n) + ".log");
      const fs::path target = dir() / (kind + std::to_string(n) + ".target");
      for (int b = 1; b <= kMaxBackups; ++b) {
        if (b != n) writeFile(backup(path, b), "b" + std::to_string(b));
      }
      if (kind == "directory") {
        fs::create_directories(backup(path, n) / "inside");
      } else {
        writeFile(target, "target");
        fs::create_symlink(target, backup(path, n));
      }
      fillBefore(path, kThreshold, "x");
      {
        StderrCapture quiet;
        makeFileLogSink(path)->write(LogLevel::Info, "x");
      }
      if (kind == "directory") {
        EXPECT_TRUE(fs::is_directory(backup(path, n) / "inside"));
      } else {
        EXPECT_TRUE(fs::is_symlink(backup(path, n)));
        EXPECT_EQ(fs::read_symlink(backup(path, n)), target);
        EXPECT_EQ(readFile(target), "target");
      }
      EXPECT_FALSE(fs::exists(backup(path, kMaxBackups + 1)));
    }
  }
}

// The warning names both files whole, in UTF-8 (on Windows the wide names are
// converted, elsewhere the native bytes are printed unchanged).
TEST_F(RotationTest, FailedShiftWarnsOncePerSinkAndCompletesOnceClear) {
  const fs::path logs = dir() / fs::u8path(u8"caf\u00e9-\u65e5\u672c");
  const fs::path path = logs / fs::u8path(u8"\u65e5\u8a8c.log");
  fs::create_directories(logs);
  for (int n = 1; n <= 4; ++n) writeFile(backup(path, n), "b" + std::to_string(n));
  // A non-empty directory in place of the oldest backup can neither be
  // deleted nor replaced by the file moving up onto it.
  const fs::path obstacle = backup(path, 5);
  fs::create_directories(obstacle / "occupied");
  fillBefore(path, kThreshold, "x");

  StderrCapture capture;
  std::shared_ptr<ILogSink> first = makeFileLogSink(path);
  first->write(LogLevel::Info, "x");
  first->write(LogLevel::Info, "y");
  std::shared_ptr<ILogSink> second = makeFileLogSink(path);
  second->write(LogLevel::Info, "z");
  second->write(LogLevel::Info, "w");
  const std::vector<std::string> lines = splitLines(capture.take());

  ASSERT_EQ(lines.size(), 2u);  // One line per sink object.
  EXPECT_EQ(lines[0], lines[1]);
  const std::string head = "[velmor-log-rotation] MoveFileExW(" + backup(path, 4).u8string() +
                           " -> " + obstacle.u8string() + ") failed (GetLastError=";
  EXPECT_NE(checkWarning(lines[0], head), 0u);
  // Nothing moved, and the active file kept every line past the threshold.
  for (int n = 1; n <= 4; ++n) EXPECT_EQ(readFile(backup(path, n)), "b" + std::to_string(n));
  EXPECT_EQ(sizeOf(path), kThreshold + 3 * lineSize(1));

  fs::remove_all(obstacle);
  first->write(LogLevel::Info, "v");
  EXPECT_FALSE(fs::exists(path));
  EXPECT_EQ(sizeOf(backup(path, 1)), kThreshold + 4 * lineSize(1));
  for (int n = 2; n <= 5; ++n) {
    EXPECT_EQ(readFile(backup(path, n)), "b" + std::to_string(n - 1)) << n;
  }
}

TEST_F(RotationTest, FailedActiveRenameWarnsWithItsOwnText) {
  const fs::path path = dir() / "active.log";
  writeFile(backup(path, 1), "one");
  fillBefore(path, kThreshold, "x");
  VELMOR_PIN_OR_SKIP(pin, path);

  StderrCapture capture;
  std::shared_ptr<ILogSink> sink = makeFileLogSink(path);
  sink->write(LogLevel::Info, "x");
  sink->write(LogLevel::Info, "y");
  const std::vector<std::string> lines = splitLines(capture.take());
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(checkWarning(lines[0],
                         "[velmor-log-rotation] MoveFileExW(active -> .1) failed (GetLastError="),
            FilePin::renameError());
  EXPECT_EQ(readFile(backup(path, 2)), "one");  // The shift itself succeeded.
  EXPECT_FALSE(fs::exists(backup(path, 1)));
  EXPECT_EQ(sizeOf(path), kThreshold + lineSize(1));

  pin.release();
  sink->write(LogLevel::Info, "z");  // Resumes with the active file alone.
  EXPECT_FALSE(fs::exists(path));
  EXPECT_EQ(sizeOf(backup(path, 1)), kThreshold + 2 * lineSize(1));
  EXPECT_EQ(readFile(backup(path, 2)), "one");
}

TEST_F(RotationTest, RetriesAfterAFailedShiftNeitherDeleteNorMoveBackupsTwice) {
  const fs::path path = dir() / "retry.log";
  for (int n = 1; n <= 5; ++n) writeFile(backup(path, n), "b" + std::to_string(n));
  fillBefore(path, kThreshold, "x");
  VELMOR_PIN_OR_SKIP(pin, backup(path, 3));

  StderrCapture capture;
  std::shared_ptr<ILogSink> sink = makeFileLogSink(path);
  for (int i = 0; i < 5; ++i) sink->write(LogLevel::Info, "x");
  const std::vector<std::string> warnings = splitLines(capture.take());
  ASSERT_EQ(warnings.size(), 1u);
  EXPECT_EQ(
      checkWarning(warnings[0], "[velmor-log-rotation] MoveFileExW(" + backup(path, 3).string() +
                                    " -> " + backup(path, 4).string() + ") failed (GetLastError="),
      FilePin::renameError());
  // The first attempt dropped b5 and moved b4 up before ".3" refused to move;
  // the retries after it deleted nothing.
  EXPECT_EQ(readFile(backup(path, 1)), "b1");
  EXPECT_EQ(readFile(backup(path, 2)), "b2");
  EXPECT_EQ(readFile(backup(path, 3)), "b3");
  EXPECT_FALSE(fs::exists(backup(path, 4)));
  EXPECT_EQ(readFile(backup(path, 5)), "b4");
  EXPECT_EQ(sizeOf(path), kThreshold + 4 * lineSize(1));

  pin.release();
  sink->write(LogLevel::Info, "x");
  EXPECT_FALSE(fs::exists(path));
  EXPECT_EQ(sizeOf(backup(path, 1)), kThreshold + 5 * lineSize(1));
  for (int n = 2; n <= 5; ++n) {
    EXPECT_EQ(readFile(backup(path, n)), "b" + std::to_string(n - 1)) << n;
  }
  EXPECT_FALSE(fs::exists(backup(path, 6)));

  // The next rotation is a fresh one again: it drops the oldest backup.
  fillBefore(path, kThreshold, "x");
  sink->write(LogLevel::Info, "x");
  EXPECT_EQ(readFile(backup(path, 5)), "b3");
}

// However many sinks (or processes) retry a refused rotation, each backup
// moves at most once in all, and the files end where one rotation puts them.
TEST_F(RotationTest, ARefusedRotationMovesEachBackupOnceWhoeverRetriesIt) {
  const fs::path path = dir() / "refused.log";
  writeFile(backup(path, 1), "one");
  fillBefore(path, kThreshold, "x");
  StderrCapture capture;
  std::shared_ptr<ILogSink> sinks[3] = {makeFileLogSink(path), makeFileLogSink(path),
                                        makeFileLogSink(path)};
  {
    VELMOR_PIN_OR_SKIP(pin, path);
    for (int line = 0; line < 2; ++line) {
      for (auto& sink : sinks) sink->write(LogLevel::Info, "x");
    }
  }
  EXPECT_EQ(entries(dir()), (std::set<std::string>{"refused.log", "refused.log.2"}));
  EXPECT_EQ(readFile(backup(path, 2)), "one");
  sinks[2]->write(LogLevel::Info, "x");
  EXPECT_EQ(entries(dir()), (std::set<std::string>{"refused.log.1", "refused.log.2"}));
  EXPECT_EQ(sizeOf(backup(path, 1)), kThreshold + 6 * lineSize(1));
  EXPECT_EQ(splitLines(capture.take()).size(), 3u);  // One per sink.

  // A shift refused in the middle, with a gap above: the sink's retries
  // resume where it stopped instead of moving ".3" up again each time.
  const fs::path gap = dir() / "gap.log";
  writeFile(backup(gap, 1), "one");
  writeFile(backup(gap, 3), "three");
  fillBefore(gap, kThreshold, "x");
  std::shared_ptr<ILogSink> sink = makeFileLogSink(gap);
  {
    StderrCapture quiet;
    VELMOR_PIN_OR_SKIP(pin, backup(gap, 1));
    for (int line = 0; line < 3; ++line) sink->write(LogLevel::Info, "x");
  }
  sink->write(LogLevel::Info, "x");
  EXPECT_EQ(readFile(backup(gap, 2)), "one");
  EXPECT_EQ(readFile(backup(gap, 4)), "three");
  EXPECT_FALSE(fs::exists(backup(gap, 5)));
  EXPECT_EQ(sizeOf(backup(gap, 1)), kThreshold + 3 * lineSize(1));
}

// A file lock held by a stranger (or a process stuck in the middle of a
// rotation) delays the sink of that file by a second at most, and the sinks
// of other files not at all.
TEST_F(RotationTest, AStrangersLockStallsNoOtherSink) {
  const fs::path path = dir() / "locked.log";
  fillBefore(path, kThreshold, "x");
  auto stranger = std::make_unique<platform::AppendFile>(path.c_str());
  ASSERT_TRUE(stranger->isOpen());
  ASSERT_EQ(stranger->tryLock(), platform::LockResult::Taken);
  std::shared_ptr<ILogSink> locked = makeFileLogSink(path);
  std::shared_ptr<ILogSink> other = makeFileLogSink(dir() / "other.log");

  std::atomic<bool> done{false};
  std::thread blocked([&] {
    locked->write(LogLevel::Info, "x");
    done = true;
  });
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::seconds(20);
  Clock::duration slowest{};
  int writes = 0;
  while (!done && Clock::now() < deadline) {
    const auto start = Clock::now();
    other->write(LogLevel::Info, "o");
    slowest = std::max(slowest, Clock::now() - start);
    ++writes;
  }
  EXPECT_TRUE(done) << "the sink of the locked file never returned";
  // Generous for a noisy machine, and far below the second of a stall.
  EXPECT_LT(std::chrono::duration_cast<std::chrono::milliseconds>(slowest).count(), 400)
      << "milliseconds, the slowest of " << writes << " writes";
  stranger.reset();
  blocked.join();
  EXPECT_FALSE(fs::exists(backup(path, 1)));  // Left for a later line,
  locked->write(LogLevel::Info, "x");
  EXPECT_TRUE(fs::exists(backup(path, 1)));  // which rotates once it can.
}

// A remembered resume point is only a hint: once another sink has completed
// the rotation, or a stranger has put a file at ".1", resuming would rename
// the active file onto it. Neither may cost a byte.
TEST_F(RotationTest, AStaleResumePointNeverCostsAnotherSinksBackupOrAStrangersFile) {
  const fs::path path = dir() / "stale.log";
  fillBefore(path, kThreshold, "a");
  StderrCapture capture;
  std::shared_ptr<ILogSink> first = makeFileLogSink(path);
  std::shared_ptr<ILogSink> second = makeFileLogSink(path);
  {
    VELMOR_PIN_OR_SKIP(pin, path);
    first->write(LogLevel::Info, "a");  // Interrupted at the active file.
  }
  second->write(LogLevel::Info, "b");  // Completes a rotation of its own.
  ASSERT_EQ(sizeOf(backup(path, 1)), kThreshold + lineSize(1));
  fillBefore(path, kThreshold, "c");
  first->write(LogLevel::Info, "c");
  EXPECT_EQ(sizeOf(backup(path, 2)), kThreshold + lineSize(1));
  EXPECT_EQ(sizeOf(backup(path, 1)), kThreshold);

  fillBefore(path, kThreshold, "d");
  {
    VELMOR_PIN_OR_SKIP(pin, path);
    first->write(LogLevel::Info, "d");  // Shifts both backups, then stops.
  }
  ASSERT_FALSE(fs::exists(backup(path, 1)));
  writeFile(backup(path, 1), "stranger");
  first->write(LogLevel::Info, "e");

  EXPECT_EQ(sizeOf(backup(path, 1)), kThreshold + lineSize(1));
  EXPECT_EQ(readFile(backup(path, 2)), "stranger");
  EXPECT_EQ(sizeOf(backup(path, 3)), kThreshold);
  EXPECT_EQ(sizeOf(backup(path, 4)), kThreshold + lineSize(1));
  EXPECT_FALSE(fs::exists(path));
  EXPECT_EQ(splitLines(capture.take()).size(), 1u);
}

// A process killed in the middle of a rotation leaves some of its steps done.
// Whichever step it stopped after, the next sink's rotation must leave the
// files in age order with nothing missing between the oldest kept and the
// newest line.
TEST_F(RotationTest, RotationInterruptedByACrashAtAnyStepLeavesNoGap) {
  for (int done = 0; done <= 6; ++done) {
    SCOPED_TRACE("steps done before the crash: " + std::to_string(done));
    const fs::path path = dir() / ("crash" + std::to_string(done) + ".log");
    for (int n = 1; n <= 5; ++n) writeFile(backup(path, n), "b" + std::to_string(n) + "\n");
    writeFile(path, std::string(static_cast<std::size_t>(kThreshold), 'A'));
    // The steps of one rotation: drop .5, shift 4..1 up, active to .1.
    if (done >= 1) fs::remove(backup(path, 5));
    for (int i = 4; i >= 1 && done >= 6 - i; --i) fs::rename(backup(path, i), backup(path, i + 1));
    if (done >= 6) fs::rename(path, backup(path, 1));

    makeFileLogSink(path)->write(LogLevel::Info, "after the crash");

    // Each file named by what it starts with, oldest first.
    std::vector<std::string> order;
    for (int n = 5; n >= 0; --n) {
      const std::string content = readFile(n == 0 ? path : backup(path, n));
      if (!content.empty()) order.push_back(content[0] == '[' ? "new" : content.substr(0, 2));
    }
    // Exactly one rotation's worth is gone, the oldest backup: whichever
    // step the crash came after, the next rotation finishes the one it
    // interrupted. After the last step the line started a fresh file.
    std::vector<std::string> ages = {"b4", "b3", "b2", "b1", "AA"};
    if (done == 6) ages.push_back("new");
    EXPECT_EQ(order, ages);
    const std::string newest = readFile(done == 6 ? path : backup(path, 1));
    EXPECT_EQ(newest.substr(newest.size() - 16), "after the crash\n");
  }
}

#ifdef __linux__
// How many descriptors of process `pid` refer to files under `dir`.
int filesOpenUnder(long pid, const fs::path& dir) {
  int count = 0;
  std::error_code ec;
  const fs::path fds = "/proc/" + std::to_string(pid) + "/fd";
  for (fs::directory_iterator it(fds, ec), end; !ec && it != end; it.increment(ec)) {
    const std::string target = fs::read_symlink(it->path(), ec).string();
    if (target.rfind(dir.string(), 0) == 0) ++count;
  }
  return count;
}
#endif

// Programs start children with handle inheritance whenever they redirect a
// child's standard streams. A child started while the sink has the file open
// must not keep it: on Windows it could block every rotation while it lives,
// everywhere it would keep deleted backups' space.
TEST_F(RotationTest, ChildrenStartedWhileTheFileIsOpenNeitherHoldNorBlockIt) {
  const fs::path path = dir() / "children.log";
  fillBefore(path, kThreshold, "x");
  StderrCapture capture;
  std::shared_ptr<ILogSink> sink = makeFileLogSink(path);
  // The file as every sink opens it, held open while the children start.
  auto open = std::make_unique<platform::AppendFile>(path.c_str());
  ASSERT_TRUE(open->isOpen());
  EXPECT_FALSE(inheritable(open->nativeHandle()));
  std::vector<Child> children;
  [[maybe_unused]] int holding = 0;  // Counted where /proc shows it.
  for (int i = 0; i < 20; ++i) {
    children.push_back(spawn(writerProcess(), {"sleep", "3000"}));
#ifdef __linux__
    holding += filesOpenUnder(children.back(), dir());
#endif
  }
  open.reset();
  sink->write(LogLevel::Info, "x");  // Two rotations while they live.
  fillBefore(path, kThreshold, "x");
  sink->write(LogLevel::Info, "x");
  for (const Child child : children) {
    EXPECT_NE(child, -1);
    if (child != -1) {
      EXPECT_EQ(waitFor(child), 0);
    }
  }

#ifdef __linux__
  EXPECT_EQ(holding, 0) << "children holding the log file";
#endif
  EXPECT_EQ(capture.take(), "");
  EXPECT_FALSE(fs::exists(path));
  EXPECT_EQ(sizeOf(backup(path, 1)), kThreshold);
  EXPECT_EQ(sizeOf(backup(path, 2)), kThreshold);
}

TEST_F(RotationTest, APolicyOutsideItsLimitsIsRefusedBeforeAnythingIsMade) {
  struct Case {
    RotationPolicy policy;
    std::string field;
    std::string value;
  };
  const std::vector<Case> cases = {
      {{0, 5}, "maxFileBytes", "0"},
      {{100, 0}, "maxBackups", "0"},
      {{100, -1}, "maxBackups", "-1"},
      {{100, kMaxBackupsLimit + 1}, "maxBackups", std::to_string(kMaxBackupsLimit + 1)},
      {{100, std::numeric_limits<int>::max()},
       "maxBackups",
       std::to_string(std::numeric_limits<int>::max())},
  };
  for (const Case& refused : cases) {
    const fs::path path = dir() / "never" / "made.log";
    for (int factory = 0; factory < 2; ++factory) {
      try {
        if (factory == 1) {
          makeFileLogSink(path, refused.policy);
        } else {
          FileLogSink sink(path, refused.policy);
        }
        ADD_FAILURE() << refused.field << " " << refused.value << " was accepted";
      } catch (const std::invalid_argument& error) {
        const std::string message = error.what();
        EXPECT_NE(message.find(refused.field), std::string::npos) << message;
        EXPECT_NE(message.find(", not " + refused.value), std::string::npos) << message;
      }
    }
    EXPECT_TRUE(fs::is_empty(dir())) << refused.field << " " << refused.value;
  }
}

// Any policy keeps the same promises with its own numbers: exactly
// maxBackups backups once enough was written, each within [limit, limit +
// one line), the kept lines in order with none missing, and nothing above
// the oldest number made or touched.
TEST_F(RotationTest, AChosenPolicyKeepsEveryPromiseWithItsOwnNumbers) {
  struct Case {
    RotationPolicy policy;
    std::uint64_t records;
    std::size_t filler;
  };
  const std::vector<Case> cases = {
      {{100000, 12}, 2000, 1000},  // 13 rotations and a bit.
      {{1, 1}, 3, 10},             // Every line rotates.
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.policy.maxFileBytes) + " x " +
                 std::to_string(c.policy.maxBackups));
    const fs::path path = dir() / (std::to_string(c.policy.maxBackups) + ".log");
    const int above = c.policy.maxBackups + 1;
    writeFile(backup(path, above), "stranger");
    {
      std::shared_ptr<ILogSink> sink = makeFileLogSink(path, c.policy);
      for (std::uint64_t i = 0; i < c.records; ++i)
        sink->write(LogLevel::Info, recordMessage("c", i, c.filler));
    }
    EXPECT_EQ(expectBackupsWithin(path, c.policy, recordLineSize("c", c.records, c.filler)),
              c.policy.maxBackups);
    expectEveryRecord(readAll(path, c.policy.maxBackups, false), 1, c.records, true);
    EXPECT_EQ(readFile(backup(path, above)), "stranger");
    EXPECT_FALSE(fs::exists(backup(path, above + 1)));
  }

  // The largest count: with every number taken, the oldest goes and the
  // thousand others move up one.
  const fs::path path = dir() / "thousand.log";
  for (int n = 1; n < kMaxBackupsLimit; ++n) writeFile(backup(path, n), std::to_string(n));
  writeFile(backup(path, kMaxBackupsLimit + 1), "stranger");
  {
    std::shared_ptr<ILogSink> sink = makeFileLogSink(path, {1, kMaxBackupsLimit});
    sink->write(LogLevel::Info, "fills the last number");
    sink->write(LogLevel::Info, "drops the oldest");
  }
  EXPECT_EQ(readFile(backup(path, kMaxBackupsLimit)), std::to_string(kMaxBackupsLimit - 2));
  EXPECT_EQ(readFile(backup(path, 3)), "1");
  EXPECT_EQ(messageOf(readFile(backup(path, 2))), "fills the last number");
  EXPECT_EQ(messageOf(readFile(backup(path, 1))), "drops the oldest");
  EXPECT_EQ(readFile(backup(path, kMaxBackupsLimit + 1)), "stranger");
}

TEST_F(RotationTest, ConcurrentWritersKeepEveryLineWholeAndInOrder) {
  const fs::path path = dir() / "threads.log";
  constexpr int kThreads = 8;
  constexpr int kLinesPerThread = 2500;
  {
    std::shared_ptr<ILogSink> sink = makeFileLogSink(path);
    std::vector<std::thread> threads;
    threads.reserve(kThreads);
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([&sink, t] {
        for (std::uint64_t i = 0; i < kLinesPerThread; ++i) {
          sink->write(LogLevel::Info, recordMessage("t" + std::to_string(t), i, 1000));
        }
      });
    }
    for (auto& thread : threads) thread.join();
  }
  // 20.7 MB: exactly three rotations, nothing dropped, every record there.
  ASSERT_EQ(expectBackupsWithin(path, {}, kThreads * recordLineSize("t0", kLinesPerThread, 1000)),
            3);
  expectEveryRecord(readAll(path, kMaxBackups, false), kThreads, kLinesPerThread);
}

}  // namespace
}  // namespace velmor::common
