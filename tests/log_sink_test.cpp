// Tests of the severity names and the sink interface's ownership contract.
#include "logging/log_sink.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <memory>
#include <string>

namespace velmor::common {
namespace {

LogLevel fromInt(std::int32_t value) { return static_cast<LogLevel>(value); }

TEST(LogLevelName, NamesEveryLevel) {
  EXPECT_STREQ(logLevelName(LogLevel::Trace), "TRACE");
  EXPECT_STREQ(logLevelName(LogLevel::Debug), "DEBUG");
  EXPECT_STREQ(logLevelName(LogLevel::Info), "INFO");
  EXPECT_STREQ(logLevelName(LogLevel::Warn), "WARN");
  EXPECT_STREQ(logLevelName(LogLevel::Error), "ERROR");
  EXPECT_STREQ(logLevelName(LogLevel::Fatal), "FATAL");
}

TEST(LogLevelName, ValuesOutsideTheScaleAreUnknown) {
  for (std::int32_t value : {6, 7, 1000, std::numeric_limits<std::int32_t>::max(), -1,
                             std::numeric_limits<std::int32_t>::min()}) {
    SCOPED_TRACE(value);
    const char* name = logLevelName(fromInt(value));
    ASSERT_NE(name, nullptr);
    EXPECT_STREQ(name, "UNKNOWN");
  }
}

class CountingSink : public ILogSink {
 public:
  explicit CountingSink(int& destroyed) : destroyed_(destroyed) {}
  ~CountingSink() override { ++destroyed_; }
  void write(LogLevel, std::string_view message) override { last_ = message; }

 private:
  int& destroyed_;
  std::string last_;
};

TEST(ILogSink, LastSharedOwnerDestroysTheConcreteSink) {
  int destroyed = 0;
  std::shared_ptr<ILogSink> first = std::make_shared<CountingSink>(destroyed);
  std::shared_ptr<ILogSink> second = first;
  first->write(LogLevel::Info, "x");
  first.reset();
  EXPECT_EQ(destroyed, 0);
  second.reset();
  EXPECT_EQ(destroyed, 1);
}

TEST(ILogSink, DeletingThroughTheInterfaceRunsTheConcreteDestructor) {
  int destroyed = 0;
  std::unique_ptr<ILogSink> sink(new CountingSink(destroyed));
  sink.reset();
  EXPECT_EQ(destroyed, 1);
}

}  // namespace
}  // namespace velmor::common
