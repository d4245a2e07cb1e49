// Severity levels and the abstract sink through which callers hand over log messages.
#ifndef VELMOR_LOGGING_LOG_SINK_H_
#define VELMOR_LOGGING_LOG_SINK_H_

#include <cstdint>
#include <string_view>

namespace velmor::common {

// Severity of a message, from least to most severe. Values outside the
// enumerators can only arise by converting an integer; they are written as
// "UNKNOWN".
enum class LogLevel : std::int32_t {
  Trace = 0,
  Debug = 1,
  Info = 2,
  Warn = 3,
  Error = 4,
  Fatal = 5,
};

// Returns the upper-case name of `level` ("TRACE" ... "FATAL"), or "UNKNOWN"
// for any value outside 0..5, negative values included. The result is a
// static NUL-terminated string, never null. Thread-safe.
constexpr const char* logLevelName(LogLevel level) noexcept {
  constexpr const char* kNames[] = {"TRACE", "DEBUG", "INFO", "WARN", "ERROR", "FATAL"};
  // The unsigned comparison sends negative values to "UNKNOWN" as well.
  const auto index = static_cast<std::uint32_t>(level);
  return index < sizeof(kNames) / sizeof(kNames[0]) ? kNames[index] : "UNKNOWN";
}

// Destination of finished log messages. Sinks are shared: they are handed out
// as std::shared_ptr<ILogSink> and live until the last holder lets go.
class ILogSink {
 public:
  virtual ~ILogSink() = default;

  // Hands one message to the sink. `message` is a view of raw bytes: it need
  // not be NUL-terminated, carries no trailing newline (the sink ends the
  // line) and is not retained after the call returns. A sink may drop a
  // message it cannot store; storage problems are neither returned nor
  // thrown. Implementations document their own thread safety.
  virtual void write(LogLevel level, std::string_view message) = 0;
};

}  // namespace velmor::common

#endif  // VELMOR_LOGGING_LOG_SINK_H_
