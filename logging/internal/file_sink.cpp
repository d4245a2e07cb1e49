// FileSink: construction, the append loop, the decision to rotate, and the
// rotation hook.
#include "logging/internal/file_sink.h"

#include <cstdio>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>

#include "logging/internal/append_pass.h"
#include "logging/internal/backup_compression.h"
#include "logging/internal/compressor.h"
#include "logging/internal/process_state.h"

namespace velmor::common::internal {
namespace {

namespace fs = std::filesystem;

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
  const auto time = static_cast<int>(policy.format.time);
  if (time < static_cast<int>(TimeFormat::TimeOfDay) ||
      time > static_cast<int>(TimeFormat::UtcIso8601)) {
    throw std::invalid_argument(
        "RotationPolicy::format.time must be TimeOfDay, LocalIso8601 or UtcIso8601, not " +
        std::to_string(time));
  }
  if (policy.fileMode && *policy.fileMode > 07777) {
    char shown[32];
    std::snprintf(shown, sizeof(shown), "0%o", *policy.fileMode);
    throw std::invalid_argument(
        std::string("RotationPolicy::fileMode must be at most 07777, not ") + shown);
  }
  if (policy.syncFrom && (static_cast<int>(*policy.syncFrom) < static_cast<int>(LogLevel::Trace) ||
                          static_cast<int>(*policy.syncFrom) > static_cast<int>(LogLevel::Fatal))) {
    throw std::invalid_argument(
        "RotationPolicy::syncFrom must be a level from Trace to Fatal, not " +
        std::to_string(static_cast<int>(*policy.syncFrom)));
  }
  checkCodec(policy.codec, policy.compressionLevel, policy.compressBackups);
  if (policy.maxBackupAge.count() < 0) {
    throw std::invalid_argument("RotationPolicy::maxBackupAge must not be negative, not " +
                                std::to_string(policy.maxBackupAge.count()) + "s");
  }
  return policy;
}

}  // namespace

FileSink::FileSink(fs::path path, const RotationPolicy& policy)
    : policy_(checked(policy)), backups_(path, policy_), trigger_(policy_) {
  // Made now, where an allocation may fail: writing then allocates nothing.
  processState();
  if (backups_.usable()) trigger_.beginRun(backups_.active().c_str());
  std::error_code ec;
  if (backups_.usable() && !path.parent_path().empty()) {
    // Failure is deliberately ignored: writes are dropped until it exists.
    fs::create_directories(path.parent_path(), ec);
  }
  if (policy_.onRotated) {
    newest_ = std::move(path);
    newest_ += ".1";
    shownNewest_ = platform::displayPath(newest_.native());
  }
  if (policy_.compressBackups) compressor_ = &BackgroundCompressor::get();
}

FileSink::~FileSink() {
  if (compressor_ != nullptr) compressor_->finish(compression_);
}

std::size_t FileSink::append(const LogRecord* records, std::size_t count, platform::ErrorCode* why,
                             const std::atomic<bool>* stop) {
  AppendPass::Tally tally;
  {
    ProcessState& state = processState();
    std::unique_lock<std::mutex> lock(state.mutex);
    // Not usable: a name the OS cannot be given.
    while (backups_.usable() && tally.done < count && (stop == nullptr || !stop->load())) {
      // Another thread is deciding whether this file is to be rotated: a
      // line added now would land in the file being rotated.
      state.decided.wait(lock, [&] { return !state.deciding.has(backups_.active()); });
      AppendPass pass(*this, state, lock);
      if (!pass.run(records + tally.done, count - tally.done, tally)) break;
    }
  }
  announce(tally.rotated);
  if (why != nullptr) *why = tally.error;
  return tally.done;
}

std::size_t FileSink::appendWithin(const LogRecord* records, std::size_t count,
                                   std::chrono::steady_clock::time_point deadline) noexcept {
  ProcessState& state = processState();
  std::unique_lock<std::mutex> lock(state.mutex, std::defer_lock);
  // The dying thread itself may hold it (a fault inside a write).
  while (!lock.try_lock()) {
    if (std::chrono::steady_clock::now() >= deadline) return 0;
    std::this_thread::yield();
  }
  AppendPass::Tally tally;
  while (backups_.usable() && tally.done < count) {
    if (!state.decided.wait_until(lock, deadline,
                                  [&] { return !state.deciding.has(backups_.active()); })) {
      break;
    }
    AppendPass pass(*this, state, lock);
    if (!pass.run(records + tally.done, count - tally.done, tally)) break;
  }
  return tally.done;
}

std::error_code FileSink::probe() const {
  if (!backups_.usable()) return std::make_error_code(std::errc::invalid_argument);
  const platform::ErrorCode error = platform::probeAppend(backups_.active().c_str(), fileMode());
  return {static_cast<int>(error), std::system_category()};
}

bool FileSink::syncActive() const noexcept {
  return backups_.usable() && platform::syncFile(backups_.active().c_str()) == 0;
}

