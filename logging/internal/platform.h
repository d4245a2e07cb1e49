// The operating-system calls the logging component needs, behind one small
// interface. platform_posix.cpp and platform_windows.cpp each hold the whole
// body for one OS; CMake compiles one of them.
//
// Errors: a call that can fail either returns an ErrorCode, 0 on success and
// otherwise the OS's own code (errno on POSIX, GetLastError on Windows, never
// 0), or says in its contract what a failure yields. Nothing here throws
// unless its contract says so. None of these calls allocates, except
// anchorPath and displayPath.
#ifndef VELMOR_LOGGING_INTERNAL_PLATFORM_H_
#define VELMOR_LOGGING_INTERNAL_PLATFORM_H_

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <filesystem>
#include <string>
#include <string_view>

namespace velmor::common::internal::platform {

using NativeChar = std::filesystem::path::value_type;
using NativeString = std::filesystem::path::string_type;
using ErrorCode = unsigned long;

// Which file a name or handle refers to: device and inode on POSIX, volume
// serial number and file index on Windows.
struct FileId {
  std::uint64_t device = 0;
  std::uint64_t index = 0;

  friend bool operator==(const FileId& a, const FileId& b) noexcept {
    return a.device == b.device && a.index == b.index;
  }
  friend bool operator!=(const FileId& a, const FileId& b) noexcept { return !(a == b); }
};

// What an open file is now.
struct FileState {
  std::uint64_t size = 0;  // In bytes, as the file system has it.
  FileId id;
  bool regular = false;      // A plain disk file (not a FIFO, device or directory).
  std::time_t modified = 0;  // Last modification, in seconds since the epoch.
  // No name leads to the file any more (POSIX: no links left; Windows: its
  // deletion is pending): what is written to it now is lost with it.
  bool removed = false;
};

// The outcome of trying to take a file lock without waiting.
enum class LockResult {
  Taken,        // Held now, until the AppendFile is destroyed.
  Busy,         // Held by another process (or another handle): try again later.
  Unavailable,  // Cannot be taken here at all (no lock support, not lockable).
};

// The permission bits a file is created with unless told otherwise, before
// the umask.
inline constexpr unsigned kDefaultFileMode = 0666;

// A file opened for appending, for the duration of one log line.
//
// The handle is never inherited by child processes, and opening never blocks
// (a FIFO without a reader fails at once). Other processes may read, write,
// rename and delete the file while it is open. Not thread-safe: one owner.
//
// On POSIX the names "/dev/stdout" and "/dev/stderr" mean the process's own
// descriptors 1 and 2, whatever they are (a pipe, a terminal, a socket, a
// file): they are written directly, never reopened, closed or locked.
class AppendFile {
 public:
  // Opens `name`, creating a missing file with the permission bits `mode`
  // less the umask (POSIX; ignored on Windows). isOpen() tells whether it
  // worked. `name` must outlive the object.
  explicit AppendFile(const NativeChar* name, unsigned mode = kDefaultFileMode) noexcept;
  // Releases the lock, if held, and closes the file.
  ~AppendFile();
  AppendFile(const AppendFile&) = delete;
  AppendFile& operator=(const AppendFile&) = delete;

  bool isOpen() const noexcept;
  // Why the file did not open: the OS's code, or 0 when it is open.
  ErrorCode openError() const noexcept { return openError_; }
  // Why the last append() took fewer bytes than it was given: the OS's
  // code (ENOSPC, ERROR_DISK_FULL), or 0 if none did.
  ErrorCode writeError() const noexcept { return writeError_; }
  // Puts what was written to the file on stable storage, with the metadata
  // needed to read it back (fdatasync; FlushFileBuffers). True for a
  // stream, which has nothing to keep; false, with lastError() set, if the
  // OS reported a failure.
  bool syncData() noexcept;
  // The descriptor (POSIX) or HANDLE (Windows), for tests and diagnostics.
  std::intptr_t nativeHandle() const noexcept { return handle_; }

