// RotationTrigger: the period and start rules.
#include "logging/internal/rotation_trigger.h"

namespace velmor::common::internal {

bool RotationTrigger::lookBeforeAppend() noexcept {
  if (period_ == RotationPeriod::None) return startPending_;
  const std::time_t now = std::time(nullptr);
  if (now < checkedUntil_) return startPending_;
  // The bounds of the local hour or day of `now`, by the calendar, so that
  // days of 23 or 25 hours end where the clock says.
  std::tm local{};
  if (!platform::toLocalTime(now, local)) return startPending_;
  local.tm_sec = 0;
  local.tm_min = 0;
  if (period_ == RotationPeriod::Daily) local.tm_hour = 0;
  local.tm_isdst = -1;
  periodStart_ = std::mktime(&local);
  if (period_ == RotationPeriod::Daily) {
    ++local.tm_mday;
  } else {
    ++local.tm_hour;
  }
  local.tm_isdst = -1;
  periodEnd_ = std::mktime(&local);
  if (periodStart_ == -1 || periodEnd_ <= now) periodEnd_ = now + 1;  // Look again soon.
  return true;
}

bool RotationTrigger::dueBeforeAppend(const platform::FileState& found) const noexcept {
  return found.regular && found.size > 0 &&
         (startPending_ || (period_ != RotationPeriod::None && found.modified < periodStart_));
}

void RotationTrigger::settle() noexcept {
  startPending_ = false;
  checkedUntil_ = periodEnd_;
}

}  // namespace velmor::common::internal
