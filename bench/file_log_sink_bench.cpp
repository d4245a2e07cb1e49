// Throughput of FileLogSink::write against the floor of its design: the same
// lines appended with bare POSIX calls (open with O_APPEND, one write, close,
// stat) under one lock, rotating at the same threshold; of writeBatch; and
// the latency of write as callers see it, rotations included.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "logging/async_file_log_sink.h"
#include "logging/file_log_sink.h"

namespace {

namespace fs = std::filesystem;
using velmor::common::ILogSink;
using velmor::common::kMaxBackups;
using velmor::common::kRotateThresholdBytes;
using velmor::common::LogLevel;
using velmor::common::makeFileLogSink;

constexpr std::size_t kInfoOverhead = 23;  // Timestamp, level and LF.

// Removes a directory tree when destroyed.
struct RemoveAtExit {
  fs::path dir;
  ~RemoveAtExit() {
    std::error_code ec;
    fs::remove_all(dir, ec);
  }
};

// A scratch directory for the whole run, removed at exit.
const fs::path& benchDir() {
  static const RemoveAtExit scratch{[] {
    std::string pattern = (fs::temp_directory_path() / "velmor-bench-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) std::abort();
    return fs::path(pattern);
  }()};
  return scratch.dir;
}

// One sink per message size, shared by all threads of a benchmark, as a
// process would share it.
ILogSink& sinkFor(std::size_t size) {
  static std::mutex mutex;
  static std::shared_ptr<ILogSink> sinks[4];
  static const std::size_t sizes[4] = {100, 1024, 4096, 65536};
  const std::lock_guard<std::mutex> lock(mutex);
  for (int i = 0; i < 4; ++i) {
    if (sizes[i] != size) continue;
    if (!sinks[i])
      sinks[i] = makeFileLogSink(benchDir() / ("sink-" + std::to_string(size) + ".log"));
    return *sinks[i];
  }
  std::abort();
}

void BM_SinkWrite(benchmark::State& state) {
  const auto size = static_cast<std::size_t>(state.range(0));
  ILogSink& sink = sinkFor(size);
  const std::string message(size, 'x');
  for (auto _ : state) sink.write(LogLevel::Info, message);
  state.SetItemsProcessed(state.iterations());
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(size + kInfoOverhead));
}

// write() with every rule of the policy on: a daily period (its check is
// once per day, not per line), an age and a total cap (looked at only when
// rotating). Should cost what BM_SinkWrite does.
void BM_SinkWriteAllRules(benchmark::State& state) {
  velmor::common::RotationPolicy policy;
  policy.period = velmor::common::RotationPeriod::Daily;
  policy.maxBackupAge = std::chrono::hours(24);
  policy.maxTotalBytes = 20 * kRotateThresholdBytes;
  const auto sink = makeFileLogSink(benchDir() / "all-rules.log", policy);
  const std::string message(static_cast<std::size_t>(state.range(0)), 'x');
  for (auto _ : state) sink->write(LogLevel::Info, message);
  state.SetItemsProcessed(state.iterations());
}

// writeBatch of 64 100-byte lines in each time format (time: 0 TimeOfDay, 1
// LocalIso8601, 2 UtcIso8601) and form (form: 0 text, 1 escaped text, 2
// JSON), each line with a time of its own a millisecond apart, so that every
// prefix is formatted: where the format's cost shows most. The message is
// plain letters, or (tricky: 1) has a quote, a backslash, a TAB, an ESC, a CR
// and an "é" among them, each of which escaping changes. Items are lines.
void BM_SinkWriteBatchFormat(benchmark::State& state) {
  constexpr std::size_t kLines = 64;
  velmor::common::RotationPolicy policy;
  policy.format.time = static_cast<velmor::common::TimeFormat>(state.range(0));
  policy.format.escapeControls = state.range(1) == 1;
  policy.format.json = state.range(1) == 2;
  velmor::common::FileLogSink sink(
      benchDir() / ("format" + std::to_string(state.range(0)) + std::to_string(state.range(1)) +
                    std::to_string(state.range(2)) + ".log"),
      policy);
  std::string message(100, 'x');
  if (state.range(2) == 1) message.replace(10, 8, "\"\\\t\x1b\r\xc3\xa9 ");
  std::vector<velmor::common::LogRecord> batch(kLines, {LogLevel::Info, message});
  auto when = std::chrono::system_clock::now();
  for (auto _ : state) {
    for (auto& record : batch) {
      when += std::chrono::milliseconds(1);
      record.time = when;
    }
    if (sink.writeBatch(batch.data(), batch.size()) != kLines) state.SkipWithError("dropped");
  }
  state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(kLines));
}

