// Tests of FileLogSink's line format, file creation and silent dropping.
#include "logging/file_log_sink.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <iostream>
#include <memory>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#ifndef _WIN32
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include "logging/internal/line_format.h"
#include "logging/internal/platform.h"
#include "test_support.h"

namespace velmor::common {
namespace {

using namespace velmor::testing;
using Clock = std::chrono::system_clock;

std::string formatted(int hour, int min, int sec, unsigned ms, LogLevel level,
                      std::string_view message) {
  std::tm local{};
  local.tm_hour = hour;
  local.tm_min = min;
  local.tm_sec = sec;
  char prefix[internal::kMaxLinePrefix];
  internal::LineTime time;
  time.local = local;
  const std::size_t size = internal::formatLinePrefix(prefix, time, ms, level);
  return std::string(prefix, size) + std::string(message) + "\n";
}

// An ISO prefix, for a second whose local and UTC times are given (as
// "YYYY-MM-DD HH:MM:SS"), and an offset in seconds east.
std::string isoPrefix(const char* local, const char* utc, long offset, unsigned ms,
                      TimeFormat format) {
  const auto parse = [](const char* text) {
    std::tm out{};
    std::sscanf(text, "%d-%d-%d %d:%d:%d", &out.tm_year, &out.tm_mon, &out.tm_mday, &out.tm_hour,
                &out.tm_min, &out.tm_sec);
    out.tm_year -= 1900;
    out.tm_mon -= 1;
    return out;
  };
  internal::LineTime time;
  time.local = parse(local);
  time.utc = parse(utc);
  time.offset = offset;
  char prefix[internal::kMaxLinePrefix];
  return std::string(prefix, internal::formatLinePrefix(prefix, time, ms, LogLevel::Info, format));
}

TEST(FormatLogLine, IsoStampsCarryTheDateAndTheOffsetOrZ) {
  using F = TimeFormat;
  EXPECT_EQ(isoPrefix("2026-12-09 09:05:03", "2026-12-09 08:05:03", 3600, 7, F::LocalIso8601),
            "[2026-12-09T09:05:03.007+01:00] [INFO] ");
  EXPECT_EQ(isoPrefix("2026-12-09 21:42:01", "2026-12-09 16:12:01", 19800, 123, F::LocalIso8601),
            "[2026-12-09T21:42:01.123+05:30] [INFO] ");
  EXPECT_EQ(isoPrefix("2026-01-01 00:00:00", "2026-01-01 05:00:00", -18000, 0, F::LocalIso8601),
            "[2026-01-01T00:00:00.000-05:00] [INFO] ");
  EXPECT_EQ(isoPrefix("2026-12-09 09:05:03", "2026-12-09 08:05:03", 3600, 999, F::UtcIso8601),
            "[2026-12-09T08:05:03.999Z] [INFO] ");
}

TEST(FormatLogLine, PadsEveryTimeFieldWithZeros) {
  EXPECT_EQ(formatted(9, 5, 3, 7, LogLevel::Info, "hello"), "[09:05:03.007] [INFO] hello\n");
  EXPECT_EQ(formatted(0, 0, 0, 0, LogLevel::Trace, "x"), "[00:00:00.000] [TRACE] x\n");
  EXPECT_EQ(formatted(1, 2, 9, 42, LogLevel::Warn, "x"), "[01:02:09.042] [WARN] x\n");
  EXPECT_EQ(formatted(23, 59, 60, 999, LogLevel::Fatal, "leap"), "[23:59:60.999] [FATAL] leap\n");
  EXPECT_EQ(formatted(10, 10, 10, 100, LogLevel::Debug, ""), "[10:10:10.100] [DEBUG] \n");
  // Out-of-range fields are written whole rather than cut to their width.
  EXPECT_EQ(formatted(123, 7, 0, 1000, LogLevel::Info, "x"), "[123:07:00.1000] [INFO] x\n");
}

using FileLogSinkTest = TempDirTest;

// Each message becomes one line, appended after what the file held: the
// stamp, the level's name and the message's bytes exactly as given.
TEST_F(FileLogSinkTest, AppendsOneExactLinePerMessage) {
  const fs::path path = dir() / "lines.log";
  writeFile(path, "kept\n");
  const std::string larger = "viewed|not viewed";  // Only the viewed bytes may be written.
  const std::vector<std::pair<LogLevel, std::string_view>> writes = {
      {LogLevel::Trace, "t"},
      {LogLevel::Debug, "d"},
      {LogLevel::Info, ""},
      {LogLevel::Warn, "first\nsecond"},  // Splits over two lines of the file.
      {LogLevel::Error, std::string_view("a\0b\0", 4)},
      {LogLevel::Fatal, "caf\xC3\xA9 \xFF\xFE\r\t%s%n"},
      {static_cast<LogLevel>(6), std::string_view(larger.data(), 6)},
      {static_cast<LogLevel>(-1), "u"},
  };
  const auto before = Clock::now();
  {
    std::shared_ptr<ILogSink> sink = makeFileLogSink(path);
    for (const auto& [level, message] : writes) sink->write(level, message);
  }
  const auto after = Clock::now();

  const std::vector<std::string> lines = splitLines(readFile(path));
  const std::vector<std::string> expected = {"[TRACE] t\n",
                                             "[DEBUG] d\n",
                                             "[INFO] \n",
                                             "[WARN] first\n",
                                             "second\n",
                                             "[ERROR] " + std::string("a\0b\0", 4) + "\n",
                                             "[FATAL] caf\xC3\xA9 \xFF\xFE\r\t%s%n\n",
                                             "[UNKNOWN] viewed\n",
                                             "[UNKNOWN] u\n"};
  ASSERT_EQ(lines.size(), expected.size() + 1);
  EXPECT_EQ(lines[0], "kept\n");
  for (std::size_t i = 0; i < expected.size(); ++i) {
    const std::string& line = lines[i + 1];
    // The continuation of a message's LF is the one line without a stamp.
    EXPECT_EQ(expected[i][0] == '[' ? checkStampAndStrip(line, before, after) : line, expected[i]);
  }
}

// A record that carries a time shows it, to the millisecond, whenever it
// is written; one without shows the time of its append.
TEST_F(FileLogSinkTest, ARecordsOwnTimeIsTheStampOfItsLine) {
  const fs::path path = dir() / "timed.log";
  const auto past = Clock::now() - std::chrono::hours(30) - std::chrono::milliseconds(123);
  const std::vector<LogRecord> records = {{LogLevel::Info, "then", past},
                                          {LogLevel::Info, "now"},
                                          {LogLevel::Info, "later", past + std::chrono::seconds(1)},
                                          {LogLevel::Info, "again", past}};
  const auto before = Clock::now();
  FileLogSink(path).writeBatch(records.data(), records.size());
  const auto after = Clock::now();
  const std::vector<std::string> lines = splitLines(readFile(path));
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[0], stampAt(past) + " [INFO] then\n");
  EXPECT_EQ(checkStampAndStrip(lines[1], before, after), "[INFO] now\n");
  EXPECT_EQ(lines[2], stampAt(past + std::chrono::seconds(1)) + " [INFO] later\n");
  EXPECT_EQ(lines[3], stampAt(past) + " [INFO] again\n");
}

TEST_F(FileLogSinkTest, ConstructorMakesNestedParentsButNotTheFile) {
  const fs::path path = dir() / "a" / "b" / "c" / "nested.log";
  std::shared_ptr<ILogSink> sink = makeFileLogSink(path);
  EXPECT_TRUE(fs::is_directory(dir() / "a" / "b" / "c"));
  EXPECT_FALSE(fs::exists(path));
  sink->write(LogLevel::Info, "first");
  EXPECT_EQ(fs::file_size(path), lineSize(5));
}

// A relative name is anchored where it was given: a program that changes
// directory later (a daemon's chdir("/")) keeps logging to the same file.
TEST_F(FileLogSinkTest, BareFileNameStaysInTheDirectoryWhereItWasGiven) {
  const fs::path previous = fs::current_path();
  fs::create_directory(dir() / "elsewhere");
  fs::current_path(dir());
  {
    std::shared_ptr<ILogSink> sink = makeFileLogSink("bare.log");
    EXPECT_EQ(fs::directory_iterator(dir())->path().filename(), "elsewhere");  // No directory made.
    sink->write(LogLevel::Info, "here");
    fs::current_path(dir() / "elsewhere");
    sink->write(LogLevel::Info, "still here");
  }
  fs::current_path(previous);
  EXPECT_EQ(fs::file_size(dir() / "bare.log"), lineSize(4) + lineSize(10));
  EXPECT_TRUE(fs::is_empty(dir() / "elsewhere"));
}

// A name with a NUL in it would reach the OS cut short, naming another file
// whose ".5" rotation would delete. Such a sink writes and deletes nothing.
TEST_F(FileLogSinkTest, NameHoldingANulTouchesNothing) {
  const fs::path cut = dir() / "app.log";
  writeFile(cut, "active");
  for (int n = 1; n <= 5; ++n) writeFile(backup(cut, n), std::to_string(n));
  fs::path name = cut;
  name += std::string("\0.x", 3);
  {
    std::shared_ptr<ILogSink> sink = makeFileLogSink(name);
    sink->write(LogLevel::Info, std::string(static_cast<std::size_t>(kRotateThresholdBytes), 'n'));
    sink->write(LogLevel::Info, "more");
  }
  EXPECT_EQ(readFile(cut), "active");
  for (int n = 1; n <= 5; ++n) {
    EXPECT_EQ(readFile(backup(cut, n)), std::to_string(n)) << n;
  }
  EXPECT_EQ(std::distance(fs::directory_iterator(dir()), fs::directory_iterator()), 6);
}

// A target that cannot be written (its directory gone, a directory in its
// place, a parent that cannot be made) costs the line and nothing else:
// nothing printed, nothing touched, and the sink writes again once it can.
TEST_F(FileLogSinkTest, UnwritableTargetsDropLinesSilentlyAndRecover) {
  const fs::path logs = dir() / "logs";
  const fs::path gone = logs / "app.log";
  const fs::path occupied = dir() / "occupied";
  const fs::path blocker = dir() / "file";
  fs::create_directories(occupied / "child");
  writeFile(blocker, "not a directory");
  StderrCapture capture;
  std::shared_ptr<ILogSink> sinks[3] = {makeFileLogSink(gone), makeFileLogSink(occupied),
                                        makeFileLogSink(blocker / "sub" / "app.log")};
  fs::remove_all(logs);
  for (int i = 0; i < 3; ++i) {
    for (auto& sink : sinks) sink->write(LogLevel::Error, "dropped");
  }
  EXPECT_EQ(capture.take(), "");
  EXPECT_FALSE(fs::exists(logs));
  EXPECT_TRUE(fs::is_directory(occupied / "child"));
  EXPECT_EQ(readFile(blocker), "not a directory");

  fs::create_directory(logs);
  sinks[0]->write(LogLevel::Error, "kept");
  EXPECT_EQ(afterStamp(readFile(gone)), "[ERROR] kept\n");
}

// The sink follows the file name, never a handle: whatever happens to the
// file between two writes, the next write goes to whatever the name means
// then, and nothing is printed.
TEST_F(FileLogSinkTest, FollowsTheNameThroughOutsideInterference) {
  const fs::path path = dir() / "app.log";
  const fs::path moved = dir() / "moved.log";
  std::shared_ptr<ILogSink> sink = makeFileLogSink(path);
  StderrCapture capture;

  sink->write(LogLevel::Info, "one");
  fs::remove(path);  // Deleted: the next line starts a new file.
  sink->write(LogLevel::Info, "two");
  EXPECT_EQ(afterStamp(readFile(path)), "[INFO] two\n");

  fs::resize_file(path, 0);  // Truncated: appends start at the new end.
  sink->write(LogLevel::Info, "three");
  EXPECT_EQ(afterStamp(readFile(path)), "[INFO] three\n");

  fs::rename(path, moved);  // Renamed away: the moved file is left alone.
  sink->write(LogLevel::Info, "four");
  EXPECT_EQ(afterStamp(readFile(moved)), "[INFO] three\n");
  EXPECT_EQ(afterStamp(readFile(path)), "[INFO] four\n");

  fs::remove(path);  // Replaced by a directory: dropped, no rotation attempted.
  fs::create_directories(path / "child");
  sink->write(LogLevel::Info, "five");
  EXPECT_TRUE(fs::is_directory(path / "child"));
  EXPECT_FALSE(fs::exists(fs::path(path.string() + ".1")));

  fs::remove_all(path);  // And back to normal.
  sink->write(LogLevel::Info, "six");
  EXPECT_EQ(afterStamp(readFile(path)), "[INFO] six\n");
  EXPECT_EQ(capture.take(), "");
}

#ifdef _WIN32
// Windows programs name long paths \\?\C:\..., devices \\.\C:\... and shares
// \\server\share\...: each is absolute to Win32 and must be used as given, the
// backups' names included. Checked through the local name of the same file.
TEST_F(FileLogSinkTest, WindowsAbsoluteNamesAreUsedAsGiven) {
  struct Case {
    std::wstring name;
    fs::path local;
  };
  const std::wstring here = fs::absolute(dir()).wstring();
  std::vector<Case> cases = {{L"\\\\?\\" + here + L"\\long.log", dir() / "long.log"},
                             {L"\\\\.\\" + here + L"\\device.log", dir() / "device.log"}};
  // A share that the test script maps in the Wine prefix, and the same
  // directory under its local name.
  const char* share = std::getenv("VELMOR_TEST_UNC_SHARE");
  const char* local = std::getenv("VELMOR_TEST_UNC_LOCAL");
  const std::string unique = dir().filename().string();
  if (share != nullptr && local != nullptr) {
    fs::create_directories(fs::u8path(local) / unique);
    cases.push_back({fs::u8path(std::string(share) + "\\" + unique + "\\unc.log").wstring(),
                     fs::u8path(local) / unique / "unc.log"});
  } else {
    std::cout << "SKIPPED: the UNC case (VELMOR_TEST_UNC_SHARE and VELMOR_TEST_UNC_LOCAL unset)\n";
  }
  for (const Case& c : cases) {
    SCOPED_TRACE(fs::path(c.name).u8string());
    {
      std::shared_ptr<ILogSink> sink = makeFileLogSink(c.name, {1, 2});  // Every line rotates.
      for (int i = 1; i <= 3; ++i) sink->write(LogLevel::Info, "line " + std::to_string(i));
    }
    EXPECT_FALSE(fs::exists(c.local));
    EXPECT_EQ(afterStamp(readFile(backup(c.local, 1))), "[INFO] line 3\n");
    EXPECT_EQ(afterStamp(readFile(backup(c.local, 2))), "[INFO] line 2\n");
    EXPECT_FALSE(fs::exists(backup(c.local, 3)));
  }
  if (share != nullptr && local != nullptr) fs::remove_all(fs::u8path(local) / unique);
}
#endif

#ifndef _WIN32
// A symbolic link named as the log file is written through and never renamed
// away: rotation only ever moves the regular files it made.
TEST_F(FileLogSinkTest, SymlinkedLogIsWrittenThroughAndNeverRotatedAway) {
  const fs::path target = dir() / "real.log";
  const fs::path link = dir() / "link.log";
  fs::create_symlink(target, link);
  constexpr int kLines = 5200;  // About 5.4 MB: past the threshold.
  {
    std::shared_ptr<ILogSink> sink = makeFileLogSink(link);
    const std::string kib(1024, 'k');
    for (int i = 0; i < kLines; ++i) sink->write(LogLevel::Info, kib);
  }
  EXPECT_TRUE(fs::is_symlink(link));
  EXPECT_EQ(fs::file_size(target), kLines * lineSize(1024));
  EXPECT_EQ(std::distance(fs::directory_iterator(dir()), fs::directory_iterator()), 2);
}

// Opening a FIFO that nobody reads would block, and with it every sink of
// the process. The line is dropped instead.
TEST_F(FileLogSinkTest, FifoWithoutAReaderStallsNoSink) {
  const fs::path fifo = dir() / "fifo.log";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  std::shared_ptr<ILogSink> stalled = makeFileLogSink(fifo);
  std::shared_ptr<ILogSink> regular = makeFileLogSink(dir() / "regular.log");
  std::atomic<int> done{0};
  std::thread toFifo([&] {
    for (int i = 0; i < 10; ++i) stalled->write(LogLevel::Info, "nobody reads this");
    ++done;
  });
  std::thread toFile([&] {
    for (int i = 0; i < 10; ++i) regular->write(LogLevel::Info, "kept");
    ++done;
  });
  // Generous: only a blocked open takes anywhere near this long.
  const auto deadline = Clock::now() + std::chrono::seconds(20);
  while (done < 2 && Clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  const bool blocked = done < 2;
  // Give a blocked open its reader, so that the threads can end.
  const int reader = blocked ? ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK) : -1;
  toFifo.join();
  toFile.join();
  if (reader >= 0) ::close(reader);
  EXPECT_FALSE(blocked) << "a write to a FIFO without a reader blocked the sinks";
  EXPECT_EQ(splitLines(readFile(dir() / "regular.log")).size(), 10u);
}

// Lowers the process's file size limit to `bytes` (with SIGXFSZ ignored, so
// that a write past it fails instead of killing the process) until
// destroyed. ok() is false where the hard limit could not be raised again.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t bytes) {
    ok_ = ::getrlimit(RLIMIT_FSIZE, &saved_) == 0 &&
          (saved_.rlim_max == RLIM_INFINITY || saved_.rlim_max >= 1000000);
    if (!ok_) return;
    struct rlimit cut = saved_;
    cut.rlim_cur = bytes;
    previous_ = std::signal(SIGXFSZ, SIG_IGN);
    ok_ = ::setrlimit(RLIMIT_FSIZE, &cut) == 0;
  }
  ~FileSizeLimit() {
    if (previous_ == SIG_ERR) return;
    ::setrlimit(RLIMIT_FSIZE, &saved_);
    std::signal(SIGXFSZ, previous_);
  }
  FileSizeLimit(const FileSizeLimit&) = delete;
  FileSizeLimit& operator=(const FileSizeLimit&) = delete;
  bool ok() const { return ok_; }

 private:
  struct rlimit saved_ {};
  void (*previous_)(int) = SIG_ERR;
  bool ok_ = false;
};

