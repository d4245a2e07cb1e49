// POSIX bodies of velmor-log's process layer: poll over the input pipes and
// a self-pipe that the signal handlers write to.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "process.h"

extern char** environ;

namespace velmor::tool {
namespace {

constexpr int kForwarded[] = {SIGINT, SIGTERM, SIGHUP};

// Written by the signal handlers: two bytes per signal, its number and
// whether the terminal raised it (Ctrl-C reaches the whole foreground
// process group at once).
int signalPipe[2] = {-1, -1};

extern "C" void onSignal(int signo, siginfo_t* info, void* /*context*/) {
  const int saved = errno;
  const unsigned char bytes[2] = {static_cast<unsigned char>(signo),
                                  static_cast<unsigned char>(info != nullptr && info->si_code > 0)};
  (void)!::write(signalPipe[1], bytes, 2);
  errno = saved;
}

// Whether `signo` was ignored when the program started (nohup, a shell's
// background job): it stays ignored, here and in COMMAND.
bool ignoredAtStart(int signo) {
  struct sigaction current {};
  return ::sigaction(signo, nullptr, &current) == 0 && current.sa_handler == SIG_IGN;
}

// Routes `signals` to the self-pipe for the rest of the program's life,
// except those ignored at start, and ignores SIGPIPE: a reader of the --tee
// copy that goes away (`| head`) must not stop the logging.
void catchSignals(std::initializer_list<int> signals) {
  ::signal(SIGPIPE, SIG_IGN);
  if (signalPipe[0] < 0 && ::pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) != 0) return;
  struct sigaction action {};
  action.sa_sigaction = onSignal;
  action.sa_flags = SA_SIGINFO;
  sigemptyset(&action.sa_mask);
  for (const int signo : signals) {
    if (!ignoredAtStart(signo)) ::sigaction(signo, &action, nullptr);
  }
}

// A signal as the handler recorded it.
struct Arrived {
  int signo;
  bool fromTerminal;
};

// The signals that arrived since the last call, in order.
std::vector<Arrived> takeSignals() {
  std::vector<Arrived> got;
  unsigned char buffer[64];
  ssize_t n;
  while ((n = ::read(signalPipe[0], buffer, sizeof buffer)) > 0) {
    for (ssize_t i = 0; i + 1 < n; i += 2) got.push_back({buffer[i], buffer[i + 1] != 0});
  }
  return got;
}

// Where a program named `name` is, as execvp would find it; empty if none.
std::string findProgram(const std::string& name) {
  if (name.find('/') != std::string::npos) return name;
  const char* path = std::getenv("PATH");
  std::string dirs = path != nullptr ? path : "/bin:/usr/bin";
  for (std::size_t at = 0; at <= dirs.size();) {
    std::size_t end = dirs.find(':', at);
    if (end == std::string::npos) end = dirs.size();
    std::string candidate = end > at ? dirs.substr(at, end - at) : ".";
    candidate += '/';
    candidate += name;
    if (::access(candidate.c_str(), X_OK) == 0) return candidate;
    at = end + 1;
  }
  return "";
}

// Reads one chunk of `fd` into `consumer`; false at the end of the stream.
bool pump(int fd, StreamConsumer& consumer) {
  static char buffer[1 << 18];
  ssize_t n;
  do {
    n = ::read(fd, buffer, sizeof buffer);
  } while (n < 0 && errno == EINTR);
  if (n <= 0) return false;
  consumer.data(std::string_view(buffer, static_cast<std::size_t>(n)));
  return true;
}

}  // namespace

void openMissingStandardStreams() {
  // Otherwise the next descriptors made (a pipe) would take their numbers,
  // and be read or written as the program's own streams.
  for (int fd = 0; fd <= 2; ++fd) {
    if (::fcntl(fd, F_GETFD) >= 0 || errno != EBADF) continue;
    const int opened = ::open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
    if (opened >= 0 && opened != fd) {
      ::dup2(opened, fd);
      ::close(opened);
    }
  }
}

std::vector<std::string> programArguments(int argc, char** argv) {
  return std::vector<std::string>(argv + (argc > 0 ? 1 : 0), argv + argc);
}

std::filesystem::path pathFromUtf8(const std::string& utf8) { return utf8; }

void writeStream(int stream, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(stream, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
}

void pumpStandardInput(StreamConsumer& input) {
  catchSignals({SIGINT, SIGTERM, SIGHUP});
#ifdef F_SETPIPE_SZ
  // A larger pipe lets a fast producer run ahead and each read bring more
  // lines (best effort: Linux only, and within the system's limit).
  ::fcntl(0, F_SETPIPE_SZ, 1 << 20);
#endif
  struct pollfd fds[2] = {{0, POLLIN, 0}, {signalPipe[0], POLLIN, 0}};
  for (;;) {
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    // What was read so far is written, the incomplete last line included.
    if (fds[1].revents != 0 && !takeSignals().empty()) break;
    if (fds[0].revents != 0 && !pump(0, input)) break;
  }
  input.end();
}

namespace {

// Starts `command` with its standard output and error on the write ends of
// `outPipe` and `errPipe`, the caught signals and SIGPIPE back at their
// default in it (those ignored at start stay ignored), and, unless
// `foreground`, in a process group of its own. Returns its pid, or -1 with
// `error` set.
pid_t spawnCommand(const std::vector<std::string>& command, const int outPipe[2],
                   const int errPipe[2], bool foreground, std::string& error) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, outPipe[1], 1);
  posix_spawn_file_actions_adddup2(&actions, errPipe[1], 2);
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t defaults;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  for (const int signo : kForwarded) {
    if (!ignoredAtStart(signo)) sigaddset(&defaults, signo);
  }
  posix_spawnattr_setsigdefault(&attributes, &defaults);
  short flags = POSIX_SPAWN_SETSIGDEF;
  if (!foreground) {
    flags |= POSIX_SPAWN_SETPGROUP;
    posix_spawnattr_setpgroup(&attributes, 0);
  }
  posix_spawnattr_setflags(&attributes, flags);
  std::vector<char*> argv;
  argv.reserve(command.size() + 2);
  for (const std::string& arg : command) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  pid_t pid = -1;
  int failed = ::posix_spawnp(&pid, argv[0], &actions, &attributes, argv.data(), environ);
  // A script without "#!" line: run by the shell, as execvp does.
  std::string script;
  if (failed == ENOEXEC && !(script = findProgram(command[0])).empty()) {
    argv[0] = script.data();
    argv.insert(argv.begin(), const_cast<char*>("/bin/sh"));
    failed = ::posix_spawn(&pid, "/bin/sh", &actions, &attributes, argv.data(), environ);
  }
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  if (failed == 0) return pid;
  error = "cannot run " + command[0] + ": " + std::strerror(failed);
  return -1;
}

