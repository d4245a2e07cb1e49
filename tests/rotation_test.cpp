// Tests of FileLogSink's size-based rotation: threshold, backup shifting and
// retention, warnings, retries after failed renames, and concurrent writers.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <fstream>
#include <limits>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#ifndef _WIN32
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include "logging/internal/platform.h"
#include "os_helpers.h"
#include "test_support.h"

namespace velmor::common {
namespace {

using namespace velmor::testing;

constexpr std::int64_t kThreshold = static_cast<std::int64_t>(kRotateThresholdBytes);
constexpr std::size_t kInfoOverhead = lineSize(0);

// Prefills `path` with one line so that one INFO line carrying `message`
// brings it to exactly `target` bytes.
void fillBefore(const fs::path& path, std::int64_t target, const std::string& message) {
  writeFile(path, std::string(static_cast<std::size_t>(target) - kInfoOverhead - message.size() - 1,
                              'p') +
                      '\n');
}

using RotationTest = TempDirTest;

TEST_F(RotationTest, BytesAppendedByAnotherWriterCount) {
  const fs::path path = dir() / "shared.log";
  std::shared_ptr<ILogSink> sink = makeFileLogSink(path);
  sink->write(LogLevel::Info, "ours");
  {
    std::ofstream other(path, std::ios::binary | std::ios::app);
    other << std::string(static_cast<std::size_t>(kThreshold) - lineSize(4) - lineSize(5) - 2, 'z');
  }
  sink->write(LogLevel::Info, "short");  // 2 bytes short of the threshold.
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
  // The active file and .1 to .5 only.
  EXPECT_EQ(std::distance(fs::directory_iterator(dir()), fs::directory_iterator()), 6);
}

// The rename rotation is built on: it refuses an occupied destination with
// the OS's own code and leaves both files as they were.
TEST_F(RotationTest, TheRenameOfRotationNeverReplaces) {
  const fs::path from = dir() / "from";
  const fs::path to = dir() / "to";
  writeFile(from, "moving");
  writeFile(to, "kept");
#ifdef _WIN32
  const internal::platform::ErrorCode occupied = 183;  // ERROR_ALREADY_EXISTS
#else
  const internal::platform::ErrorCode occupied = EEXIST;
#endif
  EXPECT_EQ(internal::platform::renameNoReplace(from.c_str(), to.c_str()), occupied);
  EXPECT_EQ(readFile(to), "kept");
  EXPECT_EQ(readFile(from), "moving");
  EXPECT_EQ(internal::platform::renameNoReplace(from.c_str(), (dir() / "free").c_str()), 0u);
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

// A rotation finds the set the same way in a directory it can list at once
// and in one crowded with other files (then it asks name by name): gaps
// skipped, another writer's compressed backups moved with their number, the
// set ending below a directory, and names that only look like backups left
// alone.
TEST_F(RotationTest, TheSetIsFoundAlikeInAQuietAndInACrowdedDirectory) {
  for (const int strangers : {0, 600}) {
    SCOPED_TRACE(std::to_string(strangers) + " other files");
    const fs::path where = dir() / std::to_string(strangers);
    fs::create_directories(where);
    for (int i = 0; i < strangers; ++i) writeFile(where / ("other" + std::to_string(i)), "");
    const fs::path path = where / "app.log";
    writeFile(backup(path, 1), "b1");
    writeFile(fs::path(backup(path, 1).native() + fs::path(".gz").native()), "z1");
#ifdef _WIN32
    writeFile(where / "APP.LOG.2", "b2");  // The same name to Windows.
#else
    writeFile(backup(path, 2), "b2");
#endif
    fs::create_directories(backup(path, 4));
    const std::vector<std::string> lookalikes = {"app.log.01", "app.log.2.old", "app.log.3x",
                                                 "xapp.log.3"};
    for (const std::string& name : lookalikes) writeFile(where / name, name);
    fillBefore(path, kThreshold, "x");
    {
      StderrCapture quiet;
      makeFileLogSink(path)->write(LogLevel::Info, "x");
    }
    EXPECT_EQ(sizeOf(backup(path, 1)), kThreshold);
    EXPECT_EQ(readFile(backup(path, 2)), "b1");
    EXPECT_EQ(readFile(fs::path(backup(path, 2).native() + fs::path(".gz").native())), "z1");
    EXPECT_EQ(readFile(backup(path, 3)), "b2");
    EXPECT_FALSE(fs::exists(fs::path(backup(path, 1).native() + fs::path(".gz").native())));
    EXPECT_TRUE(fs::is_directory(backup(path, 4)));
    for (const std::string& name : lookalikes) EXPECT_EQ(readFile(where / name), name);
  }
}

// A file lock held by a stranger (any reader may flock a log file) costs the
// sink of that file one short wait, then a try per call, batches included;
// sinks of other files never wait for it. Every line is kept, and the first
// line after the lock is let go rotates.
#ifndef _WIN32
TEST_F(RotationTest, AStrangersLockCostsOneShortWaitThenNone) {
  const fs::path path = dir() / "locked.log";
  fillBefore(path, kThreshold, "x");
  // As `flock app.log sleep 60` takes it: through a file description of its own.
  const int stranger = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(stranger, 0);
  ASSERT_EQ(::flock(stranger, LOCK_EX | LOCK_NB), 0);
  FileLogSink locked(path);
  std::shared_ptr<ILogSink> other = makeFileLogSink(dir() / "other.log");

  using Clock = std::chrono::steady_clock;
  using std::chrono::duration_cast;
  using std::chrono::milliseconds;
  constexpr int kCalls = 300;  // At one wait per call, 15 s; at one second, five minutes.
  const LogRecord batch[2] = {{LogLevel::Info, "x"}, {LogLevel::Info, "x"}};
  std::atomic<bool> done{false};
  Clock::duration total{};
  Clock::duration slowestLocked{};
  std::thread writer([&] {
    const auto begin = Clock::now();
    for (int i = 0; i < kCalls; ++i) {
      const auto start = Clock::now();
      if (i % 10 == 9) {
        locked.writeBatch(batch, 2);
      } else {
        locked.write(LogLevel::Info, "x");
      }
      slowestLocked = std::max(slowestLocked, Clock::now() - start);
    }
    total = Clock::now() - begin;
    done = true;
  });
  Clock::duration slowestOther{};
  while (!done) {
    const auto start = Clock::now();
    other->write(LogLevel::Info, "o");
    slowestOther = std::max(slowestOther, Clock::now() - start);
  }
  writer.join();
  // Generous for a noisy machine, and far below a wait per call.
  EXPECT_LT(duration_cast<milliseconds>(total).count(), 5000) << "ms for " << kCalls << " calls";
  EXPECT_LT(duration_cast<milliseconds>(slowestLocked).count(), 500) << "ms, the slowest call";
  EXPECT_LT(duration_cast<milliseconds>(slowestOther).count(), 400) << "ms, another file's";
  EXPECT_FALSE(fs::exists(backup(path, 1)));
  EXPECT_EQ(splitLines(readFile(path)).size(), 1u + kCalls + kCalls / 10);
  ::close(stranger);
  locked.write(LogLevel::Info, "x");
  EXPECT_TRUE(fs::exists(backup(path, 1)));  // The first line after it rotates.
}
#endif

// A record lock over the whole file (another program's fcntl or lockf)
// covers the bytes that sinks mark their appends with: it costs no line and
// no wait, first appends and shared compressed files included.
#ifdef F_OFD_SETLK
TEST_F(RotationTest, AStrangersRecordLockCostsNoLine) {
  const fs::path path = dir() / "recorded.log";
  RotationPolicy policy{4096, 3};
  policy.compressBackups = true;
  appendFile(path, "other\n");  // Shared from the start.
  const int stranger = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
  ASSERT_GE(stranger, 0);
  struct flock whole {};
  whole.l_type = F_WRLCK;
  whole.l_whence = SEEK_SET;  // From 0, to any size.
  ASSERT_EQ(::fcntl(stranger, F_OFD_SETLK, &whole), 0);
  FileLogSink sink(path, policy);
  const auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < 20; ++i) sink.write(LogLevel::Info, "line " + std::to_string(i));
  const LogRecord batch[2] = {{LogLevel::Info, "batch 0"}, {LogLevel::Info, "batch 1"}};
  EXPECT_EQ(sink.writeBatch(batch, 2), 2u);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(900));
  const std::vector<std::string> lines = splitLines(readFile(path));
  ASSERT_EQ(lines.size(), 23u) << readFile(path);
  EXPECT_EQ(messageOf(lines[1]), "line 0");
  EXPECT_EQ(messageOf(lines[22]), "batch 1");
  ::close(stranger);
}
#endif

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
  auto open = std::make_unique<internal::platform::AppendFile>(path.c_str());
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
  const auto compressed = [](CompressionCodec codec, int level) {
    RotationPolicy policy{100, 5};
    policy.compressBackups = true;
    policy.codec = codec;
    policy.compressionLevel = level;
    return policy;
  };
  std::vector<Case> cases = {
      {compressed(CompressionCodec::Gzip, 10), "compressionLevel", "10"},
      {compressed(CompressionCodec::Gzip, -1), "compressionLevel", "-1"},
      {compressed(static_cast<CompressionCodec>(7), 0), "codec", "7"},
      {{0, 5}, "maxFileBytes", "0"},
      {{100, 0}, "maxBackups", "0"},
      {{100, -1}, "maxBackups", "-1"},
      {{100, kMaxBackupsLimit + 1}, "maxBackups", std::to_string(kMaxBackupsLimit + 1)},
      {{100, std::numeric_limits<int>::max()},
       "maxBackups",
       std::to_string(std::numeric_limits<int>::max())},
      {{100, 5, RotationPeriod::None, false, std::chrono::seconds(-1)}, "maxBackupAge", "-1s"},
  };
  if (builtCodecs().size() > 1) {
    cases.push_back({compressed(CompressionCodec::Zstd, 23), "compressionLevel", "23"});
  }
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
  if (builtCodecs().size() == 1) {  // A build without zstd says so.
    try {
      FileLogSink sink(dir() / "z.log", compressed(CompressionCodec::Zstd, 0));
      ADD_FAILURE() << "Zstd was accepted without zstd";
    } catch (const std::invalid_argument& error) {
      EXPECT_NE(std::string(error.what()).find("no zstd"), std::string::npos) << error.what();
    }
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

// Compressed backups, by each codec: ".1" plain, ".2" on as whole
// compressed files holding the lines in order, each of the plain file's
// size bound, permission bits and time; and what a killed writer left in
// the set (a partial temporary file, a plain backup above ".1", a
// compressed file beside the plain file it was made from) is finished or
// redone by the next rotation, losing nothing.
TEST_F(RotationTest, CompressedBackupsKeepEveryLineAndRepairWhatACrashLeft) {
  for (const CompressionCodec codec : builtCodecs()) {
    const std::string zs = suffixOf(codec);
    SCOPED_TRACE(zs);
    const fs::path here = dir() / zs.substr(1);
    fs::create_directory(here);
    const auto packed = [&](const fs::path& path, int n) {
      return fs::path(backup(path, n).native() + fs::path(zs).native());
    };
    RotationPolicy policy{2000, 40};
    policy.compressBackups = true;
    policy.codec = codec;
    const fs::path path = here / "zipped.log";
    constexpr std::uint64_t kRecords = 400;
    {
      std::shared_ptr<ILogSink> sink = makeFileLogSink(path, policy);
      for (std::uint64_t seq = 0; seq < kRecords; ++seq) {
        sink->write(LogLevel::Info, recordMessage("z", seq, 40));
      }
    }
    std::string all;
    int backups = 0;
    for (int n = policy.maxBackups; n >= 1; --n) {
      if (!fs::exists(backup(path, n)) && !fs::exists(packed(path, n))) continue;
      ++backups;
      EXPECT_EQ(fs::exists(backup(path, n)), n == 1) << n;  // Only .1 is plain.
      EXPECT_EQ(fs::exists(packed(path, n)), n > 1) << n;
      const std::string text = readBackup(path, n);
      EXPECT_GE(text.size(), policy.maxFileBytes) << n;
      EXPECT_LT(text.size(), policy.maxFileBytes + recordLineSize("z", kRecords, 40)) << n;
      all += text;
    }
    EXPECT_GT(backups, 10);
    expectEveryRecord(parseRecords(all + readFile(path), false), 1, kRecords);

    // A set as writers killed at every step of compressing leave it.
    const fs::path left = here / "left.log";
    writeFile(backup(left, 1), "one\n");
#ifndef _WIN32
    // A log kept private stays so when compressed.
    fs::permissions(backup(left, 1), fs::perms::owner_read | fs::perms::owner_write);
#endif
    writeFile(backup(left, 2), "two\n");  // Plain above .1.
    writeFile(packed(left, 3).native() + fs::path(".tmp").native(), "partial");
    writeFile(backup(left, 4), "four\n");  // And a compressed file made of its start:
    packFile(packed(left, 4), "fo");
    // A compressed file beside a plain file that is not its source is
    // another backup: both stay, and move up together.
    writeFile(backup(left, 5), "five\n");
    packFile(packed(left, 5), "older\n");
    // Where no compression begins again.
    writeFile(packed(left, 4).native() + fs::path(".tmp").native(), "partial");
    ASSERT_TRUE(setModifiedAgo(backup(left, 2), std::chrono::hours(5)));
    fillBefore(left, 1000, "m");
    RotationPolicy small{1000, 6};
    small.compressBackups = true;
    small.codec = codec;
    makeFileLogSink(left, small)->write(LogLevel::Info, "m");
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(here)) {
      const std::string name = entry.path().filename().string();
      if (name.rfind("left.log", 0) == 0) names.insert(name);
    }
    EXPECT_EQ(names,
              (std::set<std::string>{"left.log", "left.log.1", "left.log.2" + zs, "left.log.3" + zs,
                                     "left.log.5" + zs, "left.log.6", "left.log.6" + zs}));
    EXPECT_EQ(fs::file_size(left), 0u);
    EXPECT_EQ(messageOf(splitLines(readBackup(left, 1)).back()), "m");
    EXPECT_EQ(readBackup(left, 2), "one\n");
#ifndef _WIN32
    EXPECT_EQ(fs::status(packed(left, 2)).permissions(),
              fs::perms::owner_read | fs::perms::owner_write);
#endif
    EXPECT_EQ(readBackup(left, 3), "two\n");
    EXPECT_EQ(readBackup(left, 5), "four\n");
    EXPECT_EQ(readBackup(left, 6), "five\n");
    bool complete = false;
    EXPECT_EQ(unpackFile(packed(left, 6), complete), "older\n");
    EXPECT_TRUE(complete);
    // A compressed file carries its plain file's time: an age limit judges
    // the lines.
    const auto age = fs::file_time_type::clock::now() - fs::last_write_time(packed(left, 3));
    EXPECT_GT(age, std::chrono::hours(4));
  }
}

// Writers with and without compression, and with either codec, on one
// file: a plain backup shifted in beside an older compressed one never
// costs that one, and every line stays in the set.
TEST_F(RotationTest, MixedCompressionKeepsEveryLine) {
  const fs::path path = dir() / "mixed.log";
  RotationPolicy plain{1500, 200};
  std::vector<std::pair<std::string, std::shared_ptr<ILogSink>>> writers;
  writers.emplace_back("p", makeFileLogSink(path, plain));
  for (const CompressionCodec codec : builtCodecs()) {
    RotationPolicy zipped = plain;
    zipped.compressBackups = true;
    zipped.codec = codec;
    writers.emplace_back(suffixOf(codec).substr(1), makeFileLogSink(path, zipped));
  }
  constexpr std::uint64_t kRecords = 300;
  for (std::uint64_t seq = 0; seq < kRecords; ++seq) {
    for (const auto& [tag, sink] : writers) {
      sink->write(LogLevel::Info, recordMessage(tag, seq, 40 + seq % 7));
    }
  }
  writers.clear();
  expectEveryRecord(parseRecords(readSetText(path, plain.maxBackups), false),
                    1 + builtCodecs().size(), kRecords);
}

#ifndef _WIN32
// The bits asked for, less the umask, on the active file, every backup and
// every ".gz", through rotations and compression; as root a ".gz" keeps its
// plain file's owner and group. A mode past 07777 is refused.
TEST_F(RotationTest, TheFileModeHoldsThroughRotationAndCompression) {
  RotationPolicy policy{200, 5};
  policy.compressBackups = true;
  const auto modeOf = [](const fs::path& file) {
    struct stat st {};
    EXPECT_EQ(::stat(file.c_str(), &st), 0) << file;
    return static_cast<unsigned>(st.st_mode & 07777);
  };
  for (const unsigned mode : {0640u, 0600u}) {
    for (const unsigned mask : {022u, 077u}) {
      const std::string name = std::to_string(mode) + "-" + std::to_string(mask) + ".log";
      const fs::path path = dir() / name;
      policy.fileMode = mode;
      const mode_t saved = ::umask(mask);
      {
        FileLogSink sink(path, policy);
        for (int i = 0; i < 20; ++i) sink.write(LogLevel::Info, std::string(60, 'x'));
      }
      ::umask(saved);
      ASSERT_TRUE(fs::exists(backup(path, 1)));
      ASSERT_TRUE(fs::exists(backup(path, 2).native() + ".gz"));
      for (const auto& entry : fs::directory_iterator(dir())) {
        if (entry.path().filename().string().rfind(name, 0) != 0) continue;
        EXPECT_EQ(modeOf(entry.path()), mode & ~mask) << entry.path();
      }
    }
  }
  if (::geteuid() == 0) {
    const fs::path path = dir() / "owned.log";
    {
      // One rotation more makes the chowned ".1" the ".2" to compress,
      // which the sink's end waits for.
      FileLogSink sink(path, policy);
      while (!fs::exists(backup(path, 1))) sink.write(LogLevel::Info, std::string(60, 'x'));
      ASSERT_EQ(::chown(backup(path, 1).c_str(), 65534, 65534), 0);
      const fs::path zipped = backup(path, 2).native() + ".gz";
      while (!fs::exists(backup(path, 2)) && !fs::exists(zipped)) {
        sink.write(LogLevel::Info, std::string(60, 'x'));
      }
    }
    const fs::path zipped = backup(path, 2).native() + ".gz";
    struct stat st {};
    ASSERT_EQ(::stat(zipped.c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, 65534u);
    EXPECT_EQ(st.st_gid, 65534u);
  }
  policy.fileMode = 010000;
  EXPECT_THROW(FileLogSink(dir() / "bad.log", policy), std::invalid_argument);
}
#endif

// onRotated: once for each rotation this sink made (not another sink's),
// with "<path>.1", outside the locks (it writes to the same sink), and an
// exception it throws stays inside, reported once.
TEST_F(RotationTest, TheRotationHookRunsOncePerOwnRotationAndMayLog) {
  const fs::path path = dir() / "hooked.log";
  std::vector<fs::path> calls;
  std::shared_ptr<ILogSink> sink;
  RotationPolicy policy{200, 50};
  policy.onRotated = [&](const fs::path& newest) {
    calls.push_back(newest);
    sink->write(LogLevel::Warn, "rotated");
    if (calls.size() >= 3) throw std::runtime_error("hook failed");
  };
  sink = makeFileLogSink(path, policy);
  std::shared_ptr<ILogSink> other = makeFileLogSink(path, RotationPolicy{200, 50});
  StderrCapture capture;
  for (int i = 0; i < 40; ++i) {
    EXPECT_NO_THROW(sink->write(LogLevel::Info, std::string(60, 'x')));
    other->write(LogLevel::Info, std::string(60, 'o'));
  }
  int ours = 0;  // Rotations made by `sink`: .1 ends in one of its lines, or the hook's.
  int rotated = 0;
  for (int n = 1; fs::exists(backup(path, n)); ++n) {
    ++rotated;
    const std::string last = messageOf(splitLines(readFile(backup(path, n))).back());
    if (last != std::string(60, 'o')) ++ours;
  }
  EXPECT_GT(rotated, 10);
  EXPECT_EQ(static_cast<int>(calls.size()), ours);
  for (const fs::path& call : calls) EXPECT_EQ(call, backup(path, 1));
  const std::vector<std::string> warnings = splitLines(capture.take());
  ASSERT_EQ(warnings.size(), 1u);
  EXPECT_NE(warnings[0].find("hook failed"), std::string::npos) << warnings[0];
}

// A hook's own lines may rotate the file; those rotations call no hook, so
// a hook that logs cannot recurse, even when every line rotates.
TEST_F(RotationTest, RotationsCausedByAHooksLinesCallNoHook) {
  const fs::path path = dir() / "every-line.log";
  int calls = 0;
  std::shared_ptr<ILogSink> sink;
  RotationPolicy policy{1, 100};
  policy.onRotated = [&](const fs::path&) {
    ++calls;
    sink->write(LogLevel::Warn, "from the hook");  // Rotates too.
  };
  sink = makeFileLogSink(path, policy);
  for (int i = 0; i < 10; ++i) sink->write(LogLevel::Info, "line");
  EXPECT_EQ(calls, 10);
  EXPECT_TRUE(fs::exists(backup(path, 20)));
  EXPECT_FALSE(fs::exists(backup(path, 21)));
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
