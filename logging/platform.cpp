// Windows and POSIX bodies of the operating-system calls in platform.h.
#include "logging/platform.h"

#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#else
#include <cerrno>
#include <cstdio>
#endif

namespace velmor::common::platform {

#ifdef _WIN32

unsigned long replaceFile(const NativeString& from, const NativeString& to) noexcept {
  if (::MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING)) {
    return 0;
  }
  const DWORD error = ::GetLastError();
  return error != 0 ? error : ERROR_GEN_FAILURE;
}

bool toLocalTime(std::time_t time, std::tm& out) noexcept {
  return ::localtime_s(&out, &time) == 0;
}

std::string displayPath(const NativeString& path) {
  // The C runtime's %ls converts through the C locale and silently truncates
  // at the first character it cannot map; UTF-8 keeps every path whole.
  if (path.empty()) return {};
  const int size = static_cast<int>(path.size());
  const int bytes =
      ::WideCharToMultiByte(CP_UTF8, 0, path.data(), size, nullptr, 0, nullptr, nullptr);
  if (bytes <= 0) return {};
  std::string utf8(static_cast<std::size_t>(bytes), '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, path.data(), size, utf8.data(), bytes, nullptr, nullptr);
  return utf8;
}

#else  // POSIX

unsigned long replaceFile(const NativeString& from, const NativeString& to) noexcept {
  if (std::rename(from.c_str(), to.c_str()) == 0) return 0;
  const int error = errno;
  return error != 0 ? static_cast<unsigned long>(error) : EIO;
}

bool toLocalTime(std::time_t time, std::tm& out) noexcept {
  return ::localtime_r(&time, &out) != nullptr;
}

std::string displayPath(const NativeString& path) { return path; }

#endif

}  // namespace velmor::common::platform
