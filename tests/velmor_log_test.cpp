// End-to-end tests of velmor-log through the built program: lines byte for
// byte, levels and tee, wrap mode's streams and status, refused arguments,
// signals, and several instances sharing one file through rotations.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "os_helpers.h"
#include "test_support.h"

#ifndef _WIN32
#include <signal.h>
#include <unistd.h>
#endif

namespace velmor::testing {
namespace {

const fs::path kTool = VELMOR_LOG_PROGRAM;

Ran velmorLog(const std::vector<std::string>& args, const std::string& input = "") {
  return run(kTool, args, input);
}

// Runs `count` instances with `args` at once, instance i reading input(i).
template <typename Input>
std::vector<Ran> velmorLogsAtOnce(int count, const std::vector<std::string>& args, Input input) {
  std::vector<Ran> results(static_cast<std::size_t>(count));
  std::vector<std::thread> instances;
  instances.reserve(results.size());
  for (int i = 0; i < count; ++i) {
    instances.emplace_back(
        [&, i] { results[static_cast<std::size_t>(i)] = velmorLog(args, input(i)); });
  }
  for (std::thread& instance : instances) instance.join();
  return results;
}

// The lines of `path` without their stamps.
std::vector<std::string> bodies(const fs::path& path) {
  std::vector<std::string> lines = splitLines(readFile(path));
  for (std::string& line : lines) line = afterStamp(line);
  return lines;
}

using VelmorLogTest = TempDirTest;

TEST_F(VelmorLogTest, PipeModeWritesEveryLineByteForByte) {
  // A name beyond ASCII: on Windows it must come through the wide command
  // line whole.
  const fs::path file = dir() / fs::u8path(u8"journal-\u00e9t\u00e9-\u65e5\u672c.log");
  const std::string odd("nul\0x\xff\x1a", 7);  // NUL, invalid UTF-8, Ctrl-Z.
  const std::string input =
      "plain\r\n"
      "cr\rinside\n"
      "\n" +
      odd +
      "\n"
      "<3>error\n"
      "<4>warning\n"
      "<9>no prefix\n"
      "0123456789\r\n"
      "0123456789abcdefghij\n"
      "last without lf";
  const Ran ran = velmorLog({"-p", "--tee", "-m", "10", "-l", "DEBUG", file.u8string()}, input);
  EXPECT_EQ(ran.status, 0) << ran.err;
  EXPECT_EQ(ran.err, "");
  EXPECT_EQ(ran.out, input);  // The tee copy is the input, unchanged.
  const std::vector<std::string> expected = {
      "[DEBUG] plain\n",       "[DEBUG] cr\rinside\n", "[DEBUG] \n",
      "[DEBUG] " + odd + "\n", "[ERROR] error\n",      "[WARN] warning\n",
      "[DEBUG] <9>no pref\n",  "[DEBUG] ix\n",         "[DEBUG] 0123456789\n",
      "[DEBUG] 0123456789\n",  "[DEBUG] abcdefghij\n", "[DEBUG] last witho\n",
      "[DEBUG] ut lf\n"};
  EXPECT_EQ(bodies(file), expected);
}

// --time picks the stamp: local with its offset, or UTC with Z; --json and
// --escape the form, with the level still taken from a "<N>" prefix.
TEST_F(VelmorLogTest, FormatOptionsPickTheStampAndTheForm) {
  for (const std::string time : {"local", "utc"}) {
    const fs::path file = dir() / (time + ".log");
    const Ran ran = velmorLog({"--time", time, file.u8string()}, "a\n");
    ASSERT_EQ(ran.status, 0) << ran.err;
    const std::string line = readFile(file);
    // "[YYYY-MM-DDTHH:MM:SS.mmm" then "Z" or "+HH:MM" / "-HH:MM".
    ASSERT_GE(line.size(), 25u) << line;
    EXPECT_EQ(line[11], 'T') << line;
    const std::size_t close = line.find(']');
    EXPECT_EQ(close, time == "utc" ? 25u : 30u) << line;
    EXPECT_EQ(line.substr(close), "] [INFO] a\n");
  }
  const std::string input = "<3>a\x1b[1m\"b\\\n";
  const fs::path json = dir() / "json.log";
  ASSERT_EQ(velmorLog({"--json", "-p", json.u8string()}, input).status, 0);
  const std::string line = readFile(json);
  ASSERT_EQ(line.rfind("{\"time\":\"", 0), 0u) << line;
  EXPECT_EQ(line.substr(21), "\",\"level\":\"ERROR\",\"message\":\"a\\u001B[1m\\\"b\\\\\"}\n");
  const fs::path text = dir() / "escaped.log";
  ASSERT_EQ(velmorLog({"--escape", text.u8string()}, input).status, 0);
  EXPECT_EQ(afterStamp(readFile(text)), "[INFO] <3>a\\x1B[1m\"b\\\\\n");
}

// A line far longer than --max-line, without any LF, is cut into pieces
// with nothing lost.
TEST_F(VelmorLogTest, ALongInputWithoutLineEndsIsCutWithNothingLost) {
  const fs::path file = dir() / "long.log";
  std::string input(3 * 1024 * 1024 + 5, 'z');
  for (std::size_t i = 0; i < input.size(); i += 997) input[i] = static_cast<char>('a' + i % 26);
  const Ran ran = velmorLog({file.string()}, input);
  EXPECT_EQ(ran.status, 0) << ran.err;
  std::string joined;
  const std::vector<std::string> lines = splitLines(readFile(file));
  ASSERT_EQ(lines.size(), 4u);
  for (const std::string& line : lines) {
    const std::string message = messageOf(line);
    EXPECT_LE(message.size(), 1024u * 1024);
    joined += message;
  }
  EXPECT_EQ(joined, input);
}

TEST_F(VelmorLogTest, WrapModeKeepsStreamsLevelsAndStatus) {
  const std::string helper = writerProcess().string();
  const fs::path file = dir() / "wrap.log";
  Ran ran = velmorLog({"-t", "-e", "WARN", file.string(), "--", helper, "streams", "7"});
  EXPECT_EQ(ran.status, 7);
  // The tee passes the bytes unchanged; the log drops a CR before the LF.
#ifdef _WIN32
  const std::string newline = "\r\n";  // The helper writes in text mode.
#else
  const std::string newline = "\n";
#endif
  EXPECT_EQ(ran.out, "to out" + newline);
  EXPECT_EQ(ran.err, "to err" + newline);
  std::vector<std::string> lines = bodies(file);
  std::sort(lines.begin(), lines.end());
  EXPECT_EQ(lines, (std::vector<std::string>{"[INFO] to out\n", "[WARN] to err\n"}));

  ran = velmorLog({file.string(), "--", "no-such-command-velmor"});
  EXPECT_EQ(ran.status, 127);
  EXPECT_EQ(ran.err.rfind("velmor-log: cannot run no-such-command-velmor: ", 0), 0u) << ran.err;
#ifdef _WIN32
  const fs::path viaCmd = dir() / "cmd.log";
  ran = velmorLog({viaCmd.string(), "--", "cmd", "/c", "echo hello from cmd"});
  EXPECT_EQ(ran.status, 0);
  EXPECT_EQ(bodies(viaCmd), std::vector<std::string>{"[INFO] hello from cmd\n"});
#endif
}

// A cut line keeps the level of its start, where alone "<N>" counts; short
// flags come together; a script without "#!" runs as a shell runs it.
TEST_F(VelmorLogTest, CutPiecesKeepTheLevelOfTheirLine) {
  const fs::path file = dir() / "cut.log";
  const std::string input = "<2>0123456<4>abcdef\n<4>w\n";
  Ran ran = velmorLog({"-pt", "-m", "10", file.string()}, input);
  EXPECT_EQ(ran.status, 0) << ran.err;
  EXPECT_EQ(ran.out, input);
  EXPECT_EQ(bodies(file),
            (std::vector<std::string>{"[FATAL] 0123456\n", "[FATAL] <4>abcdef\n", "[WARN] w\n"}));
#ifndef _WIN32
  const fs::path script = dir() / "script";
  writeFile(script, "echo from a script\n");
  fs::permissions(script, fs::perms::owner_all);
  const fs::path scripted = dir() / "script.log";
  ran = velmorLog({scripted.string(), "--", script.string()});
  EXPECT_EQ(ran.status, 0) << ran.err;
  EXPECT_EQ(bodies(scripted), std::vector<std::string>{"[INFO] from a script\n"});
#endif
}

#ifndef _WIN32
// The manual page and the bash completion keep in step with --help: every
// long option that --help names is in the page and offered for "--".
TEST_F(VelmorLogTest, TheManualPageAndTheCompletionNameEveryOption) {
  const Ran help = velmorLog({"--help"});
  ASSERT_EQ(help.status, 0);
  std::set<std::string> options;
  for (std::size_t at = help.out.find("--"); at != std::string::npos;
       at = help.out.find("--", at + 2)) {
    std::size_t end = at + 2;
    while (end < help.out.size() &&
           (std::isalnum(static_cast<unsigned char>(help.out[end])) || help.out[end] == '-')) {
      ++end;
    }
    if (end > at + 2) options.insert(help.out.substr(at, end - at));
  }
  ASSERT_GE(options.size(), 20u);
  std::string page = readFile(fs::path(VELMOR_LOG_SOURCES) / "velmor-log.1.in");
  for (std::size_t at; (at = page.find("\\-")) != std::string::npos;) page.erase(at, 1);
  const fs::path completion = fs::path(VELMOR_LOG_SOURCES) / "velmor-log.bash-completion";
  const Ran offered = run("/bin/bash",
                          {"-c", "source '" + completion.string() +
                                     "'; COMP_WORDS=(velmor-log --); COMP_CWORD=1; _velmor_log; "
                                     "printf '%s\\n' \"${COMPREPLY[@]}\""},
                          "");
  const std::vector<std::string> lines = splitLines(offered.out);
  for (const std::string& option : options) {
    EXPECT_NE(page.find(option), std::string::npos) << option << " is not in the manual page";
    EXPECT_NE(std::find(lines.begin(), lines.end(), option + "\n"), lines.end())
        << option << " is not completed";
  }
}
#endif

// Nonsense is refused before anything is made; a FILE that cannot be
// opened stops everything before COMMAND runs.
TEST_F(VelmorLogTest, RefusedArgumentsAndAnUnopenableFileLeaveNothingBehind) {
  const std::string file = (dir() / "sub" / "x.log").string();
  const std::vector<std::vector<std::string>> refused = {{"-s", "0", file},
                                                         {"-n", "0", file},
                                                         {"-s", "5X", file},
                                                         {"-l", "LOUD", file},
                                                         {"--bogus", file},
                                                         {},
                                                         {file, "other.log"},
                                                         {"-n", "1001", file},
                                                         {"--every", "week", file},
                                                         {"--max-age", "5x", file},
                                                         {"--max-total", "0", file},
                                                         {"--on-rotate", "", file},
                                                         {"--mode", "8", file},
                                                         {"--mode", "17777", file},
                                                         {"--mode", "", file},
                                                         {"--time", "gmt", file},
                                                         {"--when-full", "sometimes", file},
                                                         {"--sync", "loud", file},
                                                         {"--codec", "lz4", file},
                                                         {"--compress-level", "0", file},
                                                         {"--compress-level", "10", file}};
  for (const std::vector<std::string>& args : refused) {
    const Ran ran = velmorLog(args);
    std::string shown;
    for (const std::string& arg : args) shown += arg + " ";
    EXPECT_EQ(ran.status, 2) << shown;
    EXPECT_EQ(ran.err.rfind("velmor-log: ", 0), 0u) << shown << ran.err;
    EXPECT_NE(ran.err.find("--help"), std::string::npos) << shown << ran.err;
    if (args.size() == 3 && args[0].rfind("--", 0) == 0) {
      EXPECT_NE(ran.err.find("for " + args[0]), std::string::npos) << shown << ran.err;
    }
    EXPECT_TRUE(fs::is_empty(dir())) << shown;
  }
  const fs::path marker = dir() / "ran.log";
  std::vector<std::string> args = {dir().string(), "--", writerProcess().string()};
  for (const std::string& arg : writerArgs(marker, "x", 1, 1)) args.push_back(arg);
  const Ran ran = velmorLog(args);
  EXPECT_EQ(ran.status, 1);
  EXPECT_EQ(ran.err.rfind("velmor-log: cannot open " + dir().string() + ": ", 0), 0u) << ran.err;
  EXPECT_FALSE(fs::exists(marker)) << "COMMAND ran";
}

// JSON lines whose messages need no escapes, as the text lines they stand
// for: {"time":"T","level":"L","message":"M"} becomes [T] [L] M. A line of
// another shape is kept, and fails the reading after.
std::string jsonLinesAsText(const std::string& text) {
  std::string out;
  for (const std::string& line : splitLines(text)) {
    const std::size_t level = line.find("\",\"level\":\"");
    const std::size_t message = line.find("\",\"message\":\"");
    if (line.rfind("{\"time\":\"", 0) != 0 || level == std::string::npos ||
        message == std::string::npos || line.size() < message + 17 ||
        line.compare(line.size() - 3, 3, "\"}\n") != 0) {
      out += line;
      continue;
    }
    out += "[" + line.substr(9, level - 9) + "] [" + line.substr(level + 11, message - level - 11) +
           "] " + line.substr(message + 13, line.size() - message - 16) + "\n";
  }
  return out;
}

// Several instances, each reading its own pipe, share one file through many
// rotations: no record lost, torn, doubled or out of order, and every
// backup within [limit, limit + one line per instance).
TEST_F(VelmorLogTest, InstancesShareOneFileThroughRotations) {
  constexpr int kInstances = 3;
  constexpr std::uint64_t kRecords = 10000;
  constexpr std::uint64_t kLimit = 100 * 1024;
  constexpr int kBackups = 150;  // Room for all: nothing is rotated out.
  const auto input = [&](int i) {
    std::string lines;
    const std::string tag = "v" + std::to_string(i);
    for (std::uint64_t seq = 0; seq < kRecords; ++seq) {
      lines += recordMessage(tag, seq, 100 + (seq * 37 + i * 101) % 400) + "\n";
    }
    return lines;
  };
  // In JSON too: the bound counts its longer lines, and each line read back
  // as text is the record.
  for (const bool json : {false, true}) {
    const fs::path file = dir() / (json ? "shared.json" : "shared.log");
    std::vector<std::string> args = {"-s", "100K", "-n", std::to_string(kBackups), file.string()};
    if (json) args.insert(args.begin(), "--json");
    for (const Ran& ran : velmorLogsAtOnce(kInstances, args, input)) {
      EXPECT_EQ(ran.status, 0) << ran.err;
    }
    const std::size_t longest = recordLineSize("v0", kRecords, 499) + (json ? 33 : 0);
    const int backups = expectBackupsWithin(file, {kLimit, kBackups}, kInstances * longest);
    EXPECT_GE(backups, 14);
    EXPECT_LT(backups, kBackups);
    if (json) {
      for (int n = 0; n <= backups; ++n) {
        const fs::path each = n == 0 ? file : backup(file, n);
        writeFile(each, jsonLinesAsText(readFile(each)));
      }
    }
    expectEveryRecord(readAll(file, kBackups, false), kInstances, kRecords);
  }
}

// Instances that start in a new hour on a file of an earlier one rotate it
// once, before any of their lines, after deleting the backup older than
// --max-age: the file is the only backup, byte for byte, and the fresh file
// holds every line.
TEST_F(VelmorLogTest, InstancesRotateAFileOfAnEarlierHourOnceBeforeTheirLines) {
  const fs::path file = dir() / "hourly.log";
  writeFile(file, "last hour\n");
  writeFile(backup(file, 1), "expired\n");
  ASSERT_TRUE(setModifiedAgo(file, std::chrono::hours(2)));
  ASSERT_TRUE(setModifiedAgo(backup(file, 1), std::chrono::hours(3)));
  constexpr int kInstances = 3;
  constexpr std::uint64_t kRecords = 2000;
  const auto input = [&](int i) {
    std::string lines;
    for (std::uint64_t seq = 0; seq < kRecords; ++seq) {
      lines += recordMessage("h" + std::to_string(i), seq, 50) + "\n";
    }
    return lines;
  };
  const std::vector<std::string> args = {"--every", "hour", "--max-age", "1h", file.string()};
  for (const Ran& ran : velmorLogsAtOnce(kInstances, args, input)) {
    EXPECT_EQ(ran.status, 0) << ran.err;
  }
  EXPECT_EQ(readFile(backup(file, 1)), "last hour\n");
  EXPECT_FALSE(fs::exists(backup(file, 2)));
  expectEveryRecord(readAll(file, 0, false), kInstances, kRecords);
}

#ifndef _WIN32
// --compress keeps .2 on as .gz (--codec zstd: .zst); --on-rotate runs its command once per
// rotation with FILE.1 as the last argument, without holding up the lines.
TEST_F(VelmorLogTest, CompressAndOnRotateReachEveryRotation) {
  std::vector<std::vector<std::string>> codecs = {{"--compress"}};
  if (builtCodecs().size() > 1) codecs.push_back({"--codec", "zstd", "--compress-level", "19"});
  for (std::vector<std::string> args : codecs) {
    const std::string suffix = args[0] == "--compress" ? ".gz" : ".zst";
    SCOPED_TRACE(suffix);
    const fs::path file = dir() / ("zipped" + suffix + ".log");
    const fs::path hooks = dir() / ("hooks" + suffix + ".txt");
    std::string input;
    for (int i = 0; i < 100; ++i) input += std::string(100, static_cast<char>('a' + i % 26)) + "\n";
    // 123-byte lines, 9 to a 1 KiB file: 11 rotations for 100 lines.
    args.insert(args.end(), {"-s", "1K", "--on-rotate",
                             "printf '%s\\n' >> '" + hooks.string() + "'", file.string()});
    const Ran ran = velmorLog(args, input);
    EXPECT_EQ(ran.status, 0) << ran.err;
    std::vector<std::string> calls;
    for (int i = 0; i < 1000 && (calls = splitLines(readFile(hooks))).size() < 11; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_EQ(calls, std::vector<std::string>(11, backup(file, 1).string() + "\n"));
    EXPECT_TRUE(fs::exists(backup(file, 1)));
    // A clean end finishes the compression its rotations asked for.
    for (int n = 2; n <= common::kMaxBackups; ++n) {
      EXPECT_FALSE(fs::exists(backup(file, n))) << n;
      EXPECT_TRUE(fs::exists(backup(file, n).native() + fs::path(suffix).native())) << n;
      EXPECT_EQ(splitLines(readBackup(file, n)).size(), 9u) << n;
    }
  }
}

// Waits until `path` holds `text`; false after 20 s.
bool waitForText(const fs::path& path, const std::string& text) {
  for (int i = 0; i < 2000; ++i) {
    if (readFile(path).find(text) != std::string::npos) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

TEST_F(VelmorLogTest, SignalsEndPipeModeCleanlyAndReachTheCommand) {
  // Pipe mode: what was read is written, an incomplete last line included.
  const fs::path piped = dir() / "piped.log";
  std::intptr_t input = -1;
  Child child = spawn(kTool, {piped.string()}, &input);
  ASSERT_GT(child, 0);
  ASSERT_EQ(::write(static_cast<int>(input), "whole\npartial", 13), 13);
  ASSERT_TRUE(waitForText(piped, "whole"));
  std::this_thread::sleep_for(std::chrono::milliseconds(100));  // Let it read "partial".
  ::kill(static_cast<pid_t>(child), SIGTERM);
  EXPECT_EQ(waitFor(child), 0);
  ::close(static_cast<int>(input));
  EXPECT_EQ(bodies(piped), (std::vector<std::string>{"[INFO] whole\n", "[INFO] partial\n"}));

  // Wrap mode: SIGTERM is passed on, and logging goes on until the
  // command's output ends.
  const fs::path wrapped = dir() / "wrapped.log";
  child = spawn(kTool,
                {wrapped.string(), "--", "sh", "-c",
                 "trap 'echo got TERM; exit 0' TERM; echo ready; while :; do sleep 0.05; done"},
                &input);
  ASSERT_GT(child, 0);
  ASSERT_TRUE(waitForText(wrapped, "ready"));
  ::kill(static_cast<pid_t>(child), SIGTERM);
  EXPECT_EQ(waitFor(child), 0);
  ::close(static_cast<int>(input));
  EXPECT_EQ(bodies(wrapped), (std::vector<std::string>{"[INFO] ready\n", "[INFO] got TERM\n"}));

  // A command ended by a signal: 128 plus its number.
  EXPECT_EQ(run(kTool, {wrapped.string(), "--", "sh", "-c", "kill -KILL $$"}, "").status, 128 + 9);

  // A reader of the tee copy that goes away stops neither the program nor
  // the logging.
  const fs::path teed = dir() / "teed.log";
  const Ran pipeline = run("/bin/bash",
                           {"-c", "seq 1 20000 | '" + kTool.string() + "' -t '" + teed.string() +
                                      "' | head -c 1 >/dev/null; echo ${PIPESTATUS[1]}"},
                           "");
  EXPECT_EQ(pipeline.out, "0\n") << pipeline.err;
  EXPECT_EQ(splitLines(readFile(teed)).size(), 20000u);
}

// velmor-log as supervisors run it: in a session of its own, its whole
// process group signalled (a terminal's Ctrl-C, `kill -- -PGID`, systemd).
TEST_F(VelmorLogTest, GroupSignalsReachTheCommandOnceAndIgnoredOnesStayIgnored) {
  const auto inSession = [&](const fs::path& log, std::vector<std::string> args,
                             std::intptr_t* input) {
    args.insert(args.begin(), {kTool.string(), log.string()});
    return spawn("/usr/bin/setsid", args, input);  // Not a group leader: no fork.
  };
  const auto signalGroup = [](Child child, int signo) {
    ::kill(-static_cast<pid_t>(child), signo);
  };
  const std::string counter = writerProcess().string();
  std::intptr_t input = -1;

  // A group's SIGTERM reaches COMMAND once, and so does SIGINT.
  for (const int signo : {SIGTERM, SIGINT}) {
    const fs::path log = dir() / ("once-" + std::to_string(signo) + ".log");
    const Child child = inSession(log, {"--", counter, "signals", "1500"}, &input);
    ASSERT_TRUE(waitForText(log, "ready"));
    signalGroup(child, signo);
    EXPECT_EQ(waitFor(child), 0);
    ::close(static_cast<int>(input));
    const std::string count = signo == SIGTERM ? " TERM=1 " : "INT=1 ";
    EXPECT_NE(readFile(log).find(count), std::string::npos) << readFile(log);
  }

  // An ignored SIGHUP (nohup) stays ignored, here and in COMMAND.
  const fs::path nohup = dir() / "nohup.log";
  const auto previous = std::signal(SIGHUP, SIG_IGN);
  Child child = inSession(nohup, {"--", counter, "signals", "800"}, &input);
  std::signal(SIGHUP, previous);
  ASSERT_TRUE(waitForText(nohup, "ready"));
  signalGroup(child, SIGHUP);
  EXPECT_EQ(waitFor(child), 0);
  ::close(static_cast<int>(input));
  // COMMAND starts with it ignored, and a handler of its own still gets it.
  EXPECT_NE(readFile(nohup).find(" HUP=1 QUIT=0 ignored: 1\n"), std::string::npos)
      << readFile(nohup);

  // A script's background job starts with SIGINT and SIGQUIT ignored: both
  // still reach COMMAND, once each, and do not stop velmor-log.
  const fs::path job = dir() / "job.log";
  child = spawn(
      "/usr/bin/setsid",
      {"/bin/sh", "-c",
       "'" + kTool.string() + "' '" + job.string() + "' -- '" + counter + "' signals 1500 & wait"},
      &input);
  ASSERT_TRUE(waitForText(job, "ready"));
  signalGroup(child, SIGINT);
  signalGroup(child, SIGQUIT);
  waitFor(child);
  ::close(static_cast<int>(input));
  EXPECT_TRUE(waitForText(job, "INT=1 TERM=0 HUP=0 QUIT=1 ignored: 2 3\n")) << readFile(job);

  // Once COMMAND has exited, SIGTERM ends logging at once, though a child of
  // it still holds the output open.
  const fs::path orphan = dir() / "orphan.log";
  child = inSession(orphan, {"--", "sh", "-c", "echo done $$; sleep 30 & exit 5"}, &input);
  ASSERT_TRUE(waitForText(orphan, "done"));
  // COMMAND has exited once it is a zombie, or reaped.
  const std::string line = readFile(orphan);
  const fs::path stat =
      "/proc/" + std::to_string(std::stol(line.substr(line.find("done ") + 5))) + "/stat";
  const auto exited = [&] {
    const std::string text = readFile(stat);
    return text.empty() || text.substr(text.rfind(')') + 2, 1) == "Z";
  };
  for (int i = 0; i < 500 && !exited(); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  const auto start = std::chrono::steady_clock::now();
  signalGroup(child, SIGTERM);
  EXPECT_EQ(waitFor(child), 5);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  ::close(static_cast<int>(input));

  // Pipe mode: SIGHUP ends it as SIGTERM does, the incomplete line kept.
  const fs::path piped = dir() / "hup.log";
  child = inSession(piped, {}, &input);
  ASSERT_EQ(::write(static_cast<int>(input), "whole\npartial", 13), 13);
  ASSERT_TRUE(waitForText(piped, "whole"));
  std::this_thread::sleep_for(std::chrono::milliseconds(100));  // Let it read "partial".
  signalGroup(child, SIGHUP);
  EXPECT_EQ(waitFor(child), 0);
  ::close(static_cast<int>(input));
  EXPECT_EQ(bodies(piped), (std::vector<std::string>{"[INFO] whole\n", "[INFO] partial\n"}));

  // Killed outright, velmor-log takes COMMAND with it (Linux).
#ifdef __linux__
  const fs::path killed = dir() / "killed.log";
  child = inSession(killed, {"--", "sh", "-c", "echo $$; exec sleep 30"}, &input);
  ASSERT_TRUE(waitForText(killed, "\n"));
  const pid_t command = std::stoi(messageOf(splitLines(readFile(killed)).at(0)));
  ::kill(static_cast<pid_t>(child), SIGKILL);
  waitFor(child);
  ::close(static_cast<int>(input));
  bool gone = false;
  for (int i = 0; i < 500 && !gone; ++i) {
    gone = ::kill(command, 0) != 0;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_TRUE(gone) << "COMMAND outlived a killed velmor-log";
#endif

  // Closed standard streams are not taken for input: it ends at once.
  const Ran closed = run(
      "/bin/sh",
      {"-c", "timeout 10 '" + kTool.string() + "' '" + (dir() / "closed.log").string() + "' <&-"},
      "");
  EXPECT_EQ(closed.status, 0) << closed.err;
}

// A read that fails is reported after what was read is written, and a
// usage error reaches its status though standard error has no reader.
TEST_F(VelmorLogTest, FailedReadsAndLostStandardErrorEndWithTheirStatus) {
  const fs::path file = dir() / "read.log";
  const Ran failed =
      run("/bin/sh", {"-c", "'" + kTool.string() + "' '" + file.string() + "' < /"}, "");
  EXPECT_EQ(failed.status, 4);
  EXPECT_NE(failed.err.find("velmor-log: cannot read standard input: "), std::string::npos)
      << failed.err;
  // Standard error is a pipe whose reader has ended by the time it runs.
  const Ran usage = run(
      "/bin/bash",
      {"-c", "exec 2> >(:); sleep 0.3; '" + kTool.string() + "' --no-such-option; echo $?"}, "");
  EXPECT_EQ(usage.out, "2\n");
}

// A file system of its own, `bytes` large, mounted in the test's directory;
// empty if this machine cannot mount one (not root, no tmpfs).
struct SmallDisk {
  explicit SmallDisk(const fs::path& at, std::size_t bytes) : path(at) {
    fs::create_directories(at);
    const std::string options = "size=" + std::to_string(bytes);
    mounted =
        run("/bin/mount", {"-t", "tmpfs", "-o", options, "tmpfs", at.string()}, "").status == 0;
  }
  ~SmallDisk() {
    if (mounted) run("/bin/umount", {"-l", path.string()}, "");
  }
  fs::path path;
  bool mounted = false;
};

// The numbers of the lines of `path` ("[stamp] [INFO] <n>"), in file order;
// a line cut short by the full disk (a prefix of the line after it) is left
// out.
std::vector<int> numbersIn(const fs::path& path) {
  std::vector<int> numbers;
  const std::vector<std::string> lines = splitLines(readFile(path));
  for (std::size_t i = 0; i < lines.size(); ++i) {
    // A cut line is followed by its whole line, stamped later: cut in the
    // stamp, or with a message that starts the next one (n and n + 1 never
    // start each other).
    const bool stamped = lines[i].find("] [INFO] ") != std::string::npos;
    if (i + 1 < lines.size() &&
        (!stamped || messageOf(lines[i + 1]).rfind(messageOf(lines[i]), 0) == 0) &&
        messageOf(lines[i + 1]) != messageOf(lines[i])) {
      continue;
    }
    numbers.push_back(stamped ? std::stoi(messageOf(lines[i])) : -1);
  }
  return numbers;
}

// Writes `input` to the descriptor `to` from a thread of its own, then
// closes it.
std::thread feed(std::intptr_t to, std::string input) {
  return std::thread([to, input = std::move(input)] {
    for (std::size_t at = 0; at < input.size();) {
      const ssize_t n = ::write(static_cast<int>(to), input.data() + at, input.size() - at);
      if (n <= 0) break;
      at += static_cast<std::size_t>(n);
    }
    ::close(static_cast<int>(to));
  });
}

TEST_F(VelmorLogTest, AFullDiskPausesWithoutLosingALine) {
  SmallDisk disk(dir() / "disk", 1 << 20);
  if (!disk.mounted) GTEST_SKIP() << "SKIPPED: cannot mount a tmpfs here";
  const fs::path filler = disk.path / "filler";
  writeFile(filler, std::string(900 * 1024, 'x'));
  std::string input;
  for (int i = 0; i < 20000; ++i) input += std::to_string(i) + "\n";
  const fs::path log = disk.path / "app.log";
  const fs::path errors = dir() / "errors";
  const std::string velmorLog =
      "exec '" + kTool.string() + "' -s 100M '" + log.string() + "' 2>'" + errors.string() + "'";
  std::intptr_t stdinFd = -1;
  Child child = spawn("/bin/sh", {"-c", velmorLog}, &stdinFd);
  std::thread feeding = feed(stdinFd, input);
  ASSERT_TRUE(waitForText(errors, "pausing until there is room"));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  fs::remove(filler);  // Another program frees room.
  feeding.join();
  EXPECT_EQ(waitFor(child), 0) << readFile(errors);
  std::vector<int> expected(20000);
  for (int i = 0; i < 20000; ++i) expected[static_cast<std::size_t>(i)] = i;
  EXPECT_EQ(numbersIn(log), expected);
  EXPECT_NE(readFile(errors).find("room again"), std::string::npos) << readFile(errors);

  // A stop during a pause ends it at once, the lines it holds counted.
  writeFile(filler, std::string(fs::space(disk.path).available, 'x'));
  fs::remove(errors);
  child = spawn("/bin/sh", {"-c", velmorLog}, &stdinFd);
  feeding = feed(stdinFd, input);
  ASSERT_TRUE(waitForText(errors, "pausing until there is room"));
  const auto start = std::chrono::steady_clock::now();
  ::kill(static_cast<pid_t>(child), SIGTERM);
  EXPECT_EQ(waitFor(child), 3);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
  feeding.join();
  EXPECT_NE(readFile(errors).find(" lines could not be written to "), std::string::npos)
      << readFile(errors);

  // --when-full drop loses lines, and says so in its status and on stderr.
  const Ran dropped = run(
      "/bin/sh",
      {"-c", "seq 1 20000 | '" + kTool.string() + "' --when-full drop '" + log.string() + "'"}, "");
  EXPECT_EQ(dropped.status, 3);
  EXPECT_NE(dropped.err.find(" lines could not be written to "), std::string::npos) << dropped.err;
}
#endif

}  // namespace
}  // namespace velmor::testing
