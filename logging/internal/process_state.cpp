// The process-wide state of the file sinks, and the table of crossings being
// decided.
#include "logging/internal/process_state.h"

namespace velmor::common::internal {

ProcessState& processState() {
  // Default-initialised, not value-initialised: the gather storage (some
  // 300 KB) is written before it is read, and zeroing it would make every
  // process that logs a line hold all of it.
  static ProcessState* const state = new ProcessState;
  return *state;
}

bool DecidingTable::has(const platform::NativeString& name) const noexcept {
  if (used_ == 0) return false;
  for (const platform::NativeString* marked : marked_) {
    if (marked != nullptr && *marked == name) return true;
  }
  return false;
}

bool DecidingTable::mark(const platform::NativeString& name) noexcept {
  for (const platform::NativeString*& slot : marked_) {
    if (slot == nullptr) {
      slot = &name;
      ++used_;
      return true;
    }
  }
  return false;
}

void DecidingTable::unmark(const platform::NativeString& name) noexcept {
  for (const platform::NativeString*& slot : marked_) {
    if (slot == &name) {
      slot = nullptr;
      --used_;
      return;
    }
  }
}

}  // namespace velmor::common::internal
