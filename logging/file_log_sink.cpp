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

std::error_code FileLogSink::probe() const { return impl_->probe(); }

std::shared_ptr<ILogSink> makeFileLogSink(std::filesystem::path path) {
  return std::make_shared<FileLogSink>(std::move(path));
}

std::shared_ptr<ILogSink> makeFileLogSink(std::filesystem::path path,
                                          const RotationPolicy& policy) {
  return std::make_shared<FileLogSink>(std::move(path), policy);
}

}  // namespace velmor::common
