// JSON and escaped text lines: whatever bytes a message holds, every line
// is one line that an independent reader turns back into the message, and
// the rotation bound counts the bytes written.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "logging/file_log_sink.h"
#include "os_helpers.h"
#include "test_support.h"

namespace velmor::common {
namespace {

using namespace velmor::testing;

using LineFormsTest = TempDirTest;

constexpr std::uint64_t kLimit = 256 * 1024;
constexpr int kBackups = 100;  // Enough that no line is deleted.

// Messages of 1 byte to 64 KiB, and one of 300 KiB, of random bytes mixed
// with what breaks lines and readers: NUL, CR, LF, ESC, quotes,
// backslashes, DEL, valid UTF-8, and invalid (overlong, surrogates, beyond
// U+10FFFF, cut short, stray bytes).
std::vector<std::string> trickyMessages() {
  static const std::string_view kPieces[] = {{"\0", 1},
                                             "\r",
                                             "\n",
                                             "\x1b[31m",
                                             "\"",
                                             "\\",
                                             "\t",
                                             "\x7f",
                                             "\xc3\xa9",
                                             "\xe2\x82\xac",
                                             "\xf0\x9f\x98\x80",
                                             "\xed\xa0\x80",
                                             "\xc0\x80",
                                             "\xe0\x80",
                                             "\xf4\x90\x80\x80",
                                             "\xf0\x9f\x98",
                                             "\xff",
                                             "\x80",
                                             "plain words "};
  std::mt19937 random(20261210);
  std::vector<std::string> messages;
  for (int i = 0; i < 200; ++i) {
    const std::size_t size = i == 100      ? 300 * 1024
                             : i % 10 == 9 ? 4096 + random() % (60 * 1024)
                                           : 1 + random() % 300;
    std::string message;
    while (message.size() < size) {
      if (random() % 2 == 0) {
        message += static_cast<char>(random() % 256);
      } else {
        message += kPieces[random() % (sizeof kPieces / sizeof kPieces[0])];
      }
    }
    message.resize(size);  // May cut a sequence short: one more invalid one.
    messages.push_back(message);
  }
  return messages;
}

// Writes `messages` through a sink with `format`, some one by one and some
// in batches, rotating at kLimit.
void writeAll(const fs::path& path, const LineFormat& format,
              const std::vector<std::string>& messages) {
  RotationPolicy policy;
  policy.maxFileBytes = kLimit;
  policy.maxBackups = kBackups;
  policy.format = format;
  FileLogSink sink(path, policy);
  std::vector<LogRecord> batch;
  for (std::size_t i = 0; i < messages.size(); ++i) {
    // Every seventh alone, the others in batches between them.
    if (i % 7 != 0) batch.emplace_back(LogLevel::Info, messages[i]);
    if (!batch.empty() && (i % 7 == 0 || i + 1 == messages.size())) {
      ASSERT_EQ(sink.writeBatch(batch.data(), batch.size()), batch.size());
      batch.clear();
    }
    if (i % 7 == 0) sink.write(LogLevel::Info, messages[i]);
  }
}

// The files of the set, oldest first, each checked against the bound: a
// backup reached kLimit with its last line, and not before.
std::vector<fs::path> filesOfSet(const fs::path& path) {
  std::vector<fs::path> files;
  for (int n = kBackups; n >= 1; --n) {
    if (fs::exists(backup(path, n))) files.push_back(backup(path, n));
  }
  for (const fs::path& file : files) {
    const std::vector<std::string> lines = splitLines(readFile(file));
    const std::uint64_t size = fs::file_size(file);
    EXPECT_GE(size, kLimit) << file;
    if (!lines.empty()) {
      EXPECT_LT(size - lines.back().size(), kLimit) << file;
    }
  }
  if (fs::exists(path)) files.push_back(path);  // Gone if the last line rotated it.
  return files;
}

std::vector<std::string> linesOf(const std::vector<fs::path>& files) {
  std::vector<std::string> lines;
  for (const fs::path& file : files) {
    for (std::string& line : splitLines(readFile(file))) lines.push_back(std::move(line));
  }
  return lines;
}

// Whether `line` holds a raw byte that a terminal or a line reader acts on.
bool holdsControl(std::string_view line) {
  line.remove_suffix(1);  // Its LF.
  for (const char c : line) {
    const auto byte = static_cast<unsigned char>(c);
    if ((byte < 0x20 && byte != '\t') || byte == 0x7F) return true;
  }
  return false;
}

#ifndef _WIN32
// Python reads the expected messages in hex.
std::string hex(std::string_view bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  for (const char c : bytes) {
    out += kDigits[static_cast<unsigned char>(c) >> 4];
    out += kDigits[static_cast<unsigned char>(c) & 0xF];
  }
  return out;
}
#endif

TEST_F(LineFormsTest, JsonLinesParseToTheMessageWhateverItsBytes) {
  const std::vector<std::string> messages = trickyMessages();
  const fs::path path = dir() / "app.log";
  LineFormat format;
  format.json = true;
  format.time = TimeFormat::UtcIso8601;
  writeAll(path, format, messages);
  const std::vector<fs::path> files = filesOfSet(path);
  const std::vector<std::string> lines = linesOf(files);
  ASSERT_EQ(lines.size(), messages.size());
  for (const std::string& line : lines) {
    EXPECT_EQ(line.rfind("{\"time\":\"", 0), 0u) << line.substr(0, 60);
    EXPECT_EQ(line.substr(line.size() - 3), "\"}\n");
    EXPECT_FALSE(holdsControl(line)) << line.substr(0, 60);
  }
#ifndef _WIN32
  // Python's JSON parser and UTF-8 decoder are the reference: each line is
  // one object of exactly these fields, its message the message decoded
  // with one U+FFFD per maximal invalid subpart.
  std::string expected;
  for (const std::string& message : messages) expected += hex(message) + "\n";
  writeFile(dir() / "expected.hex", expected);
  std::string names;
  for (const fs::path& file : files) names += " '" + file.string() + "'";
  const std::string script = R"(
import json, re, sys
want = [bytes.fromhex(h).decode("utf-8", "replace")
        for h in open(sys.argv[1]).read().split("\n")[:-1]]
n = 0
for name in sys.argv[2:]:
    for raw in open(name, "rb").read().split(b"\n")[:-1]:
        line = json.loads(raw.decode("utf-8"))
        assert list(line) == ["time", "level", "message"], list(line)
        assert re.fullmatch(r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z", line["time"]), line["time"]
        assert line["level"] == "INFO", line["level"]
        assert line["message"] == want[n], n
        n += 1
print("ok", n)
)";
  const Ran python = run("/bin/sh",
                         {"-c", "command -v python3 >/dev/null || exit 77; exec python3 - '" +
                                    (dir() / "expected.hex").string() + "'" + names},
                         script);
  const Ran jq =
      run("/bin/sh", {"-c", "command -v jq >/dev/null || exit 77; jq -c . " + names}, "");
  if (python.status == 77 || jq.status == 77) {
    GTEST_SKIP() << "SKIPPED: needs python3 and jq (apt-get install python3 jq)";
  }
  EXPECT_EQ(python.out, "ok " + std::to_string(messages.size()) + "\n") << python.err;
  EXPECT_EQ(jq.status, 0) << jq.err;
  EXPECT_EQ(splitLines(jq.out).size(), messages.size());
#endif
}

#ifndef _WIN32
// A writer killed in the middle of its line leaves the file open-ended (on
// POSIX, where the kernel may stop a write between two pages): the next
// JSON line still starts on a line of its own, whole.
TEST_F(LineFormsTest, AKilledWritersOpenLineNeverSwallowsAJsonLine) {
  const fs::path path = dir() / "shared.log";
  RotationPolicy policy;
  policy.format.json = true;
  FileLogSink sink(path, policy);
  sink.write(LogLevel::Warn, "one");
  appendKilledLine(path);
  sink.write(LogLevel::Warn, "two");
  const std::vector<std::string> lines = splitLines(readFile(path));
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[1].rfind("other cut", 0), 0u);
  for (const int i : {0, 2}) {
    ASSERT_EQ(lines[i].rfind("{\"time\":\"", 0), 0u) << lines[i];
    EXPECT_EQ(lines[i].substr(21), std::string("\",\"level\":\"WARN\",\"message\":\"") +
                                       (i == 0 ? "one" : "two") + "\"}\n");
  }
}
#endif

// The text form's own reading: "\\", "\n", "\r" and "\xHH" undone; false if
// anything else follows a backslash.
bool unescape(std::string_view text, std::string& out) {
  out.clear();
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\') {
      out += text[i];
      continue;
    }
    if (++i == text.size()) return false;
    if (text[i] == '\\' || text[i] == 'n' || text[i] == 'r') {
      out += text[i] == 'n' ? '\n' : text[i] == 'r' ? '\r' : '\\';
    } else if (text[i] == 'x' && i + 2 < text.size()) {
      out += static_cast<char>(std::stoi(std::string(text.substr(i + 1, 2)), nullptr, 16));
      i += 2;
    } else {
      return false;
    }
  }
  return true;
}