  // Whether a line may be appended now. Windows emulations of appending are
  // not atomic, so there every append is made under a lock of the file that
  // every sink takes: this takes it if it is free, without waiting, and
  // unlockAppend() lets go of it. On POSIX the kernel appends atomically;
  // when the file is `shared` (other processes may rotate and compress it),
  // this takes this process's mark of an append in progress, which an
  // AppendBarrier waits for, and is Busy only while a barrier is up;
  // otherwise, or where such locks are missing, it is always Taken. Take the
  // rotation lock (tryLock) first, if both are needed, never the other way
  // round.
  LockResult tryLockForAppend(bool shared) noexcept;
  void unlockAppend() noexcept;

  // Appends the `count` pieces of `parts` (at most kMaxParts), in order, at
  // the end of the file and returns how many bytes reached it: all of them,
  // or fewer when a call failed (disk full, file size limit, a reader that
  // left). Calls are repeated while the OS makes progress, so a line longer
  // than one call can carry is still written whole.
  // Among writers that use this class the bytes stay contiguous: on POSIX
  // they go out in one gathered write under O_APPEND, which the kernel
  // appends atomically up to the largest single write (2,147,479,552 bytes
  // on Linux; PIPE_BUF, 4,096 bytes, on a pipe shared with other writers).
  // `stream` says the file is not a regular one (a pipe, FIFO, socket or
  // terminal): then a full pipe makes the call wait, as a program's standard
  // output does, and a reader that left fails the call (EPIPE) without a
  // SIGPIPE reaching the process; the signal mask and dispositions are as
  // they were on return, and a SIGPIPE already pending stays pending.
  // Once `giveUp` (if given) is set, a stream's append waits no more: it
  // returns what went out so far, and later ones take nothing (see
  // WriteInterrupter). A program's own blocking descriptor may still hold a
  // write that has begun.
  static constexpr std::size_t kMaxParts = 1024;  // IOV_MAX on Linux.
  std::size_t append(const std::string_view* parts, std::size_t count, bool stream,
                     const std::atomic<bool>* giveUp = nullptr) noexcept;

  // Whether the file is a stream: a pipe, FIFO, socket or terminal, whose
  // writes need `stream` in append(). Cheaper than state().
  bool isStream() const noexcept;
  // Whether this is one of the process's own descriptors (see above), whose
  // kind the program can change at any time with dup2.
  bool isBorrowed() const noexcept { return borrowed_; }

  // Size, identity and kind of the open file; false if the query failed.
  bool state(FileState& out) const noexcept;

  // Where the last append to this regular file ended, as the OS placed it
  // (POSIX: the descriptor's offset after an O_APPEND write), so that what
  // came just before it can be read; false where it is not told (Windows,
  // whose appends are made under the append lock, so that nothing can slip
  // in between a look at the end and the append).
  bool lastAppendEnd(std::uint64_t& end) const noexcept;

  // Returns once the writes to this regular file that other handles have in
  // progress are done: on POSIX an empty write, which file systems make
  // under the same inode lock as a real one; on Windows nothing, since every
  // append is made under the file lock that this handle holds.
  void waitForWritesInProgress() const noexcept;

  // Takes the exclusive lock that every sink in every process takes on this
  // file before it rotates it (flock on POSIX; on Windows a byte-range lock
  // far past any real size, so readers are never blocked, and apart from
  // the append lock, so appends go on meanwhile), without waiting. Held
  // until the object is destroyed. The process's own descriptors (see
  // above) are never lockable.
  LockResult tryLock() noexcept;

  // Whether the rotation lock, found busy, is held by a sink (which holds it
  // for a rotation or an append, however long it is descheduled) rather
  // than by a stranger: on POSIX sinks mark their hold with a second lock
  // (false where open file description locks are missing); on Windows
  // always true, since strangers do not lock that byte alone.
  bool heldBySink() const noexcept;

  // Copies the whole regular file into a new file `to` (never onto an
  // existing one), flushed to disk, then empties this file: the way out
  // when another program keeps the file from being renamed (see
  // isPinnedError). Made under the append lock, which the caller holds, so
  // that no other sink's line lands between the copy and the truncation.
  // On failure nothing is changed and a partial copy is removed. Windows
  // only: elsewhere a rename is never refused that way, and this returns
  // ENOTSUP.
  ErrorCode copyToAndEmpty(const NativeChar* to) noexcept;

