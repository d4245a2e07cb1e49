// Heap use of FileLogSink::write: memory must not grow with the number of
// messages, and neither a steady-state write nor a rotation allocates.
// Counts every operator new in this test program, so it has a program of its
// own; sanitizers replace operator new themselves, so there it skips.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <memory>
#include <new>
#include <string>

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

using namespace velmor::testing;
using AllocationTest = TempDirTest;

// Steady-state writes must not grow memory with the number of messages, and
// rotation, which runs where an exception cannot leave it, must not allocate
// at all: not to rename, not to decide, not to warn.
TEST_F(AllocationTest, NeitherWritesNorRotationsAllocate) {
#ifdef VELMOR_SANITIZED
  GTEST_SKIP() << "SKIPPED: the sanitizer owns operator new in this build";
#endif
  const fs::path path = dir() / "alloc.log";
  std::shared_ptr<ILogSink> sink = makeFileLogSink(path);
  const std::string message(100, 'm');
  for (int i = 0; i < 100; ++i) sink->write(LogLevel::Info, message);  // Warm up.
  constexpr long kWrites = 2000;
  const long liveBefore = liveBlocks.load();
  long before = allocations.load();
  for (long i = 0; i < kWrites; ++i) sink->write(LogLevel::Info, message);
  EXPECT_EQ(liveBlocks.load(), liveBefore) << "memory grew with the number of messages";
  EXPECT_EQ(allocations.load() - before, 0) << "allocations in " << kWrites << " writes";

  const std::string line(static_cast<std::size_t>(kRotateThresholdBytes) / 8, 'r');
  for (int n = 2; n <= kMaxBackups; ++n) writeFile(backup(path, n), std::to_string(n));
  // A directory at ".1": it is never moved, so the active file cannot be.
  fs::create_directories(backup(path, 1) / "x");
  StderrCapture capture;
  before = allocations.load();
  for (int i = 0; i < 24; ++i) sink->write(LogLevel::Info, line);  // Every 8th crosses.
  EXPECT_EQ(allocations.load() - before, 0) << "in rotations that failed";
  // They did fail and warn: of the directory, and of the refused rename.
  EXPECT_EQ(splitLines(capture.take()).size(), 2u);

  fs::remove_all(backup(path, 1));
  before = allocations.load();
  sink->write(LogLevel::Info, line);  // Completes the rotation.
  EXPECT_EQ(allocations.load() - before, 0) << "in a rotation";
  EXPECT_FALSE(fs::exists(path));
}

}  // namespace
}  // namespace velmor::common
