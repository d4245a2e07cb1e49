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

// A piece of an expected file: bytes placed, `count` lines a sink wrote (by
// message; the stamp is whatever the clock said), or, alone, a non-empty
// directory, which can be neither deleted nor replaced.
struct Piece {
  enum Kind { Placed, Lines, Directory } kind;
  std::string text;
  int count = 1;
};
Piece placed(std::string text) { return {Piece::Placed, std::move(text)}; }
Piece line(std::string message, int count = 1) { return {Piece::Lines, std::move(message), count}; }
const Piece kObstacle{Piece::Directory, ""};
using Files = std::map<int, std::vector<Piece>>;  // By number: 0 is the active file.

// Checks that `file` holds exactly `pieces`, in order.
void expectFile(const fs::path& file, const std::vector<Piece>& pieces) {
  if (pieces.size() == 1 && pieces[0].kind == Piece::Directory) {
    EXPECT_TRUE(fs::is_directory(file / "occupied")) << file.string();
    return;
  }
  const std::string bytes = readFile(file);
  std::size_t at = 0;
  for (const Piece& piece : pieces) {
    for (int i = 0; i < piece.count; ++i) {
      if (piece.kind == Piece::Placed) {
        ASSERT_EQ(bytes.compare(at, piece.text.size(), piece.text), 0)
            << file.string() << " @" << at;
        at += piece.text.size();
        continue;
      }
      const std::size_t end = bytes.find('\n', at);
      ASSERT_NE(end, std::string::npos) << file.string() << " @" << at;
      EXPECT_EQ(afterStamp(bytes.substr(at, end + 1 - at)), "[INFO] " + piece.text + "\n")
          << file.string() << " @" << at;
      at = end + 1;
    }
  }
  EXPECT_EQ(at, bytes.size()) << file.string();
}

// The phases of a scenario are written as text. Files: "N=piece,piece ..."
// with N the number (0: the active file) and each piece a placed text,
// 'message for a line (or 'message*count for several), or # for a
// non-empty directory; "N=" removes the file. Writes: "message@sink*count",
// sink 0 and once unless given. Warnings: "from>to", the move each names.
// Words found in `texts` stand for their text.
using Texts = std::map<std::string, std::string>;

// What `word` stands for in `texts`, or the word itself.
std::string textOf(const std::string& word, const Texts& texts) {
  const auto known = texts.find(word);
  return known == texts.end() ? word : known->second;
}

// `word` cut at `mark`: what comes before, and the number after it
// (`fallback` without one).
std::pair<std::string, int> cut(const std::string& word, char mark, int fallback) {
  const std::size_t at = word.find(mark);
  return {word.substr(0, at), at == std::string::npos ? fallback : std::stoi(word.substr(at + 1))};
}

std::vector<std::string> words(const std::string& text, char separator = ' ') {
  std::vector<std::string> all;
  std::istringstream in(text);
  for (std::string word; std::getline(in, word, separator);) {
    if (!word.empty()) all.push_back(word);
  }
  return all;
}

Files parseFiles(const std::string& state, const Texts& texts) {
  Files files;
  for (const std::string& token : words(state)) {
    const std::size_t equals = token.find('=');
    std::vector<Piece>& pieces = files[std::stoi(token.substr(0, equals))];
    const std::string content = token.substr(equals + 1, token.find('~') - equals - 1);
    for (const std::string& piece : words(content, ',')) {
      if (piece == "#") {
        pieces.push_back(kObstacle);
      } else if (piece[0] == '\'') {
        const auto [message, count] = cut(piece.substr(1), '*', 1);
        pieces.push_back(line(textOf(message, texts), count));
      } else {
        pieces.push_back(placed(textOf(piece, texts)));
      }
    }
  }
  return files;
}

// The ages given to placed files: "N=...~<count><s|m|h|d>" makes file N
// last modified that long ago.
std::map<int, std::chrono::seconds> parseAges(const std::string& state) {
  std::map<int, std::chrono::seconds> ages;
  for (const std::string& token : words(state)) {
    const std::size_t tilde = token.find('~');
    if (tilde == std::string::npos) continue;
    const std::string age = token.substr(tilde + 1);
    const std::map<char, int> units = {{'s', 1}, {'m', 60}, {'h', 3600}, {'d', 86400}};
    ages[std::stoi(token)] = std::chrono::seconds(std::stoll(age) * units.at(age.back()));
  }
  return ages;
}

// One phase of a scenario: files placed, one pinned against renaming while
// the lines are written, then every file compared whole (no other may
// exist), and the warnings printed meanwhile.
struct Phase {
  std::string place;
  int pin;
  std::string writes;
  std::string expect;
  std::string warnings;
};