 private:
  // As given to the constructor, which outlives this object (used on Windows).
  [[maybe_unused]] const NativeChar* name_;
  std::intptr_t handle_;       // A descriptor on POSIX, a HANDLE on Windows; -1: none.
  bool locked_ = false;        // The rotation lock.
  bool appendLocked_ = false;  // The append lock (Windows).
  bool borrowed_ = false;      // The process's own descriptor: never closed or locked.
  ErrorCode openError_ = 0;
  ErrorCode writeError_ = 0;
};

// Whether a write cut short by the death of its process can leave a
// regular file ending at `size`. Linux copies a write into the page cache a
// page at a time and stops for a fatal signal only between pages, so such
// an end is a multiple of 4,096; elsewhere any size can be. (A file size
// limit or a full disk can cut a write anywhere, but only the writer's own
// process needs to know: it remembers the cut.)
bool killCanEndAt(std::uint64_t size) noexcept;

// Reads single bytes of a regular file that an AppendFile has open (which
// is write-only), through a handle of its own. On POSIX the handle is kept
// for the next call while the name means the same file, so that a sink can
// look at the end of a shared file before each line for a pread; it keeps
// nothing from being renamed or deleted, but holds a deleted file's space
// until the next call or the reader's end. Windows opens one per call, as a
// handle held there would keep a deleted file's name taken. Not
// thread-safe: one owner.
class TailReader {
 public:
  TailReader() noexcept = default;
  ~TailReader();
  TailReader(const TailReader&) = delete;
  TailReader& operator=(const TailReader&) = delete;

  // The byte at `offset` of the file `id`, read through the name `name`,
  // or -1 if it cannot be read (the name now means another file, or
  // reading is not allowed).
  int byteAt(const NativeChar* name, const FileId& id, std::uint64_t offset) noexcept;

 private:
  std::intptr_t handle_ = -1;  // POSIX: the descriptor kept, of the file `id_`.
  FileId id_;
};

// Lets one thread cut short another thread's append to a stream that does
// not take it (a pipe whose reader stopped reading): the writing thread
// registers itself; another sets the append's `giveUp` flag, then calls
// interrupt() until the writer is done. On POSIX a stream's append waits in
// short poll() slices and watches the flag, so interrupt() does nothing; on
// Windows it cancels the thread's blocking WriteFile. Thread-safe.
class WriteInterrupter {
 public:
  WriteInterrupter() noexcept = default;
  // Closes the thread's handle on Windows; nothing elsewhere.
  ~WriteInterrupter();  // NOLINT(performance-trivially-destructible)
  WriteInterrupter(const WriteInterrupter&) = delete;
  WriteInterrupter& operator=(const WriteInterrupter&) = delete;

  void registerCurrentThread() noexcept;
  void interrupt() noexcept;

 private:
  [[maybe_unused]] std::atomic<std::intptr_t> thread_{0};  // Windows: the writer's HANDLE.
};

// The calling thread's code of the last failed OS call (errno,
// GetLastError()), or a general I/O error if it left none.
ErrorCode lastError() noexcept;
// The code for a file lock that stayed busy past its wait (EBUSY on POSIX,
// ERROR_LOCK_VIOLATION on Windows).
ErrorCode lockBusyError() noexcept;
// The code for memory that could not be had (ENOMEM, ERROR_NOT_ENOUGH_MEMORY).
ErrorCode outOfMemoryError() noexcept;

// Opens `name` as AppendFile does and closes it again: 0 if that worked, or
// the OS's code. A FIFO without a reader counts as openable: its lines wait
// for one, as AppendFile's callers drop them meanwhile.
ErrorCode probeAppend(const NativeChar* name, unsigned mode = kDefaultFileMode) noexcept;

// A regular file read from its start, for one compression: never inherited,
// and never in the way of another process's rename or delete. Not
// thread-safe: one owner.
class SourceFile {
 public:
  // Opens `name` for reading; a symbolic link is not followed. isOpen()
  // tells whether it worked.
  explicit SourceFile(const NativeChar* name) noexcept;
  ~SourceFile();
  SourceFile(const SourceFile&) = delete;
  SourceFile& operator=(const SourceFile&) = delete;

