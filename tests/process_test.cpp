// Several processes on one file through many rotations, and writers killed
// at random moments: lines stay whole, no crossing of the threshold is rotated
// twice, and the kept sequence has no gap. The kill test is POSIX only.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "os_helpers.h"
#include "test_support.h"

#ifndef _WIN32
#include <signal.h>
#endif

namespace velmor::common {
namespace {

using namespace velmor::testing;

using ProcessTest = TempDirTest;

TEST_F(ProcessTest, ProcessesShareOneFileThroughRotationsWithoutLosingALine) {
  struct Case {
    RotationPolicy policy;
    std::vector<std::size_t> sizes;  // One writer each; around and above a page, so a split shows.
    int asyncThreads = 0;            // With threads, each writer is an AsyncFileLogSink they share.
  };
  // The default: about 29 MB, five rotations, so that nothing has been
  // dropped whatever the writers' relative speed (a sixth would drop ".5",
  // which may hold all of one fast writer's lines). A chosen policy: about
  // a hundred rotations, with room for every backup.
  const std::vector<Case> cases = {{{}, {1500, 4000, 7000}},
                                   {{300000, 150}, {1500, 4000, 7000, 2500}},
                                   {{300000, 150}, {1500, 4000, 2500, 700}, 2}};
  constexpr int kLines = 2300;
  for (const Case& c : cases) {
    const std::string name =
        std::to_string(c.policy.maxFileBytes) + (c.asyncThreads > 0 ? "-async" : "");
    SCOPED_TRACE(name);
    const fs::path path = dir() / (name + ".log");
    StderrCapture capture;
    std::vector<Child> children;
    for (std::size_t i = 0; i < c.sizes.size(); ++i) {
      const std::string tag = "p" + std::to_string(i);
      std::vector<std::string> args = writerArgs(path, tag, kLines, c.sizes[i], c.policy);
      if (c.asyncThreads > 0) {
        args.insert(args.end(), {std::to_string(c.asyncThreads), "0"});
      }
      children.push_back(spawn(writerProcess(), args));
    }
    for (const Child child : children) ASSERT_EQ(waitFor(child), 0);
    EXPECT_EQ(capture.take(), "");  // No rename ever failed.

    // Every backup was rotated once, at the crossing: at most one more line
    // per writer than the threshold.
    const std::size_t longest = *std::max_element(c.sizes.begin(), c.sizes.end());
    const std::size_t threads = std::max(1, c.asyncThreads);
    EXPECT_GE(expectBackupsWithin(path, c.policy,
                                  c.sizes.size() * recordLineSize("p0t0", kLines, longest)),
              std::min(c.policy.maxBackups, 90));
    expectEveryRecord(readAll(path, c.policy.maxBackups, false), c.sizes.size() * threads, kLines);
  }
}

// Threads of one process, batches and single lines of several: a file being
// rotated gets at most one more line from each process however their lines
// fall, since a thread holds back while another decides a crossing of its
// file, and a batch that has seen other writers ends its last stretch
// before the threshold line by line.
TEST_F(ProcessTest, ThreadsAndBatchesAddOneLinePerProcessToARotatedFile) {
  struct Case {
    RotationPolicy policy;
    int lines;  // Per thread.
  };
  const std::vector<Case> cases = {{{1, 300}, 24}, {{16 * 1024, 60}, 150}};
  constexpr std::size_t kFiller = 200;
  constexpr int kProcesses = 4;
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.policy.maxFileBytes) + " bytes");
    const fs::path path = dir() / (std::to_string(c.policy.maxFileBytes) + ".log");
    std::vector<Child> children;
    for (int i = 0; i < kProcesses; ++i) {
      std::vector<std::string> args = writerArgs(
          path, "p" + std::to_string(i), static_cast<std::uint64_t>(c.lines), kFiller, c.policy);
      args.insert(args.end(), {"2", i % 2 == 0 ? "16" : "1"});
      children.push_back(spawn(writerProcess(), args));
    }
    for (const Child child : children) ASSERT_EQ(waitFor(child), 0);
    expectEveryRecord(readAll(path, c.policy.maxBackups, false), 2 * kProcesses,
                      static_cast<std::uint64_t>(c.lines));
    expectBackupsWithin(path, c.policy, kProcesses * recordLineSize("p0t0", 999, kFiller));
    if (c.policy.maxFileBytes != 1) continue;
    // Every line crosses: a backup holds one line of each process at most.
    for (int n = 1; fs::exists(backup(path, n)); ++n) {
      std::map<char, int> perProcess;
      for (const Record& record : parseRecords(readFile(backup(path, n)), false)) {
        EXPECT_EQ(++perProcess[record.tag[1]], 1) << "backup " << n << ", " << record.tag;
      }
    }
  }
}

