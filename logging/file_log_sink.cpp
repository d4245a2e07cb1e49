// FileLogSink: one timestamped line per message, appended to a file that is
// opened and closed around every line, and rotated by size.
#include "logging/file_log_sink.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <mutex>
#include <stdexcept>
#include <string>
#include <system_error>
#include <utility>

#include "logging/backup_set.h"
#include "logging/line_format.h"
#include "logging/platform.h"
#include "logging/shared_file.h"

namespace velmor::common {
namespace {

namespace fs = std::filesystem;
using platform::EntryKind;

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
  detail::FragmentTable fragments;
  // Guarded by `mutex`: the files whose crossing of the threshold a thread
  // is deciding while it waits for the file's lock with `mutex` let go.
  // Other threads hold back their lines to those files until `decided` is
  // signalled, so that a process adds at most one line to a file being
  // rotated, whatever its number of threads.
  detail::DecidingTable deciding;
  std::condition_variable decided;
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

// A line's time: the second, whose local time of day is then in
// `state.cachedLocal` (converted once per second: the conversion costs as
// much as the rest of the formatting), and the millisecond.
struct Stamp {
  std::time_t second = 0;
  unsigned ms = 0;
  bool operator==(const Stamp& other) const noexcept {
    return second == other.second && ms == other.ms;
  }
};
Stamp stampOf(SharedState& state, std::chrono::system_clock::time_point when) noexcept {
  const std::int64_t ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(when.time_since_epoch()).count();
  // Floor division, so that times before 1970 keep a millisecond in 0..999.
  const std::int64_t seconds = ms >= 0 ? ms / 1000 : -((-ms + 999) / 1000);
  const auto second = static_cast<std::time_t>(seconds);
  if (second != state.cachedTime) {
    std::tm tm_buf{};  // A failed conversion writes 00:00:00, never garbage.
    platform::toLocalTime(second, tm_buf);
    state.cachedLocal = tm_buf;
    state.cachedTime = second;
  }
  return {second, static_cast<unsigned>(ms - seconds * 1000)};
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
  // After finish(): keeps the first `bytes` bytes of the pieces only, and
  // returns how many pieces that leaves.
  std::size_t keep(std::size_t bytes) noexcept {
    std::size_t count = 0;
    for (; count < count_ && bytes > 0; ++count) {
      std::string_view& part = state_.parts[count];
      if (part.size() >= bytes) part = part.substr(0, bytes);
      bytes -= part.size();
    }
    return count;
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
  if (policy.maxBackupAge.count() < 0) {
    throw std::invalid_argument("RotationPolicy::maxBackupAge must not be negative, not " +
                                std::to_string(policy.maxBackupAge.count()) + "s");
  }
  return policy;
}

}  // namespace

FileLogSink::FileLogSink(std::filesystem::path path) : FileLogSink(std::move(path), {}) {}

FileLogSink::FileLogSink(std::filesystem::path path, const RotationPolicy& policy)
    : path_(std::move(path)), policy_(checked(policy)), startPending_(policy_.rotateOnStart) {
  std::error_code ec;
  if (!path_.parent_path().empty() &&
      path_.native().find(fs::path::value_type('\0')) == platform::NativeString::npos) {
    // Failure is deliberately ignored: writes are dropped until it exists.
    fs::create_directories(path_.parent_path(), ec);
  }
  backups_ = std::make_unique<detail::BackupSet>(path_, policy_);
  if (policy_.onRotated) {
    newest_ = path_;
    newest_ += ".1";
    shownNewest_ = platform::displayPath(newest_.native());
  }
}

FileLogSink::~FileLogSink() = default;

void FileLogSink::write(LogLevel level, std::string_view message) {
  const LogRecord record{level, message};
  int rotated = 0;
  append(&record, 1, rotated);
  announce(rotated);
}

std::size_t FileLogSink::writeBatch(const LogRecord* records, std::size_t count) {
  int rotated = 0;
  const std::size_t done = append(records, count, rotated);
  announce(rotated);
  return done;
}

void FileLogSink::announce(int rotations) noexcept {
  if (!policy_.onRotated) return;
  for (int i = 0; i < rotations; ++i) {
    try {
      policy_.onRotated(newest_);
    } catch (const std::exception& error) {
      hookFailed(error.what());
    } catch (...) {
      hookFailed("an exception not derived from std::exception");
    }
  }
}

void FileLogSink::hookFailed(const char* what) noexcept {
  if (hookWarned_.exchange(true)) return;
  std::fprintf(stderr,
               "[velmor-log-rotation] onRotated(%s) threw: %s; later ones are not shown. "
               "(one-shot warning)\n",
               shownNewest_.c_str(), what);
}

std::size_t FileLogSink::append(const LogRecord* records, std::size_t count, int& rotated) {
  SharedState& state = shared();
  std::unique_lock<std::mutex> lock(state.mutex);
  if (!backups_->usable()) return 0;  // A name the OS cannot be given.
  const platform::NativeString& name = backups_->active();
  std::size_t done = 0;
  while (done < count) {
    // Another thread is deciding whether this file is to be rotated: a line
    // added now would land in the file being rotated.
    state.decided.wait(lock, [&] { return !state.deciding.has(name); });
    // Opened and closed around every append, so that no handle is held
    // while idle: between two writes the file can be renamed, deleted or
    // read by others. Unopenable (no directory, a directory, a FIFO without
    // a reader), or its append lock held by a stranger: dropped.
    platform::AppendFile file(name.c_str());
    if (!file.isOpen()) return done;
    // Streams are written so that no SIGPIPE can reach the process, which
    // needs to be known before the write. A file whose name meant a regular
    // file last time is taken to be one again (checked after the write);
    // the program's own descriptors are always looked at.
    const bool stream = lastWasRegular_ && !file.isBorrowed() ? false : file.isStream();
    // A file of an earlier period, or the one a run starts with, is rotated
    // before anything goes into it; looked at once per period and run.
    if (!stream && earlyCheckDue()) {
      platform::FileState found;
      if (!file.state(found)) return done;
      if (!dueEarly(found)) {
        settleEarlyCheck();
      } else if (decide(lock, file, found, true, rotated)) {
        continue;  // Rotated here or elsewhere: the name means a new file.
      }
    }
    // The file as it is before the append, needed only to end a cut line,
    // to look at the end of a file this sink has not written yet, or to see
    // where a batch crosses the threshold: a single line to a known file is
    // checked after it is written, and spares the query.
    const bool batch = count - done > 1;
    // Another writer's lines may land between the size read below and the
    // append: while there may be one, the last stretch before the threshold
    // goes one line per append, each checked as a single write is, so that
    // no batch ends past its crossing line.
    const bool shared = othersInFile_ || aloneFiles_ < kAloneFilesToTrust;
    const std::uint64_t oneByOneFrom =
        shared && !stream ? policy_.maxFileBytes - std::min(policy_.maxFileBytes, stretch_)
                          : UINT64_MAX;
    // Several lines of one append are decided under the rotation lock (best
    // effort), so that another process's batch cannot slip in between the
    // size read here and the append, and push the crossing line further.
    // Single lines take it too once this sink saw the file in the last
    // stretch, so that no batch's lines pass the threshold while it is held
    // (each other process may slip in one line before it sees the stretch).
    // Taken before the append lock, never after it.
    const bool inStretch = seen_.valid && seen_.size >= oneByOneFrom;
    bool letGo = false;
    platform::FileState before;
    bool looked = false;
    if ((batch || inStretch) && !stream) {
      detail::takeFileLock(lock, file, &platform::AppendFile::tryLock, rotationLockBusy_, &letGo);
      if (!file.state(before)) return done;
      looked = true;
    }
    // Where appends take a lock (Windows), the line is dropped if it cannot
    // be had. Other processes' appends hold it for a moment each, but busy
    // writers together can hold it nearly all the time, and polling has no
    // queue: the first wait is long, and a lock known to be a stranger's
    // still gets a millisecond of tries.
    const bool waitedBefore = letGo;
    if (!detail::takeFileLock(lock, file, &platform::AppendFile::tryLockForAppend, appendLockBusy_,
                              &letGo, std::chrono::milliseconds(1),
                              std::chrono::milliseconds(detail::kAppendLockWaitMs))) {
      return done;
    }
    if ((!looked && (letGo || !seen_.valid || !state.fragments.empty())) ||
        (letGo && !waitedBefore)) {
      if (!file.state(before)) return done;
      looked = true;
    }
    // While this thread waited, another one (or process) may have rotated
    // the file, or begun to decide its crossing: the lines would land in a
    // backup.
    platform::FileId named;
    if (letGo && !stream &&
        (state.deciding.has(name) || !platform::entryId(name.c_str(), named) ||
         named != before.id)) {
      continue;
    }
    // A file new to this sink that holds lines already has other writers,
    // as far as it can tell.
    if (looked && before.regular && before.size > 0 && !isSeen(seen_, before.id)) {
      othersInFile_ = true;
    }

    // A file new to this sink may end in a line that a writer killed in the
    // middle left open; a cut this process made is on record.
    bool endsFragment = looked && !stream && before.regular && !isSeen(seen_, before.id) &&
                        detail::endsInsideDeadLine(file, before);
    if (const detail::Fragment* cut =
            state.fragments.empty() ? nullptr : state.fragments.find(before.id)) {
      // A regular file must still end there; a stream's fragment is always
      // the last thing its reader got.
      endsFragment = endsFragment || stream || before.size == cut->end;
      state.fragments.forget(before.id);
    }
    std::size_t* const lineEnds = state.lineEnds;
    Gather gather(state);
    const std::size_t lead = endsFragment ? 1 : 0;
    gather.add(std::string_view("\n", lead));
    std::size_t bytes = lead;
    std::size_t lines = 0;
    // One reading of the clock for the lines of one append that carry no
    // time of their own: they arrived together.
    const auto appended = std::chrono::system_clock::now();
    // Lines of one level and stamp share their prefix: formatted once, then
    // copied.
    std::string_view previous;
    LogLevel previousLevel = LogLevel::Info;
    Stamp previousStamp;
    while (done + lines < count && lines < SharedState::kMaxLines &&
           gather.fits(records[done + lines].message.size())) {
      const LogRecord& record = records[done + lines];
      if (lines > 0 && before.size + bytes + detail::kMaxLinePrefix + record.message.size() + 1 >=
                           oneByOneFrom) {
        break;
      }
      std::size_t length = previous.size();
      const Stamp stamp = stampOf(state, record.time ? *record.time : appended);
      if (previous.empty() || record.level != previousLevel || !(stamp == previousStamp)) {
        length = detail::formatLinePrefix(gather.room(), state.cachedLocal, stamp.ms, record.level);
        previous = {gather.room(), length};
        previousLevel = record.level;
        previousStamp = stamp;
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
    // Another process's lines may have come in since the size was read (a
    // single line takes no lock): while there may be company, looked at
    // again just before the append,
    // the lines past the one that now crosses wait for the next append.
    platform::FileState now;
    if (lines > 1 && shared && !stream && file.state(now) && now.size != before.size) {
      std::size_t crossing = 0;
      while (crossing + 1 < lines && now.size + lineEnds[crossing] < policy_.maxFileBytes) {
        ++crossing;
      }
      lines = crossing + 1;
      bytes = lineEnds[crossing];
      pieces = gather.keep(bytes);
    }
    const std::size_t written = file.append(parts, pieces, stream);
    file.unlockAppend();  // Other processes' appends go on while this one looks.

    // The size comes from the file system, so bytes that other writers
    // appended count too.
    platform::FileState after;
    if (!file.state(after)) return done;
    lastWasRegular_ = after.regular;
    noteOtherWriters(looked ? &before : nullptr, after, written);
    std::size_t whole = lines;
    if (written < bytes) {
      // A line refused in part is dropped with the rest; what did reach the
      // file is remembered so that the next line starts on a line of its own.
      whole = 0;
      while (whole < lines && lineEnds[whole] <= written) ++whole;
      const bool atLineEnd = written == lead || (whole > 0 && lineEnds[whole - 1] == written);
      if (written < lead) {
        state.fragments.remember(detail::Fragment{before.id, before.size});  // Still open.
      } else if (!atLineEnd) {
        state.fragments.remember(detail::Fragment{after.id, after.size});
      }
    }
    done += whole;
    // A cut that left the file at the threshold is rotated like a whole
    // line: otherwise every later line would be cut the same way (a full
    // disk frees the oldest backup's space, a size limit a fresh file).
    if (after.regular && after.size >= policy_.maxFileBytes) {
      decide(lock, file, after, false, rotated);
    }
    if (whole < lines) return done;
  }
  return done;
}

bool FileLogSink::isSeen(const Seen& seen, const platform::FileId& id) noexcept {
  return seen.valid && seen.device == id.device && seen.index == id.index;
}

void FileLogSink::noteOtherWriters(const platform::FileState* before,
                                   const platform::FileState& after, std::size_t written) noexcept {
  const bool known = isSeen(seen_, after.id);
  const std::uint64_t from = before != nullptr ? before->size : known ? seen_.size : after.size;
  if (after.regular && (before != nullptr || known) && after.size > from + written) {
    othersInFile_ = true;
    // Bytes that others appended while this one was made: the stretch
    // before the threshold that goes line by line covers twice the most seen.
    if (before != nullptr) {
      stretch_ = std::max(stretch_, kMinStretch + 2 * (after.size - from - written));
    }
  }
  seen_ = {after.id.device, after.id.index, after.size, after.regular};
}

bool FileLogSink::earlyCheckDue() noexcept {
  if (policy_.period == RotationPeriod::None) return startPending_;
  const std::time_t now = std::time(nullptr);
  if (now < checkedUntil_) return startPending_;
  // The bounds of the local hour or day of `now`, by the calendar, so that
  // days of 23 or 25 hours end where the clock says.
  std::tm local{};
  if (!platform::toLocalTime(now, local)) return startPending_;
  local.tm_sec = 0;
  local.tm_min = 0;
  if (policy_.period == RotationPeriod::Daily) local.tm_hour = 0;
  local.tm_isdst = -1;
  periodStart_ = std::mktime(&local);
  if (policy_.period == RotationPeriod::Daily) {
    ++local.tm_mday;
  } else {
    ++local.tm_hour;
  }
  local.tm_isdst = -1;
  periodEnd_ = std::mktime(&local);
  if (periodStart_ == -1 || periodEnd_ <= now) periodEnd_ = now + 1;  // Look again soon.
  return true;
}

bool FileLogSink::dueEarly(const platform::FileState& found) const noexcept {
  return found.regular && found.size > 0 &&
         (startPending_ ||
          (policy_.period != RotationPeriod::None && found.modified < periodStart_));
}

void FileLogSink::settleEarlyCheck() noexcept {
  startPending_ = false;
  checkedUntil_ = periodEnd_;
}

bool FileLogSink::decide(std::unique_lock<std::mutex>& lock, platform::AppendFile& file,
                         const platform::FileState& found, bool early, int& rotated) noexcept {
  // Decided under the lock that every sink in every process takes, and
  // only while the name still means the file found: if another process
  // rotated it a moment ago, this rotation has been dealt with (and lines
  // written to it went into that backup). Waiting out another process's
  // rotation keeps this writer from appending more lines to the file being
  // rotated; a lock held past the wait (a stranger's) leaves rotating to a
  // later line. A name that is a symbolic link never matches, so the link
  // is never renamed away.
  const platform::NativeString& name = backups_->active();
  platform::FileId named;
  const auto namesThisFile = [&] {
    return platform::entryId(name.c_str(), named) && named == found.id;
  };
  if (!namesThisFile()) {
    seen_.valid = false;  // The name means a file this sink has not seen,
    aloneFiles_ = 0;      // made by another writer.
    if (early && platform::entryKind(name.c_str()) == EntryKind::Other) {
      settleEarlyCheck();  // A link: written through, never rotated.
      return false;
    }
    return true;
  }
  SharedState& state = shared();
  const bool marked = state.deciding.mark(name);
  const bool locked =
      detail::takeFileLock(lock, file, &platform::AppendFile::tryLock, rotationLockBusy_, nullptr);
  // Still due under the lock: the file may have been emptied in place (a
  // pinned one copied away) since it was looked at.
  platform::FileState now;
  const bool due = locked && namesThisFile() && file.state(now) &&
                   (early ? dueEarly(now) : now.size >= policy_.maxFileBytes);
  bool moved = locked && !due;
  if (due) {
    aloneFiles_ = othersInFile_ ? 0 : aloneFiles_ + 1;
    othersInFile_ = false;
    moved = backups_->rotate(lock, file, appendLockBusy_);
    if (moved) {
      state.fragments.forget(found.id);
      ++rotated;
    }
    // This run's and this period's rotation is made: the fresh file may get
    // other writers' lines at once, and is not rotated again for them.
    if (moved && early) settleEarlyCheck();
  }
  if (locked) seen_.valid = false;
  if (marked) {
    state.deciding.unmark(name);
    state.decided.notify_all();
  }
  return moved;
}

std::shared_ptr<ILogSink> makeFileLogSink(std::filesystem::path path) {
  return std::make_shared<FileLogSink>(std::move(path));
}

std::shared_ptr<ILogSink> makeFileLogSink(std::filesystem::path path,
                                          const RotationPolicy& policy) {
  return std::make_shared<FileLogSink>(std::move(path), policy);
}

}  // namespace velmor::common
