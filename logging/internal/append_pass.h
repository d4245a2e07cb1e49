// One pass of the append path: one open of the active file and one append
// of as many lines as may go together.
#ifndef VELMOR_LOGGING_INTERNAL_APPEND_PASS_H_
#define VELMOR_LOGGING_INTERNAL_APPEND_PASS_H_

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string_view>

#include "logging/file_log_sink.h"
#include "logging/internal/file_locks.h"
#include "logging/internal/platform.h"

namespace velmor::common::internal {

class LineGather;

class FileSink;
struct ProcessState;

// The steps of one pass, in order: open the file (closed again when the
// pass ends, so no handle is held while idle); rotate it first if the start
// or period rule says so; take the locks the lines need and look at the
// file; gather the lines, ending at the one that reaches the threshold;
// append them; and rotate if the file has reached it. Runs under the
// process-wide mutex held by `lock`.
class AppendPass {
 public:
  AppendPass(FileSink& sink, ProcessState& state, std::unique_lock<std::mutex>& lock) noexcept;

  // What the passes of one call did so far.
  struct Tally {
    std::size_t done = 0;  // Records that reached the file whole.
    int rotated = 0;       // Rotations made.
    int rewrites = 0;      // Appends made again, their file gone (see lostWithFile).
    // Why the last pass dropped the rest: the OS's code, 0 if none did.
    platform::ErrorCode error = 0;
  };
  // Appends records[0..count) from the first, as many as go in one append,
  // and adds what it did to `tally`. True if the caller is to go on with
  // another pass (lines left, or the name moved on to a fresh file); false
  // if the rest is dropped (the file cannot be opened or took a line only in
  // part).
  bool run(const LogRecord* records, std::size_t count, Tally& tally) noexcept;

 private:
  enum class Step { Go, Retry, Stop };
  // The lines of one append as gathered: how many, their bytes (the lead LF
  // of a torn line included), and the pieces handed to the OS.
  struct Gathered {
    std::size_t lines = 0;
    std::size_t bytes = 0;
    std::size_t lead = 0;
    std::size_t pieces = 0;
    const std::string_view* parts = nullptr;
    bool sync = false;  // A line at or above the policy's syncFrom is among them.
  };

  // Stops the pass, `error` saying why.
  Step stop(platform::ErrorCode error) noexcept {
    stopError_ = error;
    return Step::Stop;
  }
  Step rotateEarlyIfDue(int& rotated) noexcept;
  Step lockAndLook(bool batch) noexcept;
  // Whether the name now means another file than the one looked at, or
  // another thread is deciding its rotation.
  bool nameMovedOn() const noexcept;
  bool startsAfterTornLine() noexcept;
  // Where a line's message goes: copied or referred to as it is (Plain),
  // escaped into the stage, or escaped into the long-line buffer (a line
  // of its own); None if it must wait for the next append, Failed if that
  // buffer could not grow. `bound` is at least the bytes it will take.
  struct Placement {
    enum Where { None, Plain, Stage, Long, Failed } where = None;
    std::size_t bound = 0;
  };
  enum class Escape { None, Json, Controls };
  Placement place(LineGather& lines, std::string_view message, bool first) noexcept;
  // Adds the message as `placement` says; returns the bytes it takes.
  std::size_t addMessage(LineGather& lines, std::string_view message, Placement placement) noexcept;
  Gathered gather(const LogRecord* records, std::size_t count, bool torn) noexcept;
  // Whether the file looked at had reached its threshold already, and its
  // rotation lock could not be had (held elsewhere past its wait).
  bool overdueAndHeldOff() const noexcept;
  void trimToCrossing(Gathered& gathered) noexcept;
  bool finish(const Gathered& gathered, Tally& tally) noexcept;
  // Whether the lines just appended to the file found in `after` were lost
  // with it: it was removed, and the name means another file. Lines are
  // written again kMaxRewrites times at most per call, so that a file
  // system that removes every file at once cannot keep a call going.
  bool lostWithFile(const platform::FileState& after) const noexcept;
  // Whether the lines just appended whole to the file found in `after`
  // continue a line that another writer left open after this pass looked
  // at the end; they are then written again.
  bool gluedOn(const Gathered& gathered, const platform::FileState& after) noexcept;
  static constexpr int kMaxRewrites = 4;
  // How many of the gathered lines reached the file whole, when the append
  // took `written` bytes; records where a cut line was left open. `after`
  // is the file after the append, if it could be looked at.
  std::size_t countWhole(const Gathered& gathered, std::size_t written,
                         const platform::FileState* after) noexcept;

  FileSink& sink_;
  ProcessState& state_;
  const platform::NativeString& name_;
  platform::AppendFile file_;
  FileLocks locks_;
  bool stream_ = false;           // A pipe, FIFO, socket or terminal rather than a file.
  bool company_ = false;          // Another writer may append meanwhile.
  Escape escape_ = Escape::None;  // How messages are written (the policy's format).
  // The size from which lines go one per append (OtherWriters).
  std::uint64_t lineByLineFrom_ = UINT64_MAX;
  // The file just before the append, if it was looked at.
  platform::FileState before_;
  bool haveBefore_ = false;
  bool triedRotationLock_ = false;  // Before the append, for a batch or near the threshold.
  bool rotationLocked_ = false;
  platform::ErrorCode stopError_ = 0;  // Why a step stopped the pass.
};

}  // namespace velmor::common::internal

#endif  // VELMOR_LOGGING_INTERNAL_APPEND_PASS_H_
