// POSIX bodies of the operating-system calls in platform.h.
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>
#include <system_error>

#include "logging/internal/platform.h"

// The calls that open a file to append to, move and delete files, read an
// open file's size or a backup, mark an append and make it go through
// VELMOR_POSIX_CALL, so that a test build can put a
// stand-in in their place (tests/posix_mock.h) and make them fail where the
// real OS would need root, or luck, to refuse them.
#ifdef VELMOR_POSIX_MOCK
#include "posix_mock.h"
#define VELMOR_POSIX_CALL(call) ::velmor::mock::call
#else
#define VELMOR_POSIX_CALL(call) ::call
#endif

namespace velmor::common::internal::platform {
namespace {

FileId idOf(const struct stat& st) noexcept {
  return FileId{static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino)};
}

// Keeps the SIGPIPE that a write to a pipe without a reader raises from
// reaching the process, without touching any disposition: the signal is
// blocked in this thread for the write, and the one the write raised, if
// any, is taken off the pending set before the old mask comes back. A
// SIGPIPE that was already pending is left for the program.
class PipeSignalGuard {
 public:
  PipeSignalGuard() noexcept {
    sigemptyset(&pipe_);
    sigaddset(&pipe_, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe_, &saved_);
    sigset_t pending;
    sigemptyset(&pending);
    pendingBefore_ = sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE) == 1;
  }
  ~PipeSignalGuard() {
    if (raised_ && !pendingBefore_) {
      const struct timespec now = {0, 0};
      while (sigtimedwait(&pipe_, nullptr, &now) < 0 && errno == EINTR) {
      }
    }
    pthread_sigmask(SIG_SETMASK, &saved_, nullptr);
  }
  PipeSignalGuard(const PipeSignalGuard&) = delete;
  PipeSignalGuard& operator=(const PipeSignalGuard&) = delete;

  void raised() noexcept { raised_ = true; }

 private:
  sigset_t pipe_;
  sigset_t saved_;
  bool pendingBefore_ = false;
  bool raised_ = false;
};

#ifdef F_OFD_SETLK
// The byte whose lock marks a rotation lock held by a sink.
struct flock sinkMark(short type) noexcept {
  struct flock mark {};
  mark.l_type = type;
  mark.l_whence = SEEK_SET;
  mark.l_start = static_cast<off_t>(0x7FFFFFFFFFFFFFF0LL);
  mark.l_len = 1;
  return mark;
}

// The bytes whose locks mark appends in progress: one per process (by its
// id), all of them for an AppendBarrier; below the rotation mark, and far
// past any real size.
constexpr std::uint64_t kAppendMarks = 0x7FFFFFFE00000000ULL;
constexpr std::uint64_t kAppendMarkCount = 0x100000000ULL;
// The process id, read once (getpid is a system call) and again in the
// child of a fork.
pid_t cachedPid = 0;
pid_t processId() noexcept {
  static const bool once = [] {
    ::pthread_atfork(nullptr, nullptr, [] { cachedPid = ::getpid(); });
    cachedPid = ::getpid();
    return true;
  }();
  static_cast<void>(once);
  return cachedPid;
}

struct flock appendMark(short type, std::uint64_t first, std::uint64_t count) noexcept {
  struct flock mark {};
  mark.l_type = type;
  mark.l_whence = SEEK_SET;
  mark.l_start = static_cast<off_t>(kAppendMarks + first % kAppendMarkCount);
  mark.l_len = static_cast<off_t>(count);
  return mark;
}
#endif

// What AppendFile::state and SourceFile::state tell of a descriptor.
bool stateOf(std::intptr_t handle, FileState& out) noexcept {
  struct stat st;
  if (VELMOR_POSIX_CALL(fstat)(static_cast<int>(handle), &st) != 0) return false;
  out.size = static_cast<std::uint64_t>(st.st_size);
  out.id = idOf(st);
  out.regular = S_ISREG(st.st_mode);
  out.modified = st.st_mtime;
  out.removed = st.st_nlink == 0;
  return true;
}

