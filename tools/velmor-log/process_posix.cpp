// POSIX bodies of velmor-log's process layer: poll over the input pipes and
// a self-pipe that the signal handlers write to.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#ifdef __linux__
#include <sys/prctl.h>
#endif

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "process.h"

extern char** environ;

namespace velmor::tool {
namespace {

// The signals passed on to COMMAND: those a supervisor or a script sends
// to a service's process group.
constexpr int kForwarded[] = {SIGHUP, SIGINT, SIGQUIT, SIGTERM, SIGUSR1, SIGUSR2};
// The signals that end pipe mode.
constexpr int kStopsInput[] = {SIGHUP, SIGINT, SIGTERM};

// Which signals were ignored when the program started (nohup, a shell's
// background job), noted by prepareProcess before anything changed them.
bool startedIgnored[NSIG];
sigset_t startMask;

bool ignoredAtStart(int signo) { return signo > 0 && signo < NSIG && startedIgnored[signo]; }

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

// Routes `signals` to the self-pipe for the rest of the program's life;
// with `alsoIgnored`, those ignored at start too (they are then passed on,
// but not acted on).
template <std::size_t N>
void catchSignals(const int (&signals)[N], bool alsoIgnored) {
  if (signalPipe[0] < 0 && ::pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) != 0) return;
  struct sigaction action {};
  action.sa_sigaction = onSignal;
  action.sa_flags = SA_SIGINFO | SA_RESTART;
  sigemptyset(&action.sa_mask);
  for (const int signo : signals) {
    if (alsoIgnored || !ignoredAtStart(signo)) ::sigaction(signo, &action, nullptr);
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

// Where signals go: COMMAND, once it runs, and whether a stop was asked for.
struct Relay {
  pid_t command = -1;
  bool foreground = false;  // COMMAND shares this program's group at a terminal.
  bool stopping = false;
};
Relay relay;

// Acts on the signals that arrived: passes them on to COMMAND and notes a
// stop. In pipe mode every signal caught is a stop; with COMMAND only those
// that end a program by default and were not ignored at start.
void actOnSignals() {
  for (const Arrived& signal : takeSignals()) {
    if (relay.command < 0) {
      relay.stopping = true;
      continue;
    }
    const int signo = signal.signo;
    if ((signo == SIGINT || signo == SIGTERM || signo == SIGQUIT) && !ignoredAtStart(signo)) {
      relay.stopping = true;
    }
    if (!(relay.foreground && signal.fromTerminal)) ::kill(relay.command, signo);
  }
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
    struct stat found {};
    if (::stat(candidate.c_str(), &found) == 0 && S_ISREG(found.st_mode) &&
        ::access(candidate.c_str(), X_OK) == 0) {
      return candidate;
    }
    at = end + 1;
  }
  return "";
}

// Reads one chunk of `fd` into `consumer`; false at the end of the stream
// or if the read failed, with `error` then set to why.
bool pump(int fd, StreamConsumer& consumer, std::string& error) {
  // 128 KiB: a chunk's lines with their stamps still fit one gathered append
  // of the sink (which stages 256 KiB), so a chunk costs one append, and
  // what velmor-log holds stays small; larger chunks bought no speed.
  static char buffer[1 << 17];
  ssize_t n;
  do {
    n = ::read(fd, buffer, sizeof buffer);
  } while (n < 0 && errno == EINTR);
  if (n < 0 && errno == EAGAIN) return true;
  if (n < 0) error = std::strerror(errno);
  if (n <= 0) return false;
  consumer.data(std::string_view(buffer, static_cast<std::size_t>(n)));
  return true;
}

}  // namespace

void prepareProcess() {
  sigprocmask(SIG_SETMASK, nullptr, &startMask);
  for (int signo = 1; signo < NSIG; ++signo) {
    struct sigaction current {};
    startedIgnored[signo] =
        ::sigaction(signo, nullptr, &current) == 0 && current.sa_handler == SIG_IGN;
  }
  ::signal(SIGPIPE, SIG_IGN);
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

void pumpStandardInput(StreamConsumer& input, std::string& error) {
  catchSignals(kStopsInput, false);
#ifdef F_SETPIPE_SZ
  // A larger pipe lets a fast producer run ahead and each read bring more
  // lines (best effort: Linux only, and within the system's limit).
  ::fcntl(0, F_SETPIPE_SZ, 1 << 20);
#endif
  struct pollfd fds[2] = {{0, POLLIN, 0}, {signalPipe[0], POLLIN, 0}};
  std::string failed;
  while (!relay.stopping) {
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    // What was read so far is written, the incomplete last line included.
    if (fds[1].revents != 0) actOnSignals();
    if (!relay.stopping && fds[0].revents != 0 && !pump(0, input, failed)) break;
  }
  input.end();
  if (!failed.empty()) error = "cannot read standard input: " + failed;
}

bool pauseUnlessStopped(std::chrono::milliseconds wait) {
  const auto end = std::chrono::steady_clock::now() + wait;
  while (!relay.stopping) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        end - std::chrono::steady_clock::now());
    if (left.count() <= 0) break;
    struct pollfd signals = {signalPipe[0], POLLIN, 0};  // None caught yet: -1, a sleep.
    if (::poll(&signals, 1, static_cast<int>(left.count())) > 0) actOnSignals();
  }
  return !relay.stopping;
}