  bool isOpen() const noexcept;
  // Reads up to `size` bytes at `offset`: how many, 0 at the end, or -1 on
  // failure.
  std::int64_t readAt(std::uint64_t offset, char* into, std::size_t size) const noexcept;
  // Size, identity and time of the open file (it may have been renamed or
  // deleted since); false if the query failed.
  bool state(FileState& out) const noexcept;

 private:
  friend class NewFile;
  std::intptr_t handle_;  // A descriptor on POSIX, a HANDLE on Windows; -1: none.
};

// Keeps every sink's appends off a file that sinks may still hold open
// under an older name, while it is replaced by its compressed copy: once
// tryTake() is Taken, the appends in progress are done and none begins
// until the barrier is destroyed, so every line either reached the file
// before it is read for the last time, or finds it removed afterwards and
// goes to the active file (see FileState::removed). Appends take part on
// Windows always, on POSIX when they are marked (AppendFile::
// tryLockForAppend). Not thread-safe: one owner.
class AppendBarrier {
 public:
  // Opens `name` (a symbolic link is not followed) if it is still the file
  // `expected`; otherwise tryTake() is Unavailable.
  AppendBarrier(const NativeChar* name, const FileId& expected) noexcept;
  ~AppendBarrier();
  AppendBarrier(const AppendBarrier&) = delete;
  AppendBarrier& operator=(const AppendBarrier&) = delete;

  // Raises the barrier without waiting: Busy while an append is in
  // progress, Unavailable where the file cannot be locked so.
  LockResult tryTake() noexcept;

 private:
  std::intptr_t handle_;  // A descriptor on POSIX, a HANDLE on Windows; -1: none.
  bool held_ = false;
};

// A file made for one compression's output: created only where nothing
// exists, never inherited, and marked as in use while it is open, so that
// removeAbandoned() leaves it alone. Not thread-safe: one owner.
class NewFile {
 public:
  // Creates `name` with the permission bits of the file `like` is open on,
  // and, where the process may give them (as root), its owner and group
  // (POSIX; on Windows the directory's defaults apply), so that the copy is
  // never more readable than its source, nor less readable to its group. isOpen() tells whether it
  // worked.
  NewFile(const NativeChar* name, const SourceFile& like) noexcept;
  // Closes the file (it stays on disk).
  ~NewFile();
  NewFile(const NewFile&) = delete;
  NewFile& operator=(const NewFile&) = delete;

  bool isOpen() const noexcept;
  // Writes all `size` bytes; false if any could not be written.
  bool write(const char* data, std::size_t size) noexcept;
  // Sets the last modification time (seconds since the epoch), then puts
  // the content on disk (fsync, FlushFileBuffers); false on failure.
  bool finish(std::time_t modified) noexcept;

