// Shared helpers of the unit tests: a unique temporary directory per test,
// whole-file reads and writes, the one codec of log lines and writers'
// records, the oracle over what rotation keeps, and standard-error capture.
#ifndef VELMOR_TESTS_TEST_SUPPORT_H_
#define VELMOR_TESTS_TEST_SUPPORT_H_

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <map>
#include <random>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "logging/file_log_sink.h"
#include "logging/internal/platform.h"

namespace velmor::testing {

namespace fs = std::filesystem;

// Gives every test its own empty directory under the system temporary
// directory. It is removed after a passing test and kept, with its path
// printed, after a failing one. Sinks made by a test must be destroyed before
// TearDown (locals of the test body are).
class TempDirTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::random_device random;
    for (;;) {
      const fs::path candidate =
          fs::temp_directory_path() / (std::string("velmor-") + info->test_suite_name() + "." +
                                       info->name() + "-" + std::to_string(random()));
      std::error_code ec;
      if (fs::create_directory(candidate, ec)) {
        dir_ = candidate;
        return;
      }
      ASSERT_FALSE(ec) << "cannot create " << candidate << ": " << ec.message();
    }
  }

  void TearDown() override {
    if (dir_.empty()) return;
    if (HasFailure()) {
      std::cerr << "test directory kept: " << dir_.string() << "\n";
      return;
    }
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }

  const fs::path& dir() const { return dir_; }

 private:
  fs::path dir_;
};

// The whole content of `path`, or "" if it cannot be read.
inline std::string readFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Replaces the content of `path` with `content`.
inline void writeFile(const fs::path& path, const std::string& content) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
}

// Appends `text` to the file at `path`, as another writer would.
inline void appendFile(const fs::path& path, const std::string& text) {
  std::ofstream(path, std::ios::binary | std::ios::app) << text;
}

// Appends the start of a line, "other cut" and filler, as a writer killed in
// the middle of it leaves it: the kernel stops a write only between two
// pages, so it ends at a multiple of 4,096 bytes.
inline void appendKilledLine(const fs::path& path) {
  const auto size = static_cast<std::size_t>(fs::file_size(path));
  appendFile(path, "other cut" + std::string(4096 - (size + 9) % 4096, 'c'));
}

// `text` cut after every LF; a trailing piece without LF is kept as is.
inline std::vector<std::string> splitLines(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    end = end == std::string::npos ? text.size() : end + 1;
    lines.push_back(text.substr(start, end - start));
    start = end;
  }
  return lines;
}

// The layout of a line, "[HH:MM:SS.mmm] [LEVEL] message" and LF, in one
// place: the stamp that starts it (d: a digit), and the length of a line.
constexpr char kStampPattern[] = "[dd:dd:dd.ddd] ";
constexpr std::size_t kStampSize = sizeof(kStampPattern) - 1;
constexpr std::size_t lineSize(std::size_t message,
                               common::LogLevel level = common::LogLevel::Info) {
  return kStampSize + 3 + std::char_traits<char>::length(common::logLevelName(level)) + message + 1;
}
// What comes before the message of an INFO line.
constexpr std::size_t kInfoPrefixSize = lineSize(0) - 1;

// `line` without its stamp: "[LEVEL] message" and LF. A line too short to
// have a stamp comes back marked, so that a comparison fails readably.
inline std::string afterStamp(const std::string& line) {
  return line.size() >= kStampSize ? line.substr(kStampSize) : "<no stamp: " + line + ">";
}

// Whether `line` starts with a stamp of the layout of kStampPattern.
inline bool startsWithStamp(std::string_view line) {
  for (std::size_t i = 0; i < kStampSize; ++i) {
    const char c = i < line.size() ? line[i] : '\0';
    if (kStampPattern[i] == 'd' ? c < '0' || c > '9' : c != kStampPattern[i]) return false;
  }
  return true;
}

// The stamp of a line written at `time`: "[HH:MM:SS.mmm]" in local time.
inline std::string stampAt(std::chrono::system_clock::time_point time) {
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(time.time_since_epoch());
  std::tm local{};
  EXPECT_TRUE(
      common::internal::platform::toLocalTime(static_cast<std::time_t>(ms.count() / 1000), local));
  char stamp[32];
  std::snprintf(stamp, sizeof(stamp), "[%02d:%02d:%02d.%03d]", local.tm_hour, local.tm_min,
                local.tm_sec, static_cast<int>(ms.count() % 1000));
  return stamp;
}