bool meansFullDisk(const std::error_code& error) {
  return error.category() == std::system_category() &&
         (error.value() == ENOSPC || error.value() == EDQUOT);
}

namespace {

// The arguments of an exec, as pointers into `strings`.
std::vector<char*> argvOf(std::vector<std::string>& strings) {
  std::vector<char*> argv;
  argv.reserve(strings.size() + 1);
  for (std::string& arg : strings) argv.push_back(arg.data());
  argv.push_back(nullptr);
  return argv;
}

// In the child, between fork and exec (only async-signal-safe calls):
// makes it COMMAND as runCommand promises, then runs it; never returns.
[[noreturn]] void becomeCommand(const char* program, char* const* argv, char* const* shArgv,
                                const int outPipe[2], const int errPipe[2], int report,
                                pid_t parent) {
  struct sigaction action {};
  sigemptyset(&action.sa_mask);
  for (int signo : kForwarded) {
    action.sa_handler = ignoredAtStart(signo) ? SIG_IGN : SIG_DFL;
    ::sigaction(signo, &action, nullptr);
  }
  action.sa_handler = ignoredAtStart(SIGPIPE) ? SIG_IGN : SIG_DFL;
  ::sigaction(SIGPIPE, &action, nullptr);
  if (!relay.foreground) ::setpgid(0, 0);
#ifdef __linux__
  // Told when this program dies first; if it died already, COMMAND never
  // starts.
  ::prctl(PR_SET_PDEATHSIG, SIGTERM);
  if (::getppid() != parent) ::_exit(128 + SIGTERM);
#else
  (void)parent;
#endif
  ::dup2(outPipe[1], 1);
  ::dup2(errPipe[1], 2);
  ::sigprocmask(SIG_SETMASK, &startMask, nullptr);
  ::execve(program, argv, environ);
  // A script without "#!" line: run by the shell, as execvp does.
  if (errno == ENOEXEC) ::execve("/bin/sh", shArgv, environ);
  const int failed = errno;
  (void)!::write(report, &failed, sizeof failed);
  ::_exit(127);
}

// Starts `command` as runCommand promises, its standard output and error
// on the write ends of `outPipe` and `errPipe`. Returns its pid, or -1 with
// `error` set.
pid_t spawnCommand(const std::vector<std::string>& command, const int outPipe[2],
                   const int errPipe[2], std::string& error) {
  std::vector<std::string> args = command;
  args[0] = findProgram(command[0]);
  if (args[0].empty()) {
    error = "cannot run " + command[0] + ": " + std::strerror(ENOENT);
    return -1;
  }
  std::vector<std::string> shArgs = args;
  shArgs.insert(shArgs.begin(), "/bin/sh");
  const std::vector<char*> argv = argvOf(args);
  const std::vector<char*> shArgv = argvOf(shArgs);
  // The exec's failure comes back through a pipe that the exec closes.
  int report[2];
  if (::pipe2(report, O_CLOEXEC) != 0) {
    error = std::string("cannot make a pipe: ") + std::strerror(errno);
    return -1;
  }
  // No handler of this program may run in the child before its
  // dispositions are reset.
  sigset_t all;
  sigset_t before;
  sigfillset(&all);
  ::sigprocmask(SIG_SETMASK, &all, &before);
  const pid_t parent = ::getpid();
  const pid_t pid = ::fork();
  if (pid == 0) {
    becomeCommand(argv[0], argv.data(), shArgv.data(), outPipe, errPipe, report[1], parent);
  }
  const int forkError = errno;
  ::sigprocmask(SIG_SETMASK, &before, nullptr);
  ::close(report[1]);
  int failed = 0;
  ssize_t got;
  while ((got = ::read(report[0], &failed, sizeof failed)) < 0 && errno == EINTR) {
  }
  ::close(report[0]);
  if (pid < 0 || got == static_cast<ssize_t>(sizeof failed)) {
    if (pid > 0) {
      while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
      }
    }
    error = "cannot run " + command[0] + ": " + std::strerror(pid < 0 ? forkError : failed);
    return -1;
  }
  return pid;
}