#ifndef _WIN32
// Each line's ISO stamp, through a sink, in several zones and on both
// sides of a change of the clocks: the local date and time with the offset
// in force at that instant, or the UTC time with "Z".
TEST_F(FileLogSinkTest, IsoStampsShowTheOffsetInForceAtTheirInstant) {
  struct Case {
    const char* zone;
    std::int64_t ms;  // Since the epoch.
    const char* local;
    const char* utc;
  };
  const Case cases[] = {
      {"Europe/Berlin", 1774745999500, "2026-03-29T01:59:59.500+01:00", "2026-03-29T00:59:59.500Z"},
      {"Europe/Berlin", 1774746000250, "2026-03-29T03:00:00.250+02:00", "2026-03-29T01:00:00.250Z"},
      {"America/New_York", 1793512799000, "2026-11-01T01:59:59.000-04:00",
       "2026-11-01T05:59:59.000Z"},
      {"America/New_York", 1793512800000, "2026-11-01T01:00:00.000-05:00",
       "2026-11-01T06:00:00.000Z"},
      {"Asia/Kolkata", 1796832721123, "2026-12-09T21:42:01.123+05:30", "2026-12-09T16:12:01.123Z"},
      // Another second: stamps are converted once per second, for every zone.
      {"UTC", 1796832722123, "2026-12-09T16:12:02.123+00:00", "2026-12-09T16:12:02.123Z"},
  };
  int n = 0;
  for (const Case& c : cases) {
    const Zone zone(c.zone);
    for (const TimeFormat format : {TimeFormat::LocalIso8601, TimeFormat::UtcIso8601}) {
      RotationPolicy policy;
      policy.format.time = format;
      const fs::path path = dir() / ("zone" + std::to_string(n++) + ".log");
      const LogRecord record{LogLevel::Info, "m",
                             Clock::time_point(std::chrono::milliseconds(c.ms))};
      FileLogSink(path, policy).writeBatch(&record, 1);
      const std::string want = format == TimeFormat::LocalIso8601 ? c.local : c.utc;
      EXPECT_EQ(readFile(path), "[" + want + "] [INFO] m\n") << c.zone;
    }
  }
  RotationPolicy bad;
  bad.format.time = static_cast<TimeFormat>(3);
  EXPECT_THROW(FileLogSink(dir() / "bad.log", bad), std::invalid_argument);
}
#endif

