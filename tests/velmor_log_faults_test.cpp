// velmor-log's line writer against faults of single OS calls (posix_mock.h):
// a line the file refused for a moment is tried again, not given up.
#include <errno.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "line_writer.h"
#include "logging/file_log_sink.h"
#include "posix_mock.h"
#include "test_support.h"

namespace velmor::tool {
namespace {

using namespace velmor::testing;

using VelmorLogFaultTest = TempDirTest;

// No descriptor left for one open: the batch is written by the retry. Left
// for two in a row: the one line they refused is lost and counted, and the
// rest of its batch is still written.
TEST_F(VelmorLogFaultTest, ALineAFailedOpenRefusedIsTriedAgain) {
  const fs::path path = dir() / "emfile.log";
  common::FileLogSink sink(path);
  std::atomic<std::uint64_t> dropped{0};
  LineWriter::Settings settings;
  settings.file = path.string();
  LineWriter writer(sink, settings, dropped);
  mock::failOpens(1, EMFILE);
  writer.data("one\ntwo\nthree\n");
  EXPECT_EQ(dropped, 0u);
  mock::failOpens(2, EMFILE);
  writer.data("four\nfive\nsix\n");
  writer.end();
  mock::failOpens(0, 0);
  EXPECT_EQ(dropped, 1u);
  std::vector<std::string> messages;
  for (const std::string& line : splitLines(readFile(path))) messages.push_back(messageOf(line));
  EXPECT_EQ(messages, (std::vector<std::string>{"one", "two", "three", "five", "six"}));
}

}  // namespace
}  // namespace velmor::tool
