// Helper process for the multi-process and crash tests: appends numbered
// lines through its own FileLogSink.
//
//   writer_process <path> <tag> <count> <size> <maxFileBytes> <maxBackups>[z]
//                  [<threads> <batch>]
//
// Writes `count` INFO messages (0: until killed) made by recordMessage
// (test_support.h), seq counting from 0, so that a reader can check that
// every line is whole and none is missing ("z": compressed backups).
// writerArgs makes the arguments.
// With `threads`, each thread k of one sink writes its own records, tagged
// "<tag>t<k>", in batches of `batch` through writeBatch (1: write(); 0:
// write() of one AsyncFileLogSink instead).
//
//   writer_process streams <status>
//
// Writes "to out" on standard output and "to err" on standard error, each a
// line, and exits with `status`: a COMMAND for velmor-log to wrap.
//
//   writer_process sleep <ms>
//
// Only lives for `ms` milliseconds: a child that would hold whatever handles
// it inherited.
//
//   writer_process crash segv|abort|thread <path> <count>
//
// Queues `count` lines in a background sink with writeOnCrash, then
// crashes (see crash()); its own SIGSEGV and SIGABRT handler prints "own
// handler".
//
//   writer_process signals <ms>  (POSIX)
//
// Counts the SIGINT, SIGTERM, SIGHUP and SIGQUIT it gets (its handlers
// replace even a disposition to ignore), prints "ready", lives for `ms`
// milliseconds, then prints "INT=<n> TERM=<n> HUP=<n> QUIT=<n> ignored:
// <numbers>" (those ignored at start) and exits 0: a COMMAND that tells how
// often a signal reached it.
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

#include "logging/async_file_log_sink.h"
#include "logging/file_log_sink.h"
#include "test_support.h"

#ifndef _WIN32
#include <signal.h>
#include <unistd.h>

namespace {
constexpr int kCounted[4] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};
volatile sig_atomic_t counts[4];
extern "C" void count(int signo) {
  for (int i = 0; i < 4; ++i) {
    if (kCounted[i] == signo) ++counts[i];
  }
}

int countSignals(int ms) {
  std::string ignored;
  for (const int signo : kCounted) {
    struct sigaction current {};
    ::sigaction(signo, nullptr, &current);
    if (current.sa_handler == SIG_IGN) ignored += " " + std::to_string(signo);
    ::signal(signo, count);  // As a program with handlers of its own does.
  }
  std::cout << "ready\n" << std::flush;
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (std::chrono::steady_clock::now() < end) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  std::cout << "INT=" << counts[0] << " TERM=" << counts[1] << " HUP=" << counts[2]
            << " QUIT=" << counts[3] << " ignored:" << ignored << "\n";
  return 0;
}

}  // namespace
#endif

namespace {
// "own handler", once, then the default again: the program's handler for
// SIGSEGV and SIGABRT, installed before the sink's.
void ownHandler(int signo) {
  const char text[] = "own handler\n";
  std::fwrite(text, 1, sizeof(text) - 1, stderr);
  std::signal(signo, SIG_DFL);
}

// Queues `count` lines "line <i>" in an AsyncFileLogSink with writeOnCrash
// that would hold them an hour, then crashes as `how` says: "segv" (a null
// write), "abort", or "thread" (a null write in the sink's own thread, from
// its rotation hook).
int crash(const std::string& how, const char* path, std::uint64_t count) {
  std::signal(SIGSEGV, ownHandler);
  std::signal(SIGABRT, ownHandler);
  velmor::common::AsyncOptions options;
  options.maxDelay = std::chrono::hours(1);
  options.writeOnCrash = true;
  velmor::common::RotationPolicy policy{64 * 1024, 100};
  if (how == "thread") {
    policy.onRotated = [](const std::filesystem::path&) {
      *static_cast<volatile int*>(nullptr) = 1;
    };
  }
  velmor::common::AsyncFileLogSink sink(path, policy, options);
  for (std::uint64_t i = 0; i < count; ++i) {
    sink.write(velmor::common::LogLevel::Info, "line " + std::to_string(i));
  }
  if (how == "abort") std::abort();
  if (how == "segv") *static_cast<volatile int*>(nullptr) = 1;
  sink.flush();  // "thread": the rotation's hook faults.
  std::this_thread::sleep_for(std::chrono::seconds(5));
  return 0;
}
}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::string(argv[1]) == "streams") {
    std::cout << "to out\n" << std::flush;
    std::cerr << "to err\n" << std::flush;
    return std::atoi(argv[2]);
  }
