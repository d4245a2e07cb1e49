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

}  // namespace

std::size_t formatLinePrefix(char* out, const std::tm& local, unsigned ms,
                             LogLevel level) noexcept {
  char* end = out;
  *end++ = '[';
  end = putPadded(end, nonNegative(local.tm_hour), 2);
  *end++ = ':';
  end = putPadded(end, nonNegative(local.tm_min), 2);
  *end++ = ':';
  end = putPadded(end, nonNegative(local.tm_sec), 2);
  *end++ = '.';
  end = putPadded(end, ms, 3);
  for (const char c : std::string_view("] [")) *end++ = c;
  for (const char* name = logLevelName(level); *name != '\0'; ++name) *end++ = *name;
  *end++ = ']';
  *end++ = ' ';
  return static_cast<std::size_t>(end - out);
}

}  // namespace velmor::common::internal