// writeBatch, as a reader of a pipe uses it: 64 lines per call, each with
// its own prefix. Items are lines.
void BM_SinkWriteBatch(benchmark::State& state) {
  constexpr std::size_t kLines = 64;
  const auto size = static_cast<std::size_t>(state.range(0));
  static velmor::common::FileLogSink sink(benchDir() / "batch.log");
  const std::string message(size, 'x');
  std::vector<velmor::common::LogRecord> batch(kLines, {LogLevel::Info, message});
  for (auto _ : state) {
    if (sink.writeBatch(batch.data(), batch.size()) != kLines) state.SkipWithError("dropped");
  }
  const auto lines = state.iterations() * static_cast<std::int64_t>(kLines);
  state.SetItemsProcessed(lines);
  state.SetBytesProcessed(lines * static_cast<std::int64_t>(size + kInfoOverhead));
}

// The least any implementation of this design can do per message.
void BM_FloorWrite(benchmark::State& state) {
  static std::mutex mutex;
  const auto size = static_cast<std::size_t>(state.range(0));
  const std::string path = (benchDir() / ("floor-" + std::to_string(size) + ".log")).string();
  std::string backups[kMaxBackups + 1];
  for (int n = 1; n <= kMaxBackups; ++n) backups[n] = path + "." + std::to_string(n);
  backups[0] = path;
  const std::string line = "[12:34:56.789] [INFO] " + std::string(size, 'x') + "\n";
  for (auto _ : state) {
    const std::lock_guard<std::mutex> lock(mutex);
    const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0) continue;
    benchmark::DoNotOptimize(::write(fd, line.data(), line.size()));
    ::close(fd);
    struct stat st;
    if (::stat(path.c_str(), &st) == 0 &&
        static_cast<std::uint64_t>(st.st_size) >= kRotateThresholdBytes) {
      // Keep five backups, as the design does (which pages the kernel
      // recycles, recently written or long ago, shows in the copy cost):
      // delete the oldest, then rename each onto a free name. A rename
      // that replaces a file makes ext4 start writing back the renamed
      // file's data, which would burden the floor alone.
      ::unlink(backups[kMaxBackups].c_str());
      for (int n = kMaxBackups - 1; n >= 0; --n) {
        std::rename(backups[n].c_str(), backups[n + 1].c_str());
      }
    }
  }
  state.SetItemsProcessed(state.iterations());
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(line.size()));
}

// Latency of single calls across all threads of a run: p50, p99, p99.9 and
// max in nanoseconds. A caller's thread waits through the lock and through
// any rotation, so both are in these figures.
void BM_SinkLatency(benchmark::State& state) {
  struct Samples {
    std::mutex mutex;
    std::vector<std::int64_t> all;
    int finished = 0;
  };
  static Samples samples;
  const auto size = static_cast<std::size_t>(state.range(0));
  ILogSink& sink = sinkFor(size);
  const std::string message(size, 'x');
  if (state.thread_index() == 0) {
    // Before the start barrier: no other thread can have finished yet.
    const std::lock_guard<std::mutex> lock(samples.mutex);
    samples.all.clear();
    samples.finished = 0;
  }
  std::vector<std::int64_t> mine;
  mine.reserve(1 << 20);
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    sink.write(LogLevel::Info, message);
    const auto end = std::chrono::steady_clock::now();
    if (mine.size() < mine.capacity()) {
      mine.push_back(std::chrono::duration_cast<std::chrono::nanoseconds>(end - start).count());
    }
  }
  state.SetItemsProcessed(state.iterations());
  const std::lock_guard<std::mutex> lock(samples.mutex);
  samples.all.insert(samples.all.end(), mine.begin(), mine.end());
  if (++samples.finished < state.threads() || samples.all.empty()) return;
  // The last thread to finish reports for all; counters are summed over
  // threads, and the others report none.
  std::vector<std::int64_t>& all = samples.all;
  std::sort(all.begin(), all.end());
  const auto at = [&all](double quantile) {
    return static_cast<double>(all[static_cast<std::size_t>(quantile * (all.size() - 1))]);
  };
  state.counters["p50_ns"] = at(0.5);
  state.counters["p99_ns"] = at(0.99);
  state.counters["p99.9_ns"] = at(0.999);
  state.counters["max_ns"] = static_cast<double>(all.back());
}