// Puts what was written through `fd` on stable storage (fdatasync where
// there is one); false, with errno set, on failure. A pipe, socket or
// terminal keeps nothing to sync (EINVAL, EROFS): true.
bool syncDescriptor(int fd) noexcept {
  int result;
  do {
#if defined(__linux__) || defined(__FreeBSD__) || defined(__NetBSD__)
    result = VELMOR_POSIX_CALL(fdatasync)(fd);
#else
    result = VELMOR_POSIX_CALL(fsync)(fd);
#endif
  } while (result != 0 && errno == EINTR);
  return result == 0 || errno == EINVAL || errno == EROFS;
}

}  // namespace

AppendFile::AppendFile(const NativeChar* name, unsigned mode) noexcept : name_(name) {
  // The process's own streams, whatever they are: open("/dev/stdout") would
  // fail on a socket (standard output under systemd) and would not share
  // the descriptor's offset on a file.
  for (const int fd : {1, 2}) {
    if (std::strcmp(name, fd == 1 ? "/dev/stdout" : "/dev/stderr") != 0) continue;
    borrowed_ = true;
    handle_ = ::fcntl(fd, F_GETFD) >= 0 ? fd : -1;
    if (handle_ < 0) openError_ = EBADF;
    return;
  }
  // O_CLOEXEC: a child started while the file is open must not keep it (nor
  // the disk space of a deleted backup). O_NONBLOCK: opening a FIFO without a
  // reader fails instead of blocking every sink of the process; on regular
  // files it changes nothing, and append() waits for a full pipe in poll().
  int fd = -1;
  do {
    fd = VELMOR_POSIX_CALL(open)(name,
                                 O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NONBLOCK | O_NOCTTY,
                                 static_cast<mode_t>(mode));
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) openError_ = lastError();
  handle_ = fd;
}

bool AppendFile::syncData() noexcept {
  return handle_ >= 0 && syncDescriptor(static_cast<int>(handle_));
}

WriteInterrupter::~WriteInterrupter() = default;
void WriteInterrupter::registerCurrentThread() noexcept {}
void WriteInterrupter::interrupt() noexcept {}

ErrorCode lastError() noexcept { return errno != 0 ? static_cast<ErrorCode>(errno) : EIO; }
ErrorCode lockBusyError() noexcept { return EBUSY; }

ErrorCode outOfMemoryError() noexcept { return ENOMEM; }

ErrorCode probeAppend(const NativeChar* name, unsigned mode) noexcept {
  const AppendFile file(name, mode);
  return file.openError() == ENXIO ? 0 : file.openError();
}

AppendFile::~AppendFile() {
  // Closing releases the flock as well.
  if (handle_ >= 0 && !borrowed_) ::close(static_cast<int>(handle_));
}

bool AppendFile::isOpen() const noexcept { return handle_ >= 0; }

LockResult AppendFile::tryLockForAppend(bool shared) noexcept {
  // The kernel appends atomically: only the mark an AppendBarrier waits
  // for is taken, and only for a file that other processes may rotate
  // (it costs a lock and its release at close).
  if (!shared || borrowed_ || appendLocked_) {
    appendLocked_ = true;
    return LockResult::Taken;
  }
#ifdef F_OFD_SETLK
  const int fd = static_cast<int>(handle_);
  struct flock mark = appendMark(F_WRLCK, static_cast<std::uint64_t>(processId()), 1);
  if (VELMOR_POSIX_CALL(fcntl)(fd, F_OFD_SETLK, &mark) != 0 &&
      (errno == EAGAIN || errno == EACCES)) {
    // Only a barrier is waited for. A stranger's lock over the whole file
    // (fcntl or lockf by another program) covers the mark too, and must
    // cost neither a wait nor the line: the append goes unmarked.
    struct flock holder = appendMark(F_WRLCK, static_cast<std::uint64_t>(processId()), 1);
    const struct flock barrier = appendMark(F_WRLCK, 0, kAppendMarkCount);
    if (::fcntl(fd, F_OFD_GETLK, &holder) != 0 || holder.l_type == F_UNLCK ||
        (holder.l_start == barrier.l_start && holder.l_len == barrier.l_len)) {
      return LockResult::Busy;
    }
  }
#endif
  // Marked, or unmarkable here (no such locks, a stream, a stranger's lock
  // over it): appended anyway.
  appendLocked_ = true;
  return LockResult::Taken;
}

