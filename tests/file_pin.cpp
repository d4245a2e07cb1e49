// Windows and Linux bodies of the FilePin test helper.
#include "file_pin.h"

#if defined(_WIN32)
#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#elif defined(__linux__)
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#endif

namespace velmor::testing {
namespace {

#if defined(__linux__)
bool setAppendOnly(const std::filesystem::path& path, bool on) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK);
  if (fd < 0) return false;
  int flags = 0;
  bool done = ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
  if (done) {
    flags = on ? (flags | FS_APPEND_FL) : (flags & ~FS_APPEND_FL);
    done = ::ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
  }
  ::close(fd);
  return done;
}
#endif

}  // namespace

FilePin::FilePin(const std::filesystem::path& path) : path_(path) {
#if defined(_WIN32)
  // Readers and writers may share the file, but nobody may delete or rename
  // it while this handle is open.
  HANDLE handle = ::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle != INVALID_HANDLE_VALUE) {
    handle_ = handle;
    ok_ = true;
  }
#elif defined(__linux__)
  ok_ = setAppendOnly(path_, true);
#endif
}

FilePin::~FilePin() { release(); }

void FilePin::release() {
  if (!ok_) return;
  ok_ = false;
#if defined(_WIN32)
  ::CloseHandle(static_cast<HANDLE>(handle_));
  handle_ = nullptr;
#elif defined(__linux__)
  setAppendOnly(path_, false);
#endif
}

unsigned long FilePin::renameError() {
#if defined(_WIN32)
  return ERROR_SHARING_VIOLATION;
#elif defined(__linux__)
  return EPERM;
#else
  return 0;
#endif
}

}  // namespace velmor::testing
