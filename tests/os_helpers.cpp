// Windows and POSIX bodies of the OS-facing test helpers: a few primitives
// per OS, and the process helpers written once on top of them.
#include "os_helpers.h"

#ifdef VELMOR_POSIX_MOCK
#include "posix_mock.h"
#endif

#include <gtest/gtest.h>
#include <zlib.h>

#include "logging/internal/build_config.h"
#if VELMOR_HAVE_ZSTD
#include <zstd.h>
#endif

#include <fstream>
#include <functional>
#include <iterator>
#include <thread>

#if defined(_WIN32)
#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#else
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#ifdef __linux__
#include <linux/fs.h>
#include <sys/ioctl.h>
#endif

extern char** environ;
#endif

namespace velmor::testing {
namespace {

namespace fs = std::filesystem;

using Handle = std::intptr_t;  // A descriptor, or a HANDLE.
constexpr Handle kNone = -1;

// The primitives, one body per OS:
// Starts `program` with `args`; the standard streams of `streams` that are
// not kNone replace the parent's (on Windows every inheritable handle is
// inherited, as programs that redirect a child's streams do).
Child start(const fs::path& program, const std::vector<std::string>& args,
            const Handle (&streams)[3]);
// A pipe, `ends` reading then writing, of which only end `theirs` may reach
// a child.
bool makePipe(Handle (&ends)[2], int theirs);
void closeHandle(Handle handle);
// Reads `from` to its end, then closes it.
std::string drain(Handle from);
// Writes `input` to `to` until done or its reader left, then closes it.
void feed(Handle to, const std::string& input);

#if defined(_WIN32)

HANDLE native(Handle handle) { return reinterpret_cast<HANDLE>(handle); }

// Quoted so that the Microsoft C runtime's parser gives `arg` back whole.
std::wstring quoted(const std::wstring& arg) {
  if (!arg.empty() && arg.find_first_of(L" \t\"") == std::wstring::npos) return arg;
  std::wstring line = L"\"";
  std::size_t slashes = 0;
  for (const wchar_t c : arg) {
    if (c == L'\\') {
      ++slashes;
      continue;
    }
    line.append(c == L'"' ? slashes * 2 + 1 : slashes, L'\\');
    slashes = 0;
    line += c;
  }
  line.append(slashes * 2, L'\\');
  return line + L"\"";
}

Child start(const fs::path& program, const std::vector<std::string>& args,
            const Handle (&streams)[3]) {
  std::wstring command = quoted(program.wstring());
  for (const std::string& arg : args) command += L" " + quoted(fs::u8path(arg).wstring());
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  if (streams[0] != kNone || streams[1] != kNone || streams[2] != kNone) {
    const DWORD ids[3] = {STD_INPUT_HANDLE, STD_OUTPUT_HANDLE, STD_ERROR_HANDLE};
    HANDLE* slots[3] = {&startup.hStdInput, &startup.hStdOutput, &startup.hStdError};
    for (int i = 0; i < 3; ++i) {
      *slots[i] = streams[i] != kNone ? native(streams[i]) : ::GetStdHandle(ids[i]);
    }
    startup.dwFlags = STARTF_USESTDHANDLES;
  }
  PROCESS_INFORMATION process{};
  // Wine, loaded with twenty starts at once, now and then refuses one for a
  // moment: the children's start is the harness's part, tried a few times.
  for (int attempt = 0;; ++attempt) {
    if (::CreateProcessW(program.c_str(), command.data(), nullptr, nullptr, TRUE, 0, nullptr,
                         nullptr, &startup, &process)) {
      break;
    }
    if (attempt == 4) return -1;
    ::Sleep(100);
  }
  ::CloseHandle(process.hThread);
  return reinterpret_cast<Child>(process.hProcess);
}

bool makePipe(Handle (&ends)[2], int theirs) {
  SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
  HANDLE made[2];
  if (!::CreatePipe(&made[0], &made[1], &inherit, 0)) return false;
  ::SetHandleInformation(made[1 - theirs], HANDLE_FLAG_INHERIT, 0);
  for (int i = 0; i < 2; ++i) ends[i] = reinterpret_cast<Handle>(made[i]);
  return true;
}

void closeHandle(Handle handle) { ::CloseHandle(native(handle)); }

std::string drain(Handle from) {
  std::string got;
  char buffer[65536];
  DWORD n = 0;
  while (::ReadFile(native(from), buffer, sizeof buffer, &n, nullptr) && n > 0)
    got.append(buffer, n);
  closeHandle(from);
  return got;
}

void feed(Handle to, const std::string& input) {
  DWORD n = 0;
  for (std::size_t at = 0; at < input.size(); at += n) {
    const auto size = static_cast<DWORD>(input.size() - at);
    if (!::WriteFile(native(to), input.data() + at, size, &n, nullptr)) break;
  }
  closeHandle(to);
}

}  // namespace

int waitFor(Child child) {
  const HANDLE process = native(child);
  if (::WaitForSingleObject(process, INFINITE) != WAIT_OBJECT_0) return -1;
  DWORD code = 1;
  ::GetExitCodeProcess(process, &code);
  ::CloseHandle(process);
  return static_cast<int>(code);
}

bool inheritable(std::intptr_t handle) {
  DWORD flags = 0;
  return ::GetHandleInformation(native(handle), &flags) != 0 && (flags & HANDLE_FLAG_INHERIT) != 0;
}

fs::path writerProcess() {
  wchar_t self[32768];
  const DWORD size = ::GetModuleFileNameW(nullptr, self, 32768);
  return fs::path(std::wstring(self, size)).parent_path() / "writer_process.exe";
}

bool setModifiedAgo(const fs::path& path, std::chrono::seconds ago) {
  // Backup semantics: a directory can be opened, and given a time, too.
  const HANDLE handle = ::CreateFileW(path.c_str(), FILE_WRITE_ATTRIBUTES,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return false;
  FILETIME now;
  ::GetSystemTimeAsFileTime(&now);
  const std::uint64_t ticks =
      ((static_cast<std::uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime) -
      static_cast<std::uint64_t>(ago.count()) * 10000000u;
  const FILETIME then{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
  const bool ok = ::SetFileTime(handle, nullptr, nullptr, &then) != 0;
  ::CloseHandle(handle);
  return ok;
}

FilePin::FilePin(const fs::path& path) : path_(path) {
  // Readers and writers may share the file, but nobody may delete or rename
  // it while this handle is open.
  const HANDLE handle =
      ::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  ok_ = handle != INVALID_HANDLE_VALUE;
  handle_ = reinterpret_cast<std::intptr_t>(handle);
}

void FilePin::release() {
  if (ok_) closeHandle(handle_);
  ok_ = false;
}

unsigned long FilePin::renameError() { return ERROR_SHARING_VIOLATION; }

#else

Child start(const fs::path& program, const std::vector<std::string>& args,
            const Handle (&streams)[3]) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  for (int fd = 0; fd < 3; ++fd) {
    if (streams[fd] != kNone) {
      posix_spawn_file_actions_adddup2(&actions, static_cast<int>(streams[fd]), fd);
    }
  }
  std::vector<std::string> all = {program.string()};
  all.insert(all.end(), args.begin(), args.end());
  std::vector<char*> argv;
  argv.reserve(all.size() + 1);
  for (std::string& arg : all) argv.push_back(arg.data());
  argv.push_back(nullptr);
  pid_t pid = -1;
  const int failed = ::posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  return failed == 0 ? pid : -1;
}

// Both ends close on exec; a child gets its end through dup2, which clears it.
bool makePipe(Handle (&ends)[2], int /*theirs*/) {
  int made[2];
  if (::pipe2(made, O_CLOEXEC) != 0) return false;
  ends[0] = made[0];
  ends[1] = made[1];
  return true;
}

void closeHandle(Handle handle) { ::close(static_cast<int>(handle)); }

std::string drain(Handle from) {
  std::string got;
  char buffer[65536];
  for (ssize_t n; (n = ::read(static_cast<int>(from), buffer, sizeof buffer)) != 0;) {
    if (n > 0) got.append(buffer, static_cast<std::size_t>(n));
    if (n < 0 && errno != EINTR) break;
  }
  closeHandle(from);
  return got;
}

void feed(Handle to, const std::string& input) {
  // A child that stops reading must not kill this process: SIGPIPE is
  // blocked in this thread, which only feeds, and is dropped when it ends.
  sigset_t pipe;
  sigemptyset(&pipe);
  sigaddset(&pipe, SIGPIPE);
  ::pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
  for (std::size_t at = 0; at < input.size();) {
    const ssize_t n = ::write(static_cast<int>(to), input.data() + at, input.size() - at);
    if (n <= 0) break;
    at += static_cast<std::size_t>(n);
  }
  closeHandle(to);
}

[[maybe_unused]] bool setAppendOnly([[maybe_unused]] const fs::path& path,
                                    [[maybe_unused]] bool on) {
#ifdef __linux__
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
#else
  return false;
#endif
}

}  // namespace

int waitFor(Child child) {
  int status = 0;
  if (::waitpid(static_cast<pid_t>(child), &status, 0) < 0) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

bool inheritable(std::intptr_t handle) {
  const int flags = ::fcntl(static_cast<int>(handle), F_GETFD);
  return flags >= 0 && (flags & FD_CLOEXEC) == 0;
}

fs::path writerProcess() {
  return fs::read_symlink("/proc/self/exe").parent_path() / "writer_process";
}

bool setModifiedAgo(const fs::path& path, std::chrono::seconds ago) {
  std::error_code ec;
  fs::last_write_time(path, fs::file_time_type::clock::now() - ago, ec);
  return !ec;
}

#ifdef VELMOR_POSIX_MOCK
// Against the stand-in for the OS calls: the sink's renames and deletions
// of the file fail as the append-only attribute makes them fail.
FilePin::FilePin(const fs::path& path) : path_(path), ok_(mock::pin(path.c_str())) {}

void FilePin::release() {
  if (ok_) mock::unpin(path_.c_str());
  ok_ = false;
}
#else
FilePin::FilePin(const fs::path& path) : path_(path), ok_(setAppendOnly(path, true)) {}

void FilePin::release() {
  if (ok_) setAppendOnly(path_, false);
  ok_ = false;
}
#endif

unsigned long FilePin::renameError() { return EPERM; }

#endif

Child spawn(const fs::path& program, const std::vector<std::string>& args, std::intptr_t* input) {
  Handle in[2] = {kNone, kNone};
  if (input != nullptr && !makePipe(in, 0)) return -1;
  const Child child = start(program, args, {in[0], kNone, kNone});
  if (input != nullptr) {
    closeHandle(in[0]);
    *input = in[1];
  }
  return child;
}

Ran run(const fs::path& program, const std::vector<std::string>& args, const std::string& input) {
  Handle in[2];
  Handle out[2];
  Handle err[2];
  Ran ran;
  if (!makePipe(in, 0) || !makePipe(out, 1) || !makePipe(err, 1)) return ran;
  const Child child = start(program, args, {in[0], out[1], err[1]});
  for (const Handle theirs : {in[0], out[1], err[1]}) closeHandle(theirs);
  std::thread feeder(feed, in[1], std::cref(input));
  std::thread errors([&] { ran.err = drain(err[0]); });
  ran.out = drain(out[0]);
  errors.join();
  feeder.join();
  if (child != -1) ran.status = waitFor(child);
  return ran;
}

std::string gunzipFile(const fs::path& path, bool& complete) {
  complete = false;
  std::ifstream in(path, std::ios::binary);
  const std::string packed((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::string out;
  z_stream stream{};
  if (!in.is_open() || inflateInit2(&stream, 15 + 16) != Z_OK) return out;
  stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(packed.data()));
  stream.avail_in = static_cast<uInt>(packed.size());
  char buffer[65536];
  int result = Z_OK;
  while (result == Z_OK) {
    stream.next_out = reinterpret_cast<Bytef*>(buffer);
    stream.avail_out = sizeof(buffer);
    result = inflate(&stream, Z_NO_FLUSH);
    out.append(buffer, sizeof(buffer) - stream.avail_out);
  }
  complete = result == Z_STREAM_END && stream.avail_in == 0;
  inflateEnd(&stream);
  return out;
}

void gzipFile(const fs::path& path, const std::string& text) {
  z_stream stream{};
  ASSERT_EQ(deflateInit2(&stream, 6, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY), Z_OK);
  std::string packed(deflateBound(&stream, static_cast<uLong>(text.size())) + 64, '\0');
  stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(text.data()));
  stream.avail_in = static_cast<uInt>(text.size());
  stream.next_out = reinterpret_cast<Bytef*>(packed.data());
  stream.avail_out = static_cast<uInt>(packed.size());
  ASSERT_EQ(deflate(&stream, Z_FINISH), Z_STREAM_END);
  packed.resize(stream.total_out);
  deflateEnd(&stream);
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << packed;
}

std::string unzstdFile(const fs::path& path, bool& complete) {
  complete = false;
  std::string out;
#if VELMOR_HAVE_ZSTD
  std::ifstream in(path, std::ios::binary);
  const std::string packed((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  ZSTD_DCtx* context = ZSTD_createDCtx();
  ZSTD_inBuffer from{packed.data(), packed.size(), 0};
  char buffer[65536];
  std::size_t hint = 1;
  while (hint != 0 && !ZSTD_isError(hint)) {
    ZSTD_outBuffer to{buffer, sizeof(buffer), 0};
    hint = ZSTD_decompressStream(context, &to, &from);
    out.append(buffer, to.pos);
    if (to.pos == 0 && from.pos == from.size) break;  // Cut short.
  }
  complete = in.is_open() && hint == 0 && from.pos == from.size;
  ZSTD_freeDCtx(context);
#else
  static_cast<void>(path);
#endif
  return out;
}

void zstdFile(const fs::path& path, const std::string& text) {
#if VELMOR_HAVE_ZSTD
  std::string packed(ZSTD_compressBound(text.size()), '\0');
  const std::size_t size = ZSTD_compress(packed.data(), packed.size(), text.data(), text.size(), 3);
  ASSERT_FALSE(ZSTD_isError(size));
  packed.resize(size);
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << packed;
#else
  static_cast<void>(path);
  static_cast<void>(text);
#endif
}

std::vector<common::CompressionCodec> builtCodecs() {
  return VELMOR_HAVE_ZSTD
             ? std::vector{common::CompressionCodec::Gzip, common::CompressionCodec::Zstd}
             : std::vector{common::CompressionCodec::Gzip};
}

std::string suffixOf(common::CompressionCodec codec) {
  return codec == common::CompressionCodec::Zstd ? ".zst" : ".gz";
}

std::string unpackFile(const fs::path& path, bool& complete) {
  return path.extension() == ".zst" ? unzstdFile(path, complete) : gunzipFile(path, complete);
}

void packFile(const fs::path& path, const std::string& text) {
  if (path.extension() == ".zst") {
    zstdFile(path, text);
  } else {
    gzipFile(path, text);
  }
}

std::string readBackup(const fs::path& path, int n) {
  const fs::path plain = path.native() + fs::path("." + std::to_string(n)).native();
  if (fs::exists(plain)) {
    std::ifstream in(plain, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  }
  for (const char* suffix : {".gz", ".zst"}) {
    const fs::path zipped = plain.native() + fs::path(suffix).native();
    if (!fs::exists(zipped)) continue;
    bool complete = false;
    std::string text = unpackFile(zipped, complete);
    EXPECT_TRUE(complete) << zipped.string() << " is not one whole compressed stream";
    return text;
  }
  return "";
}

std::string readSetText(const fs::path& path, int backups) {
  std::string all;
  for (int n = backups; n >= 1; --n) {
    const fs::path plain = path.native() + fs::path("." + std::to_string(n)).native();
    for (const char* suffix : {".gz", ".zst"}) {
      const fs::path zipped = plain.native() + fs::path(suffix).native();
      if (!fs::exists(zipped)) continue;
      bool complete = false;
      all += unpackFile(zipped, complete);
      EXPECT_TRUE(complete) << zipped.string() << " is not one whole compressed stream";
    }
    if (fs::exists(plain)) {
      std::ifstream in(plain, std::ios::binary);
      all.append(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
  }
  std::ifstream in(path, std::ios::binary);
  all.append(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return all;
}

}  // namespace velmor::testing
