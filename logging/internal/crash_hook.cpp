// The table of sinks whose queues a crash writes, shared by both platforms'
// handlers.
#include "logging/internal/crash_hook.h"

#include <atomic>
#include <mutex>

#include "logging/internal/async_sink.h"

namespace velmor::common::internal {
namespace {

std::atomic<AsyncSink*> registered[kMaxCrashSinks];
std::mutex installing;
bool installed = false;  // Guarded by `installing`.
std::atomic<bool> crashing{false};

}  // namespace

bool registerForCrash(AsyncSink* sink) noexcept {
  {
    const std::lock_guard<std::mutex> lock(installing);
    if (!installed) {
      installCrashHandlers();
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

void writeQueuesOnCrash() noexcept {
  // Once: a second fault (in a handler, or in another thread meanwhile)
  // goes straight on to the previous disposition.
  if (crashing.exchange(true)) return;
  for (std::atomic<AsyncSink*>& slot : registered) {
    if (AsyncSink* sink = slot.load()) sink->writeQueuedOnCrash();
  }
}

}  // namespace velmor::common::internal
