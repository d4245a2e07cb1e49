// The crash handlers on POSIX: write the registered sinks' queues, then let
// the signal do what it did before.
#include <signal.h>

#include <atomic>
#include <cerrno>
#include <mutex>

#include "logging/internal/async_sink.h"
#include "logging/internal/crash_hook.h"

namespace velmor::common::internal {
namespace {

constexpr int kSignals[] = {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT};
constexpr int kSignalCount = sizeof(kSignals) / sizeof(kSignals[0]);

std::atomic<AsyncSink*> registered[kMaxCrashSinks];
struct sigaction previous[kSignalCount];  // Written once, before any handler runs.
std::mutex installing;
bool installed = false;  // Guarded by `installing`.
std::atomic<bool> crashing{false};

void onCrash(int signo, siginfo_t* info, void* /*context*/) {
  const int savedErrno = errno;
  // Once: a second fault (in the handler, or in another thread meanwhile)
  // goes straight on to the previous disposition.
  if (!crashing.exchange(true)) {
    for (std::atomic<AsyncSink*>& slot : registered) {
      if (AsyncSink* sink = slot.load()) sink->writeQueuedOnCrash();
    }
  }
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

bool registerForCrash(AsyncSink* sink) noexcept {
  {
    const std::lock_guard<std::mutex> lock(installing);
    if (!installed) {
      struct sigaction action {};
      action.sa_sigaction = onCrash;
      // SA_ONSTACK: a stack overflow is handled where the program set up an
      // alternate stack. Other signals wait while the queues are written.
      action.sa_flags = SA_SIGINFO | SA_ONSTACK;
      sigfillset(&action.sa_mask);
      for (int i = 0; i < kSignalCount; ++i) sigaction(kSignals[i], &action, &previous[i]);
      installed = true;
    }
  }
  for (std::atomic<AsyncSink*>& slot : registered) {
    AsyncSink* empty = nullptr;
    if (slot.compare_exchange_strong(empty, sink)) return true;
  }
  return false;
}

void unregisterForCrash(AsyncSink* sink) noexcept {
  for (std::atomic<AsyncSink*>& slot : registered) {
    AsyncSink* mine = sink;
    slot.compare_exchange_strong(mine, nullptr);
  }
}

}  // namespace velmor::common::internal
