// How far the times AsyncFileLogSink shows are from system_clock at the
// call: two lines every 10 ms for the given seconds, each carrying the local
// time read just before its write(); then every line's shown time is
// checked against it. Run under a wall clock that steps (see
// bench/stamp_accuracy.sh), it also says how long a step took to show.
//
//   stamp_accuracy SECONDS FILE
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <string>
#include <thread>

#include "logging/async_file_log_sink.h"

namespace {

using Clock = std::chrono::system_clock;

// Local milliseconds since midnight.
long localMs(Clock::time_point at) {
  const std::time_t seconds = Clock::to_time_t(at);
  std::tm local{};
  localtime_r(&seconds, &local);
  const long ms = static_cast<long>(
      std::chrono::duration_cast<std::chrono::milliseconds>(at.time_since_epoch()).count() % 1000);
  return ((local.tm_hour * 60L + local.tm_min) * 60 + local.tm_sec) * 1000 + (ms + 1000) % 1000;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: stamp_accuracy SECONDS FILE\n");
    return 2;
  }
  const int lines = std::atoi(argv[1]) * 100;
  {
    velmor::common::AsyncFileLogSink sink(argv[2]);
    auto next = std::chrono::steady_clock::now();
    for (int i = 0; i < lines; ++i) {
      next += std::chrono::milliseconds(10);
      std::this_thread::sleep_until(next);
      for (int twice = 0; twice < 2; ++twice) {
        sink.write(velmor::common::LogLevel::Info, std::to_string(localMs(Clock::now())));
      }
    }
  }
  std::ifstream in(argv[2]);
  std::string line;
  long worst = 0;
  int off = 0;
  int total = 0;
  long firstOff = -1;
  long lastOff = -1;
  while (std::getline(in, line)) {
    const long shown = ((std::stol(line.substr(1, 2)) * 60 + std::stol(line.substr(4, 2))) * 60 +
                        std::stol(line.substr(7, 2))) *
                           1000 +
                       std::stol(line.substr(10, 3));
    const long called = std::stol(line.substr(line.rfind(' ') + 1));
    const long error = shown - called;
    ++total;
    // Shown truncated to the millisecond: 0 or 1 ms after the reading.
    if (error < -1 || error > 1) {
      ++off;
      if (firstOff < 0) firstOff = called;
      lastOff = called;
      if (std::labs(error) > std::labs(worst)) worst = error;
    } else if (std::labs(error) > std::labs(worst) && off == 0) {
      worst = error;
    }
  }
  std::printf("%d lines, %d shown more than 1 ms from the call", total, off);
  if (off > 0) {
    std::printf(" (at most %ld ms; between %ld and %ld ms of the day, %ld ms)", worst, firstOff,
                lastOff, lastOff - firstOff);
  }
  std::printf("\n");
  return 0;
}
