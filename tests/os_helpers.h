// OS-facing helpers of the tests, on POSIX and on Windows: child processes,
// handle inheritance, and files pinned against renaming.
#ifndef VELMOR_TESTS_OS_HELPERS_H_
#define VELMOR_TESTS_OS_HELPERS_H_

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "logging/rotation_policy.h"

namespace velmor::testing {

// A started child: a pid on POSIX, a process handle on Windows; -1 if it
// could not start.
using Child = std::intptr_t;

// Starts `program` with `args`, inheriting the environment and the standard
// streams (and, on Windows, every inheritable handle, as programs that
// redirect a child's streams do). With `input`, the child's standard input is
// a pipe whose writing end is returned there, for the caller to close.
Child spawn(const std::filesystem::path& program, const std::vector<std::string>& args,
            std::intptr_t* input = nullptr);

// Waits for `child` to end; returns its exit status, 128 + N if signal N
// ended it (POSIX), or -1 if it cannot be waited for.
int waitFor(Child child);

// What a finished program gave back.
struct Ran {
  int status = -1;  // As waitFor returns it.
  std::string out;
  std::string err;
};

// Runs `program` with `args`, `input` on its standard input (then closed),
// and collects its standard output and error until it exits.
Ran run(const std::filesystem::path& program, const std::vector<std::string>& args,
        const std::string& input);

// Whether a descriptor (POSIX) or HANDLE (Windows) would be inherited by a
// child process: FD_CLOEXEC clear, or HANDLE_FLAG_INHERIT set.
bool inheritable(std::intptr_t handle);

// Sets the last modification time of the file or directory `path` to
// `ago` before now (std::filesystem cannot on a Windows directory); false if
// that failed.
bool setModifiedAgo(const std::filesystem::path& path, std::chrono::seconds ago);

// Decompresses the gzip file `path`; `complete` says whether it held one
// whole stream and nothing after it (false for a missing or cut file).
std::string gunzipFile(const std::filesystem::path& path, bool& complete);

// Writes `text` to `path` as one gzip stream.
void gzipFile(const std::filesystem::path& path, const std::string& text);

// Decompresses the zstd file `path` as gunzipFile does gzip ones; writes
// `text` to `path` as one zstd frame. Without zstd in the build, nothing.
std::string unzstdFile(const std::filesystem::path& path, bool& complete);
void zstdFile(const std::filesystem::path& path, const std::string& text);

// The codecs this build has, and the suffix of each one's files.
std::vector<common::CompressionCodec> builtCodecs();
std::string suffixOf(common::CompressionCodec codec);
// Decompresses `path` by its suffix, ".gz" or ".zst".
std::string unpackFile(const std::filesystem::path& path, bool& complete);
// Writes `text` to `path` compressed by its suffix, ".gz" or ".zst".
void packFile(const std::filesystem::path& path, const std::string& text);

// Backup `n` of `path`: "<path>.<n>" as it is, or else "<path>.<n>.gz" or
// ".zst" decompressed (empty if none exists; a cut one fails the test).
std::string readBackup(const std::filesystem::path& path, int n);

// What the set at `path` with `backups` numbers holds, oldest first: at
// each number a compressed file (the older, when a writer without
// compression shifted a plain one in beside it), then the plain one; then
// the active file. A cut compressed file fails the test.
std::string readSetText(const std::filesystem::path& path, int backups);

// The helper program writer_process, built beside the running test.
std::filesystem::path writerProcess();

// Makes a file impossible to rename while it stays appendable, without
// mocks: the append-only attribute on Linux, a handle without delete sharing
// on Windows.
class FilePin {
 public:
  // Pins `path`; ok() tells whether that worked here (the attribute needs
  // root on a file system that supports it).
  explicit FilePin(const std::filesystem::path& path);
  ~FilePin() { release(); }
  FilePin(const FilePin&) = delete;
  FilePin& operator=(const FilePin&) = delete;

  bool ok() const { return ok_; }
  // Unpins the file; also done by the destructor.
  void release();

  // The error code a rename of the pinned file reports on this platform.
  static unsigned long renameError();

 private:
  std::filesystem::path path_;
  bool ok_ = false;
  [[maybe_unused]] std::intptr_t handle_ = -1;  // Windows: the handle that keeps the pin.
};

}  // namespace velmor::testing

// Declares FilePin `pin` on `path`, or skips the test, saying why, where
// files cannot be pinned.
// `pin` names the variable, so it cannot be parenthesised.
// NOLINTBEGIN(bugprone-macro-parentheses)
#define VELMOR_PIN_OR_SKIP(pin, path)                                             \
  ::velmor::testing::FilePin pin(path);                                           \
  if (!pin.ok()) {                                                                \
    GTEST_SKIP() << "SKIPPED: cannot pin " << (path).string()                     \
                 << " against renaming (Linux needs root and a file system with " \
                    "the append-only attribute)";                                 \
  }
// NOLINTEND(bugprone-macro-parentheses)

#endif  // VELMOR_TESTS_OS_HELPERS_H_
