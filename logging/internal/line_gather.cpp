// LineGather: copied runs and referred-to messages, as pieces of one append.
#include "logging/internal/line_gather.h"

#include "logging/internal/line_format.h"

namespace velmor::common::internal {

bool LineGather::fits(std::size_t size) const noexcept {
  const std::size_t copied = kMaxLinePrefix + 1 + (size <= kCopied ? size : 0);
  return count_ + 3 <= platform::AppendFile::kMaxParts &&
         used_ + copied <= GatherStorage::kStageBytes;
}

bool LineGather::fitsCopied(std::size_t bytes) const noexcept {
  return count_ + 3 <= platform::AppendFile::kMaxParts && bytes <= GatherStorage::kStageBytes &&
         used_ <= GatherStorage::kStageBytes - bytes;
}

void LineGather::addLong(std::string_view bytes) noexcept {
  closeRun();
  storage_.parts[count_++] = bytes;
}

const std::string_view* LineGather::finish(std::size_t& count) noexcept {
  closeRun();
  count = count_;
  return storage_.parts;
}

std::size_t truncateGathered(GatherStorage& storage, std::size_t pieces,
                             std::size_t bytes) noexcept {
  std::size_t count = 0;
  for (; count < pieces && bytes > 0; ++count) {
    std::string_view& part = storage.parts[count];
    if (part.size() >= bytes) part = part.substr(0, bytes);
    bytes -= part.size();
  }
  return count;
}

void LineGather::closeRun() noexcept {
  if (used_ > start_) storage_.parts[count_++] = {storage_.stage + start_, used_ - start_};
  start_ = used_;
}

}  // namespace velmor::common::internal
