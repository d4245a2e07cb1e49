// Test helper: starts a program with arguments as a child process and waits
// for it, on POSIX and on Windows.
#ifndef VELMOR_TESTS_PROCESS_SPAWN_H_
#define VELMOR_TESTS_PROCESS_SPAWN_H_

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace velmor::testing {

// A started child: a pid on POSIX, a process handle on Windows; -1 if it
// could not start.
using Child = std::intptr_t;

// Starts `program` with `args`, inheriting the environment and the standard
// streams (and, on Windows, every inheritable handle, as programs that
// redirect a child's streams do).
Child spawn(const std::filesystem::path& program, const std::vector<std::string>& args);

#ifndef _WIN32
// Starts `program` with `args` and a pipe on its standard input, whose
// writing end is returned in `input` for the caller to write and close.
Child spawnWithInput(const std::filesystem::path& program, const std::vector<std::string>& args,
                     int& input);
#endif

// What a finished program gave back.
struct Ran {
  int status = -1;  // The exit status; 128 + N if signal N ended it (POSIX).
  std::string out;
  std::string err;
};

// Runs `program` with `args`, `input` on its standard input (then closed),
// and collects its standard output and error until it exits.
Ran run(const std::filesystem::path& program, const std::vector<std::string>& args,
        const std::string& input);

// Waits for `child` to end; returns its exit status (0: success), or -1 if it
// did not exit normally.
int waitFor(Child child);

// Whether a descriptor (POSIX) or HANDLE (Windows) would be inherited by a
// child process: FD_CLOEXEC clear, or HANDLE_FLAG_INHERIT set.
bool inheritable(std::intptr_t handle);

// The helper program `name` built beside the running test executable.
std::filesystem::path helperProgram(const std::string& name);

}  // namespace velmor::testing

#endif  // VELMOR_TESTS_PROCESS_SPAWN_H_