// Hands what COMMAND writes to `outFd` and `errFd` to `out` and `err` as it
// arrives, passing signals on, until both streams have ended and it has
// exited, or a stop was asked for and it exited. Returns its wait status.
int pumpCommand(int outFd, int errFd, StreamConsumer& out, StreamConsumer& err,
                std::string& failed) {
  struct pollfd fds[3] = {{outFd, POLLIN, 0}, {errFd, POLLIN, 0}, {signalPipe[0], POLLIN, 0}};
  StreamConsumer* consumers[2] = {&out, &err};
  int open = 2;
  int status = 0;
  bool exited = false;
  const auto endStream = [&](int i) {
    consumers[i]->end();
    ::close(fds[i].fd);
    fds[i].fd = -1;
    --open;
  };
  for (;;) {
    // Output first, in the order it arrives. Once both streams have ended,
    // or once a stop was asked for, COMMAND's exit is looked for too.
    const int ready = ::poll(fds, 3, open > 0 && !relay.stopping ? -1 : 100);
    if (ready < 0 && errno != EINTR) break;
    if (fds[2].revents != 0) actOnSignals();
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd >= 0 && fds[i].revents != 0 && !pump(fds[i].fd, *consumers[i], failed)) {
        endStream(i);
      }
    }
    if (!exited && (open == 0 || relay.stopping)) {
      const pid_t done = ::waitpid(relay.command, &status, WNOHANG);
      exited = done == relay.command || (done < 0 && errno != EINTR);
    }
    if (exited && (open == 0 || relay.stopping)) break;
  }
  // After a stop, what COMMAND's children still hold open is not waited
  // for: what is there already is written, then the streams end.
  for (int i = 0; i < 2; ++i) {
    if (fds[i].fd < 0) continue;
    struct pollfd one = {fds[i].fd, POLLIN, 0};
    while (::poll(&one, 1, 0) > 0 && pump(fds[i].fd, *consumers[i], failed)) {
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
  // Caught before the start, so that none is lost; those ignored at start
  // too, since COMMAND may want them.
  catchSignals(kForwarded, true);
  // COMMAND runs in a process group of its own, so that a signal sent to
  // this program's group (a supervisor's stop, `kill -- -PGID`) reaches it
  // once, passed on from here. In the foreground of a terminal it stays in
  // this group, which the terminal needs for its input; Ctrl-C then reaches
  // it directly and is not passed on.
  relay.foreground = ::isatty(0) == 1 && ::tcgetpgrp(0) == ::getpgrp();
  const pid_t pid = spawnCommand(command, outPipe, errPipe, error);
  ::close(outPipe[1]);
  ::close(errPipe[1]);
  if (pid < 0) {
    ::close(outPipe[0]);
    ::close(errPipe[0]);
    return 127;
  }
  relay.command = pid;
  // A signal that came before COMMAND existed is passed on now.
  actOnSignals();
  std::string failed;
  const int status = pumpCommand(outPipe[0], errPipe[0], out, err, failed);
  if (!failed.empty()) error = "cannot read the output of " + command[0] + ": " + failed;
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
    ::sigprocmask(SIG_SETMASK, &startMask, nullptr);
    ::signal(SIGPIPE, ignoredAtStart(SIGPIPE) ? SIG_IGN : SIG_DFL);
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
