// Heap use of FileLogSink::write: memory must not grow with the number of
// messages, and a steady-state write makes no allocation of the sink's own.
// Counts every operator new in this test program, so it has a program of its
// own; sanitizers replace operator new themselves, so there it skips.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <memory>
#include <new>
#include <string>

#include "logging/file_log_sink.h"
#include "test_support.h"

#if defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define VELMOR_SANITIZED 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define VELMOR_SANITIZED 1
#endif

namespace {

std::atomic<long> liveBlocks{0};
std::atomic<long> allocations{0};

}  // namespace

#ifndef VELMOR_SANITIZED
// These replace the global operators: malloc and free are their matching pair.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif
void* operator new(std::size_t size) {
  void* block = std::malloc(size == 0 ? 1 : size);
  if (block == nullptr) throw std::bad_alloc();
  ++liveBlocks;
  ++allocations;
  return block;
}
void* operator new[](std::size_t size) { return operator new(size); }
void operator delete(void* block) noexcept {
  if (block == nullptr) return;
  --liveBlocks;
  std::free(block);
}
void operator delete[](void* block) noexcept { operator delete(block); }
void operator delete(void* block, std::size_t) noexcept { operator delete(block); }
void operator delete[](void* block, std::size_t) noexcept { operator delete(block); }
#endif

namespace velmor::common {
namespace {

using AllocationTest = velmor::testing::TempDirTest;

TEST_F(AllocationTest, SteadyStateWritesNeitherAllocateOfTheirOwnNorGrow) {
#ifdef VELMOR_SANITIZED
  GTEST_SKIP() << "SKIPPED: the sanitizer owns operator new in this build";
#endif
  std::shared_ptr<ILogSink> sink = makeFileLogSink(dir() / "alloc.log");
  const std::string message(100, 'm');
  for (int i = 0; i < 100; ++i) sink->write(LogLevel::Info, message);  // Warm up.

  constexpr long kWrites = 2000;
  const long liveBefore = liveBlocks.load();
  const long allocationsBefore = allocations.load();
  for (long i = 0; i < kWrites; ++i) sink->write(LogLevel::Info, message);
  const long made = allocations.load() - allocationsBefore;

  EXPECT_EQ(liveBlocks.load(), liveBefore) << "memory grew with the number of messages";
  // The standard file stream may allocate its own buffer on every open (one
  // block with libstdc++); anything beyond that would be the sink's.
  EXPECT_LE(made, kWrites) << made << " allocations for " << kWrites << " writes";
}

}  // namespace
}  // namespace velmor::common