void AppendFile::unlockAppend() noexcept { appendLocked_ = false; }

std::size_t AppendFile::append(const std::string_view* parts, std::size_t count, bool stream,
                               const std::atomic<bool>* giveUp) noexcept {
  const int fd = static_cast<int>(handle_);
  const auto givenUp = [&] { return giveUp != nullptr && giveUp->load(); };
  if (stream && givenUp()) {
    writeError_ = ECANCELED;
    return 0;
  }
  std::optional<PipeSignalGuard> guard;
  if (stream) guard.emplace();
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
    const ssize_t n = VELMOR_POSIX_CALL(writev)(fd, next, left);
    if (n < 0 && errno == EINTR) continue;
    // A full pipe makes the writer wait, as a full standard output does,
    // rather than drop the line; in slices, so that it can be given up.
    // (The descriptor stays non-blocking, as it was opened.)
    if (n < 0 && errno == EAGAIN && stream && !givenUp()) {
      struct pollfd writable {
        fd, POLLOUT, 0
      };
      ::poll(&writable, 1, 50);
      continue;
    }
    if (n < 0 && errno == EPIPE && guard) guard->raised();
    if (n <= 0) {
      writeError_ = n < 0 ? static_cast<ErrorCode>(errno) : EIO;
      break;
    }
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

bool AppendFile::isStream() const noexcept {
  // Exactly the files that cannot seek are the ones that can raise SIGPIPE
  // or block a writer; lseek costs a fraction of fstat.
  return ::lseek(static_cast<int>(handle_), 0, SEEK_CUR) < 0 && errno == ESPIPE;
}

bool AppendFile::state(FileState& out) const noexcept { return stateOf(handle_, out); }

bool AppendFile::lastAppendEnd(std::uint64_t& end) const noexcept {
  if (borrowed_) return false;  // Another part of the program may have moved it.
  const off_t at = ::lseek(static_cast<int>(handle_), 0, SEEK_CUR);
  if (at < 0) return false;
  end = static_cast<std::uint64_t>(at);
  return true;
}

void AppendFile::waitForWritesInProgress() const noexcept {
  // An empty write takes the inode lock and returns before any limit check,
  // so it raises no SIGXFSZ.
  while (::write(static_cast<int>(handle_), "", 0) < 0 && errno == EINTR) {
  }
}

bool killCanEndAt(std::uint64_t size) noexcept {
#ifdef __linux__
  return size % 4096 == 0;
#else
  static_cast<void>(size);
  return true;
#endif
}

TailReader::~TailReader() {
  if (handle_ >= 0) ::close(static_cast<int>(handle_));
}

int TailReader::byteAt(const NativeChar* name, const FileId& id, std::uint64_t offset) noexcept {
  if (handle_ >= 0 && id_ != id) {
    ::close(static_cast<int>(handle_));
    handle_ = -1;
  }
  if (handle_ < 0) {
    int fd = -1;
    do {
      fd = ::open(name, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return -1;
    struct stat read;
    if (::fstat(fd, &read) != 0 || idOf(read) != id) {
      ::close(fd);
      return -1;
    }
    handle_ = fd;
    id_ = id;
  }
  unsigned char byte = 0;
  ssize_t n = 0;
  do {
    n = ::pread(static_cast<int>(handle_), &byte, 1, static_cast<off_t>(offset));
  } while (n < 0 && errno == EINTR);
  return n == 1 ? byte : -1;
}

LockResult AppendFile::tryLock() noexcept {
  if (locked_) return LockResult::Taken;
  // The program's own descriptors are never rotated, so never locked.
  if (borrowed_) return LockResult::Unavailable;
  int result = 0;
  do {
    result = ::flock(static_cast<int>(handle_), LOCK_EX | LOCK_NB);
  } while (result != 0 && errno == EINTR);
  locked_ = result == 0;
  if (!locked_) return errno == EWOULDBLOCK ? LockResult::Busy : LockResult::Unavailable;
#ifdef F_OFD_SETLK
  // The mark of a sink's hold (see heldBySink), on a byte no file reaches.
  // An open file description's lock, released with the descriptor.
  struct flock mark = sinkMark(F_WRLCK);
  ::fcntl(static_cast<int>(handle_), F_OFD_SETLK, &mark);
#endif
  return LockResult::Taken;
}

bool AppendFile::heldBySink() const noexcept {
#ifdef F_OFD_GETLK
  // Exactly the mark: a stranger's lock over the whole file covers it too.
  const struct flock exact = sinkMark(F_WRLCK);
  struct flock mark = exact;
  return ::fcntl(static_cast<int>(handle_), F_OFD_GETLK, &mark) == 0 && mark.l_type != F_UNLCK &&
         mark.l_start == exact.l_start && mark.l_len == exact.l_len;
#else
  return false;
#endif
}

ErrorCode AppendFile::copyToAndEmpty(const NativeChar* /*to*/) noexcept { return ENOTSUP; }

SourceFile::SourceFile(const NativeChar* name) noexcept {
  int fd = -1;
  do {
    fd = ::open(name, O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY);
  } while (fd < 0 && errno == EINTR);
  handle_ = fd;
}

SourceFile::~SourceFile() {
  if (handle_ >= 0) ::close(static_cast<int>(handle_));
}

bool SourceFile::isOpen() const noexcept { return handle_ >= 0; }

AppendBarrier::AppendBarrier(const NativeChar* name, const FileId& expected) noexcept
    : handle_(-1) {
  // Write access, which a write lock needs; nothing is written.
  int fd = -1;
  do {
    fd = ::open(name, O_WRONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return;
  struct stat st;
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || idOf(st) != expected) {
    ::close(fd);
    return;
  }
  handle_ = fd;
}

AppendBarrier::~AppendBarrier() {
  if (handle_ >= 0) ::close(static_cast<int>(handle_));  // Lets go of the barrier.
}

LockResult AppendBarrier::tryTake() noexcept {
  if (held_) return LockResult::Taken;
  if (handle_ < 0) return LockResult::Unavailable;
#ifdef F_OFD_SETLK
  struct flock marks = appendMark(F_WRLCK, 0, kAppendMarkCount);
  if (VELMOR_POSIX_CALL(fcntl)(static_cast<int>(handle_), F_OFD_SETLK, &marks) == 0) {
    held_ = true;
    return LockResult::Taken;
  }
  return errno == EAGAIN || errno == EACCES ? LockResult::Busy : LockResult::Unavailable;
#else
  return LockResult::Unavailable;
#endif
}

std::int64_t SourceFile::readAt(std::uint64_t offset, char* into, std::size_t size) const noexcept {
  ssize_t n = 0;
  do {
    n = VELMOR_POSIX_CALL(pread)(static_cast<int>(handle_), into, size, static_cast<off_t>(offset));
  } while (n < 0 && errno == EINTR);
  return n;
}

bool SourceFile::state(FileState& out) const noexcept { return stateOf(handle_, out); }

NewFile::NewFile(const NativeChar* name, const SourceFile& like) noexcept {
  struct stat st;
  handle_ = -1;
  if (::fstat(static_cast<int>(like.handle_), &st) != 0) return;
  const mode_t mode = st.st_mode & 07777;
  int fd = -1;
  do {
    fd = ::open(name, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, mode);
  } while (fd < 0 && errno == EINTR);
  // The owner and group first, as a change of owner may clear bits; where
  // the process may not give them, the file stays its own. The umask may
  // have taken bits away; it never adds any.
  if (fd >= 0) {
    static_cast<void>(::fchown(fd, st.st_uid, st.st_gid));
    ::fchmod(fd, mode);
    // In use while open. Taken already only by a removeAbandoned() that
    // found the file between its creation and now: it is removed.
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
      ::close(fd);
      fd = -1;
    }
  }
  handle_ = fd;
}

NewFile::~NewFile() {
  if (handle_ >= 0) ::close(static_cast<int>(handle_));
}

bool NewFile::isOpen() const noexcept { return handle_ >= 0; }

bool NewFile::write(const char* data, std::size_t size) noexcept {
  while (size > 0) {
    const ssize_t n = ::write(static_cast<int>(handle_), data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

bool NewFile::finish(std::time_t modified) noexcept {
  const struct timespec times[2] = {{0, UTIME_OMIT}, {modified, 0}};
  const int fd = static_cast<int>(handle_);
  return ::futimens(fd, times) == 0 && ::fsync(fd) == 0;
}

bool removeAbandoned(const NativeChar* name) noexcept {
  int fd = -1;
  do {
    fd = ::open(name, O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return errno == ENOENT;
  // The lock a live compressor holds; the name must still mean the file
  // locked.
  struct stat held;
  struct stat named;
  bool removed = ::flock(fd, LOCK_EX | LOCK_NB) == 0 && ::fstat(fd, &held) == 0 &&
                 ::lstat(name, &named) == 0 && idOf(held) == idOf(named) &&
                 VELMOR_POSIX_CALL(unlink)(name) == 0;
  ::close(fd);
  return removed;
}

void becomeBackgroundThread() noexcept {
  sigset_t blocked;
  sigfillset(&blocked);
  for (const int fault : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGABRT, SIGSYS}) {
    sigdelset(&blocked, fault);
  }
  pthread_sigmask(SIG_BLOCK, &blocked, nullptr);
#ifdef __linux__
  // Linux gives each thread a nice value of its own; 0 names the caller.
  errno = 0;
  const int now = ::getpriority(PRIO_PROCESS, 0);
  if (errno == 0) static_cast<void>(::setpriority(PRIO_PROCESS, 0, now + 10 > 19 ? 19 : now + 10));
#endif
}

bool setThreadExitValue(void* value, void (*release)(void*)) noexcept {
  struct Key {
    pthread_key_t key{};
    bool made = false;
  };
  static const Key slot = [release] {
    Key made;
    made.made = ::pthread_key_create(&made.key, release) == 0;
    return made;
  }();
  return slot.made && ::pthread_setspecific(slot.key, value) == 0;
}

void onFork(void (*prepare)(), void (*parent)(), void (*child)()) noexcept {
  ::pthread_atfork(prepare, parent, child);
}

EntryKind entryKind(const NativeChar* name) noexcept {
  struct stat st;
  if (::lstat(name, &st) != 0) return EntryKind::Absent;
  return S_ISREG(st.st_mode) ? EntryKind::Regular : EntryKind::Other;
}

EntryInfo entryInfo(const NativeChar* name) noexcept {
  struct stat st;
  if (::lstat(name, &st) != 0) return {};
  if (!S_ISREG(st.st_mode)) return {EntryKind::Other, 0, 0};
  return {EntryKind::Regular, static_cast<std::uint64_t>(st.st_size), st.st_mtime};
}

NativeString listingOf(const NativeString& dir) { return dir; }

namespace {

// One entry of a listing: its type from the listing, or from a query where
// the file system leaves it out.
void visitEntry(int dir, const char* name, unsigned char type, EntryVisitor visit,
                void* context) noexcept {
  EntryKind kind = type == DT_REG ? EntryKind::Regular : EntryKind::Other;
  if (type == DT_UNKNOWN) {
    struct stat st;
    if (::fstatat(dir, name, &st, AT_SYMLINK_NOFOLLOW) != 0) return;
    kind = S_ISREG(st.st_mode) ? EntryKind::Regular : EntryKind::Other;
  }
  visit(context, name, std::strlen(name), kind);
}

}  // namespace

#ifdef __linux__
bool listEntries(const NativeChar* listing, std::size_t limit, EntryVisitor visit,
                 void* context) noexcept {
  const int dir = ::open(listing, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir < 0) return false;
  // Read in place, unlike readdir(): a rotation allocates nothing.
  alignas(8) char buffer[4096];
  std::size_t seen = 0;
  bool whole = false;
  for (;;) {
    const ssize_t got = ::getdents64(dir, buffer, sizeof buffer);
    if (got <= 0) {
      whole = got == 0;
      break;
    }
    for (ssize_t at = 0; at < got && seen <= limit; ++seen) {
      const auto* entry = reinterpret_cast<const struct dirent64*>(buffer + at);
      at += entry->d_reclen;
      visitEntry(dir, entry->d_name, entry->d_type, visit, context);
    }
    if (seen > limit) break;
  }
  ::close(dir);
  return whole;
}
#else
bool listEntries(const NativeChar* listing, std::size_t limit, EntryVisitor visit,
                 void* context) noexcept {
  DIR* const stream = ::opendir(listing);
  if (stream == nullptr) return false;
  std::size_t seen = 0;
  bool whole = false;
  for (;;) {
    errno = 0;
    const dirent* entry = ::readdir(stream);
    if (entry == nullptr) {
      whole = errno == 0;
      break;
    }
    if (++seen > limit) break;
    visitEntry(::dirfd(stream), entry->d_name, entry->d_type, visit, context);
  }
  ::closedir(stream);
  return whole;
}
#endif

bool sameEntryName(const NativeChar* a, const NativeChar* b, std::size_t length) noexcept {
  return std::memcmp(a, b, length) == 0;
}

bool entryId(const NativeChar* name, FileId& out) noexcept {
  struct stat st;
  if (::lstat(name, &st) != 0) return false;
  out = idOf(st);
  return true;
}

ErrorCode renameNoReplace(const NativeChar* from, const NativeChar* to,
                          bool /*writeThrough*/) noexcept {
#ifdef RENAME_NOREPLACE
  if (VELMOR_POSIX_CALL(renameat2)(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE) == 0) return 0;
  // EINVAL: this file system cannot refuse a replace; fall back below.
  if (errno != EINVAL && errno != ENOSYS) return lastError();
#endif
  // Check, then rename. Rotation runs under the file lock, so no other sink
  // can fill the name in between.
  struct stat st;
  if (::lstat(to, &st) == 0) return EEXIST;
  if (VELMOR_POSIX_CALL(rename)(from, to) == 0) return 0;
  return lastError();
}

ErrorCode syncFile(const NativeChar* name) noexcept {
  int fd = -1;
  do {
    fd = ::open(name, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return lastError();
  const ErrorCode error = syncDescriptor(fd) ? 0 : lastError();
  ::close(fd);
  return error;
}

ErrorCode syncDirectoryOf(const NativeChar* name) noexcept {
  const char* slash = std::strrchr(name, '/');
  const std::string directory = slash == nullptr ? std::string(".")
                                : slash == name  ? std::string("/")
                                                 : std::string(name, slash);
  int fd = -1;
  do {
    fd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return lastError();
  const ErrorCode error = VELMOR_POSIX_CALL(fsync)(fd) == 0 ? 0 : lastError();
  ::close(fd);
  return error;
}

bool isPinnedError(ErrorCode /*error*/) noexcept { return false; }

ErrorCode removeFile(const NativeChar* name) noexcept {
  return VELMOR_POSIX_CALL(unlink)(name) == 0 ? 0 : lastError();
}

NativeString anchorPath(const std::filesystem::path& path) {
  std::error_code ec;
  std::filesystem::path anchored = std::filesystem::absolute(path, ec);
  return ec ? path.native() : anchored.native();
}

bool toLocalTime(std::time_t time, std::tm& out) noexcept {
  return ::localtime_r(&time, &out) != nullptr;
}

bool toUtcTime(std::time_t time, std::tm& out) noexcept {
  return ::gmtime_r(&time, &out) != nullptr;
}

std::string displayPath(const NativeString& path) { return path; }

}  // namespace velmor::common::internal::platform
