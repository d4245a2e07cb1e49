// Stamps of lines, with the local time cached per second.
#include "logging/internal/stamp_cache.h"

#include <cstdint>

#include "logging/internal/platform.h"

namespace velmor::common::internal {

Stamp StampCache::stamp(std::chrono::system_clock::time_point when) noexcept {
  const std::int64_t ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(when.time_since_epoch()).count();
  // Floor division, so that times before 1970 keep a millisecond in 0..999.
  const std::int64_t seconds = ms >= 0 ? ms / 1000 : -((-ms + 999) / 1000);
  const auto second = static_cast<std::time_t>(seconds);
  if (second != second_) {
    std::tm converted{};  // A failed conversion shows 00:00:00, never garbage.
    platform::toLocalTime(second, converted);
    local_ = converted;
    second_ = second;
  }
  return {second, static_cast<unsigned>(ms - seconds * 1000)};
}

}  // namespace velmor::common::internal
