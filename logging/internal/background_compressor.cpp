// The compressor thread and its queue of jobs.
#include "logging/internal/background_compressor.h"

#include <thread>

#include "logging/internal/platform.h"

namespace velmor::common::internal {

namespace {
BackgroundCompressor* theCompressor = nullptr;
}  // namespace

BackgroundCompressor& BackgroundCompressor::get() {
  // Leaked on purpose: a sink destroyed by a static destructor still
  // finishes its job through it. The thread waits idle when the process
  // ends.
  static BackgroundCompressor* const compressor = [] {
    auto* made = new BackgroundCompressor();
    std::thread([made] { made->run(); }).detach();
    made->started_ = true;
    theCompressor = made;
    // The mutex is held across a fork, so that the child gets it free and
    // the queue whole.
    platform::onFork([] { theCompressor->mutex_.lock(); }, [] { theCompressor->mutex_.unlock(); },
                     [] {
                       theCompressor->forked();
                       theCompressor->mutex_.unlock();
                     });
    return made;
  }();
  return *compressor;
}

bool BackgroundCompressor::start() noexcept {
  if (started_) return true;
  try {
    std::thread([this] { run(); }).detach();
    started_ = true;
  } catch (...) {
    // Left queued: the next request tries again, a sink's end runs its own.
  }
  return started_;
}

void BackgroundCompressor::forked() noexcept {
  started_ = false;
  running_ = 0;
  if (current_ == nullptr) return;
  CompressionJob& job = *current_;
  current_ = nullptr;
  job.running_ = false;
  if (job.queued_) return;
  job.queued_ = true;
  job.next_ = head_;
  head_ = &job;
  if (tail_ == nullptr) tail_ = &job;
}

void BackgroundCompressor::request(CompressionJob& job) noexcept {
  const std::lock_guard<std::mutex> lock(mutex_);
  if (job.queued_) return;
  job.queued_ = true;
  job.next_ = nullptr;
  if (tail_ != nullptr) {
    tail_->next_ = &job;
  } else {
    head_ = &job;
  }
  tail_ = &job;
  if (start()) wake_.notify_one();
}

void BackgroundCompressor::unlink(CompressionJob& job) noexcept {
  CompressionJob* before = nullptr;
  for (CompressionJob* at = head_; at != nullptr; before = at, at = at->next_) {
    if (at != &job) continue;
    (before != nullptr ? before->next_ : head_) = job.next_;
    if (tail_ == &job) tail_ = before;
    break;
  }
  job.next_ = nullptr;
  job.queued_ = false;
}

void BackgroundCompressor::runHere(CompressionJob& job,
                                   std::unique_lock<std::mutex>& lock) noexcept {
  unlink(job);
  job.running_ = true;
  ++running_;
  lock.unlock();
  job.compressNow();
  lock.lock();
  job.running_ = false;
  --running_;
  done_.notify_all();
}

void BackgroundCompressor::finish(CompressionJob& job) noexcept {
  std::unique_lock<std::mutex> lock(mutex_);
  done_.wait(lock, [&] { return !job.running_; });
  // Run here rather than wait behind the other sets' jobs.
  if (job.queued_) runHere(job, lock);
}

void BackgroundCompressor::waitUntilIdle() noexcept {
  std::unique_lock<std::mutex> lock(mutex_);
  done_.wait(lock, [&] { return head_ == nullptr && running_ == 0; });
}

void BackgroundCompressor::run() noexcept {
  platform::becomeBackgroundThread();
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    wake_.wait(lock, [&] { return head_ != nullptr; });
    current_ = head_;
    runHere(*current_, lock);
    current_ = nullptr;
  }
}

}  // namespace velmor::common::internal