// Four processes on one compressed set, each compressing in its own thread
// with either codec, one of them not compressing at all: every line is in
// the set once and in order, and every compressed file whole.
TEST_F(ProcessTest, FourProcessesWithEitherCodecShareOneCompressedSet) {
  const fs::path path = dir() / "shared.log";
  RotationPolicy plain{16 * 1024, 200};
  std::vector<RotationPolicy> policies = {plain, plain, plain, plain};
  for (std::size_t i = 1; i < policies.size(); ++i) {
    policies[i].compressBackups = true;
    policies[i].codec = builtCodecs()[i % builtCodecs().size()];
  }
  constexpr std::uint64_t kLines = 1500;
  std::vector<Child> children;
  for (std::size_t i = 0; i < policies.size(); ++i) {
    children.push_back(spawn(writerProcess(),
                             writerArgs(path, "p" + std::to_string(i), kLines, 200, policies[i])));
  }
  for (const Child child : children) ASSERT_EQ(waitFor(child), 0);
  expectEveryRecord(parseRecords(readSetText(path, plain.maxBackups), false), policies.size(),
                    kLines);
  // What the compressors have not reached (the plain writer may have
  // rotated last) the next rotation of a compressing writer takes up.
  FileLogSink(path, policies[1]).write(LogLevel::Info, std::string(plain.maxFileBytes, 'x'));
  for (int n = 2; n <= plain.maxBackups; ++n) EXPECT_FALSE(fs::exists(backup(path, n))) << n;
}

// A crash writes the queue: a child queues 20,000 lines that would wait an
// hour in a background sink with writeOnCrash, then faults (a null write,
// abort()): every line is in the file, in order; the child's own handler
// ran once, and the child died of that signal. A fault in the sink's own
// thread ends the child by its signal too, without a hang.
TEST_F(ProcessTest, ACrashWritesEveryQueuedLineAndStillEndsByItsSignal) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "SKIPPED: the sanitizers handle these signals themselves";
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
  GTEST_SKIP() << "SKIPPED: the sanitizers handle these signals themselves";
#endif
#endif
  constexpr int kLines = 20000;
#ifdef _WIN32
  // An access violation's exception code, and abort()'s status.
  const std::pair<const char*, int> kinds[] = {{"segv", static_cast<int>(0xC0000005u)},
                                               {"abort", 3}};
  const int faultStatus = static_cast<int>(0xC0000005u);
#else
  const std::pair<const char*, int> kinds[] = {{"segv", 128 + SIGSEGV}, {"abort", 128 + SIGABRT}};
  const int faultStatus = 128 + SIGSEGV;
#endif
  for (const auto& [how, status] : kinds) {
    SCOPED_TRACE(how);
    const fs::path path = dir() / (std::string(how) + ".log");
    const Ran ran = run(writerProcess(), {"crash", how, path.string(), std::to_string(kLines)}, "");
    EXPECT_EQ(ran.status, status);
#ifdef _WIN32
    // Windows calls the exception filter that was there before (the C
    // runtime's); a signal() handler for SIGSEGV is that runtime's own
    // emulation, and only abort()'s SIGABRT is a signal handler here.
    if (std::string(how) == "abort") {
      EXPECT_EQ(ran.err, "own handler\r\n");
    }
#else
    EXPECT_EQ(ran.err, "own handler\n");
#endif
    std::string all;  // Oldest first, through some ten rotations.
    for (int n = 100; n >= 1; --n) all += readFile(backup(path, n));
    const std::vector<std::string> lines = splitLines(all + readFile(path));
    ASSERT_EQ(lines.size(), static_cast<std::size_t>(kLines));
    for (int i = 0; i < kLines; ++i) ASSERT_EQ(messageOf(lines[i]), "line " + std::to_string(i));
  }
  const fs::path path = dir() / "thread.log";
  const Ran ran = run(writerProcess(), {"crash", "thread", path.string(), "20000"}, "");
  EXPECT_EQ(ran.status, faultStatus);
}

#ifndef _WIN32
// Kills writers of `path` at random moments, round after round, and checks
// the files after each.
void killWritersAndCheck(const fs::path& path, std::optional<CompressionCodec> codec);