// Checks that `line` starts with a well-formed "[HH:MM:SS.mmm] " stamp
// between `before` and `after` (local time) and returns the rest of the line.
inline std::string checkStampAndStrip(const std::string& line,
                                      std::chrono::system_clock::time_point before,
                                      std::chrono::system_clock::time_point after) {
  const std::string stamp = line.substr(0, kStampSize - 1);
  EXPECT_TRUE(startsWithStamp(line)) << line;
  // Fixed width and zero-padded, so the text orders as the time does, except
  // across local midnight.
  const std::string low = stampAt(before);
  const std::string high = stampAt(after);
  if (low <= high) {
    EXPECT_LE(low, stamp) << line;
    EXPECT_LE(stamp, high) << line;
  }
  return afterStamp(line);
}

// The message of `line`: what follows "[LEVEL] ", without the LF.
inline std::string messageOf(const std::string& line) {
  const std::size_t start = line.find("] ", kStampSize);
  if (start == std::string::npos) return "<no message: " + line + ">";
  std::string message = line.substr(start + 2);
  if (!message.empty() && message.back() == '\n') message.pop_back();
  return message;
}

// Backup `n` of `path`, "<path>.<n>", named natively (wide on Windows) so that
// non-ASCII names survive.
inline fs::path backup(const fs::path& path, int n) {
  fs::path name = path;
  name += "." + std::to_string(n);
  return name;
}

// Size of `path`, or -1 if it does not exist or is not a regular file.
inline std::int64_t sizeOf(const fs::path& path) {
  std::error_code ec;
  if (!fs::is_regular_file(path, ec)) return -1;
  return static_cast<std::int64_t>(fs::file_size(path, ec));
}

// The message of record `seq` of writer `tag`: "<tag> <seq> <size> " and then
// `size` filler bytes, so that a reader can tell a whole record from a cut
// one. The filler byte depends on the tag only.
inline std::string recordMessage(const std::string& tag, std::uint64_t seq, std::size_t size) {
  return tag + " " + std::to_string(seq) + " " + std::to_string(size) + " " +
         std::string(size, static_cast<char>('a' + tag.size() % 26));
}

// The length of the line of record `seq` of writer `tag`.
inline std::size_t recordLineSize(const std::string& tag, std::uint64_t seq, std::size_t size) {
  return lineSize(recordMessage(tag, seq, size).size());
}

// One record of a writer, as read back from a log file.
struct Record {
  std::string tag;
  std::uint64_t seq = 0;
  bool whole = false;  // Every part there, the filler of the size it names.
};

// Parses the text after "] [LEVEL] " of one record (see recordMessage) and
// its LF.
inline Record parseRecordBody(const std::string& body) {
  Record record;
  const std::size_t a = body.find(' ');
  const std::size_t b = a == std::string::npos ? a : body.find(' ', a + 1);
  const std::size_t c = b == std::string::npos ? b : body.find(' ', b + 1);
  if (c == std::string::npos || body.back() != '\n') return record;
  const std::string seq = body.substr(a + 1, b - a - 1);
  const std::string size = body.substr(b + 1, c - b - 1);
  if (seq.empty() || size.empty() || seq.find_first_not_of("0123456789") != std::string::npos ||
      size.find_first_not_of("0123456789") != std::string::npos) {
    return record;
  }
  record.tag = body.substr(0, a);
  record.seq = std::stoull(seq);
  record.whole = body.size() - c - 2 == std::stoull(size);
  return record;
}

// Splits the text of a log file into records, each "[HH:MM:SS.mmm] [INFO] "
// and a body. Without `allowCut` every record must be whole. With it, a
// record may stop anywhere (its writer was killed in the middle of writing
// it: the kernel can stop a write between two pages, or the file system
// took it in part); such records are returned unmarked. Even then the next
// record must start on a line of its own.
inline std::vector<Record> parseRecords(const std::string& text, bool allowCut) {
  constexpr std::size_t kStamp = kStampSize - 2;  // "[HH:MM:SS.mmm" before "] [INFO] ".
  const std::string marker = "] [INFO] ";
  std::vector<Record> records;
  std::size_t at = text.find(marker);
  EXPECT_TRUE(text.empty() || at == kStamp) << text.substr(0, 60);
  while (at != std::string::npos) {
    const std::size_t next = text.find(marker, at + marker.size());
    const std::size_t end = next == std::string::npos ? text.size() : next - kStamp;
    const std::string body = text.substr(at + marker.size(), end - at - marker.size());
    at = next;
    records.push_back(parseRecordBody(body));
    if (next != std::string::npos) {
      EXPECT_EQ(body.back(), '\n') << "a line glued onto a cut one: " << body.substr(0, 60);
    }
    if (!allowCut) {
      EXPECT_TRUE(records.back().whole) << "torn line: " << body.substr(0, 60);
    }
  }
  return records;
}

