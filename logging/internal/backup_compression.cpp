// One plain backup made compressed beside the writers, and moved to the
// number it holds by the time it is done.
#include "logging/internal/backup_compression.h"

#include <chrono>
#include <string_view>
#include <thread>

#include "logging/internal/compressor.h"

namespace velmor::common::internal {
namespace {

using platform::EntryKind;

// Raises `barrier`, waiting kFileLockWaitMs at most for the appends in
// progress (each takes microseconds); true also where there is no barrier
// to raise (no such locks), as nothing better can be done there.
bool raise(platform::AppendBarrier& barrier) noexcept {
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(kFileLockWaitMs);
  platform::LockResult result = barrier.tryTake();
  while (result == platform::LockResult::Busy && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    result = barrier.tryTake();
  }
  return result != platform::LockResult::Busy;
}

}  // namespace

BackupCompression::BackupCompression(const BackupSet& set, int n) noexcept
    : set_(set), number_(n), plain_(set.plainName(n).c_str()) {}

BackupCompression::~BackupCompression() {
  out_.reset();
  if (made_) platform::removeFile(set_.tempName(number_).c_str());
}

bool BackupCompression::begin() noexcept {
  if (!plain_.isOpen() || !plain_.state(source_) || !source_.regular || source_.removed) {
    return false;
  }
  const platform::NativeString& temp = set_.tempName(number_);
  // One that is still in use is another process's compression of this
  // number: it is left to that one.
  if (!platform::removeAbandoned(temp.c_str())) return false;
  out_.emplace(temp.c_str(), plain_);
  made_ = out_->isOpen();
  return made_;
}

bool BackupCompression::compress() noexcept {
  const RotationPolicy& policy = set_.policy();
  taken_ = compressFile(plain_, *out_, policy.codec, policy.compressionLevel);
  if (taken_ < 0 || !out_->finish(source_.modified)) taken_ = -1;
  return taken_ >= 0;
}

int BackupCompression::whereNow() const noexcept {
  // Rotations only ever move a backup up.
  for (int n = number_; n <= set_.policy().maxBackups; ++n) {
    platform::FileId id;
    if (platform::entryId(set_.plainName(n).c_str(), id) && id == source_.id) return n;
  }
  return 0;
}

bool BackupCompression::commit(FileLocks& locks) noexcept {
  if (taken_ < 0) return false;
  const int at = whereNow();
  if (at == 0) return false;
  for (const CompressionCodec codec : kCodecs) {
    const platform::NativeString& name = set_.compressedName(codec, at);
    const EntryKind kind = platform::entryKind(name.c_str());
    if (kind == EntryKind::Absent) continue;
    // A compressed file beside its plain file is either what a writer that
    // died before removing the plain one made from it (the plain file then
    // holds all of it and maybe more: made again), or an older backup that
    // a writer without compression shifted a plain file in beside. That one
    // is kept, and so is the plain file, as it is: the number holds both.
    if (kind == EntryKind::Other || !isCompressedPrefix(name, codec)) return false;
    platform::removeFile(name.c_str());
  }
  // Up from the last read of the plain file to its removal: a writer that
  // opened it while it was the active file appends either before, and its
  // line is moved, or after, and finds it removed. A writer that holds the
  // barrier off longer is stalled: the file stays plain for a later pass.
  platform::AppendBarrier barrier(set_.plainName(at).c_str(), source_.id);
  if (!locks.withoutProcessLock([&] { return raise(barrier); })) return false;
  // Closed before it is renamed, which Windows needs; no other compressor
  // touches it meanwhile, as they too need the rotation lock for that.
  out_.reset();
  const RotationPolicy& policy = set_.policy();
  // Complete and on disk before it takes its final name, and the plain file
  // goes only then.
  if (platform::renameNoReplace(set_.tempName(number_).c_str(),
                                set_.compressedName(policy.codec, at).c_str(),
                                policy.syncRotations) != 0) {
    return false;
  }
  made_ = false;
  platform::removeFile(set_.plainName(at).c_str());
  moveLateLines(locks);
  return true;
}

void BackupCompression::moveLateLines(FileLocks& locks) noexcept {
  platform::FileState now;
  if (!plain_.state(now) || now.size <= static_cast<std::uint64_t>(taken_)) return;
  if (!locks.takeAppendLock(true)) return;
  char late[16 * 1024];
  for (auto at = static_cast<std::uint64_t>(taken_);;) {
    const std::int64_t got = plain_.readAt(at, late, sizeof(late));
    if (got <= 0) break;
    const std::string_view piece(late, static_cast<std::size_t>(got));
    if (locks.file().append(&piece, 1, false) != piece.size()) break;
    at += static_cast<std::uint64_t>(got);
  }
  locks.releaseAppendLock();
}

bool BackupCompression::isCompressedPrefix(const platform::NativeString& name,
                                           CompressionCodec codec) const noexcept {
  // Closed again before anything is removed: on Windows a deleted file
  // keeps its name while a handle to it is open.
  const platform::SourceFile made(name.c_str());
  return made.isOpen() && compressedPrefixOf(made, plain_, codec);
}

}  // namespace velmor::common::internal
