// Integration with a real log shipper: rsyslog's imfile module follows the
// active file while the sink writes through several rotations, and every line
// must arrive exactly once, in order. rsyslogd is started by the test with a
// private configuration and work directory, and stopped by its process id.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "os_helpers.h"
#include "test_support.h"

namespace velmor::common {
namespace {

using namespace velmor::testing;
using Clock = std::chrono::steady_clock;

// The configuration documented in the README: imfile in inotify mode on the
// active file's name, each line forwarded unchanged to a local file.
std::string rsyslogConfig(const fs::path& dir) {
  return "global(workDirectory=\"" + (dir / "work").string() +
         "\" maxMessageSize=\"64k\")\n"
         "module(load=\"imfile\" mode=\"inotify\")\n"
         "template(name=\"raw\" type=\"string\" string=\"%rawmsg%\\n\")\n"
         "ruleset(name=\"ship\") {\n"
         "  action(type=\"omfile\" file=\"" +
         (dir / "shipped.log").string() +
         "\" template=\"raw\")\n"
         "}\n"
         "input(type=\"imfile\" file=\"" +
         (dir / "app.log").string() + "\" tag=\"app\" ruleset=\"ship\")\n";
}

std::size_t countLines(const fs::path& path) { return splitLines(readFile(path)).size(); }

// Waits until `path` holds at least `lines` lines; false after `timeout`.
bool waitForLines(const fs::path& path, std::size_t lines, std::chrono::seconds timeout) {
  const auto deadline = Clock::now() + timeout;
  while (countLines(path) < lines) {
    if (Clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

class LogShipperTest : public TempDirTest {
 protected:
  void TearDown() override {
    if (pid_ > 0) {
      ::kill(pid_, SIGTERM);
      waitFor(pid_);
    }
    TempDirTest::TearDown();
  }

  // Starts rsyslogd in the foreground with the test's own configuration.
  void startRsyslog() {
    const std::string rsyslogd = VELMOR_RSYSLOGD;
    if (rsyslogd.empty()) {
      GTEST_SKIP() << "SKIPPED: rsyslogd was not found when configuring (apt-get install rsyslog)";
    }
    fs::create_directories(dir() / "work");
    writeFile(dir() / "rsyslog.conf", rsyslogConfig(dir()));
    pid_ = static_cast<pid_t>(spawn(rsyslogd, {"-n", "-f", (dir() / "rsyslog.conf").string(), "-i",
                                               (dir() / "rsyslog.pid").string()}));
    ASSERT_GT(pid_, 0) << "cannot start " << rsyslogd;
    // Ready once it has written its pid file.
    const auto deadline = Clock::now() + std::chrono::seconds(20);
    while (!fs::exists(dir() / "rsyslog.pid")) {
      ASSERT_LT(Clock::now(), deadline) << "rsyslogd did not start";
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }

  pid_t pid_ = -1;
};

TEST_F(LogShipperTest, RsyslogImfileShipsEveryLineOnceThroughRotations) {
  ASSERT_NO_FATAL_FAILURE(startRsyslog());
  if (IsSkipped()) return;
  const fs::path path = dir() / "app.log";
  const fs::path shipped = dir() / "shipped.log";
  constexpr std::size_t kLines = 9000;  // About 36 MB: seven rotations.
  constexpr std::size_t kBurst = 250;   // About 1 MB between waits.
  const std::string padding(4000, 'p');
  std::shared_ptr<ILogSink> sink = makeFileLogSink(path);
  for (std::size_t i = 0; i < kLines; ++i) {
    sink->write(LogLevel::Info, "seq " + std::to_string(i) + " " + padding);
    // A shipper reads at its own pace; it must not fall a whole rotation
    // behind, as then the file it still reads is renamed a second time.
    if ((i + 1) % kBurst == 0) {
      ASSERT_TRUE(waitForLines(shipped, i + 1, std::chrono::seconds(30)))
          << "shipper stuck at " << countLines(shipped) << " of " << i + 1 << " lines";
    }
  }
  ASSERT_TRUE(waitForLines(shipped, kLines, std::chrono::seconds(30)));
  EXPECT_TRUE(fs::exists(path.string() + ".5"));  // Rotations did happen.

  const std::vector<std::string> lines = splitLines(readFile(shipped));
  ASSERT_EQ(lines.size(), kLines);
  for (std::size_t i = 0; i < kLines; ++i) {
    ASSERT_EQ(afterStamp(lines[i]), "[INFO] seq " + std::to_string(i) + " " + padding + "\n")
        << "line " << i;
  }
}

}  // namespace
}  // namespace velmor::common