struct Scenario {
  std::string name;  // Names the directory and the log file, in UTF-8.
  int sinks;         // Made after the first phase placed its files.
  std::vector<Phase> phases;
  RotationPolicy policy = {};  // The sinks'.
};

// Plays `scenario` in a directory of its own under `root`. Sets `unpinned`,
// and stops, where a file cannot be pinned here.
void play(const fs::path& root, const Scenario& scenario, const Texts& texts, bool& unpinned) {
  SCOPED_TRACE(scenario.name);
  const fs::path home = root / fs::u8path(scenario.name);
  const fs::path path = home / fs::u8path(scenario.name + ".log");
  const auto file = [&](int n) { return n == 0 ? path : backup(path, n); };
  const auto place = [&](const Files& files) {
    for (const auto& [n, pieces] : files) {
      fs::remove_all(file(n));
      if (!pieces.empty() && pieces[0].kind == Piece::Directory) {
        fs::create_directories(file(n) / "occupied");
      } else if (!pieces.empty()) {
        writeFile(file(n), pieces[0].text);
      }
    }
  };
  const auto age = [&](const std::string& state) {
    for (const auto& [n, ago] : parseAges(state)) {
      ASSERT_TRUE(setModifiedAgo(file(n), ago)) << file(n).string();
    }
  };
  const auto expectFiles = [&](const Files& files) {
    std::set<fs::path> names;
    std::set<fs::path> expected;
    for (const auto& entry : fs::directory_iterator(home)) names.insert(entry.path().filename());
    for (const auto& [n, pieces] : files) {
      if (!pieces.empty()) expected.insert(file(n).filename());
    }
    EXPECT_EQ(names, expected);
    for (const auto& [n, pieces] : files) ASSERT_NO_FATAL_FAILURE(expectFile(file(n), pieces)) << n;
  };
  fs::create_directories(home);
  place(parseFiles(scenario.phases[0].place, texts));
  ASSERT_NO_FATAL_FAILURE(age(scenario.phases[0].place));
  std::vector<std::shared_ptr<ILogSink>> sinks(static_cast<std::size_t>(scenario.sinks));
  for (auto& sink : sinks) sink = makeFileLogSink(path, scenario.policy);
  expectFiles(parseFiles(scenario.phases[0].place, texts));  // Construction touches nothing.
  for (std::size_t p = 0; p < scenario.phases.size(); ++p) {
    SCOPED_TRACE("phase " + std::to_string(p + 1));
    const Phase& phase = scenario.phases[p];
    if (p > 0) {
      place(parseFiles(phase.place, texts));
      ASSERT_NO_FATAL_FAILURE(age(phase.place));
    }
    StderrCapture capture;
    {
      std::unique_ptr<FilePin> pin;
      if (phase.pin >= 0) pin = std::make_unique<FilePin>(file(phase.pin));
      if (pin != nullptr && !pin->ok()) {
        unpinned = true;
        return;
      }
      for (const std::string& write : words(phase.writes)) {
        const auto [sunk, count] = cut(write, '*', 1);
        const auto [message, sink] = cut(sunk, '@', 0);
        for (int i = 0; i < count; ++i) {
          sinks.at(static_cast<std::size_t>(sink))->write(LogLevel::Info, textOf(message, texts));
        }
      }
    }
    ASSERT_NO_FATAL_FAILURE(expectFiles(parseFiles(phase.expect, texts)));
    const std::vector<std::string> lines = splitLines(capture.take());
    const std::vector<std::string> warnings = words(phase.warnings);
    ASSERT_EQ(lines.size(), warnings.size());
    for (std::size_t i = 0; i < lines.size(); ++i) {
      const auto [from, to] = cut(warnings[i], '>', 0);
      const std::string move =
          from == "0" ? "active -> .1"
                      : file(std::stoi(from)).u8string() + " -> " + file(to).u8string();
      const unsigned long code = checkWarning(
          lines[i], "[velmor-log-rotation] MoveFileExW(" + move + ") failed (GetLastError=");
      if (phase.pin >= 0) {
        EXPECT_EQ(code, FilePin::renameError());
      } else {
        EXPECT_NE(code, 0u);
      }
    }
  }
}

