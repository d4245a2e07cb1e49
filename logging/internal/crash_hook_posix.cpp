// The crash handlers on POSIX: write the registered sinks' queues, then let
// the signal do what it did before.
#include <signal.h>

#include <cerrno>

#include "logging/internal/crash_hook.h"

namespace velmor::common::internal {
namespace {

constexpr int kSignals[] = {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT};
constexpr int kSignalCount = sizeof(kSignals) / sizeof(kSignals[0]);

struct sigaction previous[kSignalCount];  // Written once, before any handler runs.

void onCrash(int signo, siginfo_t* info, void* /*context*/) {
  const int savedErrno = errno;
  writeQueuesOnCrash();
  // The disposition found at installation, and the signal once more: a
  // fault's instruction runs again when this returns and faults again; a
  // sent signal (abort() raises one) is raised again, delivered on return.
  for (int i = 0; i < kSignalCount; ++i) {
    if (kSignals[i] == signo) sigaction(signo, &previous[i], nullptr);
  }
  if (info == nullptr || info->si_code <= 0) raise(signo);
  errno = savedErrno;
}

}  // namespace

void installCrashHandlers() noexcept {
  struct sigaction action {};
  action.sa_sigaction = onCrash;
  // SA_ONSTACK: a stack overflow is handled where the program set up an
  // alternate stack. Other signals wait while the queues are written.
  action.sa_flags = SA_SIGINFO | SA_ONSTACK;
  sigfillset(&action.sa_mask);
  for (int i = 0; i < kSignalCount; ++i) sigaction(kSignals[i], &action, &previous[i]);
}

}  // namespace velmor::common::internal
