// Stamps of lines, with the local time cached per second.
#include "logging/internal/stamp_cache.h"

#include <cstdint>

#include "logging/internal/platform.h"

namespace velmor::common::internal {
namespace {

// Days from 1970-01-01 to the civil date y-m-d (proleptic Gregorian), as
// the calendar counts them, whatever the platform's time_t.
std::int64_t daysFromCivil(std::int64_t y, unsigned m, unsigned d) noexcept {
  y -= m <= 2 ? 1 : 0;
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const auto yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

// The seconds since the epoch that `local` would be if it were UTC: less the
// true time, the zone's offset at that instant.
std::int64_t asIfUtc(const std::tm& local) noexcept {
  const std::int64_t days =
      daysFromCivil(std::int64_t{local.tm_year} + 1900, static_cast<unsigned>(local.tm_mon + 1),
                    static_cast<unsigned>(local.tm_mday));
  return days * 86400 + local.tm_hour * 3600 + local.tm_min * 60 + local.tm_sec;
}

}  // namespace

Stamp StampCache::stamp(std::chrono::system_clock::time_point when) noexcept {
  const std::int64_t ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(when.time_since_epoch()).count();
  // Floor division, so that times before 1970 keep a millisecond in 0..999.
  const std::int64_t seconds = ms >= 0 ? ms / 1000 : -((-ms + 999) / 1000);
  const auto second = static_cast<std::time_t>(seconds);
  if (second != second_) {
    // A failed conversion shows 1970-01-01 00:00:00, never garbage.
    LineTime converted;
    converted.local.tm_mday = converted.utc.tm_mday = 1;
    converted.local.tm_year = converted.utc.tm_year = 70;
    const bool local = platform::toLocalTime(second, converted.local);
    const bool utc = platform::toUtcTime(second, converted.utc);
    converted.offset = local && utc ? static_cast<long>(asIfUtc(converted.local) - seconds) : 0;
    time_ = converted;
    second_ = second;
  }
  return {second, static_cast<unsigned>(ms - seconds * 1000)};
}

}  // namespace velmor::common::internal
