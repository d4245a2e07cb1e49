// Test helper that makes a file impossible to rename while it stays
// appendable, without mocks: the append-only attribute on Linux, a handle
// without delete sharing on Windows.
#ifndef VELMOR_TESTS_FILE_PIN_H_
#define VELMOR_TESTS_FILE_PIN_H_

#include <filesystem>

namespace velmor::testing {

class FilePin {
 public:
  // Pins `path`; ok() tells whether that worked here (the attribute needs
  // root on a file system that supports it).
  explicit FilePin(const std::filesystem::path& path);
  ~FilePin();
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
#ifdef _WIN32
  void* handle_ = nullptr;
#endif
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

#endif  // VELMOR_TESTS_FILE_PIN_H_
