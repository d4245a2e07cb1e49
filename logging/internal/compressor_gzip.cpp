// The gzip compressor of backups, with zlib.
#include <zlib.h>

#include "logging/internal/compressor.h"

namespace velmor::common::internal {
namespace {

// Level 6, zlib's default: text logs shrink 5-10 times; each step up costs
// more time than it saves space, and compression holds the file's rotation
// lock (never the process-wide one).
constexpr int kLevel = Z_DEFAULT_COMPRESSION;
// 15-bit window, plus 16: a gzip header and trailer rather than zlib's.
constexpr int kGzipWindowBits = 15 + 16;

}  // namespace

std::int64_t compressFile(const platform::SourceFile& in, platform::NewFile& out) noexcept {
  z_stream stream{};
  if (deflateInit2(&stream, kLevel, Z_DEFLATED, kGzipWindowBits, 8, Z_DEFAULT_STRATEGY) != Z_OK) {
    return -1;
  }
  static constexpr std::size_t kChunk = 16 * 1024;  // Two on the stack of any thread.
  unsigned char input[kChunk];
  unsigned char output[kChunk];
  std::uint64_t taken = 0;
  bool ok = true;
  for (int flush = Z_NO_FLUSH; ok && flush != Z_FINISH;) {
    const std::int64_t got = in.readAt(taken, reinterpret_cast<char*>(input), kChunk);
    if (got < 0) {
      ok = false;
      break;
    }
    taken += static_cast<std::uint64_t>(got);
    flush = got == 0 ? Z_FINISH : Z_NO_FLUSH;
    stream.next_in = input;
    stream.avail_in = static_cast<uInt>(got);
    do {
      stream.next_out = output;
      stream.avail_out = kChunk;
      const int result = deflate(&stream, flush);
      if (result == Z_STREAM_ERROR) ok = false;
      const std::size_t produced = kChunk - stream.avail_out;
      if (ok && produced > 0) ok = out.write(reinterpret_cast<const char*>(output), produced);
    } while (ok && stream.avail_out == 0);
  }
  deflateEnd(&stream);
  return ok ? static_cast<std::int64_t>(taken) : -1;
}

}  // namespace velmor::common::internal
