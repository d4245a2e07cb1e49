// Windows and POSIX bodies of the process test helpers.
#include "process_spawn.h"

#include <csignal>
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
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>

extern char** environ;
#endif

namespace velmor::testing {

#if defined(_WIN32)

Child spawn(const std::filesystem::path& program, const std::vector<std::string>& args) {
  // The arguments used here have no spaces or quotes: plain joining works.
  std::wstring command = L"\"" + program.wstring() + L"\"";
  for (const std::string& arg : args) command += L" " + std::filesystem::u8path(arg).wstring();
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION process{};
  if (!::CreateProcessW(program.c_str(), command.data(), nullptr, nullptr, TRUE, 0, nullptr,
                        nullptr, &startup, &process)) {
    return -1;
  }
  ::CloseHandle(process.hThread);
  return reinterpret_cast<Child>(process.hProcess);
}

namespace {

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

std::string drain(HANDLE from) {
  std::string got;
  char buffer[65536];
  DWORD n = 0;
  while (::ReadFile(from, buffer, sizeof buffer, &n, nullptr) && n > 0) got.append(buffer, n);
  return got;
}

}  // namespace

Ran run(const std::filesystem::path& program, const std::vector<std::string>& args,
        const std::string& input) {
  SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
  HANDLE in[2];
  HANDLE out[2];
  HANDLE err[2];
  Ran ran;
  if (!::CreatePipe(&in[0], &in[1], &inherit, 0) || !::CreatePipe(&out[0], &out[1], &inherit, 0) ||
      !::CreatePipe(&err[0], &err[1], &inherit, 0)) {
    return ran;
  }
  for (HANDLE ours : {in[1], out[0], err[0]}) ::SetHandleInformation(ours, HANDLE_FLAG_INHERIT, 0);
  std::wstring command = quoted(program.wstring());
  for (const std::string& arg : args)
    command += L" " + quoted(std::filesystem::u8path(arg).wstring());
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = in[0];
  startup.hStdOutput = out[1];
  startup.hStdError = err[1];
  PROCESS_INFORMATION process{};
  const BOOL started = ::CreateProcessW(program.c_str(), command.data(), nullptr, nullptr, TRUE, 0,
                                        nullptr, nullptr, &startup, &process);
  for (HANDLE theirs : {in[0], out[1], err[1]}) ::CloseHandle(theirs);
  if (started) {
    std::thread feeder([&] {
      DWORD n = 0;
      for (std::size_t at = 0; at < input.size(); at += n) {
        if (!::WriteFile(in[1], input.data() + at, static_cast<DWORD>(input.size() - at), &n,
                         nullptr)) {
          break;
        }
      }
      ::CloseHandle(in[1]);
    });
    std::thread errors([&] { ran.err = drain(err[0]); });
    ran.out = drain(out[0]);
    errors.join();
    feeder.join();
    ::CloseHandle(process.hThread);
    ran.status = waitFor(reinterpret_cast<Child>(process.hProcess));
  } else {
    ::CloseHandle(in[1]);
  }
  ::CloseHandle(out[0]);
  ::CloseHandle(err[0]);
  return ran;
}

int waitFor(Child child) {
  const HANDLE process = reinterpret_cast<HANDLE>(child);
  ::WaitForSingleObject(process, INFINITE);
  DWORD code = 1;
  ::GetExitCodeProcess(process, &code);
  ::CloseHandle(process);
  return static_cast<int>(code);
}

bool inheritable(std::intptr_t handle) {
  DWORD flags = 0;
  return ::GetHandleInformation(reinterpret_cast<HANDLE>(handle), &flags) != 0 &&
         (flags & HANDLE_FLAG_INHERIT) != 0;
}

std::filesystem::path helperProgram(const std::string& name) {
  wchar_t self[32768];
  const DWORD size = ::GetModuleFileNameW(nullptr, self, 32768);
  return std::filesystem::path(std::wstring(self, size)).parent_path() / (name + ".exe");
}

#else

namespace {

// Starts `program` with `args`, with its descriptors 0, 1 and 2 replaced by
// those of `fds` that are not -1; -1 if it could not start.
pid_t start(const std::filesystem::path& program, const std::vector<std::string>& args,
            const int (&fds)[3]) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  for (int fd = 0; fd < 3; ++fd) {
    if (fds[fd] >= 0) posix_spawn_file_actions_adddup2(&actions, fds[fd], fd);
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

}  // namespace

Child spawn(const std::filesystem::path& program, const std::vector<std::string>& args) {
  return start(program, args, {-1, -1, -1});
}

Child spawnWithInput(const std::filesystem::path& program, const std::vector<std::string>& args,
                     int& input) {
  int ends[2];
  if (::pipe2(ends, O_CLOEXEC) != 0) return -1;
  const pid_t pid = start(program, args, {ends[0], -1, -1});
  ::close(ends[0]);
  input = ends[1];
  return pid;
}

Ran run(const std::filesystem::path& program, const std::vector<std::string>& args,
        const std::string& input) {
  int in[2];
  int out[2];
  int err[2];
  Ran ran;
  if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) {
    return ran;
  }
  const pid_t pid = start(program, args, {in[0], out[1], err[1]});
  for (const int theirs : {in[0], out[1], err[1]}) ::close(theirs);
  // A child that stops reading its input must not kill this process.
  const auto previous = std::signal(SIGPIPE, SIG_IGN);
  std::thread feeder([&] {
    for (std::size_t at = 0; at < input.size();) {
      const ssize_t n = ::write(in[1], input.data() + at, input.size() - at);
      if (n <= 0) break;
      at += static_cast<std::size_t>(n);
    }
    ::close(in[1]);
  });
  struct pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
  std::string* into[2] = {&ran.out, &ran.err};
  for (int open = 2; open > 0;) {
    if (::poll(fds, 2, -1) < 0) continue;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      char buffer[65536];
      const ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
      if (n > 0) {
        into[i]->append(buffer, static_cast<std::size_t>(n));
      } else {
        ::close(fds[i].fd);
        fds[i].fd = -1;
        --open;
      }
    }
  }
  feeder.join();
  std::signal(SIGPIPE, previous);
  int status = 0;
  if (pid > 0 && ::waitpid(pid, &status, 0) == pid) {
    ran.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }
  return ran;
}

int waitFor(Child child) {
  int status = 0;
  if (::waitpid(static_cast<pid_t>(child), &status, 0) < 0) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool inheritable(std::intptr_t handle) {
  const int flags = ::fcntl(static_cast<int>(handle), F_GETFD);
  return flags >= 0 && (flags & FD_CLOEXEC) == 0;
}

std::filesystem::path helperProgram(const std::string& name) {
  return std::filesystem::read_symlink("/proc/self/exe").parent_path() / name;
}

#endif

}  // namespace velmor::testing