// Every message size with every thread count (the framework runs the
// cross product).
void sizesAndThreads(benchmark::internal::Benchmark* bench) {
  for (const int size : {100, 1024, 4096, 65536}) bench->Arg(size);
  for (const int threads : {1, 2, 4, 8}) bench->Threads(threads);
  bench->UseRealTime();
}

// One rotation of a 5 MiB file, with a 5 MiB ".1" before it: plain, or
// compressed (compress 1: gzip, 2: zstd; ".1" becomes ".2" for the
// compressor, which works beside the writer), or synced (the 5 MiB, just
// written, go to the disk). Times the write that crosses the threshold; the
// compression is waited for outside the timing, by the sink's end.
void BM_Rotation(benchmark::State& state) {
  velmor::common::RotationPolicy policy;
  policy.compressBackups = state.range(0) != 0;
  if (state.range(0) == 2) policy.codec = velmor::common::CompressionCodec::Zstd;
  policy.syncRotations = state.range(1) != 0;
  const fs::path dir =
      benchDir() / ("rotation-" + std::to_string(state.range(0)) + std::to_string(state.range(1)));
  const fs::path path = dir / "app.log";
  // Text as logs are: repeated words with changing numbers.
  std::string line;
  for (int i = 0; line.size() < kRotateThresholdBytes; ++i) {
    line += "[12:00:00.000] [INFO] request " + std::to_string(i * 7919 % 100000) + " served in " +
            std::to_string(i % 997) + " ms\n";
  }
  for (auto _ : state) {
    state.PauseTiming();
    fs::remove_all(dir);
    fs::create_directories(dir);
    for (const fs::path& file : {fs::path(path.string() + ".1"), path}) {
      std::FILE* out = std::fopen(file.c_str(), "wb");
      std::fwrite(line.data(), 1, kRotateThresholdBytes - 100, out);
      std::fclose(out);
    }
    {
      const auto sink = makeFileLogSink(path, policy);
      sink->write(LogLevel::Info, "opened");  // The first line's work is not the rotation's.
      state.ResumeTiming();
      sink->write(LogLevel::Info, std::string(100, 'x'));  // Crosses: rotates.
      state.PauseTiming();
    }
    state.ResumeTiming();
  }
}

// Single 100-byte lines with syncFrom off (mode 0), at Error with one line
// in 100 an error (1), and at Trace, every line synced (2). Items are lines.
void BM_SinkWriteSync(benchmark::State& state) {
  velmor::common::RotationPolicy policy;
  if (state.range(0) == 1) policy.syncFrom = LogLevel::Error;
  if (state.range(0) == 2) policy.syncFrom = LogLevel::Trace;
  velmor::common::FileLogSink sink(benchDir() / ("sync" + std::to_string(state.range(0)) + ".log"),
                                   policy);
  const std::string message(100, 'x');
  std::uint64_t n = 0;
  for (auto _ : state) sink.write(++n % 100 == 0 ? LogLevel::Error : LogLevel::Info, message);
  state.SetItemsProcessed(state.iterations());
}

