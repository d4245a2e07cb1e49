// AsyncFileLogSink: the public face of internal::AsyncSink.
#include "logging/async_file_log_sink.h"

#include <utility>

#include "logging/internal/async_sink.h"

namespace velmor::common {

AsyncFileLogSink::AsyncFileLogSink(std::filesystem::path path, const RotationPolicy& policy,
                                   const AsyncOptions& options)
    : impl_(std::make_unique<internal::AsyncSink>(std::move(path), policy, options)) {}

AsyncFileLogSink::~AsyncFileLogSink() = default;

void AsyncFileLogSink::write(LogLevel level, std::string_view message) {
  impl_->write(level, message);
}

void AsyncFileLogSink::flush() { impl_->flush(); }

void AsyncFileLogSink::sync() { impl_->sync(); }

std::uint64_t AsyncFileLogSink::dropped() const noexcept { return impl_->dropped(); }

std::shared_ptr<AsyncFileLogSink> makeAsyncFileLogSink(std::filesystem::path path,
                                                       const RotationPolicy& policy,
                                                       const AsyncOptions& options) {
  return std::make_shared<AsyncFileLogSink>(std::move(path), policy, options);
}

}  // namespace velmor::common
