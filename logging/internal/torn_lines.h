// Lines left open in a file, by a cut write or a writer that died in
// mid-line: the next line must not continue them.
#ifndef VELMOR_LOGGING_INTERNAL_TORN_LINES_H_
#define VELMOR_LOGGING_INTERNAL_TORN_LINES_H_

#include <cstddef>
#include <cstdint>

#include "logging/internal/platform.h"

namespace velmor::common::internal {

// The end of a line that reached a file only in part (disk full, file size
// limit, a reader that left): the next line written to that file must not
// continue it.
struct Fragment {
  platform::FileId file;
  std::uint64_t end = 0;  // A regular file's size just after the partial write.
};

// The cut lines the process knows of, one per file, in a fixed table so that
// remembering one never allocates. When more files than that are cut at
// once, the oldest record gives way (that file's next line may then follow
// its fragment directly). Not thread-safe: guarded by the caller's mutex.
class FragmentTable {
 public:
  bool empty() const noexcept { return used_ == 0; }
  // The record of `file`, or null.
  const Fragment* find(const platform::FileId& file) const noexcept;
  void remember(const Fragment& fragment) noexcept;
  void forget(const platform::FileId& file) noexcept;

 private:
  static constexpr std::size_t kSize = 8;
  void forgetAt(std::size_t i) noexcept;
  Fragment records_[kSize];  // Oldest first.
  std::size_t used_ = 0;
};

// Whether the regular file open in `file` as `name`, found in `state`, ends
// inside a line that nobody is writing any more (a writer killed in
// mid-line): then the next line must begin with a LF. A file ending in LF,
// an empty or an unreadable one says no, and so does an end that moves once
// the writes in progress are done (another process's long write seen
// half-way). `state` is updated to what was seen last. Costs a read of one
// byte through `reader`, and more only where the end is open.
bool endsInsideDeadLine(const platform::AppendFile& file, const platform::NativeChar* name,
                        platform::TailReader& reader, platform::FileState& state);

}  // namespace velmor::common::internal

#endif  // VELMOR_LOGGING_INTERNAL_TORN_LINES_H_
