// Windows bodies of the operating-system calls in platform.h.
#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <cwchar>
#include <cwctype>

#include "logging/internal/platform.h"

namespace velmor::common::internal::platform {
namespace {

HANDLE handleOf(std::intptr_t value) noexcept { return reinterpret_cast<HANDLE>(value); }

// The two bytes every sink locks, far past any real file size, because a
// Windows byte-range lock also blocks other handles' reads and writes of the
// range it covers: one around every append (appending is a seek and a write
// in some implementations, Wine's among them), and the one taken to rotate,
// so that a rotation (a thousand renames, say) keeps no append waiting.
constexpr DWORD kLockOffsetHigh = 0x7FFFFFFF;
constexpr DWORD kAppendLockOffsetLow = 0xFFFFFFF0;
constexpr DWORD kRotationLockOffsetLow = 0xFFFFFFF1;

OVERLAPPED lockRange(DWORD low) noexcept {
  OVERLAPPED range{};
  range.Offset = low;
  range.OffsetHigh = kLockOffsetHigh;
  return range;
}

// Takes the one-byte lock at `low` without waiting; `held` says it is held.
LockResult lockByte(HANDLE handle, DWORD low, bool& held) noexcept {
  if (held) return LockResult::Taken;
  OVERLAPPED range = lockRange(low);
  held = ::LockFileEx(handle, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0,
                      &range) != 0;
  if (held) return LockResult::Taken;
  return ::GetLastError() == ERROR_LOCK_VIOLATION ? LockResult::Busy : LockResult::Unavailable;
}

// Lets go of the one-byte lock at `low`, if `held`. Explicitly, not left to
// CloseHandle, which releases locks "when resources allow" and could delay
// the next writer.
void unlockByte(HANDLE handle, DWORD low, bool& held) noexcept {
  if (!held) return;
  OVERLAPPED range = lockRange(low);
  ::UnlockFileEx(handle, 0, 1, 0, &range);
  held = false;
}

bool infoOf(HANDLE handle, BY_HANDLE_FILE_INFORMATION& info) noexcept {
  return ::GetFileInformationByHandle(handle, &info) != 0;
}

// FILETIME counts 100 ns steps from 1601; time_t seconds from 1970.
std::time_t timeOf(const FILETIME& time) noexcept {
  const std::uint64_t ticks =
      (static_cast<std::uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
  return static_cast<std::time_t>((static_cast<std::int64_t>(ticks) - 116444736000000000LL) /
                                  10000000LL);
}

FileId idOf(const BY_HANDLE_FILE_INFORMATION& info) noexcept {
  return FileId{info.dwVolumeSerialNumber,
                (static_cast<std::uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow};
}

// What AppendFile::state and SourceFile::state tell of a handle: a pipe or a
// console is not regular, though it is no directory.
bool stateOf(std::intptr_t handle, FileState& out) noexcept {
  BY_HANDLE_FILE_INFORMATION info;
  if (!infoOf(handleOf(handle), info)) return false;
  out.size = (static_cast<std::uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
  out.id = idOf(info);
  out.regular = (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 &&
                ::GetFileType(handleOf(handle)) == FILE_TYPE_DISK;
  out.modified = timeOf(info.ftLastWriteTime);
  // A deleted file keeps its name until its last handle is closed.
  FILE_STANDARD_INFO standard{};
  out.removed = info.nNumberOfLinks == 0 ||
                (out.regular &&
                 ::GetFileInformationByHandleEx(handleOf(handle), FileStandardInfo, &standard,
                                                sizeof(standard)) &&
                 standard.DeletePending);
  return true;
}

}  // namespace

AppendFile::AppendFile(const NativeChar* name, unsigned /*mode*/) noexcept : name_(name) {
  // Shared for delete, so that another process's sink can rename the file
  // while this one has it open. Default security attributes: the handle is
  // not inheritable, so a child process can never hold the file.
  // GENERIC_WRITE rather than FILE_APPEND_DATA alone: LockFileEx requires it.
  const HANDLE handle =
      ::CreateFileW(name, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) openError_ = lastError();
  handle_ = reinterpret_cast<std::intptr_t>(handle);
}

WriteInterrupter::~WriteInterrupter() {
  const HANDLE thread = reinterpret_cast<HANDLE>(thread_.exchange(0));
  if (thread != nullptr) ::CloseHandle(thread);
}

void WriteInterrupter::registerCurrentThread() noexcept {
  const HANDLE thread = ::OpenThread(THREAD_TERMINATE, FALSE, ::GetCurrentThreadId());
  const HANDLE previous =
      reinterpret_cast<HANDLE>(thread_.exchange(reinterpret_cast<std::intptr_t>(thread)));
  if (previous != nullptr) ::CloseHandle(previous);
}

// CancelSynchronousIo wants THREAD_TERMINATE access, which OpenThread asked for.
void WriteInterrupter::interrupt() noexcept {
  const HANDLE thread = reinterpret_cast<HANDLE>(thread_.load());
  if (thread != nullptr) ::CancelSynchronousIo(thread);
}

ErrorCode lastError() noexcept {
  const DWORD error = ::GetLastError();
  return error != 0 ? error : ERROR_GEN_FAILURE;
}
ErrorCode lockBusyError() noexcept { return ERROR_LOCK_VIOLATION; }

ErrorCode outOfMemoryError() noexcept { return ERROR_NOT_ENOUGH_MEMORY; }

ErrorCode probeAppend(const NativeChar* name, unsigned /*mode*/) noexcept {
  return AppendFile(name).openError();
}

AppendFile::~AppendFile() {
  if (!isOpen()) return;
  unlockByte(handleOf(handle_), kAppendLockOffsetLow, appendLocked_);
  unlockByte(handleOf(handle_), kRotationLockOffsetLow, locked_);
  ::CloseHandle(handleOf(handle_));
}

bool AppendFile::isOpen() const noexcept { return handleOf(handle_) != INVALID_HANDLE_VALUE; }

// Appending is a seek and a write in some implementations (Wine's among
// them): only the lock keeps another process's line out of this one, and it
// also lets the pieces go out one call each.
LockResult AppendFile::tryLockForAppend(bool /*shared*/) noexcept {
  return lockByte(handleOf(handle_), kAppendLockOffsetLow, appendLocked_);
}

void AppendFile::unlockAppend() noexcept {
  unlockByte(handleOf(handle_), kAppendLockOffsetLow, appendLocked_);
}

std::size_t AppendFile::append(const std::string_view* parts, std::size_t count, bool stream,
                               const std::atomic<bool>* giveUp) noexcept {
  // Windows raises no signal for a pipe without a reader: a stream is
  // written like a file. There is no gathered write for ordinary handles,
  // so small pieces are copied together and go out in one call.
  if (!appendLocked_) return 0;
  std::size_t done = 0;
  // Writes `size` bytes at the end of the file; false once a call fails (or
  // was cancelled: see WriteInterrupter).
  const auto put = [&](const char* data, std::size_t size) {
    constexpr std::size_t kMaxChunk = std::size_t{1} << 30;
    for (std::size_t at = 0; at < size;) {
      if (stream && giveUp != nullptr && giveUp->load()) return false;
      const std::size_t left = size - at;
      const DWORD chunk = static_cast<DWORD>(left < kMaxChunk ? left : kMaxChunk);
      // Offset 0xFFFFFFFF:0xFFFFFFFF writes at the end of the file.
      OVERLAPPED atEnd{};
      atEnd.Offset = 0xFFFFFFFF;
      atEnd.OffsetHigh = 0xFFFFFFFF;
      DWORD written = 0;
      const BOOL ok = ::WriteFile(handleOf(handle_), data + at, chunk, &written, &atEnd);
      done += written;
      at += written;
      if (!ok || written == 0) {
        writeError_ = ok ? ERROR_WRITE_FAULT : ::GetLastError();
        return false;
      }
    }
    return true;
  };
  char buffer[16384];
  std::size_t used = 0;
  for (std::size_t i = 0; i < count && i < kMaxParts; ++i) {
    const std::string_view part = parts[i];
    const bool large = part.size() > sizeof(buffer) / 2;
    // What is gathered goes first: the bytes keep their order.
    if (large || used + part.size() > sizeof(buffer)) {
      if (!put(buffer, used)) return done;
      used = 0;
    }
    if (large) {
      if (!put(part.data(), part.size())) return done;
      continue;
    }
    part.copy(buffer + used, part.size());
    used += part.size();
  }
  put(buffer, used);
  return done;
}

bool AppendFile::isStream() const noexcept {
  return ::GetFileType(handleOf(handle_)) != FILE_TYPE_DISK;
}

bool AppendFile::syncData() noexcept {
  // A console or pipe has nothing to keep (and refuses the flush).
  return isStream() || ::FlushFileBuffers(handleOf(handle_)) != 0;
}

bool AppendFile::state(FileState& out) const noexcept { return stateOf(handle_, out); }

bool AppendFile::lastAppendEnd(std::uint64_t& /*end*/) const noexcept { return false; }

void AppendFile::waitForWritesInProgress() const noexcept {}

bool killCanEndAt(std::uint64_t /*size*/) noexcept { return true; }

TailReader::~TailReader() = default;

int TailReader::byteAt(const NativeChar* name, const FileId& id, std::uint64_t offset) noexcept {
  // Every sharing mode: the reader must not stand in the way of a rename.
  const HANDLE reader =
      ::CreateFileW(name, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (reader == INVALID_HANDLE_VALUE) return -1;
  int result = -1;
  BY_HANDLE_FILE_INFORMATION read;
  if (infoOf(reader, read) && idOf(read) == id) {
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(offset);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    unsigned char byte = 0;
    DWORD got = 0;
    if (::ReadFile(reader, &byte, 1, &got, &at) && got == 1) result = byte;
  }
  ::CloseHandle(reader);
  return result;
}

LockResult AppendFile::tryLock() noexcept {
  return lockByte(handleOf(handle_), kRotationLockOffsetLow, locked_);
}

// Strangers lock a whole file or nothing: a lock of this byte alone is a
// sink's. (One that locks every byte is told apart by outlasting the wait.)
bool AppendFile::heldBySink() const noexcept { return true; }

ErrorCode AppendFile::copyToAndEmpty(const NativeChar* to) noexcept {
  if (!appendLocked_) return ERROR_NOT_LOCKED;
  // Every sharing mode, as for TailReader: the program that pins the file
  // shares reading and writing, and other sinks share everything.
  const HANDLE reader =
      ::CreateFileW(name_, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
  if (reader == INVALID_HANDLE_VALUE) return lastError();
  BY_HANDLE_FILE_INFORMATION mine;
  BY_HANDLE_FILE_INFORMATION read;
  ErrorCode error = 0;
  if (!infoOf(handleOf(handle_), mine) || !infoOf(reader, read) || idOf(mine) != idOf(read)) {
    error = ERROR_FILE_NOT_FOUND;  // The name no longer means this file.
  }
  // CREATE_NEW: never onto an existing file.
  const HANDLE copy = error != 0
                          ? INVALID_HANDLE_VALUE
                          : ::CreateFileW(to, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE,
                                          nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (error == 0 && copy == INVALID_HANDLE_VALUE) error = lastError();
  if (copy != INVALID_HANDLE_VALUE) {
    char buffer[65536];
    for (;;) {
      DWORD got = 0;
      if (!::ReadFile(reader, buffer, sizeof(buffer), &got, nullptr)) {
        error = lastError();
        break;
      }
      if (got == 0) break;
      DWORD put = 0;
      if (!::WriteFile(copy, buffer, got, &put, nullptr) || put != got) {
        error = lastError();
        break;
      }
    }
    // The copy must be on disk before the only other copy of the lines goes.
    if (error == 0 && !::FlushFileBuffers(copy)) error = lastError();
    ::CloseHandle(copy);
    FILE_END_OF_FILE_INFO empty{};
    if (error == 0 && !::SetFileInformationByHandle(handleOf(handle_), FileEndOfFileInfo, &empty,
                                                    sizeof(empty))) {
      error = lastError();
    }
    if (error != 0) ::DeleteFileW(to);
  }
  ::CloseHandle(reader);
  return error;
}

SourceFile::SourceFile(const NativeChar* name) noexcept {
  // Every sharing mode: a reader never stands in the way of a rename.
  const HANDLE handle = ::CreateFileW(
      name, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
      OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  handle_ = reinterpret_cast<std::intptr_t>(handle);
}

SourceFile::~SourceFile() {
  if (isOpen()) ::CloseHandle(handleOf(handle_));
}

bool SourceFile::isOpen() const noexcept { return handleOf(handle_) != INVALID_HANDLE_VALUE; }

std::int64_t SourceFile::readAt(std::uint64_t offset, char* into, std::size_t size) const noexcept {
  OVERLAPPED at{};
  at.Offset = static_cast<DWORD>(offset);
  at.OffsetHigh = static_cast<DWORD>(offset >> 32);
  DWORD got = 0;
  const DWORD chunk = static_cast<DWORD>(size < (1u << 30) ? size : (1u << 30));
  if (::ReadFile(handleOf(handle_), into, chunk, &got, &at)) return got;
  return ::GetLastError() == ERROR_HANDLE_EOF ? 0 : -1;
}

bool SourceFile::state(FileState& out) const noexcept { return stateOf(handle_, out); }

AppendBarrier::AppendBarrier(const NativeChar* name, const FileId& expected) noexcept {
  const HANDLE handle =
      ::CreateFileW(name, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  BY_HANDLE_FILE_INFORMATION info;
  if (handle != INVALID_HANDLE_VALUE && (!infoOf(handle, info) || idOf(info) != expected)) {
    ::CloseHandle(handle);
    handle_ = reinterpret_cast<std::intptr_t>(INVALID_HANDLE_VALUE);
    return;
  }
  handle_ = reinterpret_cast<std::intptr_t>(handle);
}

AppendBarrier::~AppendBarrier() {
  if (handleOf(handle_) == INVALID_HANDLE_VALUE) return;
  unlockByte(handleOf(handle_), kAppendLockOffsetLow, held_);
  ::CloseHandle(handleOf(handle_));
}

// Every append is made under the append lock: holding it is the barrier.
LockResult AppendBarrier::tryTake() noexcept {
  if (handleOf(handle_) == INVALID_HANDLE_VALUE) return LockResult::Unavailable;
  return lockByte(handleOf(handle_), kAppendLockOffsetLow, held_);
}

NewFile::NewFile(const NativeChar* name, const SourceFile& /*like*/) noexcept {
  // CREATE_NEW: never onto an existing file. Not shared for delete: that
  // marks it as in use, for removeAbandoned().
  const HANDLE handle = ::CreateFileW(name, GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW,
                                      FILE_ATTRIBUTE_NORMAL, nullptr);
  handle_ = reinterpret_cast<std::intptr_t>(handle);
}

NewFile::~NewFile() {
  if (isOpen()) ::CloseHandle(handleOf(handle_));
}

bool NewFile::isOpen() const noexcept { return handleOf(handle_) != INVALID_HANDLE_VALUE; }

bool NewFile::write(const char* data, std::size_t size) noexcept {
  while (size > 0) {
    const DWORD chunk = static_cast<DWORD>(size < (1u << 30) ? size : (1u << 30));
    DWORD put = 0;
    if (!::WriteFile(handleOf(handle_), data, chunk, &put, nullptr) || put == 0) return false;
    data += put;
    size -= put;
  }
  return true;
}

bool NewFile::finish(std::time_t modified) noexcept {
  // time_t seconds from 1970 to FILETIME's 100 ns steps from 1601.
  const std::uint64_t ticks = static_cast<std::uint64_t>(
      static_cast<std::int64_t>(modified) * 10000000LL + 116444736000000000LL);
  const FILETIME time{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
  return ::SetFileTime(handleOf(handle_), nullptr, nullptr, &time) &&
         ::FlushFileBuffers(handleOf(handle_));
}

bool removeAbandoned(const NativeChar* name) noexcept {
  // A live compressor's file is open without delete sharing: only an
  // abandoned one can be deleted.
  return ::DeleteFileW(name) || ::GetLastError() == ERROR_FILE_NOT_FOUND;
}

void becomeBackgroundThread() noexcept {
  ::SetThreadPriority(::GetCurrentThread(), THREAD_PRIORITY_LOWEST);
}

namespace {
void (*threadExitRelease)(void*) = nullptr;  // Set once, before the slot exists.
void WINAPI releaseAtThreadExit(void* value) {
  if (value != nullptr) threadExitRelease(value);
}
}  // namespace

bool setThreadExitValue(void* value, void (*release)(void*)) noexcept {
  static const DWORD slot = [release] {
    threadExitRelease = release;
    return ::FlsAlloc(releaseAtThreadExit);
  }();
  return slot != FLS_OUT_OF_INDEXES && ::FlsSetValue(slot, value) != 0;
}

void onFork(void (* /*prepare*/)(), void (* /*parent*/)(), void (* /*child*/)()) noexcept {}

EntryKind entryKind(const NativeChar* name) noexcept {
  const DWORD attributes = ::GetFileAttributesW(name);
  if (attributes == INVALID_FILE_ATTRIBUTES) return EntryKind::Absent;
  const DWORD notRegular = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT;
  return (attributes & notRegular) == 0 ? EntryKind::Regular : EntryKind::Other;
}

EntryInfo entryInfo(const NativeChar* name) noexcept {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!::GetFileAttributesExW(name, GetFileExInfoStandard, &data)) return {};
  const DWORD notRegular = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT;
  if ((data.dwFileAttributes & notRegular) != 0) return {EntryKind::Other, 0, 0};
  return {EntryKind::Regular,
          (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow,
          timeOf(data.ftLastWriteTime)};
}

NativeString listingOf(const NativeString& dir) {
  NativeString pattern = dir;
  if (!pattern.empty() && pattern.back() != L'\\' && pattern.back() != L'/') pattern += L'\\';
  return pattern + L'*';
}

bool listEntries(const NativeChar* listing, std::size_t limit, EntryVisitor visit,
                 void* context) noexcept {
  WIN32_FIND_DATAW found;
  const HANDLE search = ::FindFirstFileExW(listing, FindExInfoBasic, &found, FindExSearchNameMatch,
                                           nullptr, FIND_FIRST_EX_LARGE_FETCH);
  if (search == INVALID_HANDLE_VALUE) return false;
  const DWORD notRegular = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT;
  std::size_t seen = 0;
  bool whole = false;
  while (++seen <= limit) {
    const EntryKind kind =
        (found.dwFileAttributes & notRegular) == 0 ? EntryKind::Regular : EntryKind::Other;
    visit(context, found.cFileName, std::wcslen(found.cFileName), kind);
    if (!::FindNextFileW(search, &found)) {
      whole = ::GetLastError() == ERROR_NO_MORE_FILES;
      break;
    }
  }
  ::FindClose(search);
  return whole;
}

bool sameEntryName(const NativeChar* a, const NativeChar* b, std::size_t length) noexcept {
  // NTFS compares names by their upper case, as CompareStringOrdinal does.
  const int count = static_cast<int>(length);
  return ::CompareStringOrdinal(a, count, b, count, TRUE) == CSTR_EQUAL;
}

bool entryId(const NativeChar* name, FileId& out) noexcept {
  // No access rights, every sharing mode: this never stands in the way of
  // another process's rename. The entry itself, not what a link points to.
  const HANDLE handle = ::CreateFileW(
      name, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
      FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return false;
  BY_HANDLE_FILE_INFORMATION info;
  const bool ok = infoOf(handle, info);
  ::CloseHandle(handle);
  if (ok) out = idOf(info);
  return ok;
}

ErrorCode renameNoReplace(const NativeChar* from, const NativeChar* to,
                          bool writeThrough) noexcept {
  // Without MOVEFILE_REPLACE_EXISTING an occupied destination fails with
  // ERROR_ALREADY_EXISTS.
  return ::MoveFileExW(from, to, writeThrough ? MOVEFILE_WRITE_THROUGH : 0) ? 0 : lastError();
}

ErrorCode syncFile(const NativeChar* name) noexcept {
  // FlushFileBuffers needs a handle with write access; every sharing mode,
  // so that no writer is kept out meanwhile.
  const HANDLE file =
      ::CreateFileW(name, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return lastError();
  const ErrorCode error =
      ::GetFileType(file) != FILE_TYPE_DISK || ::FlushFileBuffers(file) ? 0 : lastError();
  ::CloseHandle(file);
  return error;
}

ErrorCode syncDirectoryOf(const NativeChar* /*name*/) noexcept { return 0; }

bool isPinnedError(ErrorCode error) noexcept { return error == ERROR_SHARING_VIOLATION; }

ErrorCode removeFile(const NativeChar* name) noexcept {
  return ::DeleteFileW(name) ? 0 : lastError();
}

NativeString anchorPath(const std::filesystem::path& path) {
  // Not std::filesystem::absolute: MinGW's library sees no root name in
  // \\server\share\..., \\?\... or \\.\..., and would resolve them against
  // the current drive. Win32's own rules say what is absolute already.
  const std::wstring& name = path.native();
  const auto separator = [](wchar_t c) { return c == L'\\' || c == L'/'; };
  if (name.size() >= 2 && separator(name[0]) && separator(name[1])) return name;
  if (name.size() >= 3 && std::iswalpha(name[0]) && name[1] == L':' && separator(name[2])) {
    return name;
  }
  const DWORD needed = ::GetFullPathNameW(name.c_str(), 0, nullptr, nullptr);
  if (needed == 0) return name;
  std::wstring full(needed, L'\0');
  const DWORD size = ::GetFullPathNameW(name.c_str(), needed, full.data(), nullptr);
  if (size == 0 || size >= needed) return name;
  full.resize(size);
  return full;
}

bool toLocalTime(std::time_t time, std::tm& out) noexcept {
  return ::localtime_s(&out, &time) == 0;
}

bool toUtcTime(std::time_t time, std::tm& out) noexcept { return ::gmtime_s(&out, &time) == 0; }

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

}  // namespace velmor::common::internal::platform
