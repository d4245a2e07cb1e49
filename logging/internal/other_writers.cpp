// OtherWriters: how a sink notices other writers of its file.
#include "logging/internal/other_writers.h"

#include <algorithm>

namespace velmor::common::internal {

std::uint64_t OtherWriters::lineByLineFrom(std::uint64_t maxFileBytes) const noexcept {
  if (!mayHaveCompany()) return UINT64_MAX;
  return maxFileBytes - std::min(maxFileBytes, stretch_);
}

void OtherWriters::noteFound(const platform::FileState& found) noexcept {
  if (found.regular && found.size > 0 && !knows(found.id)) seenOthers_ = everSeenOthers_ = true;
}

void OtherWriters::noteAppend(const platform::FileState* before, const platform::FileState& after,
                              std::size_t written) noexcept {
  const bool known = knows(after.id);
  const std::uint64_t from = before != nullptr ? before->size : known ? last_.size : after.size;
  if (after.regular && (before != nullptr || known) && after.size > from + written) {
    seenOthers_ = everSeenOthers_ = true;
    // Bytes that others appended while this one was made: the stretch
    // before the threshold that goes line by line covers twice the most seen.
    if (before != nullptr) {
      stretch_ = std::max(stretch_, kMinStretch + 2 * (after.size - from - written));
    }
  }
  last_ = {after.id, after.size, after.regular};
}

void OtherWriters::noteRotation() noexcept {
  filesWrittenAlone_ = seenOthers_ ? 0 : filesWrittenAlone_ + 1;
  seenOthers_ = false;
}

}  // namespace velmor::common::internal
