// When a file is rotated before a line goes in: at a run's start, or at the
// first write of a new local hour or day.
#ifndef VELMOR_LOGGING_INTERNAL_ROTATION_TRIGGER_H_
#define VELMOR_LOGGING_INTERNAL_ROTATION_TRIGGER_H_

#include <ctime>

#include "logging/internal/platform.h"
#include "logging/rotation_policy.h"

namespace velmor::common::internal {

// The early rotations of one sink (rotateOnStart and period). The file is
// looked at once per run and once per period, not once per line: the check
// per line is one time() when a period is set, and nothing otherwise. Not
// thread-safe: used under the process-wide mutex.
class RotationTrigger {
 public:
  explicit RotationTrigger(const RotationPolicy& policy) noexcept
      : period_(policy.period), startPending_(policy.rotateOnStart) {}

  // Whether the file is to be looked at before this write: a run's first
  // write, or the first of a new period (whose bounds it then computes).
  bool lookBeforeAppend() noexcept;
  // The same at the time `now` (seconds since the epoch), as the clock says.
  bool lookAt(std::time_t now) noexcept;
  // With rotateOnStart, notes the file at `name` as the sink is made: the
  // one file a run may rotate at its start.
  void beginRun(const platform::NativeChar* name) noexcept;
  // Whether `found` is to be rotated before anything is appended to it: a
  // non-empty regular file that a run starts with (the one at the name
  // when the sink was made, last written no later than the second it was
  // made: sinks made together rotate it once, and one of a file that
  // another writer has written since leaves it), or one last modified
  // before the current period began.
  bool dueBeforeAppend(const platform::FileState& found) const noexcept;
  // The look is done: nothing more to do until the next period.
  void settle() noexcept;

 private:
  const RotationPeriod period_;
  bool startPending_;  // The first write is still to rotate a non-empty file.
  bool startFileFound_ = false;
  platform::FileId startFile_;  // At the name when the sink was made.
  std::time_t startedAt_ = 0;   // When the sink was made, in seconds since the epoch.
  // The period a file's time is compared with, and until when the file need
  // not be looked at again, in seconds since the epoch.
  std::time_t periodStart_ = 0;
  std::time_t periodEnd_ = 0;
  std::time_t checkedUntil_ = 0;
};

}  // namespace velmor::common::internal

#endif  // VELMOR_LOGGING_INTERNAL_ROTATION_TRIGGER_H_