// Hands what the child `pid` writes to `outFd` and `errFd` to `out` and
// `err` as it arrives, passing signals on, until both streams have ended
// and the child has exited, or a stop was asked for and the child exited.
// Returns the child's wait status.
int pumpCommand(pid_t pid, int outFd, int errFd, StreamConsumer& out, StreamConsumer& err,
                bool foreground) {
  struct pollfd fds[3] = {{outFd, POLLIN, 0}, {errFd, POLLIN, 0}, {signalPipe[0], POLLIN, 0}};
  StreamConsumer* consumers[2] = {&out, &err};
  int open = 2;
  int status = 0;
  bool exited = false;
  bool stopping = false;  // SIGTERM or SIGINT came.
  const auto endStream = [&](int i) {
    consumers[i]->end();
    ::close(fds[i].fd);
    fds[i].fd = -1;
    --open;
  };
  for (;;) {
    // Output first, in the order it arrives. Once both streams have ended,
    // or once a stop was asked for, the child's exit is looked for too.
    const int ready = ::poll(fds, 3, open > 0 && !stopping ? -1 : 100);
    if (ready < 0 && errno != EINTR) break;
    if (fds[2].revents != 0) {
      for (const Arrived& signal : takeSignals()) {
        stopping = stopping || signal.signo != SIGHUP;
        if (!(foreground && signal.fromTerminal)) ::kill(pid, signal.signo);
      }
    }
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd >= 0 && fds[i].revents != 0 && !pump(fds[i].fd, *consumers[i])) endStream(i);
    }
    if (!exited && (open == 0 || stopping)) {
      const pid_t done = ::waitpid(pid, &status, WNOHANG);
      exited = done == pid || (done < 0 && errno != EINTR);
    }
    if (exited && (open == 0 || stopping)) break;
  }
  // After a stop, what COMMAND's children still hold open is not waited
  // for: what is there already is written, then the streams end.
  for (int i = 0; i < 2; ++i) {
    if (fds[i].fd < 0) continue;
    struct pollfd one = {fds[i].fd, POLLIN, 0};
    while (::poll(&one, 1, 0) > 0 && pump(fds[i].fd, *consumers[i])) {
    }
    endStream(i);
  }
  return status;
}

}  // namespace

int runCommand(const std::vector<std::string>& command, StreamConsumer& out, StreamConsumer& err,
               std::string& error) {
  int outPipe[2];
  int errPipe[2];
  if (::pipe2(outPipe, O_CLOEXEC) != 0 || ::pipe2(errPipe, O_CLOEXEC) != 0) {
    error = std::string("cannot make a pipe: ") + std::strerror(errno);
    return 127;
  }
  // Caught before the start, so that none is lost.
  catchSignals({SIGINT, SIGTERM, SIGHUP});
  // COMMAND runs in a process group of its own, so that a signal sent to
  // this program's group (a supervisor's stop, `kill -- -PGID`) reaches it
  // once, passed on from here. In the foreground of a terminal it stays in
  // this group, which the terminal needs for its input; Ctrl-C then reaches
  // it directly and is not passed on.
  const bool foreground = ::isatty(0) == 1 && ::tcgetpgrp(0) == ::getpgrp();
  const pid_t pid = spawnCommand(command, outPipe, errPipe, foreground, error);
  ::close(outPipe[1]);
  ::close(errPipe[1]);
  if (pid < 0) {
    ::close(outPipe[0]);
    ::close(errPipe[0]);
    return 127;
  }
  const int status = pumpCommand(pid, outPipe[0], errPipe[0], out, err, foreground);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
}

void startHook(const std::string& command, const std::string& argument) {
  // "$1" after the command: the name stays one argument whatever it holds.
  const std::string script = command + " \"$1\"";
  const char* const argv[] = {"/bin/sh",        "-c",   script.c_str(), "velmor-log",
                              argument.c_str(), nullptr};
  // Only async-signal-safe calls between fork and exec: other threads may
  // hold any lock. The middle process exits at once, so the hook is
  // adopted by init, which reaps it, and this program never has a zombie.
  const pid_t middle = ::fork();
  if (middle == 0) {
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    if (::fork() == 0) {
      ::dup2(2, 1);
      const int null = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
      if (null >= 0) ::dup2(null, 0);
      ::execv(argv[0], const_cast<char* const*>(argv));
      ::_exit(127);
    }
    ::_exit(0);
  }
  if (middle > 0) {
    while (::waitpid(middle, nullptr, 0) < 0 && errno == EINTR) {
    }
  }
}

}  // namespace velmor::tool