// A line that the file system refuses in part (here the process's file size
// limit; a full disk acts the same) is dropped, and what did reach the file
// never swallows the next line: in each of two files cut at once.
TEST_F(FileLogSinkTest, LinesCutShortInTwoFilesNeverGlueOntoTheNextOnes) {
  const fs::path paths[2] = {dir() / "a.log", dir() / "b.log"};
  std::shared_ptr<ILogSink> sinks[2] = {makeFileLogSink(paths[0]), makeFileLogSink(paths[1])};
  const std::string message(3000, 'm');  // 3,023-byte lines.
  {
    const FileSizeLimit limit(10000);  // Three whole lines, then 931 bytes of the fourth.
    if (!limit.ok()) GTEST_SKIP() << "SKIPPED: the hard file size limit is too low to raise again";
    for (int i = 0; i < 5; ++i) {
      for (auto& sink : sinks) sink->write(LogLevel::Info, message);
    }
  }
  for (int i = 0; i < 3; ++i) {
    for (auto& sink : sinks) sink->write(LogLevel::Info, "after " + std::to_string(i));
  }

  for (const fs::path& path : paths) {
    SCOPED_TRACE(path.filename().string());
    const std::vector<std::string> lines = splitLines(readFile(path));
    ASSERT_EQ(lines.size(), 7u);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(afterStamp(lines[i]), "[INFO] " + message + "\n");
    EXPECT_EQ(lines[3].size(), 10000u - 3 * 3023u + 1u);  // The fragment, ended.
    EXPECT_EQ(lines[3].find("after"), std::string::npos);
    for (int i = 0; i < 3; ++i) {
      EXPECT_EQ(afterStamp(lines[4 + i]), "[INFO] after " + std::to_string(i) + "\n");
    }
  }
}

