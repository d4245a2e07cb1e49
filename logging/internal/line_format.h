// The byte layout of one log line.
#ifndef VELMOR_LOGGING_INTERNAL_LINE_FORMAT_H_
#define VELMOR_LOGGING_INTERNAL_LINE_FORMAT_H_

#include <cstddef>
#include <ctime>

#include "logging/log_sink.h"

namespace velmor::common::internal {

// Room for the longest prefix: every field at its widest, "UNKNOWN" included.
constexpr std::size_t kMaxLinePrefix = 64;

// Writes the part of a line that comes before the message,
//
//   "[" HH ":" MM ":" SS "." mmm "] [" LEVEL "] "
//
// into `out`, which has room for kMaxLinePrefix bytes, and returns its
// length. The time of day comes from `local`, the
// milliseconds `ms` (0..999) from the caller; hours, minutes and seconds are
// zero-padded to two digits, milliseconds to three. A whole line is this
// prefix, the message bytes unchanged, and "\n".
std::size_t formatLinePrefix(char* out, const std::tm& local, unsigned ms, LogLevel level) noexcept;

}  // namespace velmor::common::internal

#endif  // VELMOR_LOGGING_INTERNAL_LINE_FORMAT_H_
