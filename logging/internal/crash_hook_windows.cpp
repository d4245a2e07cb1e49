// The crash hooks on Windows: an unhandled exception (an access violation,
// an illegal instruction, a division by zero) and abort()'s SIGABRT write
// the registered sinks' queues, then what was there before acts.
#include <windows.h>

#include <atomic>
#include <csignal>
#include <mutex>

#include "logging/internal/async_sink.h"
#include "logging/internal/crash_hook.h"

namespace velmor::common::internal {
namespace {

std::atomic<AsyncSink*> registered[kMaxCrashSinks];
std::mutex installing;
bool installed = false;  // Guarded by `installing`.
LPTOP_LEVEL_EXCEPTION_FILTER previousFilter = nullptr;
void (*previousAbort)(int) = SIG_DFL;
std::atomic<bool> crashing{false};

void writeQueues() noexcept {
  if (crashing.exchange(true)) return;  // Once: a second fault goes on.
  for (std::atomic<AsyncSink*>& slot : registered) {
    if (AsyncSink* sink = slot.load()) sink->writeQueuedOnCrash();
  }
}

LONG WINAPI onException(EXCEPTION_POINTERS* info) {
  writeQueues();
  return previousFilter != nullptr ? previousFilter(info) : EXCEPTION_CONTINUE_SEARCH;
}

void onAbort(int signo) {
  writeQueues();
  std::signal(signo, previousAbort);
  std::raise(signo);
}

}  // namespace

bool registerForCrash(AsyncSink* sink) noexcept {
  {
    const std::lock_guard<std::mutex> lock(installing);
    if (!installed) {
      previousFilter = ::SetUnhandledExceptionFilter(onException);
      previousAbort = std::signal(SIGABRT, onAbort);
      if (previousAbort == SIG_ERR) previousAbort = SIG_DFL;
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