// Another writer of a file this sink already writes dies in the middle of
// a line: the sink's next line still starts on a line of its own, in a file
// it knows as in one new to it, and in one it wrote alone so far; lines
// after a whole one of the other writer's get no LF in front.
TEST_F(FileLogSinkTest, AnotherWritersOpenLineNeverSwallowsTheNextLine) {
  const fs::path path = dir() / "shared.log";
  FileLogSink sink(path);
  sink.write(LogLevel::Info, "one");
  appendFile(path, "other whole\n");
  sink.write(LogLevel::Info, "two");
  appendKilledLine(path);
  sink.write(LogLevel::Info, "three");
  sink.write(LogLevel::Info, "four");
  const std::vector<std::string> lines = splitLines(readFile(path));
  ASSERT_EQ(lines.size(), 6u) << readFile(path);
  EXPECT_EQ(messageOf(lines[0]), "one");
  EXPECT_EQ(lines[1], "other whole\n");
  EXPECT_EQ(messageOf(lines[2]), "two");
  EXPECT_EQ(lines[3].rfind("other cut", 0), 0u);
  EXPECT_EQ((readFile(path).find(lines[3]) + lines[3].size() - 1) % 4096, 0u);  // Its LF.
  EXPECT_EQ(messageOf(lines[4]), "three");
  EXPECT_EQ(messageOf(lines[5]), "four");

  // The first stranger of a file that the sink wrote alone so far, killed
  // in mid-line: the line glued onto its fragment is written again whole.
  const fs::path alone = dir() / "alone.log";
  FileLogSink first(alone);
  first.write(LogLevel::Info, "one");
  appendKilledLine(alone);
  first.write(LogLevel::Info, "two");
  const std::vector<std::string> after = splitLines(readFile(alone));
  ASSERT_GE(after.size(), 2u);
  EXPECT_TRUE(startsWithStamp(after.back())) << after.back();
  EXPECT_EQ(messageOf(after.back()), "two");
}

