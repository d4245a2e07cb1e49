// The cost of one write() call to the caller, side by side in one process:
// AsyncFileLogSink and (where built with it) spdlog's rotating logger,
// asynchronous and synchronous. Each call is timed with the CPU's counter
// around it; the cost of an empty timed call is measured the same way and
// shown first. 100-byte messages; 1 and 4 threads; saturated (calls back to
// back) and paced (one call per 2 µs per thread). Figures in nanoseconds.
// Then the peak memory of a program that writes 1,000,000 lines, above one
// that writes none, each in a process of its own.
//
//   async_latency [calls-per-thread [name]]
//   async_latency --memory NAME   (the child of the memory table)
#include <sys/resource.h>
#include <x86intrin.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "logging/async_file_log_sink.h"

#ifdef VELMOR_BENCH_SPDLOG
#include <spdlog/async.h>
#include <spdlog/sinks/rotating_file_sink.h>
#include <spdlog/spdlog.h>
#endif

namespace {

namespace fs = std::filesystem;
using Write = std::function<void(const std::string&)>;

constexpr std::size_t kMessageBytes = 100;
constexpr std::uint64_t kFileBytes = 5ull * 1024 * 1024;
constexpr int kBackups = 20;

// Counter ticks per nanosecond, over 200 ms of the steady clock.
double ticksPerNs() {
  const auto start = std::chrono::steady_clock::now();
  const std::uint64_t ticks = __rdtsc();
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  const double ns =
      std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - start).count();
  return static_cast<double>(__rdtsc() - ticks) / ns;
}

// A logger to measure: made for a path, with its end (every line written).
struct Contender {
  const char* name;
  std::function<Write(const fs::path&, std::function<void()>&)> make;
};

std::vector<Contender> contenders() {
  using velmor::common::LogLevel;
  const velmor::common::RotationPolicy policy{kFileBytes, kBackups};
  std::vector<Contender> all = {
      {"velmor AsyncFileLogSink",
       [policy](const fs::path& path, std::function<void()>& finish) {
         auto sink = velmor::common::makeAsyncFileLogSink(path, policy);
         finish = [sink]() mutable { sink.reset(); };
         return Write(
             [sink = sink.get()](const std::string& m) { sink->write(LogLevel::Info, m); });
       }},
#ifdef VELMOR_BENCH_SPDLOG
      {"spdlog rotating (async)",
       [](const fs::path& path, std::function<void()>& finish) {
         spdlog::init_thread_pool(8192, 1);
         auto logger = spdlog::rotating_logger_mt<spdlog::async_factory>("async", path.string(),
                                                                         kFileBytes, kBackups);
         logger->set_pattern("[%H:%M:%S.%e] [%l] %v");
         finish = [logger]() mutable {
           logger->flush();
           logger.reset();
           spdlog::shutdown();
         };
         return Write([l = logger.get()](const std::string& m) { l->info(m); });
       }},
      {"spdlog rotating (sync)",
       [](const fs::path& path, std::function<void()>& finish) {
         auto logger = spdlog::rotating_logger_mt("sync", path.string(), kFileBytes, kBackups);
         logger->set_pattern("[%H:%M:%S.%e] [%l] %v");
         finish = [logger]() mutable {
           logger->flush();
           spdlog::drop("sync");
           logger.reset();
         };
         return Write([l = logger.get()](const std::string& m) { l->info(m); });
       }},
#endif
  };
  return all;
}

// Each thread makes `calls` calls (or empty timed calls, with no `write`),
// one per `pace` ticks if `pace`; returns every call's ticks.
std::vector<std::uint32_t> timeCalls(const Write* write, int threads, std::size_t calls,
                                     std::uint64_t pace) {
  std::vector<std::vector<std::uint32_t>> each(threads, std::vector<std::uint32_t>(calls));
  std::vector<std::thread> pool;
  for (int t = 0; t < threads; ++t) {
    pool.emplace_back([&, t] {
      const std::string message(kMessageBytes, 'x');
      std::uint32_t* out = each[t].data();
      std::uint64_t next = __rdtsc();
      for (std::size_t i = 0; i < calls; ++i) {
        if (pace != 0) {
          next += pace;
          while (__rdtsc() < next) _mm_pause();
        }
        unsigned aux;
        const std::uint64_t before = __rdtscp(&aux);
        if (write != nullptr) (*write)(message);
        const std::uint64_t after = __rdtscp(&aux);
        out[i] = static_cast<std::uint32_t>(std::min<std::uint64_t>(after - before, UINT32_MAX));
      }
    });
  }
  for (std::thread& thread : pool) thread.join();
  std::vector<std::uint32_t> all;
  for (const auto& one : each) all.insert(all.end(), one.begin(), one.end());
  std::sort(all.begin(), all.end());
  return all;
}

