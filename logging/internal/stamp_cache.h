// The time a line shows, with its local time converted once per second.
#ifndef VELMOR_LOGGING_INTERNAL_STAMP_CACHE_H_
#define VELMOR_LOGGING_INTERNAL_STAMP_CACHE_H_

#include <chrono>
#include <ctime>

namespace velmor::common::internal {

// A line's time: its second since the epoch and its millisecond (0..999).
struct Stamp {
  std::time_t second = 0;
  unsigned ms = 0;
  friend bool operator==(const Stamp& a, const Stamp& b) noexcept {
    return a.second == b.second && a.ms == b.ms;
  }
  friend bool operator!=(const Stamp& a, const Stamp& b) noexcept { return !(a == b); }
};

// One second as lines show it: local and UTC broken-down time, and the
// local zone's offset from UTC then, in seconds east.
struct LineTime {
  std::tm local{};
  std::tm utc{};
  long offset = 0;
};

// Converts time points to stamps, keeping the broken-down times of the last
// second seen: the conversions cost as much as the rest of a line's
// formatting, and lines come many to a second. Not thread-safe: used under
// the process-wide mutex.
class StampCache {
 public:
  // The stamp of `when`; afterwards time() is the time of its second.
  Stamp stamp(std::chrono::system_clock::time_point when) noexcept;
  // The second of the last stamp() (1970-01-01 00:00:00 where a conversion
  // failed).
  const LineTime& time() const noexcept { return time_; }

 private:
  std::time_t second_ = -1;
  LineTime time_;
};

}  // namespace velmor::common::internal

#endif  // VELMOR_LOGGING_INTERNAL_STAMP_CACHE_H_
