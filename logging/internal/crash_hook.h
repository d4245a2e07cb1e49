// Writing the background sinks' queued lines when the process crashes.
#ifndef VELMOR_LOGGING_INTERNAL_CRASH_HOOK_H_
#define VELMOR_LOGGING_INTERNAL_CRASH_HOOK_H_

namespace velmor::common::internal {

class AsyncSink;

// Has `sink`'s queued lines written (AsyncSink::writeQueuedOnCrash) when
// the process is killed by SIGSEGV, SIGBUS, SIGILL, SIGFPE or SIGABRT.
// The first registration installs the handlers, which stay installed;
// the dispositions found then still act afterwards: the process ends by
// the same signal, or the program's own handler runs. On Windows: an
// unhandled exception (the filter found before runs after) and abort()'s
// SIGABRT. False if kMaxCrashSinks sinks are registered
// already. Thread-safe.
bool registerForCrash(AsyncSink* sink) noexcept;
// Forgets `sink` (before it is destroyed). Thread-safe.
void unregisterForCrash(AsyncSink* sink) noexcept;

constexpr int kMaxCrashSinks = 16;

// For the platform's handlers (crash_hook_posix.cpp, crash_hook_windows.cpp):
// installs them, remembering what was there; called once, by the first
// registration.
void installCrashHandlers() noexcept;
// Writes every registered sink's queue, the first time it is called.
void writeQueuesOnCrash() noexcept;

}  // namespace velmor::common::internal

#endif  // VELMOR_LOGGING_INTERNAL_CRASH_HOOK_H_
