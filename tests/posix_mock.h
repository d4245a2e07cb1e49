// A stand-in for the POSIX calls that move and delete files and read an
// open file's size, for a build of the logging component with
// VELMOR_POSIX_MOCK: a file pinned here refuses to be renamed (away or onto)
// or deleted, as one with the append-only attribute does, so that refused
// rotations are tested without root; fstat and open fail on request; and
// the order of writes, syncs and renames is recorded.
#ifndef VELMOR_TESTS_POSIX_MOCK_H_
#define VELMOR_TESTS_POSIX_MOCK_H_

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/uio.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace velmor::mock {

// The calls platform_posix.cpp makes through VELMOR_POSIX_CALL: the real
// ones, unless a file they would move or delete is pinned (then -1 with
// errno EPERM).
int renameat2(int fromDir, const char* from, int toDir, const char* to, unsigned flags);
int rename(const char* from, const char* to);
int unlink(const char* name);
// The real fstat, unless failures were asked for: then -1 with errno EIO.
int fstat(int fd, struct stat* out);
// The real calls, with the work handed to atNext, if any.
int fcntl(int fd, int command, struct flock* lock);
ssize_t writev(int fd, const struct iovec* parts, int count);
ssize_t pread(int fd, void* into, size_t size, off_t offset);
// The real calls; recorded while record() is on.
int fdatasync(int fd);
int fsync(int fd);
// The real open (of a file to append to), unless failures were asked for
// (failOpens).
int open(const char* name, int flags, mode_t mode);

// Where atNext can stop a caller: before the lock that marks an append,
// before and after the append itself, before a read of a backup being
// compressed, and before the barrier that ends its appends.
enum class Moment {
  BeforeMarkingAnAppend,
  BeforeAnAppend,
  AfterAnAppend,
  BeforeReadingABackup,
  BeforeRaisingABarrier,  // A compression has read its plain file, and is to remove it.
};
// Runs `work` once, the next time a thread reaches `moment`, as if that
// thread had been descheduled there.
void atNext(Moment moment, std::function<void()> work);

// Pins the file `name` (by identity: it stays pinned under another name);
// false if there is no such file. Thread-safe.
bool pin(const char* name);
// Releases the pin of `name`'s file, if any.
void unpin(const char* name);

// Makes every fstat fail from now on (`on`), or succeed again.
void failFstat(bool on);

// Starts (`on`) or stops a record of the calls that put data on disk and
// move files, in their order: "writev NAME", "fdatasync NAME", "fsync NAME"
// and "rename FROM TO", names as the OS gives them for the descriptor.
// Starting clears the record.
void record(bool on);
std::vector<std::string> recorded();

// Makes the next `count` opens of a file to append to fail with `error`, as
// when the process has no descriptor left for a moment (EMFILE).
void failOpens(int count, int error);

}  // namespace velmor::mock

#endif  // VELMOR_TESTS_POSIX_MOCK_H_
