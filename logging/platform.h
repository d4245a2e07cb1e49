// The few operating-system calls the logging component needs, one small
// function each; platform.cpp holds a Windows and a POSIX body for every one.
// Internal header: not installed, not part of the public interface.
#ifndef VELMOR_LOGGING_PLATFORM_H_
#define VELMOR_LOGGING_PLATFORM_H_

#include <ctime>
#include <filesystem>
#include <string>

namespace velmor::common::platform {

using NativeString = std::filesystem::path::string_type;

// Renames `from` to `to`, atomically replacing an existing file at `to`.
// Returns 0 on success, otherwise the OS error code of the failure
// (GetLastError on Windows, errno elsewhere), which is never 0.
unsigned long replaceFile(const NativeString& from, const NativeString& to) noexcept;

// Converts `time` to local broken-down time without touching shared state.
// Returns false (leaving `out` unchanged) if the conversion fails.
bool toLocalTime(std::time_t time, std::tm& out) noexcept;

// Returns `path` as bytes fit for a byte-oriented stream: UTF-8 where native
// paths are wide, the native bytes unchanged elsewhere.
std::string displayPath(const NativeString& path);

}  // namespace velmor::common::platform

#endif  // VELMOR_LOGGING_PLATFORM_H_
