// The gzip compressor of backups, with zlib.
#include <zlib.h>

#include <cstring>

#include "logging/internal/compressor.h"

namespace velmor::common::internal {
namespace {

// Level 6 unless told otherwise, zlib's default: text logs shrink 5-10
// times, and each step up costs more time than it saves space.
constexpr int kDefaultLevel = 6;
// 15-bit window, plus 16: a gzip header and trailer rather than zlib's.
constexpr int kGzipWindowBits = 15 + 16;

}  // namespace

std::int64_t gzipFile(const platform::SourceFile& in, platform::NewFile& out, int level) noexcept {
  z_stream stream{};
  if (deflateInit2(&stream, level == 0 ? kDefaultLevel : level, Z_DEFLATED, kGzipWindowBits, 8,
                   Z_DEFAULT_STRATEGY) != Z_OK) {
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

bool gzipPrefixOf(const platform::SourceFile& compressed,
                  const platform::SourceFile& plain) noexcept {
  z_stream stream{};
  if (inflateInit2(&stream, kGzipWindowBits) != Z_OK) return false;
  static constexpr std::size_t kChunk = 16 * 1024;
  unsigned char input[kChunk];
  unsigned char output[kChunk];
  char expected[kChunk];
  std::uint64_t readIn = 0;    // Bytes of `compressed` taken.
  std::uint64_t compared = 0;  // Bytes of `plain` matched.
  int result = Z_OK;
  bool same = true;
  while (same && result != Z_STREAM_END) {
    const std::int64_t got = compressed.readAt(readIn, reinterpret_cast<char*>(input), kChunk);
    if (got <= 0) break;  // Cut short, or unreadable: not one of ours.
    readIn += static_cast<std::uint64_t>(got);
    stream.next_in = input;
    stream.avail_in = static_cast<uInt>(got);
    while (same && stream.avail_in > 0 && result != Z_STREAM_END) {
      stream.next_out = output;
      stream.avail_out = kChunk;
      result = inflate(&stream, Z_NO_FLUSH);
      if (result != Z_OK && result != Z_STREAM_END) {
        same = false;
        break;
      }
      const std::size_t produced = kChunk - stream.avail_out;
      same = produced == 0 ||
             (plain.readAt(compared, expected, produced) == static_cast<std::int64_t>(produced) &&
              std::memcmp(expected, output, produced) == 0);
      compared += produced;
    }
  }
  // Nothing may follow the stream.
  const bool whole = result == Z_STREAM_END && stream.avail_in == 0 &&
                     compressed.readAt(readIn, reinterpret_cast<char*>(input), 1) == 0;
  inflateEnd(&stream);
  return same && whole;
}

}  // namespace velmor::common::internal
