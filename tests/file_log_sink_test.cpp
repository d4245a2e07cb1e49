// Tests of FileLogSink's line format, file creation and silent dropping.
#include "logging/file_log_sink.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "logging/line_format.h"
#include "logging/platform.h"
#include "test_support.h"

namespace velmor::common {
namespace {

namespace fs = std::filesystem;
using velmor::testing::readFile;
using velmor::testing::splitLines;
using velmor::testing::StderrCapture;
using velmor::testing::TempDirTest;
using Clock = std::chrono::system_clock;

std::string formatted(int hour, int min, int sec, unsigned ms, LogLevel level,
                      std::string_view message) {
  std::tm local{};
  local.tm_hour = hour;
  local.tm_min = min;
  local.tm_sec = sec;
  std::string line = "stale content that must be replaced";
  detail::formatLogLine(line, local, ms, level, message);
  return line;
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

// Milliseconds since local midnight of `t`.
std::int64_t localMsOfDay(Clock::time_point t) {
  const std::time_t secs = Clock::to_time_t(t);
  std::tm local{};
  EXPECT_TRUE(platform::toLocalTime(secs, local));
  const auto ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch()).count() % 1000;
  return ((local.tm_hour * 60 + local.tm_min) * 60 + local.tm_sec) * 1000 + ms;
}

// Checks that `line` starts with a well-formed "[HH:MM:SS.mmm] " stamp
// between `before` and `after` (local time) and returns the rest of the line.
std::string checkStampAndStrip(const std::string& line, Clock::time_point before,
                               Clock::time_point after) {
  const std::string_view stamp(line.data(), std::min<std::size_t>(line.size(), 15));
  EXPECT_EQ(stamp.size(), 15u);
  if (stamp.size() != 15) return line;
  const std::string pattern = "[dd:dd:dd.ddd] ";
  for (std::size_t i = 0; i < pattern.size(); ++i) {
    if (pattern[i] == 'd') {
      EXPECT_TRUE(stamp[i] >= '0' && stamp[i] <= '9') << line;
    } else {
      EXPECT_EQ(stamp[i], pattern[i]) << line;
    }
  }
  auto number = [&](std::size_t pos, std::size_t len) {
    return std::stoll(std::string(stamp.substr(pos, len)));
  };
  const std::int64_t written =
      ((number(1, 2) * 60 + number(4, 2)) * 60 + number(7, 2)) * 1000 + number(10, 3);
  const std::int64_t low = localMsOfDay(before);
  const std::int64_t high = localMsOfDay(after);
  if (low <= high) {  // Not across local midnight.
    EXPECT_GE(written, low) << line;
    EXPECT_LE(written, high) << line;
  }
  return line.substr(15);
}

using FileLogSinkTest = TempDirTest;

TEST_F(FileLogSinkTest, WritesOneExactLinePerMessageForEveryLevel) {
  const fs::path path = dir() / "levels.log";
  const std::vector<std::pair<LogLevel, std::string>> cases = {
      {LogLevel::Trace, "[TRACE] "},
      {LogLevel::Debug, "[DEBUG] "},
      {LogLevel::Info, "[INFO] "},
      {LogLevel::Warn, "[WARN] "},
      {LogLevel::Error, "[ERROR] "},
      {LogLevel::Fatal, "[FATAL] "},
      {static_cast<LogLevel>(6), "[UNKNOWN] "},
      {static_cast<LogLevel>(-1), "[UNKNOWN] "},
  };
  const auto before = Clock::now();
  {
    std::shared_ptr<ILogSink> sink = makeFileLogSink(path);
    for (std::size_t i = 0; i < cases.size(); ++i) {
      sink->write(cases[i].first, "message " + std::to_string(i));
    }
  }
  const auto after = Clock::now();

  const std::vector<std::string> lines = splitLines(readFile(path));
  ASSERT_EQ(lines.size(), cases.size());
  for (std::size_t i = 0; i < cases.size(); ++i) {
    EXPECT_EQ(checkStampAndStrip(lines[i], before, after),
              cases[i].second + "message " + std::to_string(i) + "\n");
  }
}

TEST_F(FileLogSinkTest, WritesMessageBytesUnchanged) {
  const fs::path path = dir() / "bytes.log";
  const std::string withNul("a\0b\0", 4);
  const std::string raw = "caf\xC3\xA9 \xFF\xFE\r\t%s%n";
  // A view into a larger buffer: only the viewed bytes may be written.
  const std::string larger = "viewed|not viewed";
  const auto before = Clock::now();
  {
    std::shared_ptr<ILogSink> sink = makeFileLogSink(path);
    sink->write(LogLevel::Info, "");
    sink->write(LogLevel::Info, "first\nsecond");
    sink->write(LogLevel::Info, withNul);
    sink->write(LogLevel::Info, raw);
    sink->write(LogLevel::Info, std::string_view(larger.data(), 6));
  }
  const auto after = Clock::now();

  const std::string content = readFile(path);
  // The embedded LF splits the second message over two lines of the file.
  const std::vector<std::string> lines = splitLines(content);
  ASSERT_EQ(lines.size(), 6u) << content;
  EXPECT_EQ(checkStampAndStrip(lines[0], before, after), "[INFO] \n");
  EXPECT_EQ(checkStampAndStrip(lines[1], before, after), "[INFO] first\n");
  EXPECT_EQ(lines[2], "second\n");
  EXPECT_EQ(checkStampAndStrip(lines[3], before, after), "[INFO] " + withNul + "\n");
  EXPECT_EQ(checkStampAndStrip(lines[4], before, after), "[INFO] " + raw + "\n");
  EXPECT_EQ(checkStampAndStrip(lines[5], before, after), "[INFO] viewed\n");
}

TEST_F(FileLogSinkTest, AppendsToExistingContent) {
  const fs::path path = dir() / "existing.log";
  { std::ofstream(path, std::ios::binary) << "kept\n"; }
  {
    std::shared_ptr<ILogSink> sink = makeFileLogSink(path);
    sink->write(LogLevel::Info, "new");
  }
  const std::string content = readFile(path);
  ASSERT_EQ(content.size(), 5u + 15u + 11u);
  EXPECT_EQ(content.substr(0, 5), "kept\n");
  EXPECT_EQ(content.substr(20), "[INFO] new\n");
}

TEST_F(FileLogSinkTest, ConstructorMakesNestedParentsButNotTheFile) {
  const fs::path path = dir() / "a" / "b" / "c" / "nested.log";
  std::shared_ptr<ILogSink> sink = makeFileLogSink(path);
  EXPECT_TRUE(fs::is_directory(dir() / "a" / "b" / "c"));
  EXPECT_FALSE(fs::exists(path));
  sink->write(LogLevel::Info, "first");
  EXPECT_EQ(fs::file_size(path), 15u + 13u);
}

TEST_F(FileLogSinkTest, BareFileNameLandsInTheCurrentDirectory) {
  const fs::path previous = fs::current_path();
  fs::current_path(dir());
  {
    std::shared_ptr<ILogSink> sink = makeFileLogSink("bare.log");
    EXPECT_TRUE(fs::is_empty(dir()));  // No directory was made.
    sink->write(LogLevel::Info, "here");
  }
  fs::current_path(previous);
  EXPECT_EQ(fs::file_size(dir() / "bare.log"), 15u + 12u);
}

TEST_F(FileLogSinkTest, DropsSilentlyWhileTheDirectoryIsGoneAndRecovers) {
  const fs::path logs = dir() / "logs";
  const fs::path path = logs / "app.log";
  std::shared_ptr<ILogSink> sink = makeFileLogSink(path);
  fs::remove_all(logs);

  StderrCapture capture;
  sink->write(LogLevel::Error, "dropped");
  EXPECT_EQ(capture.take(), "");
  EXPECT_FALSE(fs::exists(logs));

  fs::create_directory(logs);
  sink->write(LogLevel::Error, "kept");
  const std::vector<std::string> lines = splitLines(readFile(path));
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].substr(15), "[ERROR] kept\n");
}

