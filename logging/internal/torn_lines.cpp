// The table of cut lines, and the check for a line that a dead writer left open.
#include "logging/internal/torn_lines.h"

namespace velmor::common::internal {

const Fragment* FragmentTable::find(const platform::FileId& file) const noexcept {
  for (std::size_t i = 0; i < used_; ++i) {
    if (records_[i].file == file) return &records_[i];
  }
  return nullptr;
}

void FragmentTable::remember(const Fragment& fragment) noexcept {
  forget(fragment.file);
  if (used_ == kSize) forgetAt(0);
  records_[used_++] = fragment;
}

void FragmentTable::forget(const platform::FileId& file) noexcept {
  for (std::size_t i = 0; i < used_; ++i) {
    if (records_[i].file == file) return forgetAt(i);
  }
}

void FragmentTable::forgetAt(std::size_t i) noexcept {
  for (; i + 1 < used_; ++i) records_[i] = records_[i + 1];
  --used_;
}

bool endsInsideDeadLine(const platform::AppendFile& file, const platform::NativeChar* name,
                        platform::TailReader& reader, platform::FileState& state) {
  // A size seen in the middle of another process's write (the kernel grows
  // a file a page at a time) also ends inside a line: only an end that
  // stays where it is once every write in progress is done is a dead one.
  constexpr int kLooks = 8;
  for (int look = 0; look < kLooks; ++look) {
    if (state.size == 0) return false;
    const int last = reader.byteAt(name, state.id, state.size - 1);
    if (last < 0 || last == '\n') return false;
    const std::uint64_t seen = state.size;
    file.waitForWritesInProgress();
    if (!file.state(state)) return false;
    if (state.size == seen) return true;
  }
  return false;  // Still growing: its writers are alive.
}

}  // namespace velmor::common::internal
