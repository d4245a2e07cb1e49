// Compression of a backup, behind one small interface: each codec lives in
// a source of its own, and this is all the rest of the library sees of them.
#ifndef VELMOR_LOGGING_INTERNAL_COMPRESSOR_H_
#define VELMOR_LOGGING_INTERNAL_COMPRESSOR_H_

#include <cstdint>

#include "logging/internal/platform.h"
#include "logging/rotation_policy.h"

namespace velmor::common::internal {

// Every codec, in the order of CompressionCodec, for the loops over all the
// names a number may hold.
inline constexpr CompressionCodec kCodecs[] = {CompressionCodec::Gzip, CompressionCodec::Zstd};
inline constexpr int kCodecCount = 2;

// What a backup compressed with `codec` has after its number: ".gz", ".zst".
const char* compressedSuffix(CompressionCodec codec) noexcept;

// Throws std::invalid_argument, naming the field, for a codec that is not
// one, one this build lacks while it is `used`, or a compressionLevel
// outside the codec's range.
void checkCodec(CompressionCodec codec, int level, bool used);

// Compresses what `in` holds from its start into `out` as one complete
// stream of `codec` at `level` (0: the codec's default), reading on while
// the file grows, until a read finds its end. Returns the bytes taken from
// `in`, or -1 if a read, the compression or a write failed (`out` then
// holds no complete stream). Allocates the codec's state for the call
// (zlib about 256 KiB, zstd at level 3 about 1.3 MiB).
std::int64_t compressFile(const platform::SourceFile& in, platform::NewFile& out,
                          CompressionCodec codec, int level) noexcept;

// Whether `compressed` holds one complete stream of `codec` whose content
// is the start of what `plain` holds (all of it, or a prefix): what a
// writer that died between a compression's rename and the removal of the
// plain file leaves. False for anything else, a read error included.
bool compressedPrefixOf(const platform::SourceFile& compressed, const platform::SourceFile& plain,
                        CompressionCodec codec) noexcept;

// The codecs themselves, for the dispatch above.
std::int64_t gzipFile(const platform::SourceFile& in, platform::NewFile& out, int level) noexcept;
bool gzipPrefixOf(const platform::SourceFile& compressed,
                  const platform::SourceFile& plain) noexcept;
std::int64_t zstdFile(const platform::SourceFile& in, platform::NewFile& out, int level) noexcept;
bool zstdPrefixOf(const platform::SourceFile& compressed,
                  const platform::SourceFile& plain) noexcept;

}  // namespace velmor::common::internal

#endif  // VELMOR_LOGGING_INTERNAL_COMPRESSOR_H_