#ifndef _WIN32
  if (argc == 3 && std::string(argv[1]) == "signals") return countSignals(std::atoi(argv[2]));
#endif
  if (argc == 5 && std::string(argv[1]) == "crash") {
    return crash(argv[2], argv[3], std::strtoull(argv[4], nullptr, 10));
  }
  if (argc == 3 && std::string(argv[1]) == "sleep") {
    std::this_thread::sleep_for(std::chrono::milliseconds(std::strtoul(argv[2], nullptr, 10)));
    return 0;
  }
  if (argc != 7 && argc != 9) {
    std::cerr << "usage: writer_process <path> <tag> <count> <size> <maxFileBytes> <maxBackups>"
                 " [<threads> <batch>] | streams <status> | sleep <ms>\n";
    return 2;
  }
  const std::string tag = argv[2];
  const std::uint64_t count = std::strtoull(argv[3], nullptr, 10);
  const std::size_t size = std::strtoull(argv[4], nullptr, 10);
  velmor::common::RotationPolicy policy{std::strtoull(argv[5], nullptr, 10), std::atoi(argv[6])};
  // A "z" after the count: gzip; an "s": zstd.
  const char codec = std::string(argv[6]).back();
  policy.compressBackups = codec == 'z' || codec == 's';
  if (codec == 's') policy.codec = velmor::common::CompressionCodec::Zstd;
  velmor::common::FileLogSink sink(argv[1], policy);
  if (argc == 7) {
    for (std::uint64_t seq = 0; count == 0 || seq < count; ++seq) {
      sink.write(velmor::common::LogLevel::Info, velmor::testing::recordMessage(tag, seq, size));
    }
    return 0;
  }
  const int threads = std::atoi(argv[7]);
  const std::size_t batch = std::strtoull(argv[8], nullptr, 10);
  if (batch == 0) {
    velmor::common::AsyncFileLogSink queued(argv[1], policy);
    std::vector<std::thread> writers;
    writers.reserve(static_cast<std::size_t>(threads));
    for (int k = 0; k < threads; ++k) {
      writers.emplace_back([&, k] {
        const std::string own = tag + "t" + std::to_string(k);
        for (std::uint64_t seq = 0; seq < count; ++seq) {
          queued.write(velmor::common::LogLevel::Info,
                       velmor::testing::recordMessage(own, seq, size));
        }
      });
    }
    for (std::thread& writer : writers) writer.join();
    return 0;
  }
  std::vector<std::thread> writers;
  writers.reserve(static_cast<std::size_t>(threads));
  for (int k = 0; k < threads; ++k) {
    writers.emplace_back([&, k] {
      const std::string own = tag + "t" + std::to_string(k);
      std::vector<std::string> messages;
      std::vector<velmor::common::LogRecord> records;
      for (std::uint64_t seq = 0; seq < count;) {
        messages.clear();
        for (; messages.size() < batch && seq < count; ++seq) {
          messages.push_back(velmor::testing::recordMessage(own, seq, size));
        }
        records.clear();
        for (const std::string& message : messages) {
          records.push_back({velmor::common::LogLevel::Info, message});
        }
        if (batch == 1) {
          sink.write(records[0].level, records[0].message);
        } else {
          sink.writeBatch(records.data(), records.size());
        }
      }
    });
  }
  for (std::thread& writer : writers) writer.join();
  return 0;
}
