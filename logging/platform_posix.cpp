// POSIX bodies of the operating-system calls in platform.h.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "logging/platform.h"

namespace velmor::common::platform {
namespace {

ErrorCode lastError() noexcept { return errno != 0 ? static_cast<ErrorCode>(errno) : EIO; }

FileId idOf(const struct stat& st) noexcept {
  return FileId{static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino)};
}

}  // namespace

AppendFile::AppendFile(const NativeChar* name) noexcept {
  // O_CLOEXEC: a child started while the file is open must not keep it (nor
  // the disk space of a deleted backup). O_NONBLOCK: opening a FIFO without a
  // reader fails instead of blocking every sink of the process; on regular
  // files it changes nothing.
  int fd = -1;
  do {
    fd = ::open(name, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NONBLOCK | O_NOCTTY, 0666);
  } while (fd < 0 && errno == EINTR);
  handle_ = fd;
}

AppendFile::~AppendFile() {
  // Closing releases the flock as well.
  if (handle_ >= 0) ::close(static_cast<int>(handle_));
}

bool AppendFile::isOpen() const noexcept { return handle_ >= 0; }

std::size_t AppendFile::append(const std::string_view* parts, std::size_t count) noexcept {
  // One gathered write: the pieces need no copying into one buffer, and
  // still reach the file as one append.
  struct iovec pieces[kMaxParts];
  int left = 0;
  for (std::size_t i = 0; i < count && i < kMaxParts; ++i) {
    if (parts[i].empty()) continue;
    pieces[left].iov_base = const_cast<char*>(parts[i].data());
    pieces[left].iov_len = parts[i].size();
    ++left;
  }
  struct iovec* next = pieces;
  std::size_t done = 0;
  while (left > 0) {
    const ssize_t n = ::writev(static_cast<int>(handle_), next, left);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<std::size_t>(n);
    // Step past what was written: a call may stop anywhere.
    for (auto written = static_cast<std::size_t>(n); written > 0;) {
      if (written >= next->iov_len) {
        written -= next->iov_len;
        ++next;
        --left;
      } else {
        next->iov_base = static_cast<char*>(next->iov_base) + written;
        next->iov_len -= written;
        written = 0;
      }
    }
  }
  return done;
}

bool AppendFile::state(FileState& out) const noexcept {
  struct stat st;
  if (::fstat(static_cast<int>(handle_), &st) != 0) return false;
  out.size = static_cast<std::uint64_t>(st.st_size);
  out.id = idOf(st);
  out.regular = S_ISREG(st.st_mode);
  return true;
}

bool AppendFile::lock() noexcept {
  if (locked_) return true;
  int result = 0;
  do {
    result = ::flock(static_cast<int>(handle_), LOCK_EX);
  } while (result != 0 && errno == EINTR);
  locked_ = result == 0;
  return locked_;
}

EntryKind entryKind(const NativeChar* name) noexcept {
  struct stat st;
  if (::lstat(name, &st) != 0) return EntryKind::Absent;
  return S_ISREG(st.st_mode) ? EntryKind::Regular : EntryKind::Other;
}

bool entryId(const NativeChar* name, FileId& out) noexcept {
  struct stat st;
  if (::lstat(name, &st) != 0) return false;
  out = idOf(st);
  return true;
}

ErrorCode renameNoReplace(const NativeChar* from, const NativeChar* to) noexcept {
#ifdef RENAME_NOREPLACE
  if (::renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE) == 0) return 0;
  // EINVAL: this file system cannot refuse a replace; fall back below.
  if (errno != EINVAL && errno != ENOSYS) return lastError();
#endif
  // Check, then rename. Rotation runs under the file lock, so no other sink
  // can fill the name in between.
  struct stat st;
  if (::lstat(to, &st) == 0) return EEXIST;
  if (std::rename(from, to) == 0) return 0;
  return lastError();
}

ErrorCode removeFile(const NativeChar* name) noexcept {
  return ::unlink(name) == 0 ? 0 : lastError();
}

bool toLocalTime(std::time_t time, std::tm& out) noexcept {
  return ::localtime_r(&time, &out) != nullptr;
}

std::string displayPath(const NativeString& path) { return path; }

}  // namespace velmor::common::platform
