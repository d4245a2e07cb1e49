// The crash hooks on Windows: an unhandled exception (an access violation,
// an illegal instruction, a division by zero) and abort()'s SIGABRT write
// the registered sinks' queues, then what was there before acts.
#include <windows.h>

#include <csignal>

#include "logging/internal/crash_hook.h"

namespace velmor::common::internal {
namespace {

LPTOP_LEVEL_EXCEPTION_FILTER previousFilter = nullptr;  // Written once, at installation.
void (*previousAbort)(int) = SIG_DFL;

LONG WINAPI onException(EXCEPTION_POINTERS* info) {
  writeQueuesOnCrash();
  return previousFilter != nullptr ? previousFilter(info) : EXCEPTION_CONTINUE_SEARCH;
}

void onAbort(int signo) {
  writeQueuesOnCrash();
  std::signal(signo, previousAbort);
  std::raise(signo);
}

}  // namespace

void installCrashHandlers() noexcept {
  previousFilter = ::SetUnhandledExceptionFilter(onException);
  previousAbort = std::signal(SIGABRT, onAbort);
  if (previousAbort == SIG_ERR) previousAbort = SIG_DFL;
}

}  // namespace velmor::common::internal
