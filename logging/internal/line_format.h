// The byte layout of one log line.
#ifndef VELMOR_LOGGING_INTERNAL_LINE_FORMAT_H_
#define VELMOR_LOGGING_INTERNAL_LINE_FORMAT_H_

#include <cstddef>
#include <ctime>
#include <string_view>

#include "logging/internal/stamp_cache.h"
#include "logging/log_sink.h"
#include "logging/rotation_policy.h"

namespace velmor::common::internal {

// Room for the longest prefix: every field at its widest, "UNKNOWN" included.
constexpr std::size_t kMaxLinePrefix = 96;

// Writes the part of a line that comes before the message,
//
//   "[" HH ":" MM ":" SS "." mmm "] [" LEVEL "] "                     TimeOfDay
//   "[" YYYY "-" MM "-" DD "T" HH ":" MM ":" SS "." mmm ("+"|"-") HH ":" MM "] [" ... LocalIso8601
//   "[" YYYY "-" MM "-" DD "T" HH ":" MM ":" SS "." mmm "Z] [" ...   UtcIso8601
//
// into `out`, which has room for kMaxLinePrefix bytes, and returns its
// length. The date and time come from `time` (local, or UTC, with the
// local offset), the milliseconds `ms` (0..999) from the caller; fields are
// zero-padded to their widths (the year to four digits). A whole line is
// this prefix, the message (its bytes unchanged, or escaped with
// escapeControls()), and "\n".
std::size_t formatLinePrefix(char* out, const LineTime& time, unsigned ms, LogLevel level,
                             TimeFormat format = TimeFormat::TimeOfDay) noexcept;

// The same for a JSON line, up to the message's opening quote:
//
//   {"time":"<stamp, as above without brackets>","level":"LEVEL","message":"
//
// A whole JSON line is this prefix, the message as escapeJson() writes it,
// and kJsonLineEnd.
std::size_t formatJsonPrefix(char* out, const LineTime& time, unsigned ms, LogLevel level,
                             TimeFormat format = TimeFormat::TimeOfDay) noexcept;
constexpr std::string_view kJsonLineEnd = "\"}\n";

}  // namespace velmor::common::internal

#endif  // VELMOR_LOGGING_INTERNAL_LINE_FORMAT_H_
