// The byte layout of one log line, assembled without streams or locales.
#include "logging/internal/line_format.h"

#include <string_view>

namespace velmor::common::internal {
namespace {

// Writes `value` in decimal at `out`, zero-padded on the left to at least
// `width` digits; returns the end of what it wrote.
char* putPadded(char* out, unsigned value, int width) noexcept {
  // Fast path for the fields of every line: a time field or milliseconds.
  if (width == 2 && value < 100) {
    *out++ = static_cast<char>('0' + value / 10);
    *out++ = static_cast<char>('0' + value % 10);
    return out;
  }
  if (width == 3 && value < 1000) {
    *out++ = static_cast<char>('0' + value / 100);
    *out++ = static_cast<char>('0' + value / 10 % 10);
    *out++ = static_cast<char>('0' + value % 10);
    return out;
  }
  char digits[10];
  int count = 0;
  do {
    digits[count++] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value != 0);
  for (int i = count; i < width; ++i) *out++ = '0';
  while (count > 0) *out++ = digits[--count];
  return out;
}

unsigned nonNegative(int value) noexcept { return value < 0 ? 0u : static_cast<unsigned>(value); }

// Writes "YYYY-MM-DDT" of `date`.
char* putDate(char* out, const std::tm& date) noexcept {
  const int year = date.tm_year + 1900;
  if (year < 0) *out++ = '-';
  out = putPadded(out, static_cast<unsigned>(year < 0 ? -year : year), 4);
  *out++ = '-';
  out = putPadded(out, nonNegative(date.tm_mon + 1), 2);
  *out++ = '-';
  out = putPadded(out, nonNegative(date.tm_mday), 2);
  *out++ = 'T';
  return out;
}

// Writes "+HH:MM" or "-HH:MM" of an offset in seconds east of UTC.
char* putOffset(char* out, long offset) noexcept {
  *out++ = offset < 0 ? '-' : '+';
  const unsigned long minutes = static_cast<unsigned long>(offset < 0 ? -offset : offset) / 60;
  out = putPadded(out, static_cast<unsigned>(minutes / 60 % 100), 2);
  *out++ = ':';
  return putPadded(out, static_cast<unsigned>(minutes % 60), 2);
}

// Writes the stamp, as `format` shows it.
char* putStamp(char* out, const LineTime& time, unsigned ms, TimeFormat format) noexcept {
  const std::tm& shown = format == TimeFormat::UtcIso8601 ? time.utc : time.local;
  if (format != TimeFormat::TimeOfDay) out = putDate(out, shown);
  out = putPadded(out, nonNegative(shown.tm_hour), 2);
  *out++ = ':';
  out = putPadded(out, nonNegative(shown.tm_min), 2);
  *out++ = ':';
  out = putPadded(out, nonNegative(shown.tm_sec), 2);
  *out++ = '.';
  out = putPadded(out, ms, 3);
  if (format == TimeFormat::LocalIso8601) out = putOffset(out, time.offset);
  if (format == TimeFormat::UtcIso8601) *out++ = 'Z';
  return out;
}

char* put(char* out, std::string_view text) noexcept {
  for (const char c : text) *out++ = c;
  return out;
}

}  // namespace

std::size_t formatLinePrefix(char* out, const LineTime& time, unsigned ms, LogLevel level,
                             TimeFormat format) noexcept {
  char* end = out;
  *end++ = '[';
  end = putStamp(end, time, ms, format);
  end = put(end, "] [");
  end = put(end, logLevelName(level));
  end = put(end, "] ");
  return static_cast<std::size_t>(end - out);
}

std::size_t formatJsonPrefix(char* out, const LineTime& time, unsigned ms, LogLevel level,
                             TimeFormat format) noexcept {
  char* end = put(out, "{\"time\":\"");
  end = putStamp(end, time, ms, format);
  end = put(end, "\",\"level\":\"");
  end = put(end, logLevelName(level));
  end = put(end, "\",\"message\":\"");
  return static_cast<std::size_t>(end - out);
}

}  // namespace velmor::common::internal