// Fixed scenarios, from the threshold's exact byte to refused renames retried
// by several sinks: every file compared whole after every phase.
TEST_F(RotationTest, FixedScenariosLeaveExactlyTheFilesExpected) {
  // Whole lines that bring a file to `total` bytes once a line of one byte
  // follows.
  const auto upTo = [](std::int64_t total) {
    return std::string(static_cast<std::size_t>(total) - lineSize(1) - 1, 'p') + '\n';
  };
  const Texts texts = {{"below", upTo(kThreshold - 1)},
                       {"at", upTo(kThreshold)},
                       {"oversize", std::string(6 * 1024 * 1024, 'o') + '\n'},
                       {"huge", std::string(static_cast<std::size_t>(kThreshold) + 1, 'h')},
                       {"torn", "a dead writer's lin"},
                       {"lf", "\n"},
                       {"k", std::string(999, 'k') + '\n'},
                       {"kat", upTo(1000)},
                       {"empty", ""}};
  RotationPolicy aged;
  aged.maxBackupAge = std::chrono::hours(1);
  RotationPolicy capped{1000, kMaxBackups};
  capped.maxTotalBytes = 2500;
  RotationPolicy tinyCap = capped;
  tinyCap.maxTotalBytes = 1;
  RotationPolicy hourly;
  hourly.period = RotationPeriod::Hourly;
  RotationPolicy daily;
  daily.period = RotationPeriod::Daily;
  RotationPolicy onStart;
  onStart.rotateOnStart = true;
  RotationPolicy copying;
  copying.copyWhenPinned = true;
  const std::vector<Scenario> scenarios = {
      // clang-format off
      // The threshold counts to the byte: one short stays, exactly it rotates.
      {"below", 1, {{"0=below", -1, "m", "0=below,'m", ""}}},
      {"at", 1, {{"0=at", -1, "m", "1=at,'m", ""}}},
      // A file left in mid-line by a dead writer, found at a sink's first
      // write or after a rotation: its next line starts on a line of its own,
      // with one LF, once.
      {"torn", 1, {{"0=torn", -1, "m n", "0=torn,lf,'m,'n", ""},
                   {"0=at", -1, "o", "1=at,'o", ""},
                   {"0=torn", -1, "p", "0=torn,lf,'p 1=at,'o", ""}}},
      // A file found oversize rotates after the first line; the next starts afresh.
      {"oversize", 1, {{"0=oversize", -1, "first second", "1=oversize,'first 0='second", ""}}},
      // A message larger than the threshold is kept whole in its own backup.
      {"huge", 1, {{"", -1, "huge", "1='huge", ""}}},
      // Gaps are skipped.
      {"gaps", 1, {{"1=one 3=three 0=at", -1, "m", "1=at,'m 2=one 4=three", ""}}},
      // With every number taken only the oldest goes; a sixth is never touched.
      {"full", 1, {{"1=b1 2=b2 3=b3 4=b4 5=b5 6=b6 0=at", -1, "m",
                    "1=at,'m 2=b1 3=b2 4=b3 5=b4 6=b6", ""}}},
      // A shift refused by an obstacle at the oldest number: one warning per
      // sink, naming both files whole in UTF-8 (converted from the wide names
      // on Windows), nothing moved, the lines kept past the threshold; done
      // once the obstacle is gone.
      {u8"caf\u00e9-\u65e5\u672c", 2,
       {{"1=b1 2=b2 3=b3 4=b4 5=# 0=at", -1, "x y z@1 w@1",
         "1=b1 2=b2 3=b3 4=b4 5=# 0=at,'x,'y,'z,'w", "4>5 4>5"},
        {"5=", -1, "v", "1=at,'x,'y,'z,'w,'v 2=b1 3=b2 4=b3 5=b4", ""}}},
      // The active file refused to move: the shift stands, the retry moves
      // the active file alone.
      {"active", 1,
       {{"1=one 0=at", 0, "x y", "2=one 0=at,'x,'y", "0>1"},
        {"", -1, "z", "1=at,'x,'y,'z 2=one", ""}}},
      // A shift refused in the middle: the retries neither delete again nor
      // move a backup twice, and the rotation after it is a fresh one again.
      {"retry", 1,
       {{"1=b1 2=b2 3=b3 4=b4 5=b5 0=at", 3, "x*5", "1=b1 2=b2 3=b3 5=b4 0=at,'x*5", "3>4"},
        {"", -1, "x", "1=at,'x*6 2=b1 3=b2 4=b3 5=b4", ""},
        {"0=at", -1, "x", "1=at,'x 2=at,'x*6 3=b1 4=b2 5=b3", ""}}},
      // However many sinks retry a refused rotation, each backup moves once
      // in all, and the files end where one rotation puts them.
      {"refused", 3,
       {{"1=one 0=at", 0, "x x@1 x@2 x x@1 x@2", "2=one 0=at,'x*6", "0>1 0>1 0>1"},
        {"", -1, "x@2", "1=at,'x*7 2=one", ""}}},
      // A shift refused in the middle, with a gap above: the retries resume
      // where it stopped instead of moving ".4" up again each time.
      {"gap", 1,
       {{"1=one 3=three 0=at", 1, "x*3", "1=one 4=three 0=at,'x*3", "1>2"},
        {"", -1, "x", "1=at,'x*4 2=one 4=three", ""}}},
      // A remembered resume point is only a hint: once another sink has
      // completed the rotation, or a stranger has put a file at ".1",
      // resuming would rename the active file onto it.
      {"stale", 2,
       {{"0=at", 0, "a", "0=at,'a", "0>1"},
        {"", -1, "b@1", "1=at,'a,'b", ""},
        {"0=at", -1, "c", "2=at,'a,'b 1=at,'c", ""},
        {"0=at", 0, "d", "3=at,'a,'b 2=at,'c 0=at,'d", ""},
        {"1=stranger", -1, "e", "4=at,'a,'b 3=at,'c 2=stranger 1=at,'d,'e", ""}}},
      // A process killed in the middle of a rotation left some of its steps
      // done (drop .5, shift .4 to .1 up, the active file to .1). Whichever
      // it stopped after, the next rotation finishes that one: exactly the
      // oldest backup is gone, the rest in age order.
      {"crash0", 1, {{"1=b1 2=b2 3=b3 4=b4 5=b5 0=at", -1, "m", "1=at,'m 2=b1 3=b2 4=b3 5=b4", ""}}},
      {"crash1", 1, {{"1=b1 2=b2 3=b3 4=b4 0=at", -1, "m", "1=at,'m 2=b1 3=b2 4=b3 5=b4", ""}}},
      {"crash2", 1, {{"1=b1 2=b2 3=b3 5=b4 0=at", -1, "m", "1=at,'m 2=b1 3=b2 4=b3 5=b4", ""}}},
      {"crash3", 1, {{"1=b1 2=b2 4=b3 5=b4 0=at", -1, "m", "1=at,'m 2=b1 3=b2 4=b3 5=b4", ""}}},
      {"crash4", 1, {{"1=b1 3=b2 4=b3 5=b4 0=at", -1, "m", "1=at,'m 2=b1 3=b2 4=b3 5=b4", ""}}},
      {"crash5", 1, {{"2=b1 3=b2 4=b3 5=b4 0=at", -1, "m", "1=at,'m 2=b1 3=b2 4=b3 5=b4", ""}}},
      {"crash6", 1, {{"1=at 2=b1 3=b2 4=b3 5=b4", -1, "m", "1=at 2=b1 3=b2 4=b3 5=b4 0='m", ""}}},
      // Backups older than maxBackupAge go before the shift, and their
      // numbers are free for it; a young file, a directory and a number past
      // the count stay, however old.
      {"age", 1, {{"1=b1 2=b2~2h 3=#~2h 4=b4~3h 5=b5 6=b6~3h 0=at", -1, "m",
                   "1=at,'m 2=b1 3=# 5=b5 6=b6", ""}}, aged},
      // After the shift the oldest backups go while all exceed
      // maxTotalBytes; ".1" stays, alone above it too, and a directory is
      // neither counted nor deleted.
      {"total", 1, {{"1=k 2=k 3=k 0=kat", -1, "m", "1=kat,'m 2=k", ""}}, capped},
      {"cap", 1, {{"1=k 2=k 4=# 6=k 0=kat", -1, "m", "1=kat,'m 4=# 6=k", ""}}, tinyCap},
      // A file of an earlier hour or day is rotated before the first line of
      // this one, by one sink of several; a file of this period is not, and
      // size rotation still applies.
      {"hourly", 2, {{"0=old~2h", -1, "m n@1", "1=old 0='m,'n", ""},
                     {"0=at", -1, "o", "1=at,'o 2=old", ""}}, hourly},
      {"daily", 1, {{"0=old~2d", -1, "m", "1=old 0='m", ""}}, daily},
      {"today", 1, {{"0=k", -1, "m", "0=k,'m", ""}}, daily},
      // Each sink's first write rotates a non-empty file, once; an empty
      // file is not rotated.
      {"start", 2, {{"0=old", -1, "m m n@1 n@1", "1='m*2 2=old 0='n*2", ""}}, onStart},
      {"start-empty", 1, {{"0=empty", -1, "m", "0='m", ""}}, onStart},
#ifdef _WIN32
      // A file that another program keeps from being renamed is copied into
      // ".1" and emptied, every time, with no warning and no line lost.
      {"pinned", 1, {{"1=one 0=at", 0, "x y", "1=at,'x 2=one 0='y", ""},
                     {"0=at", 0, "z", "1=at,'z 2=at,'x 3=one 0=empty", ""}}, copying},
#endif
      // clang-format on
  };
  bool unpinned = false;
  for (const Scenario& scenario : scenarios) play(dir(), scenario, texts, unpinned);
  if (unpinned) {
    GTEST_SKIP() << "SKIPPED: the scenarios with a pinned file (Linux needs root and a "
                    "file system with the append-only attribute)";
  }
}

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
  const std::vector<Case> cases = {
      {{0, 5}, "maxFileBytes", "0"},
      {{100, 0}, "maxBackups", "0"},
      {{100, -1}, "maxBackups", "-1"},
      {{100, kMaxBackupsLimit + 1}, "maxBackups", std::to_string(kMaxBackupsLimit + 1)},
      {{100, std::numeric_limits<int>::max()},
       "maxBackups",
       std::to_string(std::numeric_limits<int>::max())},
      {{100, 5, RotationPeriod::None, false, std::chrono::seconds(-1)}, "maxBackupAge", "-1s"},
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

// Compressed backups: ".1" plain, ".2" on as whole gzip files holding the
// lines in order, each of the plain file's size bound, permission bits and
// time; and what a killed writer left in the set (a partial temporary file,
// a plain backup above ".1", a ".gz" beside the plain file it was made
// from) is finished or redone by the next rotation, losing nothing.
TEST_F(RotationTest, CompressedBackupsKeepEveryLineAndRepairWhatACrashLeft) {
  RotationPolicy policy{2000, 40};
  policy.compressBackups = true;
  const fs::path path = dir() / "zipped.log";
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
    const fs::path zipped = backup(path, n).native() + fs::path(".gz").native();
    if (!fs::exists(backup(path, n)) && !fs::exists(zipped)) continue;
    ++backups;
    EXPECT_EQ(fs::exists(backup(path, n)), n == 1) << n;  // Only .1 is plain.
    EXPECT_EQ(fs::exists(zipped), n > 1) << n;
    const std::string text = readBackup(path, n);
    EXPECT_GE(text.size(), policy.maxFileBytes) << n;
    EXPECT_LT(text.size(), policy.maxFileBytes + recordLineSize("z", kRecords, 40)) << n;
    all += text;
  }
  EXPECT_GT(backups, 10);
  expectEveryRecord(parseRecords(all + readFile(path), false), 1, kRecords);

  // A set as writers killed at every step of compressing leave it.
  const fs::path left = dir() / "left.log";
  writeFile(backup(left, 1), "one\n");
#ifndef _WIN32
  // A log kept private stays so when compressed.
  fs::permissions(backup(left, 1), fs::perms::owner_read | fs::perms::owner_write);
#endif
  writeFile(backup(left, 2), "two\n");  // Plain above .1.
  writeFile(backup(left, 3).native() + fs::path(".gz.tmp").native(), "partial");
  writeFile(backup(left, 4), "four\n");  // And a stale .gz of it:
  writeFile(backup(left, 4).native() + fs::path(".gz").native(), "not even gzip");
  ASSERT_TRUE(setModifiedAgo(backup(left, 2), std::chrono::hours(5)));
  fillBefore(left, 1000, "m");
  RotationPolicy small{1000, 6};
  small.compressBackups = true;
  makeFileLogSink(left, small)->write(LogLevel::Info, "m");
  std::set<std::string> names;
  for (const auto& entry : fs::directory_iterator(dir())) {
    const std::string name = entry.path().filename().string();
    if (name.rfind("left.log", 0) == 0) names.insert(name);
  }
  EXPECT_EQ(names, (std::set<std::string>{"left.log.1", "left.log.2.gz", "left.log.3.gz",
                                          "left.log.5.gz"}));
  EXPECT_EQ(messageOf(splitLines(readBackup(left, 1)).back()), "m");
  EXPECT_EQ(readBackup(left, 2), "one\n");
#ifndef _WIN32
  EXPECT_EQ(fs::status(backup(left, 2).native() + fs::path(".gz").native()).permissions(),
            fs::perms::owner_read | fs::perms::owner_write);
#endif
  EXPECT_EQ(readBackup(left, 3), "two\n");
  EXPECT_EQ(readBackup(left, 5), "four\n");
  // A .gz carries its plain file's time: an age limit judges the lines.
  const auto age = fs::file_time_type::clock::now() -
                   fs::last_write_time(backup(left, 3).native() + fs::path(".gz").native());
  EXPECT_GT(age, std::chrono::hours(4));
}

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
