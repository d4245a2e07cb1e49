// FileLogSink: one timestamped line per message, appended to a file that is
// opened and closed around every line, and rotated by size.
#include "logging/file_log_sink.h"

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <mutex>
#include <stdexcept>
#include <string>
#include <system_error>
#include <thread>
#include <utility>

#include "logging/line_format.h"
#include "logging/platform.h"

namespace velmor::common {
namespace {

namespace fs = std::filesystem;
using platform::EntryKind;

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
// its fragment directly).
class FragmentTable {
 public:
  bool empty() const noexcept { return used_ == 0; }

  // The record of `file`, or null.
  const Fragment* find(const platform::FileId& file) const noexcept {
    for (std::size_t i = 0; i < used_; ++i) {
      if (records_[i].file == file) return &records_[i];
    }
    return nullptr;
  }

  void remember(const Fragment& fragment) noexcept {
    forget(fragment.file);
    if (used_ == kSize) forgetAt(0);
    records_[used_++] = fragment;
  }

  void forget(const platform::FileId& file) noexcept {
    for (std::size_t i = 0; i < used_; ++i) {
      if (records_[i].file == file) return forgetAt(i);
    }
  }

 private:
  static constexpr std::size_t kSize = 8;
  // Oldest first.
  void forgetAt(std::size_t i) noexcept {
    for (; i + 1 < used_; ++i) records_[i] = records_[i + 1];
    --used_;
  }
  Fragment records_[kSize];
  std::size_t used_ = 0;
};

// What every FileLogSink in the process shares. Lock order: `mutex` first,
// then a file's own lock (AppendFile), never the other way round.
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
  FragmentTable fragments;
  // Guarded by `mutex`: what one append is gathered from (see Gather), and
  // the offset just after each of its lines. Kept here, not on the stack,
  // so that a call neither zeroes nor carries 300 KB.
  static constexpr std::size_t kStageBytes = 256 * 1024;
  static constexpr std::size_t kMaxLines = 8192;
  char stage[kStageBytes];
  std::string_view parts[platform::AppendFile::kMaxParts];
  std::size_t lineEnds[kMaxLines];
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

// Reads the clock: the local time of day of now in `state.cachedLocal`
// (converted once per second: the conversion costs as much as the rest of
// the formatting) and the milliseconds, returned.
unsigned stampNow(SharedState& state) noexcept {
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
  return static_cast<unsigned>(ms);
}

// The pieces of one append. Prefixes, LFs and messages up to kCopied bytes
// are copied together into the shared stage, so that the kernel gets a few
// long pieces instead of three per line (it pays for every piece); longer
// messages are referred to where they are. Nothing is allocated.
class Gather {
 public:
  static constexpr std::size_t kCopied = 4096;

  explicit Gather(SharedState& state) noexcept : state_(state) {}

  // Whether a line with a message of `size` bytes still fits.
  bool fits(std::size_t size) const noexcept {
    const std::size_t copied = detail::kMaxLinePrefix + 1 + (size <= kCopied ? size : 0);
    return count_ + 3 <= platform::AppendFile::kMaxParts &&
           used_ + copied <= SharedState::kStageBytes;
  }
  // Room for kMaxLinePrefix bytes, to be taken with took().
  char* room() noexcept { return state_.stage + used_; }
  void took(std::size_t size) noexcept { used_ += size; }
  void add(std::string_view bytes) noexcept {
    if (bytes.size() > kCopied) {
      close();
      state_.parts[count_++] = bytes;
      return;
    }
    bytes.copy(state_.stage + used_, bytes.size());
    used_ += bytes.size();
  }
  // The pieces gathered, and how many.
  const std::string_view* finish(std::size_t& count) noexcept {
    close();
    count = count_;
    return state_.parts;
  }

 private:
  // Ends the run of copied bytes so far as one piece.
  void close() noexcept {
    if (used_ > start_) state_.parts[count_++] = {state_.stage + start_, used_ - start_};
    start_ = used_;
  }