TEST_F(FileLogSinkTest, DropsSilentlyWhenThePathIsADirectory) {
  const fs::path path = dir() / "occupied";
  fs::create_directories(path / "child");
  std::shared_ptr<ILogSink> sink = makeFileLogSink(path);
  StderrCapture capture;
  for (int i = 0; i < 3; ++i) sink->write(LogLevel::Info, "dropped");
  EXPECT_EQ(capture.take(), "");
  EXPECT_TRUE(fs::is_directory(path / "child"));
}

TEST_F(FileLogSinkTest, UncreatableParentIsIgnoredAndWritesAreDropped) {
  const fs::path blocker = dir() / "file";
  std::ofstream(blocker) << "not a directory";
  StderrCapture capture;
  std::shared_ptr<ILogSink> sink = makeFileLogSink(blocker / "sub" / "app.log");
  ASSERT_NE(sink, nullptr);
  sink->write(LogLevel::Info, "dropped");
  EXPECT_EQ(capture.take(), "");
  EXPECT_EQ(readFile(blocker), "not a directory");
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
  EXPECT_EQ(readFile(path).substr(15), "[INFO] two\n");

  fs::resize_file(path, 0);  // Truncated: appends start at the new end.
  sink->write(LogLevel::Info, "three");
  EXPECT_EQ(readFile(path).substr(15), "[INFO] three\n");

  fs::rename(path, moved);  // Renamed away: the moved file is left alone.
  sink->write(LogLevel::Info, "four");
  EXPECT_EQ(readFile(moved).substr(15), "[INFO] three\n");
  EXPECT_EQ(readFile(path).substr(15), "[INFO] four\n");

  fs::remove(path);  // Replaced by a directory: dropped, no rotation attempted.
  fs::create_directories(path / "child");
  sink->write(LogLevel::Info, "five");
  EXPECT_TRUE(fs::is_directory(path / "child"));
  EXPECT_FALSE(fs::exists(fs::path(path.string() + ".1")));

  fs::remove_all(path);  // And back to normal.
  sink->write(LogLevel::Info, "six");
  EXPECT_EQ(readFile(path).substr(15), "[INFO] six\n");
  EXPECT_EQ(capture.take(), "");
}

}  // namespace
}  // namespace velmor::common