// The same through AsyncFileLogSink (sync 0, 1, 2 as above), with no sync
// interval or one of 100 ms (interval: 0 or 100). Items are lines; the
// queue is flushed at the end, so each run counts lines written.
void BM_AsyncWriteSync(benchmark::State& state) {
  velmor::common::RotationPolicy policy;
  if (state.range(0) == 1) policy.syncFrom = LogLevel::Error;
  if (state.range(0) == 2) policy.syncFrom = LogLevel::Trace;
  velmor::common::AsyncOptions options;
  options.syncInterval = std::chrono::milliseconds(state.range(1));
  velmor::common::AsyncFileLogSink sink(
      benchDir() / ("async-sync" + std::to_string(state.range(0)) + "-" +
                    std::to_string(state.range(1)) + ".log"),
      policy, options);
  const std::string message(100, 'x');
  std::uint64_t n = 0;
  for (auto _ : state) sink.write(++n % 100 == 0 ? LogLevel::Error : LogLevel::Info, message);
  sink.flush();
  state.SetItemsProcessed(state.iterations());
}

// The slowest write of a sink on another file while a thread rotates (and
// compresses) 5 MiB files as fast as it can: compression holds no lock of
// the process, so it should stay what it is without compression.
void BM_OtherFileDuringRotations(benchmark::State& state) {
  velmor::common::RotationPolicy policy;
  policy.compressBackups = state.range(0) != 0;
  const fs::path dir = benchDir() / ("other-" + std::to_string(state.range(0)));
  fs::create_directories(dir);
  const auto busy = makeFileLogSink(dir / "busy.log", policy);
  const auto quiet = makeFileLogSink(dir / "quiet.log");
  std::atomic<bool> stop{false};
  std::string text;
  for (int i = 0; text.size() < 4000; ++i) text += "word" + std::to_string(i % 50) + " ";
  for (auto _ : state) {
    std::thread writer([&] {
      while (!stop) busy->write(LogLevel::Info, text);
    });
    std::int64_t slowest = 0;
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    while (std::chrono::steady_clock::now() < end) {
      const auto start = std::chrono::steady_clock::now();
      quiet->write(LogLevel::Info, "a line of another file");
      const auto took = std::chrono::steady_clock::now() - start;
      slowest = std::max<std::int64_t>(
          slowest, std::chrono::duration_cast<std::chrono::microseconds>(took).count());
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    stop = true;
    writer.join();
    state.counters["slowest_us"] = static_cast<double>(slowest);
  }
}

BENCHMARK(BM_SinkWrite)->ArgName("bytes")->Apply(sizesAndThreads);
BENCHMARK(BM_FloorWrite)->ArgName("bytes")->Apply(sizesAndThreads);
BENCHMARK(BM_SinkWriteAllRules)->ArgName("bytes")->Arg(100);
BENCHMARK(BM_SinkWriteBatch)->ArgName("bytes")->Arg(100)->Arg(1024)->UseRealTime();
BENCHMARK(BM_SinkWriteBatchFormat)
    ->ArgNames({"time", "form", "tricky"})
    ->Args({0, 0, 0})
    ->Args({1, 0, 0})
    ->Args({2, 0, 0})
    ->Args({0, 1, 0})
    ->Args({0, 2, 0})
    ->Args({2, 2, 0})
    ->Args({0, 1, 1})
    ->Args({0, 2, 1})
    ->UseRealTime();
BENCHMARK(BM_SinkLatency)->ArgName("bytes")->Arg(1024)->ThreadRange(1, 8)->UseRealTime();
BENCHMARK(BM_SinkWriteSync)->ArgName("sync")->Arg(0)->Arg(1)->Arg(2)->UseRealTime();
BENCHMARK(BM_AsyncWriteSync)
    ->ArgNames({"sync", "interval"})
    ->Args({0, 0})
    ->Args({0, 100})
    ->Args({1, 0})
    ->Args({1, 100})
    ->Args({2, 0})
    ->UseRealTime();
BENCHMARK(BM_Rotation)
    ->ArgNames({"compress", "sync"})
    ->Args({0, 0})
    ->Args({1, 0})
    ->Args({2, 0})
    ->Args({0, 1})
    ->Iterations(20)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_OtherFileDuringRotations)
    ->ArgName("compress")
    ->Arg(0)
    ->Arg(1)
    ->Iterations(1)
    ->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