// A cut that leaves the file at the threshold still rotates it, so that the
// lines after it land in a fresh file: only the cut lines are lost.
TEST_F(FileLogSinkTest, ALineCutAtTheThresholdStillRotates) {
  const fs::path path = dir() / "limited.log";
  const RotationPolicy policy{64 * 1024, kMaxBackups};
  FileLogSink sink(path, policy);
  constexpr int kLines = 40;
  {
    // Thirteen lines of about 5 KB stay under the threshold, the fourteenth
    // crosses it and is cut at the limit.
    const FileSizeLimit limit(70000);
    if (!limit.ok()) GTEST_SKIP() << "SKIPPED: the hard file size limit is too low to raise again";
    for (int seq = 0; seq < kLines; ++seq) {
      sink.write(LogLevel::Info, recordMessage("w", static_cast<std::uint64_t>(seq), 5000));
    }
  }
  EXPECT_TRUE(fs::exists(backup(path, 2)));
  std::vector<std::uint64_t> kept;
  for (const Record& record : readAll(path, kMaxBackups, true)) {
    if (record.whole) kept.push_back(record.seq);
  }
  ASSERT_EQ(kept.size(), kLines - 2u);
  for (std::size_t i = 0; i < kept.size(); ++i) {
    EXPECT_EQ(kept[i], i + i / 13) << "only every fourteenth line is cut";
  }
}

