// Helper process for the multi-process and crash tests: appends numbered
// lines through its own FileLogSink.
//
//   writer_process <path> <tag> <count> <size>
//
// Writes `count` INFO messages (0: until killed) "<tag> <seq> <size> " and
// then `size` filler bytes, seq counting from 0, so that a reader can check
// that every line is whole and none is missing.
//
//   writer_process sleep <ms>
//
// Only lives for `ms` milliseconds: a child that would hold whatever handles
// it inherited.
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <iostream>
#include <string>
#include <thread>

#include "logging/file_log_sink.h"

int main(int argc, char** argv) {
  if (argc == 3 && std::string(argv[1]) == "sleep") {
    std::this_thread::sleep_for(std::chrono::milliseconds(std::strtoul(argv[2], nullptr, 10)));
    return 0;
  }
  if (argc != 5) {
    std::cerr << "usage: writer_process <path> <tag> <count> <size> | sleep <ms>\n";
    return 2;
  }
  const std::string tag = argv[2];
  const std::uint64_t count = std::strtoull(argv[3], nullptr, 10);
  const std::size_t size = std::strtoull(argv[4], nullptr, 10);
  const std::string filler(size, static_cast<char>('a' + tag.size() % 26));
  auto sink = velmor::common::makeFileLogSink(argv[1]);
  std::string message;
  for (std::uint64_t seq = 0; count == 0 || seq < count; ++seq) {
    message = tag;
    message += ' ';
    message += std::to_string(seq);
    message += ' ';
    message += std::to_string(size);
    message += ' ';
    message += filler;
    sink->write(velmor::common::LogLevel::Info, message);
  }
  return 0;
}
