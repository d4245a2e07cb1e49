// The period rule at the clock's awkward moments: a step back, and the hour
// that repeats when the clocks go back for the winter.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <string>

#include "logging/internal/rotation_trigger.h"
#include "test_support.h"

namespace velmor::common::internal {
namespace {

#ifndef _WIN32
using velmor::testing::Zone;
#endif

// A regular, non-empty file last modified at `modified`.
platform::FileState fileOf(std::time_t modified) {
  platform::FileState file;
  file.regular = true;
  file.size = 1;
  file.modified = modified;
  return file;
}

RotationPolicy hourly() {
  RotationPolicy policy;
  policy.period = RotationPeriod::Hourly;
  return policy;
}

// 2026-12-09 12:30:00 UTC.
constexpr std::time_t kNoon = 1796819400;

// After the clock steps back, the periods it repeats are looked at again:
// the first write of each new hour still rotates a file of the hour before.
TEST(RotationTriggerTest, AClockSteppedBackStillSeesEveryNewHour) {
  RotationTrigger trigger(hourly());
  ASSERT_TRUE(trigger.lookAt(kNoon));
  trigger.settle();
  EXPECT_FALSE(trigger.lookAt(kNoon + 60));   // Within the hour: not looked at again.
  const std::time_t back = kNoon - 2 * 3600;  // 10:30 by the clock now.
  ASSERT_TRUE(trigger.lookAt(back));
  EXPECT_FALSE(trigger.dueBeforeAppend(fileOf(back - 60)));  // Written at 10:29.
  trigger.settle();
  const std::time_t eleven = back + 30 * 60 + 5;
  ASSERT_TRUE(trigger.lookAt(eleven));
  EXPECT_TRUE(trigger.dueBeforeAppend(fileOf(back + 600)));  // 10:40, an hour before.
  trigger.settle();
  ASSERT_TRUE(trigger.lookAt(eleven + 3600));  // Noon again.
  EXPECT_TRUE(trigger.dueBeforeAppend(fileOf(eleven + 60)));
}

#ifndef _WIN32
// The hour the clocks repeat (02:00-03:00 twice in Berlin on 2026-10-25,
// 01:00-02:00 twice in New York on 2026-11-01) is two periods: a file of the
// first is rotated at the start of the second.
TEST(RotationTriggerTest, TheRepeatedHourOfAFallBackIsAPeriodOfItsOwn) {
  struct FallBack {
    const char* zone;
    std::time_t change;  // The instant the clocks go back, UTC.
  };
  for (const FallBack& fallBack : {FallBack{"Europe/Berlin", 1792890000},        // 01:00 UTC
                                   FallBack{"America/New_York", 1793512800}}) {  // 06:00 UTC
    SCOPED_TRACE(fallBack.zone);
    if (std::string zoneFile = std::string("/usr/share/zoneinfo/") + fallBack.zone;
        std::FILE* probe = std::fopen(zoneFile.c_str(), "rb")) {
      std::fclose(probe);
    } else {
      GTEST_SKIP() << "SKIPPED: no time zone data (apt-get install tzdata)";
    }
    const Zone zone(fallBack.zone);
    RotationTrigger trigger(hourly());
    ASSERT_TRUE(trigger.lookAt(fallBack.change - 30 * 60));  // The first time round.
    EXPECT_FALSE(trigger.dueBeforeAppend(fileOf(fallBack.change - 40 * 60)));
    trigger.settle();
    ASSERT_TRUE(trigger.lookAt(fallBack.change + 10 * 60));  // The same hour, again.
    EXPECT_TRUE(trigger.dueBeforeAppend(fileOf(fallBack.change - 20 * 60)));
  }
}
#endif

}  // namespace
}  // namespace velmor::common::internal
