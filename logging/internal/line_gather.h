// The pieces of one gathered append, assembled without allocating.
#ifndef VELMOR_LOGGING_INTERNAL_LINE_GATHER_H_
#define VELMOR_LOGGING_INTERNAL_LINE_GATHER_H_

#include <cstddef>
#include <cstring>
#include <string>
#include <string_view>

#include "logging/internal/platform.h"

namespace velmor::common::internal {

// Where one append is gathered: the copied bytes, the pieces handed to the
// OS, and the offset just after each line. One per process, under the
// process-wide mutex: kept off the stack, so that a call neither zeroes nor
// carries 300 KB.
struct GatherStorage {
  static constexpr std::size_t kStageBytes = 256 * 1024;
  static constexpr std::size_t kMaxLines = 8192;
  char stage[kStageBytes];
  std::string_view parts[platform::AppendFile::kMaxParts];
  std::size_t lineEnds[kMaxLines];
  // An escaped message too long for the stage, written as one piece of an
  // append of its own. Grows to the longest such message and stays.
  std::string longLine;
};

// Builds the pieces of one append in a GatherStorage. Prefixes, LFs and
// messages up to kCopied bytes are copied together into the stage, so that
// the kernel gets a few long pieces instead of three per line (it pays for
// every piece); longer messages are referred to where they are.
class LineGather {
 public:
  static constexpr std::size_t kCopied = 4096;

  explicit LineGather(GatherStorage& storage) noexcept : storage_(storage) {}

  // Whether a line with a message of `size` bytes still fits.
  bool fits(std::size_t size) const noexcept;
  // Whether `bytes` more can be copied into the stage, with a line's pieces.
  bool fitsCopied(std::size_t bytes) const noexcept;
  // Where the next bytes are written in place (a prefix, room for
  // kMaxLinePrefix bytes, or an escaped message that fitsCopied()); use()
  // then takes `size` bytes written there into the append.
  char* slot() noexcept { return storage_.stage + used_; }
  void use(std::size_t size) noexcept { used_ += size; }
  // Adds `bytes`: copied, or referred to where they are if long. Inline:
  // it runs twice a line.
  void add(std::string_view bytes) noexcept {
    if (bytes.size() > kCopied) {
      addLong(bytes);
      return;
    }
    if (!bytes.empty()) std::memcpy(storage_.stage + used_, bytes.data(), bytes.size());
    used_ += bytes.size();
  }
  // Adds one byte (a line's LF).
  void add(char byte) noexcept { storage_.stage[used_++] = byte; }
  // Ends the gathering: the pieces, and how many in `count`.
  const std::string_view* finish(std::size_t& count) noexcept;

 private:
  // Ends the run of copied bytes so far as one piece.
  void closeRun() noexcept;
  // Ends the run, and refers to `bytes` where they are.
  void addLong(std::string_view bytes) noexcept;

  GatherStorage& storage_;
  std::size_t used_ = 0;   // Bytes of the stage taken.
  std::size_t start_ = 0;  // Where the current run of copied bytes began.
  std::size_t count_ = 0;  // Pieces made.
};

// Cuts the first `pieces` pieces that a LineGather finished in `storage`
// down to their first `bytes` bytes, and returns how many pieces that leaves.
std::size_t truncateGathered(GatherStorage& storage, std::size_t pieces,
                             std::size_t bytes) noexcept;

}  // namespace velmor::common::internal

#endif  // VELMOR_LOGGING_INTERNAL_LINE_GATHER_H_