bool FileSink::rotateIfStillDue(FileLocks& locks, const platform::FileState& found, bool early,
                                int& rotated) noexcept {
  // Decided under the lock that every sink in every process takes, and
  // only while the name still means the file found: if another process
  // rotated it a moment ago, this rotation has been dealt with (and lines
  // written to it went into that backup). Waiting out another process's
  // rotation keeps this writer from appending more lines to the file being
  // rotated; a lock held past the wait (a stranger's) leaves rotating to a
  // later line. A name that is a symbolic link never matches, so the link
  // is never renamed away.
  const platform::NativeString& name = backups_.active();
  platform::FileId named;
  const auto namesThisFile = [&] {
    return platform::entryId(name.c_str(), named) && named == found.id;
  };
  if (!namesThisFile()) {
    company_.noteNameMovedOn();
    if (early && platform::entryKind(name.c_str()) == platform::EntryKind::Other) {
      trigger_.settle();  // A link: written through, never rotated.
      return false;
    }
    return true;
  }
  ProcessState& state = processState();
  const bool marked = state.deciding.mark(name);
  const bool locked = locks.takeRotationLock();
  // Still due under the lock: the file may have been emptied in place (a
  // pinned one copied away) since it was looked at.
  platform::FileState now;
  const bool due = locked && namesThisFile() && locks.file().state(now) &&
                   (early ? trigger_.dueBeforeAppend(now) : now.size >= policy_.maxFileBytes);
  bool movedOn = locked && !due;
  if (due) {
    company_.noteRotation();
    movedOn = backups_.rotate(locks);
    if (movedOn) {
      state.fragments.forget(found.id);
      ++rotated;
    }
    // This run's and this period's rotation is made: the fresh file may get
    // other writers' lines at once, and is not rotated again for them.
    if (movedOn && early) trigger_.settle();
  }
  if (locked) company_.forgetFile();
  if (marked) {
    state.deciding.unmark(name);
    state.decided.notify_all();
  }
  // Compressed beside the writers: this rotation only asks for it.
  if (due && movedOn && compressor_ != nullptr) compressor_->request(compression_);
  return movedOn;
}

template <typename Step>
bool FileSink::underActiveLock(Step step) noexcept {
  std::unique_lock<std::mutex> lock(processState().mutex);
  // The name may move on between the open and the lock: then once more.
  for (int attempt = 0; attempt < 3; ++attempt) {
    platform::AppendFile active(backups_.active().c_str(), fileMode());
    platform::FileState found;
    if (!active.isOpen() || !active.state(found) || !found.regular) return false;
    FileLocks locks(lock, active, lockMemories_);
    if (!locks.takeRotationLock()) return false;
    platform::FileId named;
    if (platform::entryId(backups_.active().c_str(), named) && named == found.id) {
      return step(locks);
    }
  }
  return false;
}

void FileSink::compressPass() noexcept {
  if (!backups_.usable()) return;
  bool renamed = false;
  for (int n = 2; n <= backups_.lastCompressible(); ++n) {
    if (platform::entryKind(backups_.plainName(n).c_str()) != platform::EntryKind::Regular) {
      continue;
    }
    BackupCompression backup(backups_, n);
    if (!underActiveLock([&](FileLocks&) { return backup.begin(); })) continue;
    // The slow part, without a lock: writers append and rotate meanwhile.
    if (!backup.compress()) continue;
    renamed = underActiveLock([&](FileLocks& locks) { return backup.commit(locks); }) || renamed;
  }
  underActiveLock([&](FileLocks&) {
    // A compressor killed mid-way leaves its temporary file at the number
    // it began at, which the backup has left since: nothing would start
    // there again. A live one holds its file's lock, and is left alone.
    for (int n = 2; n <= backups_.policy().maxBackups; ++n) {
      platform::removeAbandoned(backups_.tempName(n).c_str());
    }
    backups_.finishCompression(renamed);
    return true;
  });
}

namespace {
// Whether this thread is running an onRotated hook, of any sink.
thread_local bool inHook = false;
}  // namespace

void FileSink::announce(int rotations) noexcept {
  // A rotation caused by a line that a hook wrote calls no hook: a hook
  // that logs (to its own sink or another) can never call itself again.
  if (!policy_.onRotated || inHook) return;
  inHook = true;
  for (int i = 0; i < rotations; ++i) {
    try {
      policy_.onRotated(newest_);
    } catch (const std::exception& error) {
      hookFailed(error.what());
    } catch (...) {
      hookFailed("an exception not derived from std::exception");
    }
  }
  inHook = false;
}

void FileSink::hookFailed(const char* what) noexcept {
  if (hookWarned_.exchange(true)) return;
  std::fprintf(stderr,
               "[velmor-log-rotation] onRotated(%s) threw: %s; later ones are not shown. "
               "(one-shot warning)\n",
               shownNewest_.c_str(), what);
}

}  // namespace velmor::common::internal