// Puts `fd` in place of the process's standard output until destroyed.
class StdoutRedirect {
 public:
  explicit StdoutRedirect(int fd) : saved_(::dup(1)) {
    std::fflush(stdout);
    ::dup2(fd, 1);
  }
  ~StdoutRedirect() {
    ::dup2(saved_, 1);
    ::close(saved_);
  }
  StdoutRedirect(const StdoutRedirect&) = delete;
  StdoutRedirect& operator=(const StdoutRedirect&) = delete;

 private:
  int saved_;
};

bool sigpipePending() {
  sigset_t pending;
  sigemptyset(&pending);
  return ::sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE) == 1;
}

// A reader that left must cost the line, never the process: no SIGPIPE may
// reach it, and its mask, dispositions and pending signals stay its own.
TEST_F(FileLogSinkTest, AReaderThatLeftNeverKillsTheProcessNorTouchesItsSignals) {
  struct sigaction before {};
  ASSERT_EQ(::sigaction(SIGPIPE, nullptr, &before), 0);
  sigset_t maskBefore;
  ASSERT_EQ(::pthread_sigmask(SIG_SETMASK, nullptr, &maskBefore), 0);
  const std::shared_ptr<ILogSink> out = makeFileLogSink("/dev/stdout");
  int ends[2];
  ASSERT_EQ(::pipe(ends), 0);
  ::close(ends[0]);  // Nobody will ever read.
  {
    StdoutRedirect redirect(ends[1]);
    ::close(ends[1]);
    for (int i = 0; i < 3; ++i) out->write(LogLevel::Info, "to nobody");
    EXPECT_FALSE(sigpipePending());

    // A SIGPIPE the program already has pending is left to it.
    sigset_t pipeOnly;
    sigemptyset(&pipeOnly);
    sigaddset(&pipeOnly, SIGPIPE);
    ::pthread_sigmask(SIG_BLOCK, &pipeOnly, nullptr);
    ::pthread_kill(::pthread_self(), SIGPIPE);
    out->write(LogLevel::Info, "to nobody");
    EXPECT_TRUE(sigpipePending());
    const struct timespec now = {0, 0};
    ::sigtimedwait(&pipeOnly, nullptr, &now);
    ::pthread_sigmask(SIG_SETMASK, &maskBefore, nullptr);
  }

  // A FIFO whose reader comes and goes, as `while :; do cat fifo; done` does.
  const fs::path fifo = dir() / "fifo";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  std::atomic<bool> stop{false};
  std::thread reader([&] {
    char buffer[512];
    while (!stop) {
      const int fd = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
      if (fd < 0) continue;
      (void)!::read(fd, buffer, sizeof buffer);  // Takes a little, then leaves.
      ::close(fd);
    }
  });
  const std::shared_ptr<ILogSink> toFifo = makeFileLogSink(fifo);
  const std::string line(2000, 'f');
  for (int i = 0; i < 20000; ++i) toFifo->write(LogLevel::Info, line);
  stop = true;
  reader.join();

  struct sigaction after {};
  ASSERT_EQ(::sigaction(SIGPIPE, nullptr, &after), 0);
  EXPECT_EQ(after.sa_handler, before.sa_handler);
  sigset_t maskAfter;
  ASSERT_EQ(::pthread_sigmask(SIG_SETMASK, nullptr, &maskAfter), 0);
  EXPECT_EQ(sigismember(&maskAfter, SIGPIPE), sigismember(&maskBefore, SIGPIPE));
  EXPECT_FALSE(sigpipePending());
}

