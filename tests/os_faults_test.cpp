// Faults of single OS calls, through the stand-in of posix_mock.h: what the
// sink reports must be what reached the file.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <numeric>
#include <string>
#include <thread>
#include <vector>

#include "logging/async_file_log_sink.h"
#include "logging/file_log_sink.h"
#include "logging/internal/background_compressor.h"
#include "os_helpers.h"
#include "posix_mock.h"
#include "test_support.h"

namespace velmor::common {
namespace {

using namespace velmor::testing;

using OsFaultTest = TempDirTest;

// A size query that fails after a line went in: the line counts as written,
// and the sink goes on once the query works again.
TEST_F(OsFaultTest, ALineAppendedWhileItsSizeCannotBeReadCountsAsWritten) {
  const fs::path path = dir() / "fstat.log";
  FileLogSink sink(path);
  sink.write(LogLevel::Info, "known");  // The sink now knows the file.
  const LogRecord one{LogLevel::Info, "during"};
  mock::failFstat(true);
  const std::size_t reported = sink.writeBatch(&one, 1);
  mock::failFstat(false);
  EXPECT_EQ(reported, 1u);
  const LogRecord two[] = {{LogLevel::Info, "after"}, {LogLevel::Info, "again"}};
  EXPECT_EQ(sink.writeBatch(two, 2), 2u);
  std::vector<std::string> messages;
  for (const std::string& line : splitLines(readFile(path))) messages.push_back(messageOf(line));
  EXPECT_EQ(messages, (std::vector<std::string>{"known", "during", "after", "again"}));
}

// Returns once the process's compressor has nothing left to do.
void waitForCompression() { internal::BackgroundCompressor::get().waitUntilIdle(); }

// Writes `message` to `sink` until the set at `path` rotated once more
// (its ".1" moved on to ".2", plain or compressed), then waits for the
// compressor.
void rotateOnceMore(FileLogSink& sink, const fs::path& path, const std::string& message) {
  const fs::path zipped = backup(path, 2).native() + fs::path(".gz").native();
  while (!fs::exists(backup(path, 2)) && !fs::exists(zipped)) {
    sink.write(LogLevel::Info, message);
  }
  waitForCompression();
}

// Every record of the set at `path`, compressed backups and plain ones,
// oldest first.
std::vector<Record> readSet(const fs::path& path, int backups) {
  return parseRecords(readSetText(path, backups), false);
}

// A writer stalled while another process rotates its file three times and
// compresses the backups: its line is kept once, whether the stall comes
// after the append (the compression of that file waits for the writer, and
// leaves it plain for now) or before it (the file is gone by then: the line
// is written again, to the file now at the name).
TEST_F(OsFaultTest, AStalledWritersLineOutlivesTheCompressionOfItsFile) {
  RotationPolicy policy{1000, 6};
  policy.compressBackups = true;
  for (const CompressionCodec codec : builtCodecs())
    for (const mock::Moment stall :
         {mock::Moment::AfterAnAppend, mock::Moment::BeforeMarkingAnAppend}) {
      policy.codec = codec;
      const fs::path path = dir() / ((stall == mock::Moment::AfterAnAppend ? "after" : "before") +
                                     suffixOf(codec) + ".log");
      FileLogSink sink(path, policy);
      int status = -1;
      mock::atNext(stall, [&] {
        status = run(writerProcess(), writerArgs(path, "other", 40, 60, policy), "").status;
      });
      sink.write(LogLevel::Info, recordMessage("stalled", 0, 10));
      ASSERT_EQ(status, 0);
      std::vector<std::uint64_t> others;
      int stalled = 0;
      for (const Record& record : readSet(path, policy.maxBackups)) {
        if (record.tag == "stalled") ++stalled;
        if (record.tag == "other") others.push_back(record.seq);
      }
      EXPECT_EQ(stalled, 1) << path;
      std::vector<std::uint64_t> all(40);
      std::iota(all.begin(), all.end(), 0);
      EXPECT_EQ(others, all) << path;
    }
}

// Another process writes while this one compresses the backups after a
// rotation: its lines go into the fresh file, so that the rotated one keeps
// its bound however long compression takes, and the writer that rotated
// does not wait for it.
TEST_F(OsFaultTest, LinesWrittenWhileBackupsAreCompressedGoToTheFreshFile) {
  const fs::path path = dir() / "slow.log";
  RotationPolicy policy{64 * 1024, 5};  // Lines near the threshold would wait for the lock.
  policy.compressBackups = true;
  FileLogSink sink(path, policy);
  const std::string message = recordMessage("own", 0, 60);
  while (!fs::exists(backup(path, 1))) sink.write(LogLevel::Info, message);
  int status = -1;
  std::thread::id compressing;
  mock::atNext(mock::Moment::BeforeReadingABackup, [&] {
    compressing = std::this_thread::get_id();
    status = run(writerProcess(), writerArgs(path, "other", 6, 60, policy), "").status;
  });
  // The next rotation makes ".1" the ".2" that is compressed.
  rotateOnceMore(sink, path, message);
  ASSERT_EQ(status, 0);
  EXPECT_NE(compressing, std::this_thread::get_id());
  EXPECT_TRUE(fs::exists(backup(path, 2).native() + fs::path(".gz").native()));
  EXPECT_LT(fs::file_size(backup(path, 1)), policy.maxFileBytes + lineSize(message.size()));
  int others = 0;
  for (const Record& record : parseRecords(readFile(path), false)) others += record.tag == "other";
  EXPECT_EQ(others, 6);
}

// Another writer rotates while a backup is being compressed, moving it up:
// the compressed file takes the number the plain one holds by then, and no
// line is lost, doubled or out of order.
TEST_F(OsFaultTest, ABackupThatMovesWhileItIsCompressedKeepsItsPlace) {
  const fs::path path = dir() / "moving.log";
  RotationPolicy plain{4 * 1024, 6};
  RotationPolicy policy = plain;
  policy.compressBackups = true;
  FileLogSink sink(path, policy);
  FileLogSink other(path, plain);
  std::uint64_t own = 0;
  std::uint64_t others = 0;
  while (!fs::exists(backup(path, 1))) sink.write(LogLevel::Info, recordMessage("own", own++, 60));
  mock::atNext(mock::Moment::BeforeReadingABackup, [&] {
    while (!fs::exists(backup(path, 3))) {
      other.write(LogLevel::Info, recordMessage("other", others++, 60));
    }
  });
  while (!fs::exists(backup(path, 2))) sink.write(LogLevel::Info, recordMessage("own", own++, 60));
  waitForCompression();
  EXPECT_TRUE(fs::exists(backup(path, 3).native() + fs::path(".gz").native()));
  EXPECT_FALSE(fs::exists(backup(path, 3)));
  EXPECT_TRUE(fs::exists(backup(path, 2)));  // Left for the next pass.
  EXPECT_FALSE(fs::exists(backup(path, 2).native() + fs::path(".gz").native()));
  const std::vector<Record> records = readSet(path, policy.maxBackups);
  std::vector<Record> mine;
  std::vector<Record> theirs;
  for (const Record& record : records) (record.tag == "own" ? mine : theirs).push_back(record);
  expectEveryRecord(mine, 1, own);
  expectEveryRecord(theirs, 1, others);
}

// A process forks while its compressor is in the middle of a backup: the
// child, whose only thread is the one that forked, still ends its sink
// (rather than wait for ever for a thread it does not have), and the
// parent's compression completes.
TEST_F(OsFaultTest, AChildForkedDuringACompressionEndsItsSinkAndTheParentsCompletes) {
  const fs::path path = dir() / "forked.log";
  RotationPolicy policy{4 * 1024, 5};
  policy.compressBackups = true;
  auto sink = std::make_unique<FileLogSink>(path, policy);
  std::uint64_t seq = 0;
  while (!fs::exists(backup(path, 1))) sink->write(LogLevel::Info, recordMessage("own", seq++, 60));
  std::atomic<bool> reached{false};
  std::atomic<bool> forked{false};
  mock::atNext(mock::Moment::BeforeReadingABackup, [&] {
    reached = true;
    while (!forked) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  });
  while (!fs::exists(backup(path, 2))) sink->write(LogLevel::Info, recordMessage("own", seq++, 60));
  while (!reached) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  const pid_t child = ::fork();
  if (child == 0) {
    sink.reset();
    ::_exit(0);
  }
  forked = true;
  ASSERT_GT(child, 0);
  int status = -1;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (::waitpid(child, &status, WNOHANG) == 0 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  if (std::chrono::steady_clock::now() >= deadline) {
    ::kill(child, SIGKILL);
    ::waitpid(child, &status, 0);
    FAIL() << "the forked child never ended its sink";
  }
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  sink.reset();
  EXPECT_TRUE(fs::exists(backup(path, 2).native() + fs::path(".gz").native()));
  expectEveryRecord(readSet(path, policy.maxBackups), 1, seq);
}

// A writer that opened the file while it was active appends to it after
// its compression read it: the line moves to the active file rather than
// vanish with the plain backup.
TEST_F(OsFaultTest, ALineAppendedToABackupBeingCompressedMovesToTheActiveFile) {
  const fs::path path = dir() / "late.log";
  RotationPolicy policy{4 * 1024, 5};
  policy.compressBackups = true;
  FileLogSink sink(path, policy);
  const std::string message = recordMessage("own", 0, 60);
  while (!fs::exists(backup(path, 1))) sink.write(LogLevel::Info, message);
  mock::atNext(mock::Moment::BeforeRaisingABarrier,
               [&] { appendFile(backup(path, 2), "late line\n"); });
  rotateOnceMore(sink, path, message);
  const fs::path zipped = backup(path, 2).native() + fs::path(".gz").native();
  EXPECT_FALSE(fs::exists(backup(path, 2)));
  bool complete = false;
  EXPECT_EQ(gunzipFile(zipped, complete).find("late line"), std::string::npos);
  EXPECT_TRUE(complete);
  EXPECT_NE(readFile(path).find("late line\n"), std::string::npos) << readFile(path);
}

// Another writer's line is cut short (its process killed) just after the
// sink looked at the end of the shared file, and before its line went in:
// the line, glued to the fragment, is written again on a line of its own.
TEST_F(OsFaultTest, ALineGluedToAFragmentThatCameInMeanwhileIsWrittenAgain) {
  const fs::path path = dir() / "shared.log";
  FileLogSink sink(path);
  sink.write(LogLevel::Info, "one");
  appendFile(path, "other whole\n");  // The sink now knows the file is shared.
  sink.write(LogLevel::Info, "two");
  mock::atNext(mock::Moment::BeforeAnAppend, [&] { appendKilledLine(path); });
  sink.write(LogLevel::Info, "three");
  sink.write(LogLevel::Info, "four");
  const std::vector<std::string> lines = splitLines(readFile(path));
  ASSERT_EQ(lines.size(), 6u) << readFile(path);
  EXPECT_EQ(lines[3].rfind("other cut", 0), 0u) << lines[3];
  EXPECT_EQ(messageOf(lines[4]), "three");
  EXPECT_EQ(messageOf(lines[5]), "four");
}

// The calls that reached the disk while `work` ran, in their order, with
// the test directory's name shortened to "D".
std::vector<std::string> recordedDuring(const fs::path& dir, const std::function<void()>& work) {
  mock::record(true);
  work();
  std::vector<std::string> calls = mock::recorded();
  mock::record(false);
  const std::string prefix = fs::canonical(dir).string();
  for (std::string& call : calls) {
    for (std::size_t at; (at = call.find(prefix)) != std::string::npos;) {
      call.replace(at, prefix.size(), "D");
    }
  }
  return calls;
}

using Calls = std::vector<std::string>;

// A line at the sync level is on disk, with the lines before it, when its
// write returns; a line below it, and every line of a default sink, costs
// no sync at all.
TEST_F(OsFaultTest, ALineAtTheSyncLevelIsOnDiskWhenItsCallReturns) {
  RotationPolicy policy;
  policy.syncFrom = LogLevel::Error;
  FileLogSink sink(dir() / "a.log", policy);
  EXPECT_EQ(recordedDuring(dir(), [&] { sink.write(LogLevel::Warn, "below"); }),
            (Calls{"writev D/a.log"}));
  EXPECT_EQ(recordedDuring(dir(), [&] { sink.write(LogLevel::Error, "at"); }),
            (Calls{"writev D/a.log", "fdatasync D/a.log"}));
  const LogRecord batch[] = {{LogLevel::Info, "x"}, {LogLevel::Fatal, "y"}, {LogLevel::Info, "z"}};
  EXPECT_EQ(recordedDuring(dir(), [&] { sink.writeBatch(batch, 3); }),
            (Calls{"writev D/a.log", "fdatasync D/a.log"}));

  // The background sink's write of such a line returns once it is written
  // and synced, with the lines queued before it.
  AsyncOptions slow;
  slow.maxDelay = std::chrono::hours(1);
  AsyncFileLogSink async(dir() / "q.log", policy, slow);
  EXPECT_EQ(recordedDuring(dir(),
                           [&] {
                             async.write(LogLevel::Info, "queued");
                             async.write(LogLevel::Error, "at");
                           }),
            (Calls{"writev D/q.log", "fdatasync D/q.log"}));
  EXPECT_EQ(splitLines(readFile(dir() / "q.log")).size(), 2u);

  FileLogSink plain(dir() / "b.log", RotationPolicy{100, 2});
  const Calls calls = recordedDuring(dir(), [&] {
    for (int i = 0; i < 20; ++i) plain.write(LogLevel::Fatal, "a line of forty bytes or so");
  });
  for (const std::string& call : calls) EXPECT_EQ(call.find("sync"), std::string::npos) << call;
  RotationPolicy bad;
  bad.syncFrom = static_cast<LogLevel>(6);
  EXPECT_THROW(FileLogSink(dir() / "c.log", bad), std::invalid_argument);
}

// The background sink with a sync interval syncs at its first write, then
// at most once an interval, and once more when a burst is over; sync()
// returns with the file synced; nothing is synced while idle.
TEST_F(OsFaultTest, TheBackgroundSinkSyncsByIntervalAfterABurstAndOnRequest) {
  AsyncOptions options;
  options.syncInterval = std::chrono::hours(1);
  AsyncFileLogSink sink(dir() / "i.log", {}, options);
  const auto syncs = [&](const std::function<void()>& work) {
    const Calls calls = recordedDuring(dir(), [&] {
      work();
      std::this_thread::sleep_for(std::chrono::milliseconds(100));  // Idle meanwhile.
    });
    return std::count(calls.begin(), calls.end(), "fdatasync D/i.log");
  };
  EXPECT_EQ(syncs([&] {
              sink.write(LogLevel::Info, "first");
              sink.flush();
            }),
            1);  // The first write syncs; the burst ends synced.
  EXPECT_EQ(syncs([&] {
              sink.write(LogLevel::Info, "second");
              sink.flush();
            }),
            1);  // Within the interval: only the end of the burst.
  EXPECT_EQ(syncs([] {}), 0);
  AsyncFileLogSink plain(dir() / "p.log");
  const Calls calls = recordedDuring(dir(), [&] {
    plain.write(LogLevel::Info, "line");
    plain.sync();
  });
  EXPECT_EQ(calls, (Calls{"writev D/p.log", "fdatasync D/p.log"}));
  AsyncOptions bad;
  bad.syncInterval = std::chrono::milliseconds(-1);
  EXPECT_THROW(AsyncFileLogSink(dir() / "bad.log", {}, bad), std::invalid_argument);
}

// A synced rotation: the file's lines on disk before it is renamed, the
// directory after the renames (and after a compression's), all before the
// write that rotated returns.
TEST_F(OsFaultTest, ASyncedRotationPutsTheFileThenItsDirectoryOnDisk) {
  RotationPolicy policy{100, 3};
  policy.syncRotations = true;
  policy.compressBackups = true;
  FileLogSink sink(dir() / "r.log", policy);
  sink.write(LogLevel::Info, "first");
  const std::string line(100, 'x');
  const auto writeAndCompress = [&] {
    sink.write(LogLevel::Info, line);
    waitForCompression();
  };
  EXPECT_EQ(recordedDuring(dir(), writeAndCompress),
            (Calls{"writev D/r.log", "fdatasync D/r.log", "rename D/r.log D/r.log.1", "fsync D"}));
  const Calls second = recordedDuring(dir(), writeAndCompress);
  EXPECT_EQ(second, (Calls{"writev D/r.log", "rename D/r.log.1 D/r.log.2", "fdatasync D/r.log",
                           "rename D/r.log D/r.log.1", "fsync D",
                           "rename D/r.log.2.gz.tmp D/r.log.2.gz", "fsync D"}));
}

}  // namespace
}  // namespace velmor::common
