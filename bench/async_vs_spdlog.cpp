// Lines per second, end to end, of the rotating file loggers side by side in
// one process: AsyncFileLogSink, FileLogSink::write, and (where built with
// it) spdlog's rotating logger, synchronous and asynchronous. Each run: T
// threads write N/T 100-byte messages each; the clock stops once every call
// returned and every line is in the files (the sink flushed or destroyed),
// and the lines in the files are counted to prove it. Best of 3.
//
//   async_vs_spdlog [lines [name]]
//
// lines: 2,000,000 unless given (FileLogSink::write gets a tenth); name: only
// the contenders whose name holds it.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "logging/async_file_log_sink.h"
#include "logging/file_log_sink.h"

#ifdef VELMOR_BENCH_SPDLOG
#include <spdlog/async.h>
#include <spdlog/sinks/rotating_file_sink.h>
#include <spdlog/spdlog.h>
#endif

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr std::size_t kMessageBytes = 100;
constexpr std::uint64_t kFileBytes = 5ull * 1024 * 1024;
constexpr int kBackups = 200;  // Room for every line of a run: none is rotated out.

// Counts the lines of `base` and its backups.
std::uint64_t countLines(const fs::path& base) {
  std::uint64_t lines = 0;
  std::vector<char> buffer(1 << 20);
  for (int n = 0; n <= kBackups + 1; ++n) {
    const fs::path file = n == 0 ? base : fs::path(base.string() + "." + std::to_string(n));
    std::ifstream in(file, std::ios::binary);
    while (in.read(buffer.data(), static_cast<std::streamsize>(buffer.size())) || in.gcount() > 0) {
      lines +=
          static_cast<std::uint64_t>(std::count(buffer.data(), buffer.data() + in.gcount(), '\n'));
    }
  }
  return lines;
}

// A contender: makes its logger for `path`, returns the write function for
// the threads, and the end (every line in the file) through `finish`.
struct Contender {
  const char* name;
  std::uint64_t share;  // Divides the line count: slow contenders write fewer.
  std::function<std::function<void(const std::string&)>(const fs::path&, std::function<void()>&)>
      make;
};

double runOnce(const Contender& contender, int threads, std::uint64_t lines, const fs::path& dir) {
  fs::remove_all(dir);
  fs::create_directories(dir);
  // No extension: spdlog numbers backups before one ("a.1.log").
  const fs::path path = dir / "bench_log";
  std::function<void()> finish;
  const auto write = contender.make(path, finish);
  const std::string message(kMessageBytes, 'x');
  const std::uint64_t each = lines / static_cast<std::uint64_t>(threads);
  const auto start = Clock::now();
  std::vector<std::thread> pool;
  for (int t = 0; t < threads; ++t) {
    pool.emplace_back([&] {
      for (std::uint64_t i = 0; i < each; ++i) write(message);
    });
  }
  for (std::thread& thread : pool) thread.join();
  finish();
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  const std::uint64_t found = countLines(path);
  const std::uint64_t expected = each * static_cast<std::uint64_t>(threads);
  if (found != expected) {
    std::fprintf(stderr, "%s: %llu lines in the files, %llu written\n", contender.name,
                 static_cast<unsigned long long>(found), static_cast<unsigned long long>(expected));
    std::exit(1);
  }
  return static_cast<double>(expected) / seconds;
}

}  // namespace

int main(int argc, char** argv) {
  const std::uint64_t lines = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 2000000;
  const fs::path dir = fs::temp_directory_path() / "velmor-async-bench";
  using velmor::common::LogLevel;
  const velmor::common::RotationPolicy policy{kFileBytes, kBackups};
  std::vector<Contender> contenders = {
      {"velmor AsyncFileLogSink", 1,
       [&](const fs::path& path, std::function<void()>& finish) {
         auto sink = velmor::common::makeAsyncFileLogSink(path, policy);
         finish = [sink]() mutable { sink->flush(); };
         return std::function<void(const std::string&)>(
             [sink](const std::string& m) { sink->write(LogLevel::Info, m); });
       }},
      {"velmor FileLogSink::write", 10,
       [&](const fs::path& path, std::function<void()>& finish) {
         auto sink = std::make_shared<velmor::common::FileLogSink>(path, policy);
         finish = [] {};
         return std::function<void(const std::string&)>(
             [sink](const std::string& m) { sink->write(LogLevel::Info, m); });
       }},
#ifdef VELMOR_BENCH_SPDLOG
      {"spdlog rotating (sync)", 1,
       [&](const fs::path& path, std::function<void()>& finish) {
         auto logger = spdlog::rotating_logger_mt("sync", path.string(), kFileBytes, kBackups);
         logger->set_pattern("[%H:%M:%S.%e] [%l] %v");
         finish = [logger]() mutable {
           logger->flush();
           spdlog::drop("sync");
           logger.reset();
         };
         return std::function<void(const std::string&)>(
             [logger](const std::string& m) { logger->info(m); });
       }},
      {"spdlog rotating (async)", 1,
       [&](const fs::path& path, std::function<void()>& finish) {
         spdlog::init_thread_pool(8192, 1);
         auto logger = spdlog::rotating_logger_mt<spdlog::async_factory>("async", path.string(),
                                                                         kFileBytes, kBackups);
         logger->set_pattern("[%H:%M:%S.%e] [%l] %v");
         finish = [logger]() mutable {
           // Queued behind every line; the pool's thread works through the
           // queue before it stops.
           logger->flush();
           logger.reset();
           spdlog::shutdown();
         };
         return std::function<void(const std::string&)>(
             [logger](const std::string& m) { logger->info(m); });
       }},
#endif
  };
  std::printf("| logger | threads | lines/s (best of 3) |\n|---|---:|---:|\n");
  for (const int threads : {1, 4}) {
    for (const Contender& contender : contenders) {
      if (argc > 2 && std::string(contender.name).find(argv[2]) == std::string::npos) continue;
      double best = 0;
      for (int run = 0; run < 3; ++run) {
        best = std::max(best, runOnce(contender, threads, lines / contender.share, dir));
      }
      std::printf("| %s | %d | %.2fM |\n", contender.name, threads, best / 1e6);
      std::fflush(stdout);
    }
  }
  fs::remove_all(dir);
  return 0;
}