// Plain and compressed by each codec: a writer killed at any moment, in a
// rotation or a compression too, leaves every line in exactly one file, and
// every compressed file under its final name whole.
TEST_F(ProcessTest, KilledWritersLeaveWholeLinesWithoutGaps) {
  killWritersAndCheck(dir() / "crash.log", std::nullopt);
  for (const CompressionCodec codec : builtCodecs()) {
    if (HasFatalFailure()) return;
    SCOPED_TRACE(suffixOf(codec));
    killWritersAndCheck(dir() / ("zipped" + suffixOf(codec) + ".log"), codec);
  }
}

void killWritersAndCheck(const fs::path& path, std::optional<CompressionCodec> codec) {
  // Small files, so that the writers live and die through many rotations.
  constexpr std::uint64_t kLimit = 64 * 1024;
  constexpr std::size_t kMaxSize = 6000;
  RotationPolicy policy{kLimit, kMaxBackups};
  policy.compressBackups = codec.has_value();
  if (codec) policy.codec = *codec;
  std::mt19937 random(20261208);
  constexpr int kRounds = 30;
  for (int round = 0; round <= kRounds; ++round) {
    const std::size_t size = std::uniform_int_distribution<std::size_t>(200, kMaxSize)(random);
    // The last round ends on its own after enough lines for a rotation, so
    // that the files are checked as a finished rotation leaves them.
    const bool last = round == kRounds;
    const Child child = spawn(
        writerProcess(),
        writerArgs(path, "r" + std::to_string(round), last ? kLimit / 200 + 1 : 0, size, policy));
    ASSERT_NE(child, -1);
    if (last) {
      ASSERT_EQ(waitFor(child), 0);
    } else {
      std::this_thread::sleep_for(
          std::chrono::milliseconds(std::uniform_int_distribution<int>(2, 60)(random)));
      ::kill(static_cast<pid_t>(child), SIGKILL);
      ASSERT_EQ(waitFor(child), 128 + SIGKILL) << "writer ended on its own";
    }

    // Age order: rounds follow each other, and the oldest kept round may
    // have lost its beginning to retention; every later round must be there
    // from its first line, and each one in order. A kill in the middle of a
    // write that spans two pages can cut that round's last line short; it
    // must be the last line of its round.
    std::string all;
    for (int n = kMaxBackups; n >= 1; --n) {
      all += readBackup(path, n);  // A cut .gz fails here.
      if (!all.empty() && all.back() != '\n') all += '\n';
    }
    const std::vector<Record> records = parseRecords(all + readFile(path), true);
    ASSERT_FALSE(::testing::Test::HasFailure()) << "after round " << round;
    int previousRound = -1;
    std::uint64_t expected = 0;
    bool cut = false;
    for (const Record& record : records) {
      if (!record.whole) {
        cut = true;
        continue;
      }
      const int recordRound = std::stoi(record.tag.substr(1));
      if (recordRound != previousRound) {
        ASSERT_GT(recordRound, previousRound) << "rounds out of order after round " << round;
        if (previousRound >= 0) {
          ASSERT_EQ(record.seq, 0u) << "lines of " << record.tag << " lost";
        }
        previousRound = recordRound;
        expected = record.seq;
      } else {
        ASSERT_FALSE(cut) << "a line of " << record.tag << " follows a cut line";
      }
      ASSERT_EQ(record.seq, expected) << "gap in " << record.tag << " after round " << round;
      ++expected;
      cut = false;
    }
    if (last) {
      ASSERT_EQ(previousRound, round) << "the last round's lines are missing";
    }
  }
  // Every number taken, each backup rotated at its crossing: at least the
  // limit, and at most a dead writer's crossing line and the next writer's
  // first line more.
  for (int n = 1; n <= kMaxBackups; ++n) {
    const std::size_t size = readBackup(path, n).size();
    EXPECT_GE(size, kLimit) << n;
    EXPECT_LT(size, kLimit + 2 * recordLineSize("r30", 999999, kMaxSize)) << n;
  }
  // What a finished rotation leaves: ".1" plain, the others compressed (or
  // all plain), nothing else (the active file may be there or not).
  std::set<std::string> names;
  for (const auto& entry : fs::directory_iterator(path.parent_path())) {
    const std::string name = entry.path().filename().string();
    if (name.rfind(path.filename().string() + ".", 0) == 0) names.insert(name);
  }
  std::set<std::string> expected;
  for (int n = 1; n <= kMaxBackups; ++n) {
    expected.insert(backup(path, n).filename().string() + (codec && n > 1 ? suffixOf(*codec) : ""));
  }
  EXPECT_EQ(names, expected);
}
#endif

}  // namespace
}  // namespace velmor::common
