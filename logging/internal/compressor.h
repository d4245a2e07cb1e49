// Compression of a backup, behind one small interface so that another
// format would be added here alone.
#ifndef VELMOR_LOGGING_INTERNAL_COMPRESSOR_H_
#define VELMOR_LOGGING_INTERNAL_COMPRESSOR_H_

#include <cstdint>

#include "logging/internal/platform.h"

namespace velmor::common::internal {

// What a compressed backup's name ends with.
inline constexpr char kCompressedSuffix[] = ".gz";

// Compresses what `in` holds from its start into `out` as one complete gzip
// stream, reading on while the file grows, until a read finds its end.
// Returns the bytes taken from `in`, or -1 if a read, the compression or a
// write failed (`out` then holds no complete stream). Allocates zlib's state
// (about 256 KiB) for the call.
std::int64_t compressFile(const platform::SourceFile& in, platform::NewFile& out) noexcept;

// Whether `compressed` holds one complete gzip stream whose content is the
// start of what `plain` holds (all of it, or a prefix): what a writer that
// died between a compression's rename and the removal of the plain file
// leaves. False for anything else, a read error included. Allocates zlib's
// state for the call.
bool compressedPrefixOf(const platform::SourceFile& compressed,
                        const platform::SourceFile& plain) noexcept;

}  // namespace velmor::common::internal

#endif  // VELMOR_LOGGING_INTERNAL_COMPRESSOR_H_
