// Windows and POSIX bodies of the process test helpers.
#include "process_spawn.h"

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

Child spawn(const std::filesystem::path& program, const std::vector<std::string>& args) {
  std::vector<std::string> all = {program.string()};
  all.insert(all.end(), args.begin(), args.end());
  std::vector<char*> argv;
  argv.reserve(all.size() + 1);
  for (std::string& arg : all) argv.push_back(arg.data());
  argv.push_back(nullptr);
  pid_t pid = -1;
  return ::posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), environ) == 0 ? pid : -1;
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