// Reads from `fd` after a pause, as a slow consumer does, until `lines` LFs
// have arrived or 20 s have passed; returns what it read.
std::string readSlowly(int fd, std::size_t lines) {
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  std::string got;
  char buffer[65536];
  const auto deadline = Clock::now() + std::chrono::seconds(20);
  std::size_t seen = 0;
  while (seen < lines && Clock::now() < deadline) {
    struct pollfd ready = {fd, POLLIN, 0};
    if (::poll(&ready, 1, 100) <= 0) continue;
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n <= 0) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
      continue;
    }
    seen += static_cast<std::size_t>(std::count(buffer, buffer + n, '\n'));
    got.append(buffer, static_cast<std::size_t>(n));
  }
  return got;
}

// Pipes, sockets and FIFOs are written as a program's standard output is: a
// full one makes the writer wait rather than lose or cut a line. The names
// /dev/stdout and /dev/stderr mean the process's own descriptors, whatever
// they are (under systemd, standard output is a socket, which cannot be
// opened by name).
TEST_F(FileLogSinkTest, StreamsGetEveryLineWholeThroughASlowReader) {
  constexpr std::size_t kLines = 4000;  // About 4 MB: far more than a pipe holds.
  const std::string message(1000, 's');
  const fs::path fifo = dir() / "fifo";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  for (const std::string kind : {"pipe", "socket", "fifo"}) {
    SCOPED_TRACE(kind);
    int ends[2] = {-1, -1};
    std::unique_ptr<StdoutRedirect> redirect;
    fs::path name = "/dev/stdout";
    if (kind == "pipe") {
      ASSERT_EQ(::pipe(ends), 0);
    } else if (kind == "socket") {
      ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, ends), 0);
    } else {
      ends[0] = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK);  // Lets writers open it.
      ASSERT_GE(ends[0], 0);
      name = fifo;
    }
    if (ends[1] >= 0) redirect = std::make_unique<StdoutRedirect>(ends[1]);
    std::string got;
    std::thread reader([&] { got = readSlowly(ends[0], kLines); });
    {
      const std::shared_ptr<ILogSink> sink = makeFileLogSink(name);
      for (std::size_t i = 0; i < kLines; ++i) sink->write(LogLevel::Info, message);
    }
    reader.join();
    redirect.reset();
    for (const int fd : ends) {
      if (fd >= 0) ::close(fd);
    }
    const std::vector<std::string> lines = splitLines(got);
    ASSERT_EQ(lines.size(), kLines);
    for (const std::string& line : lines) ASSERT_EQ(afterStamp(line), "[INFO] " + message + "\n");
  }
}
#endif

}  // namespace
}  // namespace velmor::common
