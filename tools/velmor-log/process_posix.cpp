// POSIX bodies of velmor-log's process layer: poll over the input pipes and
// a self-pipe that the signal handlers write to.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>

#include "process.h"

extern char** environ;

namespace velmor::tool {
namespace {

constexpr int kForwarded[] = {SIGINT, SIGTERM, SIGHUP};

// Written by the signal handlers: one byte per signal, its number.
int signalPipe[2] = {-1, -1};

extern "C" void onSignal(int signo) {
  const int saved = errno;
  const auto byte = static_cast<unsigned char>(signo);
  (void)!::write(signalPipe[1], &byte, 1);
  errno = saved;
}

// Routes `signals` to the self-pipe for the rest of the program's life, and
// ignores SIGPIPE: a reader of the --tee copy that goes away (`| head`) must
// not stop the logging. (The wrapped COMMAND gets its default back.)
void catchSignals(std::initializer_list<int> signals) {
  ::signal(SIGPIPE, SIG_IGN);
  if (signalPipe[0] < 0 && ::pipe(signalPipe) == 0) {
    for (const int fd : signalPipe) {
      ::fcntl(fd, F_SETFD, FD_CLOEXEC);
      ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    }
  }
  struct sigaction action {};
  action.sa_handler = onSignal;
  sigemptyset(&action.sa_mask);
  for (const int signo : signals) ::sigaction(signo, &action, nullptr);
}

// The signal numbers that arrived since the last call, in order.
std::string takeSignals() {
  std::string got;
  unsigned char buffer[64];
  ssize_t n;
  while ((n = ::read(signalPipe[0], buffer, sizeof buffer)) > 0) {
    got.append(reinterpret_cast<const char*>(buffer), static_cast<std::size_t>(n));
  }
  return got;
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

std::vector<std::string> programArguments(int argc, char** argv) {
  return std::vector<std::string>(argv + (argc > 0 ? 1 : 0), argv + argc);
}

std::filesystem::path pathFromUtf8(const std::string& utf8) { return utf8; }

std::string appendProblem(const std::filesystem::path& file) {
  const int fd =
      ::open(file.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NONBLOCK | O_NOCTTY, 0666);
  if (fd >= 0) {
    ::close(fd);
    return "";
  }
  // A FIFO without a reader: its lines are dropped until one comes, as the
  // sink does, but it is a fine place to log to.
  if (errno == ENXIO) return "";
  return std::strerror(errno);
}

void writeStream(int stream, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(stream, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
}

void pumpStandardInput(StreamConsumer& input) {
  catchSignals({SIGINT, SIGTERM});
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

int runCommand(const std::vector<std::string>& command, StreamConsumer& out, StreamConsumer& err,
               std::string& error) {
  int outPipe[2];
  int errPipe[2];
  if (::pipe2(outPipe, O_CLOEXEC) != 0 || ::pipe2(errPipe, O_CLOEXEC) != 0) {
    error = std::string("cannot make a pipe: ") + std::strerror(errno);
    return 127;
  }
  // Caught before the start, so that none is lost; the child gets every
  // disposition back at its default (exec resets caught ones, and SIGPIPE is
  // reset explicitly in case this program's caller ignored it).
  catchSignals({SIGINT, SIGTERM, SIGHUP});
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, outPipe[1], 1);
  posix_spawn_file_actions_adddup2(&actions, errPipe[1], 2);
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t defaults;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  for (const int signo : kForwarded) sigaddset(&defaults, signo);
  posix_spawnattr_setsigdefault(&attributes, &defaults);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF);
  std::vector<char*> argv;
  argv.reserve(command.size() + 1);
  for (const std::string& arg : command) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  pid_t pid = -1;
  const int failed = ::posix_spawnp(&pid, argv[0], &actions, &attributes, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  ::close(outPipe[1]);
  ::close(errPipe[1]);
  if (failed != 0) {
    ::close(outPipe[0]);
    ::close(errPipe[0]);
    error = "cannot run " + command[0] + ": " + std::strerror(failed);
    return 127;
  }

  struct pollfd fds[3] = {
      {outPipe[0], POLLIN, 0}, {errPipe[0], POLLIN, 0}, {signalPipe[0], POLLIN, 0}};
  StreamConsumer* consumers[2] = {&out, &err};
  int open = 2;
  int status = 0;
  bool exited = false;
  while (!exited) {
    // Output first, in the order it arrives; once both streams have ended,
    // only the child's exit (and signals to pass on) is waited for.
    const int ready = ::poll(fds, 3, open > 0 ? -1 : 100);
    if (ready < 0 && errno != EINTR) break;
    if (fds[2].revents != 0) {
      for (const char signo : takeSignals()) ::kill(pid, static_cast<unsigned char>(signo));
    }
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      if (!pump(fds[i].fd, *consumers[i])) {
        consumers[i]->end();
        ::close(fds[i].fd);
        fds[i].fd = -1;
        --open;
      }
    }
    if (open == 0) {
      const pid_t done = ::waitpid(pid, &status, WNOHANG);
      exited = done == pid || (done < 0 && errno != EINTR);
    }
  }
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
}

}  // namespace velmor::tool
