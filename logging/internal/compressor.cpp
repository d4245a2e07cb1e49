// The choice of codec, and the checks of a policy's codec and level.
#include "logging/internal/compressor.h"

#include <stdexcept>
#include <string>

#include "logging/internal/build_config.h"

namespace velmor::common::internal {
namespace {

// The highest level each codec takes (zstd's "ultra" levels included).
int maxLevel(CompressionCodec codec) noexcept { return codec == CompressionCodec::Gzip ? 9 : 22; }

}  // namespace

const char* compressedSuffix(CompressionCodec codec) noexcept {
  return codec == CompressionCodec::Zstd ? ".zst" : ".gz";
}

void checkCodec(CompressionCodec codec, int level, bool used) {
  if (codec != CompressionCodec::Gzip && codec != CompressionCodec::Zstd) {
    throw std::invalid_argument("RotationPolicy::codec must be Gzip or Zstd, not " +
                                std::to_string(static_cast<int>(codec)));
  }
#if VELMOR_HAVE_ZSTD
  static_cast<void>(used);  // Every codec is there.
#else
  if (used && codec == CompressionCodec::Zstd) {
    throw std::invalid_argument(
        "RotationPolicy::codec Zstd is not available: this build has no zstd");
  }
#endif
  if (level < 0 || level > maxLevel(codec)) {
    throw std::invalid_argument(std::string("RotationPolicy::compressionLevel must be from 1 to ") +
                                std::to_string(maxLevel(codec)) + " for " +
                                (codec == CompressionCodec::Gzip ? "Gzip" : "Zstd") +
                                " (0: its default), not " + std::to_string(level));
  }
}

std::int64_t compressFile(const platform::SourceFile& in, platform::NewFile& out,
                          CompressionCodec codec, int level) noexcept {
#if VELMOR_HAVE_ZSTD
  if (codec == CompressionCodec::Zstd) return zstdFile(in, out, level);
#endif
  return codec == CompressionCodec::Gzip ? gzipFile(in, out, level) : -1;
}

bool compressedPrefixOf(const platform::SourceFile& compressed, const platform::SourceFile& plain,
                        CompressionCodec codec) noexcept {
#if VELMOR_HAVE_ZSTD
  if (codec == CompressionCodec::Zstd) return zstdPrefixOf(compressed, plain);
#endif
  // Without zstd a ".zst" is never taken for a copy of its plain file: both stay.
  return codec == CompressionCodec::Gzip && gzipPrefixOf(compressed, plain);
}

}  // namespace velmor::common::internal
