// FileLogSink: one timestamped line per message, appended to a file that is
// opened and closed around every line, and rotated by size.
#include "logging/file_log_sink.h"

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <mutex>
#include <string>
#include <system_error>
#include <utility>

#include "logging/line_format.h"
#include "logging/platform.h"

namespace velmor::common {
namespace {

namespace fs = std::filesystem;
using platform::EntryKind;

// The end of a line that reached a file only in part (disk full, file size
// limit): the next line written to that file must not continue it.
struct Fragment {
  bool pending = false;
  platform::FileId file;
  std::uint64_t end = 0;  // The file's size just after the partial write.
};

// What every FileLogSink in the process shares. Lock order: `mutex` first,
// then a file's own lock (AppendFile::lock), never the other way round.
struct SharedState {
  // Serialises every sink in the process, including the rotation a write may
  // trigger: lines never interleave and a rotation never overlaps a write.
  // Two sinks on one file must exclude each other too, hence not a member.
  std::mutex mutex;
  // Guarded by `mutex`: the local time of `cachedTime`, converted once per
  // second (the conversion costs as much as the rest of the formatting).
  std::time_t cachedTime = -1;
  std::tm cachedLocal{};
  // Guarded by `mutex`.
  Fragment fragment;
};

// Never destroyed: sinks may still be written to from other objects' static
// destructors.
SharedState& shared() {
  static SharedState* const state = new SharedState();
  return *state;
}

// Native name of file `n` of the log at `base`: `base` itself for 0,
// "<base>.<n>" otherwise.
platform::NativeString gen(const fs::path& base, int n) {
  platform::NativeString name = base.native();
  if (n > 0) {
    name += fs::path::value_type('.');
    for (const char digit : std::to_string(n)) name += static_cast<fs::path::value_type>(digit);
  }
  return name;
}

// Writes the prefix of a line stamped now into `prefix`; returns its length.
std::size_t prefixNow(SharedState& state, LogLevel level,
                      char (&prefix)[detail::kMaxLinePrefix]) noexcept {
  const auto now = std::chrono::system_clock::now();
  const std::time_t time = std::chrono::system_clock::to_time_t(now);
  std::int64_t ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
  if (ms < 0) ms += 1000;
  if (time != state.cachedTime) {
    std::tm tm_buf{};  // A failed conversion writes 00:00:00, never garbage.
    platform::toLocalTime(time, tm_buf);
    state.cachedLocal = tm_buf;
    state.cachedTime = time;
  }
  return detail::formatLinePrefix(prefix, state.cachedLocal, static_cast<unsigned>(ms), level);
}

}  // namespace

FileLogSink::FileLogSink(std::filesystem::path path) : path_(std::move(path)) {
  // The OS would see such a name cut at the NUL, a different file: rotating
  // "<cut>.5" could then delete the active file. Leave `names_` empty.
  if (path_.native().find(fs::path::value_type('\0')) != platform::NativeString::npos) return;
  std::error_code ec;
  if (!path_.parent_path().empty()) {
    // Failure is deliberately ignored: writes are dropped until it exists.
    fs::create_directories(path_.parent_path(), ec);
  }
  // Anchored now, so that a later change of the working directory (a
  // daemon's chdir("/")) does not send the lines elsewhere.
  fs::path anchored = fs::absolute(path_, ec);
  if (ec) anchored = path_;
  for (int n = 0; n <= kMaxBackups; ++n) {
    names_[n] = gen(anchored, n);
    shown_[n] = platform::displayPath(gen(path_, n));
  }
}

FileLogSink::~FileLogSink() = default;

void FileLogSink::write(LogLevel level, std::string_view message) {
  SharedState& state = shared();
  const std::lock_guard<std::mutex> lock(state.mutex);
  if (names_[0].empty()) return;  // A name the OS cannot be given.

  // The line goes out as its pieces, without being copied into one buffer:
  // nothing is allocated, whatever the message's size.
  char prefix[detail::kMaxLinePrefix];
  std::string_view parts[4] = {{}, {prefix, prefixNow(state, level, prefix)}, message, "\n"};
  std::size_t size = parts[1].size() + message.size() + 1;

  // Opened and closed around every line, so that no handle is held while
  // idle: between two writes the file can be renamed, deleted or read by
  // others. Unopenable (no directory, a directory, a FIFO without a reader):
  // the line is dropped.
  platform::AppendFile file(names_[0].c_str());
  if (!file.isOpen()) return;

  platform::FileState fileState;
  bool endsFragment = false;
  Fragment& fragment = state.fragment;
  if (fragment.pending && file.state(fileState) && fileState.id == fragment.file) {
    // Still the end of the file: end that fragment before this line starts.
    endsFragment = fileState.size == fragment.end;
    fragment.pending = false;
    if (endsFragment) {
      parts[0] = "\n";
      ++size;
    }
  }

  const std::size_t written = file.append(parts, 4);
  // The size comes from the file system, so bytes that other writers
  // appended count too.
  if (!file.state(fileState)) return;
  // A line refused in part is dropped; what did reach the file is remembered
  // so that the next line starts on a line of its own.
  if (written < size && fileState.regular && written != (endsFragment ? 1u : 0u)) {
    fragment = Fragment{true, fileState.id, fileState.size};
  }
  if (!fileState.regular || fileState.size < kRotateThresholdBytes) return;

  // Decided under the lock that every sink in every process takes, and only
  // while the name still means the file just written: if another process
  // rotated it a moment ago, this crossing has been dealt with (and this
  // line went into that backup). A name that is a symbolic link never
  // matches, so the link is never renamed away.
  platform::FileId named;
  if (!file.lock() || !platform::entryId(names_[0].c_str(), named) || named != fileState.id) {
    return;
  }
  rotate();
  if (resumeAt_ == kNoInterruptedRotation && fragment.file == fileState.id) {
    fragment.pending = false;
  }
}

//   .5 (dropped only if .1 to .5 are all taken)
//   .4 -> .5, .3 -> .4, .2 -> .3, .1 -> .2 (present ones, below `top`)
//   active -> .1
void FileLogSink::rotate() noexcept {
  const auto kind = [this](int n) { return platform::entryKind(names_[n].c_str()); };
  // Backups below `top` move up one number; `top` itself is free.
  int top = resumeAt_;
  if (top == kNoInterruptedRotation || kind(top) != EntryKind::Absent) {
    // A fresh rotation: the disk no longer agrees with the hint, if any.
    top = kMaxBackups;
    while (top >= 1 && kind(top) != EntryKind::Absent) --top;
    if (top == 0) {
      // Every number is taken: the oldest backup is the one thing rotation
      // may drop, and only if it is a file of ours to drop.
      if (kind(kMaxBackups) == EntryKind::Regular)
        platform::removeFile(names_[kMaxBackups].c_str());
      top = kMaxBackups;
    }
  }
  for (int i = top - 1; i >= 1; --i) {
    // Gaps are skipped. Anything but a regular file stays where it is; the
    // rename onto it below then fails, since renames never replace.
    if (kind(i) != EntryKind::Regular) continue;
    if (!shift(i)) return;
  }
  if (shift(0)) resumeAt_ = kNoInterruptedRotation;
}

bool FileLogSink::shift(int from) noexcept {
  // Never onto an existing file: a stale plan, another sink's rotation or a
  // stranger's file at the destination must not cost a byte.
  const platform::ErrorCode failure =
      platform::renameNoReplace(names_[from].c_str(), names_[from + 1].c_str());
  if (failure == 0) return true;
  resumeAt_ = from + 1;
  if (!rotationWarned_) {
    rotationWarned_ = true;
    // One text on every platform, naming the Windows call, so that whatever
    // watches for it needs one pattern; on POSIX the code is rename's errno.
    std::fprintf(stderr,
                 "[velmor-log-rotation] MoveFileExW(%s -> %s) failed (GetLastError=%lu); "
                 "log will continue at oversize. (one-shot warning)\n",
                 from == 0 ? "active" : shown_[from].c_str(),
                 from == 0 ? ".1" : shown_[from + 1].c_str(), failure);
  }
  return false;
}

std::shared_ptr<ILogSink> makeFileLogSink(std::filesystem::path path) {
  return std::make_shared<FileLogSink>(std::move(path));
}

}  // namespace velmor::common
