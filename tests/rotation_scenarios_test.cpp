// The fixed rotation scenarios: every file of a set compared whole after
// every phase, from the threshold's exact byte to refused renames retried by
// several sinks. Built twice: against the real OS calls (a pinned file needs
// root and the append-only attribute on Linux), and on POSIX against the
// stand-in of posix_mock.h, where every row runs.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "os_helpers.h"
#include "test_support.h"

namespace velmor::common {
namespace {

using namespace velmor::testing;

constexpr std::int64_t kThreshold = static_cast<std::int64_t>(kRotateThresholdBytes);

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

using RotationScenarioTest = TempDirTest;

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
// sink 0 and once unless given. Warnings: "from>to", the move each names,
// or "!N" for file N found not to be a regular file.
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
      if (warnings[i][0] == '!') {
        EXPECT_EQ(lines[i], "[velmor-log-rotation] " +
                                file(std::stoi(warnings[i].substr(1))).u8string() +
                                " is not a regular file: it is never moved or deleted, and "
                                "backups are kept below it. (one-shot warning)\n");
        continue;
      }
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
TEST_F(RotationScenarioTest, FixedScenariosLeaveExactlyTheFilesExpected) {
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
      // A refused shift: one warning per sink, naming both files whole in
      // UTF-8 (converted from the wide names on Windows), nothing moved, the
      // lines kept past the threshold; done once the file can move.
      {u8"caf\u00e9-\u65e5\u672c", 2,
       {{"1=b1 2=b2 3=b3 4=b4 0=at", 4, "x y z@1 w@1",
         "1=b1 2=b2 3=b3 4=b4 0=at,'x,'y,'z,'w", "4>5 4>5"},
        {"", -1, "v", "1=at,'x,'y,'z,'w,'v 2=b1 3=b2 4=b3 5=b4", ""}}},
      // An entry that is not a regular file is never moved or deleted: the
      // set is the numbers below it, whose oldest goes when all are taken,
      // with one warning that names it; at ".1" nothing can rotate.
      {"obstacle", 1, {{"1=b1 2=b2 3=# 4=b4 0=at", -1, "m n", "1=at,'m 2=b1 3=# 4=b4 0='n", "!3"}}},
      {"gap-obstacle", 1, {{"2=b2 3=# 0=at", -1, "m", "1=at,'m 2=b2 3=#", "!3"}}},
      {"first-obstacle", 1, {{"1=# 0=at", -1, "m", "1=# 0=at,'m", "!1 0>1"}}},
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
                   "1=at,'m 2=b1 3=# 5=b5 6=b6", "!3"}}, aged},
      // After the shift the oldest backups go while all exceed
      // maxTotalBytes; ".1" stays, alone above it too, and a directory is
      // neither counted nor deleted.
      {"total", 1, {{"1=k 2=k 3=k 0=kat", -1, "m", "1=kat,'m 2=k", ""}}, capped},
      {"cap", 1, {{"1=k 2=k 4=# 6=k 0=kat", -1, "m", "1=kat,'m 4=# 6=k", "!4"}}, tinyCap},
      // A file of an earlier hour or day is rotated before the first line of
      // this one, by one sink of several; a file of this period is not, and
      // size rotation still applies.
      {"hourly", 2, {{"0=old~2h", -1, "m n@1", "1=old 0='m,'n", ""},
                     {"0=at", -1, "o", "1=at,'o 2=old", ""}}, hourly},
      {"daily", 1, {{"0=old~2d", -1, "m", "1=old 0='m", ""}}, daily},
      {"today", 1, {{"0=k", -1, "m", "0=k,'m", ""}}, daily},
      // Sinks made together are one run: the first line of one rotates the
      // non-empty file they were made with, once (a file made since is
      // theirs); an empty file is not rotated.
      {"start", 2, {{"0=old", -1, "m m n@1 n@1", "1=old 0='m*2,'n*2", ""}}, onStart},
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
#ifdef VELMOR_POSIX_MOCK
  ASSERT_FALSE(unpinned) << "the stand-in pins every file";
#endif
  if (unpinned) {
    GTEST_SKIP() << "SKIPPED: the scenarios with a pinned file (Linux needs root and a "
                    "file system with the append-only attribute)";
  }
}

}  // namespace
}  // namespace velmor::common