// The records of the backups "<path>.<backups>" (oldest) to "<path>.1" and
// of the active file, in that order. A file may end in a cut record (the
// next line went into a fresh file): it is read as ending there.
inline std::vector<Record> readAll(const fs::path& path, int backups, bool allowCut) {
  std::string all;
  for (int n = backups; n >= 1; --n) {
    all += readFile(backup(path, n));
    if (allowCut && !all.empty() && all.back() != '\n') all += '\n';
  }
  return parseRecords(all + readFile(path), allowCut);
}

// The promise for `writers` writers that each wrote records 0 to count - 1:
// every record kept is whole, each writer's are consecutive, none twice,
// and end with its last; each starts at 0 unless `headsMayBeGone` (rotation
// dropped the oldest backup).
inline void expectEveryRecord(const std::vector<Record>& records, std::size_t writers,
                              std::uint64_t count, bool headsMayBeGone = false) {
  std::map<std::string, std::uint64_t> next;
  for (const Record& record : records) {
    ASSERT_TRUE(record.whole) << record.tag << " " << record.seq;
    const auto [it, first] = next.try_emplace(record.tag, headsMayBeGone ? record.seq : 0);
    ASSERT_EQ(record.seq, it->second) << record.tag << (first ? ": its first kept record" : "");
    ++it->second;
  }
  ASSERT_EQ(next.size(), writers);
  for (const auto& [tag, seen] : next) EXPECT_EQ(seen, count) << tag;
}

// The promise for the backups of `path` under `policy`: ".1", ".2" and on
// without a gap, each rotated at its crossing, so holding at least the
// limit and less than `slack` bytes more. Returns how many there are.
inline int expectBackupsWithin(const fs::path& path, const common::RotationPolicy& policy,
                               std::uint64_t slack) {
  int n = 1;
  for (; n <= policy.maxBackups && fs::exists(backup(path, n)); ++n) {
    const std::uint64_t size = fs::file_size(backup(path, n));
    EXPECT_GE(size, policy.maxFileBytes) << n;
    EXPECT_LT(size, policy.maxFileBytes + slack) << n;
  }
  for (int gap = n + 1; gap <= policy.maxBackups; ++gap) {
    EXPECT_FALSE(fs::exists(backup(path, gap))) << gap << " after a gap at " << n;
  }
  return n - 1;
}

// The arguments that make writer_process write records 0 to `count` - 1 (0:
// until killed) of `tag`, with `filler` bytes each, to `path` under `policy`.
inline std::vector<std::string> writerArgs(const fs::path& path, const std::string& tag,
                                           std::uint64_t count, std::size_t filler,
                                           const common::RotationPolicy& policy = {}) {
  return {
      path.string(),
      tag,
      std::to_string(count),
      std::to_string(filler),
      std::to_string(policy.maxFileBytes),
      std::to_string(policy.maxBackups) + (!policy.compressBackups                          ? ""
                                           : policy.codec == common::CompressionCodec::Zstd ? "s"
                                                                                            : "z")};
}

#ifndef _WIN32
// Sets TZ for the life of the object.
class Zone {
 public:
  explicit Zone(const char* name) {
    const char* before = std::getenv("TZ");
    had_ = before != nullptr;
    if (had_) saved_ = before;
    ::setenv("TZ", name, 1);
    ::tzset();
  }
  ~Zone() {
    if (had_) {
      ::setenv("TZ", saved_.c_str(), 1);
    } else {
      ::unsetenv("TZ");
    }
    ::tzset();
  }
  Zone(const Zone&) = delete;
  Zone& operator=(const Zone&) = delete;

 private:
  bool had_ = false;
  std::string saved_;
};
#endif

// Captures what the process writes to stderr (the file descriptor, so that
// C stdio output is caught too) between construction and take().
class StderrCapture {
 public:
  StderrCapture() { ::testing::internal::CaptureStderr(); }
  StderrCapture(const StderrCapture&) = delete;
  StderrCapture& operator=(const StderrCapture&) = delete;
  ~StderrCapture() {
    if (!taken_) ::testing::internal::GetCapturedStderr();
  }
  std::string take() {
    taken_ = true;
    return ::testing::internal::GetCapturedStderr();
  }

 private:
  bool taken_ = false;
};

}  // namespace velmor::testing

#endif  // VELMOR_TESTS_TEST_SUPPORT_H_
