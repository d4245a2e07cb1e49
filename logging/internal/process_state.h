// What every file sink in the process shares: the process-wide mutex and the
// state it guards.
#ifndef VELMOR_LOGGING_INTERNAL_PROCESS_STATE_H_
#define VELMOR_LOGGING_INTERNAL_PROCESS_STATE_H_

#include <condition_variable>
#include <cstddef>
#include <mutex>

#include "logging/internal/line_gather.h"
#include "logging/internal/platform.h"
#include "logging/internal/stamp_cache.h"
#include "logging/internal/torn_lines.h"

namespace velmor::common::internal {

// The files, by a sink's active name, whose crossing of the threshold a
// thread of the process is deciding, in a fixed table so that marking one
// never allocates. Not thread-safe: guarded by the caller's mutex.
class DecidingTable {
 public:
  // Whether `name` is marked.
  bool has(const platform::NativeString& name) const noexcept;
  // Marks `name`, which must outlive the mark; false if the table is full
  // (the bound per process then may not hold for threads).
  bool mark(const platform::NativeString& name) noexcept;
  void unmark(const platform::NativeString& name) noexcept;

 private:
  static constexpr std::size_t kSize = 16;
  const platform::NativeString* marked_[kSize] = {};
  std::size_t used_ = 0;
};

// Lock order: `mutex` first, then a file's own locks (FileLocks), never the
// other way round. Everything else here is guarded by `mutex`.
struct ProcessState {
  // Serialises every sink in the process, including the rotation a write may
  // trigger: lines never interleave and a rotation never overlaps a write.
  // Two sinks on one file must exclude each other too, hence not a member of
  // a sink.
  std::mutex mutex;
  StampCache stamps;
  FragmentTable fragments;
  // The files whose crossing a thread is deciding while it waits for the
  // file's lock with `mutex` let go. Other threads hold back their lines to
  // those files until `decided` is signalled, so that a process adds at
  // most one line to a file being rotated, whatever its number of threads.
  DecidingTable deciding;
  std::condition_variable decided;
  GatherStorage gather;
};

// The one ProcessState, made by the first call (which may throw
// std::bad_alloc; a sink's constructor makes that call, so writing never
// does) and never destroyed: sinks may still be written to from other
// objects' static destructors.
ProcessState& processState();

}  // namespace velmor::common::internal

#endif  // VELMOR_LOGGING_INTERNAL_PROCESS_STATE_H_
