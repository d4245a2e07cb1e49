// The naive way to log a pipe: one FileLogSink::write per line read, each
// paying its own open and close. The baseline velmor-log is measured against.
//
//   per_line_log FILE < input
#include <iostream>
#include <string>

#include "logging/file_log_sink.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::cerr << "usage: per_line_log FILE < input\n";
    return 2;
  }
  std::ios::sync_with_stdio(false);
  const auto sink = velmor::common::makeFileLogSink(argv[1]);
  for (std::string line; std::getline(std::cin, line);) {
    sink->write(velmor::common::LogLevel::Info, line);
  }
  return 0;
}
