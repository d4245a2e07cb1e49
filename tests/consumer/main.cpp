// Writes one line through the library and checks it arrived; includes every
// public header, so that each stands on its own in a consumer's build.
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>

#include "logging/async_file_log_sink.h"
#include "logging/file_log_sink.h"
#include "logging/log_sink.h"
#include "logging/rotation_policy.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::cerr << "usage: consumer <log file>\n";
    return 2;
  }
  velmor::common::RotationPolicy policy;
  policy.maxBackups = velmor::common::kMaxBackups;
  velmor::common::makeFileLogSink(argv[1], policy)
      ->write(velmor::common::LogLevel::Info, "consumer");
  std::ifstream in(argv[1], std::ios::binary);
  std::string line;
  std::getline(in, line);
  if (line.size() != 30 || line.compare(14, 16, " [INFO] consumer") != 0) {
    std::cerr << "unexpected line: " << line << "\n";
    return 1;
  }
  std::cout << "consumer ok\n";
  return 0;
}
