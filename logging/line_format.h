// The byte layout of one log line. Internal header: not installed.
#ifndef VELMOR_LOGGING_LINE_FORMAT_H_
#define VELMOR_LOGGING_LINE_FORMAT_H_

#include <ctime>
#include <string>
#include <string_view>

#include "logging/log_sink.h"

namespace velmor::common::detail {

// Replaces the contents of `line` with
//
//   "[" HH ":" MM ":" SS "." mmm "] [" LEVEL "] " message "\n"
//
// taking the time of day from `local` and the milliseconds `ms` (0..999);
// hours, minutes and seconds are zero-padded to two digits, milliseconds to
// three. The message bytes are copied unchanged. Reuses the capacity of `line`.
void formatLogLine(std::string& line, const std::tm& local, unsigned ms, LogLevel level,
                   std::string_view message);

}  // namespace velmor::common::detail

#endif  // VELMOR_LOGGING_LINE_FORMAT_H_
