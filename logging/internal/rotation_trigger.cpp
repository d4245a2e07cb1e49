// RotationTrigger: the period and start rules.
#include "logging/internal/rotation_trigger.h"

#include <chrono>

namespace velmor::common::internal {

bool RotationTrigger::lookBeforeAppend() noexcept {
  if (period_ == RotationPeriod::None) return startPending_;
  // The fine clock (see beginRun): at a period's start time() may still
  // show the old period while lines and file times already show the new.
  return lookAt(std::chrono::system_clock::to_time_t(std::chrono::system_clock::now()));
}

bool RotationTrigger::lookAt(std::time_t now) noexcept {
  if (period_ == RotationPeriod::None) return startPending_;
  // Looked at again once the period ends, and at once when the clock went
  // back before its start (otherwise the periods the step repeats would
  // pass unseen).
  if (now < checkedUntil_ && now >= periodStart_) return startPending_;
  std::tm local{};
  if (!platform::toLocalTime(now, local)) return startPending_;
  if (period_ == RotationPeriod::Hourly) {
    // Real hours: a local hour begins where its minutes and seconds are
    // zero, so the hour that repeats when the clocks go back is a period of
    // its own, and zones half an hour off UTC begin theirs at :30.
    periodStart_ = now - (local.tm_min * 60 + local.tm_sec);
    periodEnd_ = periodStart_ + 3600;
    return true;
  }
  // The bounds of the local day, by the calendar, so that days of 23 or 25
  // hours end where the clock says.
  local.tm_sec = 0;
  local.tm_min = 0;
  local.tm_hour = 0;
  local.tm_isdst = -1;
  periodStart_ = std::mktime(&local);
  ++local.tm_mday;
  local.tm_isdst = -1;
  periodEnd_ = std::mktime(&local);
  if (periodStart_ == -1 || periodEnd_ <= now) periodEnd_ = now + 1;  // Look again soon.
  return true;
}

void RotationTrigger::beginRun(const platform::NativeChar* name) noexcept {
  if (!startPending_) return;
  // The fine clock, not time(): that one may read the coarse clock, a tick
  // behind the file times that a write just before this made.
  startedAt_ = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
  startFileFound_ = platform::entryId(name, startFile_);
}

bool RotationTrigger::dueBeforeAppend(const platform::FileState& found) const noexcept {
  if (!found.regular || found.size == 0) return false;
  // A file made since the sink was (another sink of this run rotated the
  // old one) belongs to this run already.
  const bool runStarts =
      startPending_ && startFileFound_ && found.id == startFile_ && found.modified <= startedAt_;
  return runStarts || (period_ != RotationPeriod::None && found.modified < periodStart_);
}

void RotationTrigger::settle() noexcept {
  startPending_ = false;
  checkedUntil_ = periodEnd_;
}

}  // namespace velmor::common::internal
