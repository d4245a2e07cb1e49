// The zstd compressor of backups: one frame per file, with its content
// checksum, so that `zstd -t` checks it.
#include <zstd.h>

#include <cstring>

#include "logging/internal/compressor.h"

namespace velmor::common::internal {
namespace {

// zstd's own default, and what `zstd` without a level uses.
constexpr int kDefaultLevel = 3;
// Chunks of the size zstd prefers for input (ZSTD_CStreamInSize(), 128 KiB)
// would cost a thread's stack a quarter of a MiB; half of that loses
// little.
constexpr std::size_t kChunk = 64 * 1024;

}  // namespace

std::int64_t zstdFile(const platform::SourceFile& in, platform::NewFile& out, int level) noexcept {
  ZSTD_CCtx* context = ZSTD_createCCtx();
  if (context == nullptr) return -1;
  bool ok = !ZSTD_isError(ZSTD_CCtx_setParameter(context, ZSTD_c_compressionLevel,
                                                 level == 0 ? kDefaultLevel : level)) &&
            !ZSTD_isError(ZSTD_CCtx_setParameter(context, ZSTD_c_checksumFlag, 1));
  char input[kChunk];
  char output[kChunk];
  std::uint64_t taken = 0;
  for (bool last = false; ok && !last;) {
    const std::int64_t got = in.readAt(taken, input, kChunk);
    if (got < 0) {
      ok = false;
      break;
    }
    taken += static_cast<std::uint64_t>(got);
    last = got == 0;
    ZSTD_inBuffer from{input, static_cast<std::size_t>(got), 0};
    // Until the chunk is taken in, or, at the end, the frame is flushed out.
    for (std::size_t left = 1; ok && (from.pos < from.size || (last && left != 0));) {
      ZSTD_outBuffer to{output, kChunk, 0};
      left = ZSTD_compressStream2(context, &to, &from, last ? ZSTD_e_end : ZSTD_e_continue);
      ok = !ZSTD_isError(left) && (to.pos == 0 || out.write(output, to.pos));
    }
  }
  ZSTD_freeCCtx(context);
  return ok ? static_cast<std::int64_t>(taken) : -1;
}

bool zstdPrefixOf(const platform::SourceFile& compressed,
                  const platform::SourceFile& plain) noexcept {
  ZSTD_DCtx* context = ZSTD_createDCtx();
  if (context == nullptr) return false;
  char input[kChunk];
  char output[kChunk];
  char expected[kChunk];
  std::uint64_t readIn = 0;    // Bytes of `compressed` taken.
  std::uint64_t compared = 0;  // Bytes of `plain` matched.
  bool same = true;
  bool ended = false;  // The frame is complete (and its checksum right).
  std::size_t unused = 0;
  while (same && !ended) {
    const std::int64_t got = compressed.readAt(readIn, input, kChunk);
    if (got <= 0) break;  // Cut short, or unreadable: not one of ours.
    readIn += static_cast<std::uint64_t>(got);
    ZSTD_inBuffer from{input, static_cast<std::size_t>(got), 0};
    // A full output may hold back more of what was taken in: called again.
    for (bool full = false; same && !ended && (from.pos < from.size || full);) {
      ZSTD_outBuffer to{output, kChunk, 0};
      const std::size_t hint = ZSTD_decompressStream(context, &to, &from);
      if (ZSTD_isError(hint)) {
        same = false;
        break;
      }
      ended = hint == 0;
      full = to.pos == to.size;
      same = to.pos == 0 ||
             (plain.readAt(compared, expected, to.pos) == static_cast<std::int64_t>(to.pos) &&
              std::memcmp(expected, output, to.pos) == 0);
      compared += to.pos;
    }
    unused = from.size - from.pos;
  }
  ZSTD_freeDCtx(context);
  // Nothing may follow the frame.
  return same && ended && unused == 0 && compressed.readAt(readIn, input, 1) == 0;
}

}  // namespace velmor::common::internal
