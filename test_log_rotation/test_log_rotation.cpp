// End-to-end check of FileLogSink on real files: writes bursts of large
// messages, inspects the files on disk, prints the verdict.
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <iostream>
#include <memory>
#include <string>
#include <system_error>

#include "logging/file_log_sink.h"
#include "logging/log_sink.h"

namespace fs = std::filesystem;
using velmor::common::ILogSink;
using velmor::common::LogLevel;
using velmor::common::makeFileLogSink;

// Reports the failed expression and its line on stderr and ends main with 1.
// The scratch directory is left in place for inspection.
#define CHECK(expression)                                                      \
  do {                                                                         \
    if (!(expression)) {                                                       \
      std::cerr << "FAIL: " << #expression << " at line " << __LINE__ << "\n"; \
      return 1;                                                                \
    }                                                                          \
  } while (false)

namespace {

// Writes `count` INFO messages of `size` bytes of 'X' through `sink`.
int writeLines(ILogSink& sink, std::size_t count, std::size_t size) {
  const std::string payload(size, 'X');
  for (std::uint64_t i = 0; i < count; ++i) {
    sink.write(LogLevel::Info, payload);
  }
  return 0;
}

// True if an immediate entry of `dir` (of any kind) has a name ending in
// ".tmp"; a directory that cannot be opened has no entries.
bool anyTmpInDir(const fs::path& dir) {
  std::error_code ec;
  for (fs::directory_iterator it(dir, ec), end; it != end; ++it) {
    const std::string name = it->path().filename().string();
    if (name.size() >= 4 && name.compare(name.size() - 4, 4, ".tmp") == 0) {
      return true;
    }
  }
  return false;
}

}  // namespace

int main() {
  std::error_code ec;
  // A temporary directory that cannot be found (TMPDIR naming a directory
  // that does not exist) is a failed check, not a crash.
  const fs::path base = fs::temp_directory_path(ec);
  if (ec) {
    std::cerr << "FAIL: fs::temp_directory_path(ec) at line " << __LINE__ << ": " << ec.message()
              << "\n";
    return 1;
  }
  const fs::path tmp = base / "velmor_p10_logrot_test";
  fs::remove_all(tmp, ec);
  fs::create_directories(tmp, ec);
  CHECK(!ec);

  const fs::path path = tmp / "velmor-test.log";
  {
    std::shared_ptr<ILogSink> sink = makeFileLogSink(path);
    CHECK(sink != nullptr);

    // First phase: about 1 MiB, well below the rotation threshold.
    writeLines(*sink, 1024, 1024);
    const std::uint64_t sz = fs::file_size(path, ec);
    CHECK(!ec);
    CHECK(sz >= 900 * 1024);
    CHECK(sz < 5 * 1024 * 1024);
    CHECK(!fs::exists(path.string() + ".1", ec));

    // Second phase: crosses the threshold once.
    writeLines(*sink, 5120, 1024);
    CHECK(fs::exists(path, ec));
    CHECK(fs::exists(path.string() + ".1", ec));
    const std::uint64_t active_sz = fs::file_size(path, ec);
    CHECK(!ec);
    CHECK(active_sz < 5 * 1024 * 1024);

    // Third phase: six more rotations; only five backups may remain, and
    // rotation must not leave temporary files behind.
    writeLines(*sink, 8000, 4096);
    CHECK(!anyTmpInDir(tmp));
    CHECK(fs::exists(path.string() + ".1", ec));
    CHECK(fs::exists(path.string() + ".2", ec));
    CHECK(fs::exists(path.string() + ".3", ec));
    CHECK(fs::exists(path.string() + ".4", ec));
    CHECK(fs::exists(path.string() + ".5", ec));
    CHECK(!fs::exists(path.string() + ".6", ec));
  }

  fs::remove_all(tmp, ec);
  CHECK(!ec);

  std::cout << "all tests passed\n";
  return 0;
}
