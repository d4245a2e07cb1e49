// Faults of single OS calls, through the stand-in of posix_mock.h: what the
// sink reports must be what reached the file.
#include <gtest/gtest.h>

#include <string>

#include "logging/file_log_sink.h"
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

}  // namespace
}  // namespace velmor::common
