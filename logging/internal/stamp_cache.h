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

// Converts time points to stamps, keeping the local broken-down time of the
// last second seen: the conversion costs as much as the rest of a line's
// formatting, and lines come many to a second. Not thread-safe: used under
// the process-wide mutex.
class StampCache {
 public:
  // The stamp of `when`; afterwards local() is the local time of its second.
  Stamp stamp(std::chrono::system_clock::time_point when) noexcept;
  // The local time of the second of the last stamp() (00:00:00 if the
  // conversion failed).
  const std::tm& local() const noexcept { return local_; }

 private:
  std::time_t second_ = -1;
  std::tm local_{};
};

}  // namespace velmor::common::internal

#endif  // VELMOR_LOGGING_INTERNAL_STAMP_CACHE_H_
