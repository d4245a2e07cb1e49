// What compressed backups cost the writers, side by side in one run: lines
// per second with compression off, gzip and zstd, through AsyncFileLogSink
// and writeBatch; the write that rotates, each way; and the codecs alone on
// one 5 MiB file of log text, for bench/compression_vs_tools.sh to set
// beside gzip, pigz and zstd.
//
//   compression_bench writers [lines]    the writers' table (best of 5)
//   compression_bench codec FILE         milliseconds of each codec on FILE
//   compression_bench sample FILE        writes 5 MiB of log text to FILE
//
// lines: 2,000,000 100-byte messages (200 MB) unless given, into 5 MiB files
// with 5 backups, as a service's log is kept.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "logging/async_file_log_sink.h"
#include "logging/file_log_sink.h"
#include "logging/internal/build_config.h"
#include "logging/internal/compressor.h"
#include "logging/internal/platform.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using velmor::common::CompressionCodec;
using velmor::common::LogLevel;
using velmor::common::LogRecord;
using velmor::common::RotationPolicy;

constexpr std::uint64_t kFileBytes = 5ull * 1024 * 1024;
constexpr int kBatch = 256;

// 100-byte messages as a service writes them: words and changing numbers,
// so that they compress as logs do (5 to 10 times), not as one byte
// repeated.
std::vector<std::string> messages(std::size_t count) {
  std::vector<std::string> out;
  out.reserve(count);
  for (std::size_t i = 0; i < count; ++i) {
    std::string text = "request " + std::to_string(i * 7919 % 100000) + " from 10.0." +
                       std::to_string(i % 256) + "." + std::to_string(i * 31 % 256) +
                       " served in " + std::to_string(i % 997) + " ms, status " +
                       (i % 13 == 0 ? "404" : "200") + ", user u" + std::to_string(i % 4099);
    text.resize(100, ' ');
    out.push_back(std::move(text));
  }
  return out;
}

double secondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

struct Run {
  double writer = 0;    // Until the last call returned (and, async, was written).
  double finished = 0;  // Until the sink was gone, its compression done.
};

// One run of `lines` lines through `kind` ("async" or "batch") with `codec`
// (none: compression off), in a fresh directory.
Run runOnce(const std::string& kind, const std::string& codec, std::uint64_t lines,
            const std::vector<std::string>& text) {
  const fs::path dir = fs::temp_directory_path() / "velmor-compression-bench";
  fs::remove_all(dir);
  fs::create_directories(dir);
  RotationPolicy policy{kFileBytes, 5};
  policy.compressBackups = codec != "off";
  if (codec == "zstd") policy.codec = CompressionCodec::Zstd;
  Run run;
  const auto start = Clock::now();
  if (kind == "async") {
    velmor::common::AsyncFileLogSink sink(dir / "app.log", policy);
    for (std::uint64_t i = 0; i < lines; ++i) sink.write(LogLevel::Info, text[i % text.size()]);
    sink.flush();
    run.writer = secondsSince(start);
  } else {
    velmor::common::FileLogSink sink(dir / "app.log", policy);
    std::vector<LogRecord> batch(kBatch);
    const auto now = std::chrono::system_clock::now();
    for (std::uint64_t i = 0; i < lines; i += kBatch) {
      const std::size_t count =
          static_cast<std::size_t>(std::min<std::uint64_t>(kBatch, lines - i));
      for (std::size_t k = 0; k < count; ++k) {
        batch[k] = LogRecord(LogLevel::Info, text[(i + k) % text.size()], now);
      }
      sink.writeBatch(batch.data(), count);
    }
    run.writer = secondsSince(start);
  }
  run.finished = secondsSince(start);
  fs::remove_all(dir);
  return run;
}

int writers(std::uint64_t lines) {
  const std::vector<std::string> text = messages(4096);
  std::vector<std::string> codecs = {"off", "gzip"};
  if (VELMOR_HAVE_ZSTD) codecs.push_back("zstd");
  std::printf("| writer | compression | lines/s | of plain | until compressed |\n");
  std::printf("|---|---|---:|---:|---:|\n");
  for (const std::string kind : {"async", "batch"}) {
    double plain = 0;
    // Interleaved: each round runs every codec once, so that the machine's
    // drift falls on all of them alike.
    std::vector<Run> best(codecs.size(), Run{1e9, 1e9});
    for (int round = 0; round < 5; ++round) {
      for (std::size_t c = 0; c < codecs.size(); ++c) {
        const Run run = runOnce(kind, codecs[c], lines, text);
        best[c].writer = std::min(best[c].writer, run.writer);
        best[c].finished = std::min(best[c].finished, run.finished);
      }
    }
    for (std::size_t c = 0; c < codecs.size(); ++c) {
      const double rate = static_cast<double>(lines) / best[c].writer;
      if (c == 0) plain = rate;
      std::printf("| %s | %s | %.2fM | %.2f | %.2f s |\n",
                  kind == "async" ? "AsyncFileLogSink" : "writeBatch(256)", codecs[c].c_str(),
                  rate / 1e6, rate / plain, best[c].finished);
    }
  }
  return 0;
}

int sample(const fs::path& file) {
  const std::vector<std::string> text = messages(65536);
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  std::uint64_t written = 0;
  for (std::size_t i = 0; written < kFileBytes; ++i) {
    const std::string line = "[12:00:00.000] [INFO] " + text[i % text.size()] + "\n";
    out << line;
    written += line.size();
  }
  return out ? 0 : 1;
}

// Milliseconds of the library's codec on `file`, best of 5, and the size.
int codec(const fs::path& file) {
  namespace internal = velmor::common::internal;
  std::vector<CompressionCodec> codecs = {CompressionCodec::Gzip};
  if (VELMOR_HAVE_ZSTD) codecs.push_back(CompressionCodec::Zstd);
  for (const CompressionCodec which : codecs) {
    const fs::path out = file.string() + internal::compressedSuffix(which);
    double best = 1e9;
    for (int round = 0; round < 5; ++round) {
      fs::remove(out);
      internal::platform::SourceFile in(file.c_str());
      const auto start = Clock::now();
      {
        internal::platform::NewFile made(out.c_str(), in);
        if (internal::compressFile(in, made, which, 0) < 0) return 1;
      }
      best = std::min(best, secondsSince(start) * 1000);
    }
    std::printf("%s %.1f %ju\n", which == CompressionCodec::Gzip ? "gzip" : "zstd", best,
                static_cast<std::uintmax_t>(fs::file_size(out)));
    fs::remove(out);
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "writers") return writers(argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 2000000);
  if (mode == "sample" && argc == 3) return sample(argv[2]);
  if (mode == "codec" && argc == 3) return codec(argv[2]);
  std::fprintf(stderr, "usage: compression_bench writers [lines] | codec FILE | sample FILE\n");
  return 2;
}
