// A stand-in for the POSIX calls that move and delete files, for a build of
// the logging component with VELMOR_POSIX_MOCK: a file pinned here refuses
// to be renamed (away or onto) or deleted, as one with the append-only
// attribute does, so that refused rotations are tested without root.
#ifndef VELMOR_TESTS_POSIX_MOCK_H_
#define VELMOR_TESTS_POSIX_MOCK_H_

#include <sys/types.h>

#include <cstdint>

namespace velmor::mock {

// The calls platform_posix.cpp makes through VELMOR_POSIX_CALL: the real
// ones, unless a file they would move or delete is pinned (then -1 with
// errno EPERM).
int renameat2(int fromDir, const char* from, int toDir, const char* to, unsigned flags);
int rename(const char* from, const char* to);
int unlink(const char* name);

// Pins the file `name` (by identity: it stays pinned under another name);
// false if there is no such file. Thread-safe.
bool pin(const char* name);
// Releases the pin of `name`'s file, if any.
void unpin(const char* name);

}  // namespace velmor::mock

#endif  // VELMOR_TESTS_POSIX_MOCK_H_