TEST_F(LineFormsTest, EscapedTextLinesGiveTheMessageBack) {
  const std::vector<std::string> messages = trickyMessages();
  const fs::path path = dir() / "app.log";
  LineFormat format;
  format.escapeControls = true;
  writeAll(path, format, messages);
  const std::vector<std::string> lines = linesOf(filesOfSet(path));
  ASSERT_EQ(lines.size(), messages.size());
  for (std::size_t i = 0; i < lines.size(); ++i) {
    ASSERT_TRUE(startsWithStamp(lines[i])) << i;
    const std::string_view rest = std::string_view(lines[i]).substr(kStampSize);
    ASSERT_EQ(rest.substr(0, 7), "[INFO] ") << i;
    EXPECT_FALSE(holdsControl(lines[i])) << i;
    std::string message;
    EXPECT_TRUE(unescape(rest.substr(7, rest.size() - 8), message)) << i;
    EXPECT_EQ(message, messages[i]) << i;
  }
  // The forms themselves, as readers and people expect them.
  const fs::path small = dir() / "small.log";
  writeAll(small, format,
           {"a\\b\nc\rd\x01"
            "e\x7f"
            "\tf\x1b"});
  EXPECT_EQ(afterStamp(readFile(small)), "[INFO] a\\\\b\\nc\\rd\\x01e\\x7F\tf\\x1B\n");
}

}  // namespace
}  // namespace velmor::common