 private:
  std::intptr_t handle_;
};

// Deletes the file `name` if no NewFile has it open, in any process: what a
// compressor that died left. True if nothing is left at the name.
bool removeAbandoned(const NativeChar* name) noexcept;

// Makes the calling thread a background one: below the process's priority
// (nice +10 on Linux, THREAD_PRIORITY_LOWEST on Windows; elsewhere, where a
// thread has no priority of its own, unchanged), and on POSIX with the
// asynchronous signals blocked, so that the host's signals go to its own
// threads (a fault's signal still reaches its handlers).
void becomeBackgroundThread() noexcept;

// Stores `value` as the calling thread's own and has `release(value)`
// called when the thread ends: from a pthread key's destructor on POSIX
// (after the thread's C++ thread-local destructors), from a fiber-local
// slot's callback on Windows (the MinGW runtime runs C++ thread-local
// destructors on storage it has already freed). The thread's plain
// thread-locals may still be read and written in `release`. One `release`
// a process: the first call's. False if the slot could not be had: then
// `release` will not run for this value.
bool setThreadExitValue(void* value, void (*release)(void*)) noexcept;

// Has `prepare` called before the process forks, `parent` after it in the
// parent and `child` in the child (pthread_atfork); nothing on Windows,
// which has no fork.
void onFork(void (*prepare)(), void (*parent)(), void (*child)()) noexcept;

// What a name refers to, without following a final symbolic link. A failed
// query counts as Absent.
enum class EntryKind { Absent, Regular, Other };
EntryKind entryKind(const NativeChar* name) noexcept;

// What entryKind says, with the size and last modification time (seconds
// since the epoch) of a regular file; zero for anything else.
struct EntryInfo {
  EntryKind kind = EntryKind::Absent;
  std::uint64_t size = 0;
  std::time_t modified = 0;
};
EntryInfo entryInfo(const NativeChar* name) noexcept;

// What listEntries() is given to list directory `dir`, made beforehand so
// that a listing allocates nothing. May throw std::bad_alloc.
NativeString listingOf(const NativeString& dir);

// Calls `visit(context, name, length, kind)` for each entry of the directory
// whose `listing` listingOf() made, `kind` as entryKind would say it: a
// directory costs a few system calls this way where a query per name costs
// one each. False if it could not be read to its end or holds more than
// `limit` entries: then some entries may have been visited, and the caller
// asks name by name.
using EntryVisitor = void (*)(void* context, const NativeChar* name, std::size_t length,
                              EntryKind kind);
bool listEntries(const NativeChar* listing, std::size_t limit, EntryVisitor visit,
                 void* context) noexcept;

// Whether two entry names of `length` characters name the same entry of one
// directory, as its file system compares them: byte for byte on POSIX,
// ignoring case on Windows.
bool sameEntryName(const NativeChar* a, const NativeChar* b, std::size_t length) noexcept;

// The identity of the entry `name` itself (a symbolic link is not
// followed). False if there is none or the query failed.
bool entryId(const NativeChar* name, FileId& out) noexcept;

// Renames `from` to `to` only if nothing exists at `to`: the OS refuses the
// replace itself where it can (renameat2 with RENAME_NOREPLACE, MoveFileExW
// without MOVEFILE_REPLACE_EXISTING); elsewhere the destination is checked
// first. An occupied destination gives EEXIST or ERROR_ALREADY_EXISTS.
// `writeThrough`: on Windows the rename is on disk when it returns
// (MOVEFILE_WRITE_THROUGH); elsewhere syncDirectoryOf does that.
ErrorCode renameNoReplace(const NativeChar* from, const NativeChar* to,
                          bool writeThrough = false) noexcept;
// Puts the content of the existing file `name` on stable storage
// (fdatasync; FlushFileBuffers); 0, or the OS's code.
ErrorCode syncFile(const NativeChar* name) noexcept;
// Puts the entries of the directory that holds `name` on stable storage
// (fsync of the directory), so that renames and deletions in it outlive a
// power cut; 0, or the OS's code. On Windows a directory cannot be
// flushed: nothing is done (renames are written through instead).
ErrorCode syncDirectoryOf(const NativeChar* name) noexcept;

// Whether a rename failed with `error` because another program holds the
// file open without sharing its deletion (a viewer or a virus scanner on
// Windows); never true on POSIX.
bool isPinnedError(ErrorCode error) noexcept;

// Deletes the file `name`; never a directory.
ErrorCode removeFile(const NativeChar* name) noexcept;

// `path` made absolute by the OS's own rules, so that a later change of the
// working directory does not move it: a name that is absolute already is
// returned as given (on Windows `X:\...`, `\\server\share\...`,
// `\\?\...` and `\\.\...` alike); a relative or drive-relative one is
// resolved against the current directory (GetFullPathNameW on Windows). A
// name that cannot be resolved is returned unchanged. May throw
// std::bad_alloc.
NativeString anchorPath(const std::filesystem::path& path);

// Converts `time` to local broken-down time without touching shared state.
// Returns false (leaving `out` unchanged) if the conversion fails.
bool toLocalTime(std::time_t time, std::tm& out) noexcept;
// The same in UTC.
bool toUtcTime(std::time_t time, std::tm& out) noexcept;

// Returns `path` as bytes fit for a byte-oriented stream: UTF-8 where native
// paths are wide, the native bytes unchanged elsewhere. May throw
// std::bad_alloc.
std::string displayPath(const NativeString& path);

}  // namespace velmor::common::internal::platform

#endif  // VELMOR_LOGGING_INTERNAL_PLATFORM_H_
