// Test helper (POSIX): starts a program with arguments, as a child process.
#ifndef VELMOR_TESTS_PROCESS_SPAWN_H_
#define VELMOR_TESTS_PROCESS_SPAWN_H_

#include <spawn.h>
#include <sys/types.h>

#include <string>
#include <vector>

extern char** environ;

namespace velmor::testing {

// Starts `args[0]` (a path) with `args`, inheriting the environment and the
// standard streams. Returns the child's pid, or -1 if it could not start.
inline pid_t spawn(std::vector<std::string> args) {
  std::vector<char*> argv;
  argv.reserve(args.size() + 1);
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  pid_t pid = -1;
  return ::posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), environ) == 0 ? pid : -1;
}

}  // namespace velmor::testing

#endif  // VELMOR_TESTS_PROCESS_SPAWN_H_
