// libFuzzer target for the write path: arbitrary level values and message
// bytes must never crash, and every line must be the prefix, the message
// bytes unchanged and LF.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <string_view>
#include <system_error>

#include "logging/file_log_sink.h"
#include "test_support.h"  // The line codec only: nothing here runs GoogleTest.

namespace {

namespace fs = std::filesystem;
using velmor::common::LogLevel;

// A directory of this process's own, removed at exit.
struct ScratchDir {
  fs::path dir =
      fs::temp_directory_path() / ("velmor-fuzz-" + std::to_string(std::random_device()()));
  ScratchDir() { fs::create_directories(dir); }
  ~ScratchDir() {
    std::error_code ec;
    fs::remove_all(dir, ec);
  }
};

void require(bool condition, const char* what) {
  if (!condition) {
    std::fprintf(stderr, "wrong line: %s\n", what);
    std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const ScratchDir scratch;
  const fs::path path = scratch.dir / "fuzz.log";
  std::int32_t raw = 0;
  const std::size_t head = size < sizeof(raw) ? size : sizeof(raw);
  std::memcpy(&raw, data, head);
  const auto level = static_cast<LogLevel>(raw);
  const std::string_view message(reinterpret_cast<const char*>(data) + head, size - head);

  std::error_code ec;
  fs::remove(path, ec);
  velmor::common::makeFileLogSink(path)->write(level, message);

  const std::string line = velmor::testing::readFile(path);
  const std::string expected =
      std::string("[") + velmor::common::logLevelName(level) + "] " + std::string(message) + "\n";
  require(line.size() == velmor::testing::kStampSize + expected.size(), "length");
  require(velmor::testing::startsWithStamp(line), "timestamp");
  require(velmor::testing::afterStamp(line) == expected, "level or message");
  return 0;
}
