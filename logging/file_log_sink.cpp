// FileLogSink: the public face of internal::FileSink.
#include "logging/file_log_sink.h"

#include <utility>

#include "logging/internal/file_sink.h"

namespace velmor::common {

FileLogSink::FileLogSink(std::filesystem::path path) : FileLogSink(std::move(path), {}) {}

FileLogSink::FileLogSink(std::filesystem::path path, const RotationPolicy& policy)
    : impl_(std::make_unique<internal::FileSink>(std::move(path), policy)) {}

FileLogSink::~FileLogSink() = default;

void FileLogSink::write(LogLevel level, std::string_view message) {
  const LogRecord record{level, message};
  impl_->append(&record, 1);
}

std::size_t FileLogSink::writeBatch(const LogRecord* records, std::size_t count) {
  return impl_->append(records, count);
}

std::size_t FileLogSink::writeBatch(const LogRecord* records, std::size_t count,
                                    std::error_code& why) {
  internal::platform::ErrorCode error = 0;
  const std::size_t done = impl_->append(records, count, &error);
  if (done == count) {
    why.clear();
  } else if (error == 0) {
    why = std::make_error_code(std::errc::invalid_argument);  // A name the OS cannot be given.
  } else {
    why.assign(static_cast<int>(error), std::system_category());
  }
  return done;
}

std::error_code FileLogSink::probe() const { return impl_->probe(); }

std::shared_ptr<ILogSink> makeFileLogSink(std::filesystem::path path) {
  return std::make_shared<FileLogSink>(std::move(path));
}

std::shared_ptr<ILogSink> makeFileLogSink(std::filesystem::path path,
                                          const RotationPolicy& policy) {
  return std::make_shared<FileLogSink>(std::move(path), policy);
}

}  // namespace velmor::common
