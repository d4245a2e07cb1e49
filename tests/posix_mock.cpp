// The pinned files of posix_mock.h, and the calls that honour them.
#include "posix_mock.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace velmor::mock {
namespace {

using Identity = std::pair<dev_t, ino_t>;

std::mutex mutex;
std::atomic<bool> fstatFails{false};
std::atomic<int> opensToFail{0};
std::atomic<bool> recording{false};
std::vector<std::string> calls;  // Guarded by `mutex`.
std::atomic<int> openError{0};
std::vector<Identity> pinned;      // Guarded by `mutex`.
std::function<void()> pending[5];  // By Moment; guarded by `mutex`.

bool identityOf(const char* name, Identity& out) {
  struct stat st;
  if (::lstat(name, &st) != 0) return false;
  out = {st.st_dev, st.st_ino};
  return true;
}

// Whether `name` is a pinned file; sets errno as the attribute would.
bool refused(const char* name) {
  Identity id;
  if (!identityOf(name, id)) return false;
  const std::lock_guard<std::mutex> lock(mutex);
  if (std::find(pinned.begin(), pinned.end(), id) == pinned.end()) return false;
  errno = EPERM;
  return true;
}

// The file `fd` is open on, as the OS names it.
std::string nameOf(int fd) {
  char link[64];
  std::snprintf(link, sizeof(link), "/proc/self/fd/%d", fd);
  char name[4096];
  const ssize_t size = ::readlink(link, name, sizeof(name));
  return size > 0 ? std::string(name, static_cast<std::size_t>(size)) : "?";
}

void note(const std::string& call) {
  if (!recording) return;
  const std::lock_guard<std::mutex> lock(mutex);
  calls.push_back(call);
}

void reached(Moment moment) {
  std::function<void()> work;
  {
    const std::lock_guard<std::mutex> lock(mutex);
    work = std::move(pending[static_cast<int>(moment)]);
    pending[static_cast<int>(moment)] = nullptr;
  }
  if (work) work();
}

}  // namespace

int renameat2(int fromDir, const char* from, int toDir, const char* to, unsigned flags) {
  if (refused(from) || refused(to)) return -1;
  const int result = ::renameat2(fromDir, from, toDir, to, flags);
  if (result == 0) note(std::string("rename ") + from + " " + to);
  return result;
}

int rename(const char* from, const char* to) {
  if (refused(from) || refused(to)) return -1;
  const int result = ::rename(from, to);
  if (result == 0) note(std::string("rename ") + from + " " + to);
  return result;
}

int fdatasync(int fd) {
  note("fdatasync " + nameOf(fd));
  return ::fdatasync(fd);
}

int fsync(int fd) {
  note("fsync " + nameOf(fd));
  return ::fsync(fd);
}

void record(bool on) {
  const std::lock_guard<std::mutex> lock(mutex);
  calls.clear();
  recording = on;
}

std::vector<std::string> recorded() {
  const std::lock_guard<std::mutex> lock(mutex);
  return calls;
}

int unlink(const char* name) { return refused(name) ? -1 : ::unlink(name); }

int fstat(int fd, struct stat* out) {
  if (fstatFails) {
    errno = EIO;
    return -1;
  }
  return ::fstat(fd, out);
}

void failFstat(bool on) { fstatFails = on; }

int open(const char* name, int flags, mode_t mode) {
  int left = opensToFail.load();
  while (left > 0 && !opensToFail.compare_exchange_weak(left, left - 1)) {
  }
  if (left > 0) {
    errno = openError;
    return -1;
  }
  return ::open(name, flags, mode);
}

void failOpens(int count, int error) {
  openError = error;
  opensToFail = count;
}

int fcntl(int fd, int command, struct flock* lock) {
  if (command == F_OFD_SETLK && lock->l_len == 1) reached(Moment::BeforeMarkingAnAppend);
  if (command == F_OFD_SETLK && lock->l_len > 1 && lock->l_type == F_WRLCK) {
    reached(Moment::BeforeRaisingABarrier);
  }
  return ::fcntl(fd, command, lock);
}

ssize_t writev(int fd, const struct iovec* parts, int count) {
  reached(Moment::BeforeAnAppend);
  note("writev " + nameOf(fd));
  const ssize_t written = ::writev(fd, parts, count);
  const int error = errno;
  reached(Moment::AfterAnAppend);
  errno = error;
  return written;
}

ssize_t pread(int fd, void* into, size_t size, off_t offset) {
  reached(Moment::BeforeReadingABackup);
  return ::pread(fd, into, size, offset);
}

void atNext(Moment moment, std::function<void()> work) {
  const std::lock_guard<std::mutex> lock(mutex);
  pending[static_cast<int>(moment)] = std::move(work);
}

bool pin(const char* name) {
  Identity id;
  if (!identityOf(name, id)) return false;
  const std::lock_guard<std::mutex> lock(mutex);
  pinned.push_back(id);
  return true;
}

void unpin(const char* name) {
  Identity id;
  if (!identityOf(name, id)) return;
  const std::lock_guard<std::mutex> lock(mutex);
  pinned.erase(std::remove(pinned.begin(), pinned.end(), id), pinned.end());
}

}  // namespace velmor::mock