  SharedState& state_;
  std::size_t used_ = 0;
  std::size_t start_ = 0;
  std::size_t count_ = 0;
};

// Tries `take` (a file lock of `file`) while it finds the lock busy, for
// about a second at most; true once it is taken. The lock may be held by another process for a
// moment (its append on Windows, its rotation) or by a stranger for ever:
// either way the sinks of other files must not wait, so after a short spin
// the process-wide `lock` is let go between tries. Within the process a file
// lock is only ever held under that mutex, so a lock found taken here is
// always another process's.
template <typename Take>
bool waitForFileLock(std::unique_lock<std::mutex>& lock, Take take) {
  using Clock = std::chrono::steady_clock;
  using platform::LockResult;
  LockResult result = take();
  if (result != LockResult::Busy) return result == LockResult::Taken;
  const auto start = Clock::now();
  const auto spin = start + std::chrono::milliseconds(2);
  const auto deadline = start + std::chrono::seconds(1);
  for (;;) {
    const auto now = Clock::now();
    if (now >= deadline) return false;
    if (now < spin) {
      std::this_thread::yield();
    } else {
      lock.unlock();
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
      lock.lock();
    }
    result = take();
    if (result != LockResult::Busy) return result == LockResult::Taken;
  }
}

// Refuses a policy outside its limits; returns it unchanged otherwise.
const RotationPolicy& checked(const RotationPolicy& policy) {
  if (policy.maxFileBytes == 0) {
    throw std::invalid_argument("RotationPolicy::maxFileBytes must be at least 1, not 0");
  }
  if (policy.maxBackups < 1 || policy.maxBackups > kMaxBackupsLimit) {
    throw std::invalid_argument("RotationPolicy::maxBackups must be from 1 to " +
                                std::to_string(kMaxBackupsLimit) + ", not " +
                                std::to_string(policy.maxBackups));
  }
  return policy;
}

}  // namespace

FileLogSink::FileLogSink(std::filesystem::path path) : FileLogSink(std::move(path), {}) {}

FileLogSink::FileLogSink(std::filesystem::path path, const RotationPolicy& policy)
    : path_(std::move(path)), policy_(checked(policy)) {
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
  const fs::path anchored = platform::anchorPath(path_);
  const auto count = static_cast<std::size_t>(policy_.maxBackups) + 1;
  names_.reserve(count);
  shown_.reserve(count);
  for (int n = 0; n <= policy_.maxBackups; ++n) {
    names_.push_back(gen(anchored, n));
    shown_.push_back(platform::displayPath(gen(path_, n)));
  }
}

FileLogSink::~FileLogSink() = default;

void FileLogSink::write(LogLevel level, std::string_view message) {
  const LogRecord record{level, message};
  append(&record, 1);
}

std::size_t FileLogSink::writeBatch(const LogRecord* records, std::size_t count) {
  return append(records, count);
}

std::size_t FileLogSink::append(const LogRecord* records, std::size_t count) {
  SharedState& state = shared();
  std::unique_lock<std::mutex> lock(state.mutex);
  if (names_.empty()) return 0;  // A name the OS cannot be given.
  std::size_t done = 0;
  while (done < count) {
    // Opened and closed around every append, so that no handle is held
    // while idle: between two writes the file can be renamed, deleted or
    // read by others. Unopenable (no directory, a directory, a FIFO without
    // a reader), or its append lock held past the wait: dropped.
    platform::AppendFile file(names_[0].c_str());
    if (!file.isOpen() || !waitForFileLock(lock, [&] { return file.tryLockForAppend(); })) {
      return done;
    }
    // Streams are written so that no SIGPIPE can reach the process, which
    // needs to be known before the write. A file whose name meant a regular
    // file last time is taken to be one again (checked after the write);
    // the program's own descriptors are always looked at.
    const bool stream = lastWasRegular_ && !file.isBorrowed() ? false : file.isStream();
    // The file as it is before the append, needed only to end a cut line
    // or to see where a batch crosses the threshold: a single line is
    // checked after it is written, and spares the query.
    const bool batch = count - done > 1;
    // Several lines of one append are decided under the rotation lock (best
    // effort), so that another process's batch cannot slip in between the
    // size read here and the append, and push the crossing line further.
    if (batch && !stream) waitForFileLock(lock, [&] { return file.tryLock(); });
    platform::FileState before;
    if ((batch || !state.fragments.empty()) && !file.state(before)) return done;

    bool endsFragment = false;
    if (const Fragment* cut = state.fragments.empty() ? nullptr : state.fragments.find(before.id)) {
      // A regular file must still end there; a stream's fragment is always
      // the last thing its reader got.
      endsFragment = stream || before.size == cut->end;
      state.fragments.forget(before.id);
    }
    std::size_t* const lineEnds = state.lineEnds;
    Gather gather(state);
    const std::size_t lead = endsFragment ? 1 : 0;
    gather.add(std::string_view("\n", lead));
    std::size_t bytes = lead;
    std::size_t lines = 0;
    // One reading of the clock for the lines of one append: they arrived
    // together.
    const unsigned ms = stampNow(state);
    // Lines of one level share their prefix: formatted once, then copied.
    std::string_view previous;
    LogLevel previousLevel = LogLevel::Info;
    while (done + lines < count && lines < SharedState::kMaxLines &&
           gather.fits(records[done + lines].message.size())) {
      const LogRecord& record = records[done + lines];
      std::size_t length = previous.size();
      if (previous.empty() || record.level != previousLevel) {
        length = detail::formatLinePrefix(gather.room(), state.cachedLocal, ms, record.level);
        previous = {gather.room(), length};
        previousLevel = record.level;
      } else {
        previous.copy(gather.room(), length);
      }
      gather.took(length);
      gather.add(record.message);
      gather.add("\n");
      bytes += length + record.message.size() + 1;
      lineEnds[lines++] = bytes;
      // The line that reaches the threshold ends the append: rotation comes
      // right after it, as after a single write.
      if (!stream && before.size + bytes >= policy_.maxFileBytes) break;
    }
    std::size_t pieces = 0;
    const std::string_view* parts = gather.finish(pieces);
    const std::size_t written = file.append(parts, pieces, stream);

    // The size comes from the file system, so bytes that other writers
    // appended count too.
    platform::FileState after;
    if (!file.state(after)) return done;
    lastWasRegular_ = after.regular;
    if (written < bytes) {
      // A line refused in part is dropped with the rest; what did reach the
      // file is remembered so that the next line starts on a line of its own.
      std::size_t whole = 0;
      while (whole < lines && lineEnds[whole] <= written) ++whole;
      const bool atLineEnd = written == lead || (whole > 0 && lineEnds[whole - 1] == written);
      if (written < lead) {
        state.fragments.remember(Fragment{before.id, before.size});  // Still open.
      } else if (!atLineEnd) {
        state.fragments.remember(Fragment{after.id, after.size});
      }
      return done + whole;
    }
    done += lines;
    if (!after.regular || after.size < policy_.maxFileBytes) continue;

    // Decided under the lock that every sink in every process takes, and
    // only while the name still means the file just written: if another
    // process rotated it a moment ago, this crossing has been dealt with
    // (and these lines went into that backup). Waiting out another
    // process's rotation keeps this writer from appending more lines to the
    // file being rotated; a lock held past the wait (a stranger's) leaves
    // rotating to the next line. A name that is a symbolic link never
    // matches, so the link is never renamed away.
    platform::FileId named;
    const auto namesThisFile = [&] {
      return platform::entryId(names_[0].c_str(), named) && named == after.id;
    };
    if (!namesThisFile() || !waitForFileLock(lock, [&] { return file.tryLock(); }) ||
        !namesThisFile()) {
      continue;
    }
    rotate();
    if (resumeAt_ == kNoInterruptedRotation) state.fragments.forget(after.id);
  }
  return done;
}

//   .N (dropped only if .1 to .N are all taken; N = maxBackups)
//   .N-1 -> .N, ..., .1 -> .2 (present ones, below `top`)
//   active -> .1
// With .1 free, the active rename is all that is left to do: whoever retries
// a refused rotation moves no backup a second time.
void FileLogSink::rotate() noexcept {
  const auto kind = [this](int n) { return platform::entryKind(names_[n].c_str()); };
  const int last = policy_.maxBackups;
  // Backups below `top` move up one number; `top` itself is free.
  int top = resumeAt_;
  if (kind(1) == EntryKind::Absent) {
    top = 1;
  } else if (top == kNoInterruptedRotation || kind(top) != EntryKind::Absent) {
    // A fresh rotation: the disk no longer agrees with the hint, if any.
    top = last;
    while (top >= 1 && kind(top) != EntryKind::Absent) --top;
    if (top == 0) {
      // Every number is taken: the oldest backup is the one thing rotation
      // may drop, and only if it is a file of ours to drop.
      if (kind(last) == EntryKind::Regular) platform::removeFile(names_[last].c_str());
      top = last;
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

std::shared_ptr<ILogSink> makeFileLogSink(std::filesystem::path path,
                                          const RotationPolicy& policy) {
  return std::make_shared<FileLogSink>(std::move(path), policy);
}

}  // namespace velmor::common