void printRow(const char* name, int threads, const char* mode,
              const std::vector<std::uint32_t>& ticks, double rate) {
  const auto at = [&](double q) {
    return ticks[std::min(ticks.size() - 1,
                          static_cast<std::size_t>(q * static_cast<double>(ticks.size())))] /
           rate;
  };
  std::printf("| %s | %d | %s | %.0f | %.0f | %.0f | %.0f | %.0f |\n", name, threads, mode, at(0.5),
              at(0.99), at(0.999), at(0.9999), ticks.back() / rate);
  std::fflush(stdout);
}

// The child of the memory table: writes 1,000,000 lines through `name`
// ("none": a program that writes nothing), then prints its peak RSS in KiB.
int memoryChild(const std::string& name) {
  const fs::path dir = fs::temp_directory_path() / "velmor-latency-memory";
  fs::remove_all(dir);
  fs::create_directories(dir);
  for (const Contender& contender : contenders()) {
    if (name != contender.name) continue;
    std::function<void()> finish;
    const Write write = contender.make(dir / "memory_log", finish);
    const std::string message(kMessageBytes, 'x');
    for (int i = 0; i < 1000000; ++i) write(message);
    finish();
  }
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  std::printf("%ld\n", usage.ru_maxrss);
  fs::remove_all(dir);
  return 0;
}

long peakOf(const char* self, const std::string& name) {
  const std::string command = std::string(self) + " --memory '" + name + "'";
  FILE* child = popen(command.c_str(), "r");
  long kib = -1;
  if (child != nullptr && std::fscanf(child, "%ld", &kib) != 1) kib = -1;
  if (child != nullptr) pclose(child);
  return kib;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 2 && std::string(argv[1]) == "--memory") return memoryChild(argv[2]);
  const std::size_t calls = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 200000;
  const double rate = ticksPerNs();
  const fs::path dir = fs::temp_directory_path() / "velmor-latency-bench";
  const auto pace = static_cast<std::uint64_t>(2000 * rate);  // 2 µs.
  std::printf(
      "| logger | threads | calls | median | p99 | p99.9 | p99.99 | max |\n"
      "|---|---:|---|---:|---:|---:|---:|---:|\n");
  for (const int threads : {1, 4}) {
    printRow("(empty timed call)", threads, "saturated", timeCalls(nullptr, threads, calls, 0),
             rate);
    for (const Contender& contender : contenders()) {
      if (argc > 2 && std::string(contender.name).find(argv[2]) == std::string::npos) continue;
      for (const bool paced : {false, true}) {
        fs::remove_all(dir);
        fs::create_directories(dir);
        std::function<void()> finish;
        const Write write = contender.make(dir / "latency_log", finish);
        const auto ticks = timeCalls(&write, threads, calls, paced ? pace : 0);
        finish();
        printRow(contender.name, threads, paced ? "paced, 1 per 2 µs" : "saturated", ticks, rate);
      }
    }
  }
  fs::remove_all(dir);
  const long none = peakOf(argv[0], "none");
  std::printf(
      "\n| logger | peak RSS, 1,000,000 lines | above a program that logs nothing |\n"
      "|---|---:|---:|\n| (nothing logged) | %.1f MiB | |\n",
      none / 1024.0);
  for (const Contender& contender : contenders()) {
    const long peak = peakOf(argv[0], contender.name);
    std::printf("| %s | %.1f MiB | %.1f MiB |\n", contender.name, peak / 1024.0,
                (peak - none) / 1024.0);
  }
  return 0;
}
