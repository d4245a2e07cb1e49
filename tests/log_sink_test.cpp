// Tests of the severity names and the sink interface's ownership contract.
#include "logging/log_sink.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>
#include <string_view>
#include <type_traits>

namespace velmor::common {
namespace {

LogLevel fromInt(std::int32_t value) { return static_cast<LogLevel>(value); }

// Facts the compiler can check: the names, and destruction through the
// interface.
static_assert(std::string_view(logLevelName(LogLevel::Trace)) == "TRACE");
static_assert(std::string_view(logLevelName(LogLevel::Debug)) == "DEBUG");
static_assert(std::string_view(logLevelName(LogLevel::Info)) == "INFO");
static_assert(std::string_view(logLevelName(LogLevel::Warn)) == "WARN");
static_assert(std::string_view(logLevelName(LogLevel::Error)) == "ERROR");
static_assert(std::string_view(logLevelName(LogLevel::Fatal)) == "FATAL");
static_assert(std::has_virtual_destructor_v<ILogSink>);
static_assert(std::is_abstract_v<ILogSink>);

TEST(LogLevelName, ValuesOutsideTheScaleAreUnknown) {
  for (std::int32_t value : {6, 7, 1000, std::numeric_limits<std::int32_t>::max(), -1,
                             std::numeric_limits<std::int32_t>::min()}) {
    SCOPED_TRACE(value);
    const char* name = logLevelName(fromInt(value));
    ASSERT_NE(name, nullptr);
    EXPECT_STREQ(name, "UNKNOWN");
  }
}

}  // namespace
}  // namespace velmor::common
