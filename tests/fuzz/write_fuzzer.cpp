// libFuzzer target for the write path: arbitrary level values and message
// bytes must never crash, and every line must be the prefix, the message
// bytes unchanged and LF.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <string_view>
#include <system_error>

#include "logging/file_log_sink.h"

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

bool isDigit(char c) { return c >= '0' && c <= '9'; }

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

  std::ifstream in(path, std::ios::binary);
  const std::string line((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const std::string expected =
      std::string("] [") + velmor::common::logLevelName(level) + "] " + std::string(message) + "\n";
  require(line.size() == 13 + expected.size(), "length");
  const char* stamp = "[dd:dd:dd.ddd";
  for (int i = 0; i < 13; ++i) {
    require(stamp[i] == 'd' ? isDigit(line[i]) : line[i] == stamp[i], "timestamp");
  }
  require(line.compare(13, std::string::npos, expected) == 0, "level or message");
  return 0;
}
