// ThreadRing: records in a circular buffer, published by a release store.
#include "logging/internal/thread_ring.h"

#include <cstring>
#include <new>

namespace velmor::common::internal {

struct ThreadRing::Header {
  enum Kind : std::uint8_t { kInline, kHeap, kWrap };
  std::uint64_t stamp;
  std::uint32_t size;
  LogLevel level;
  Kind kind;
};

namespace {

constexpr std::size_t kHeaderBytes = 16;
static_assert(sizeof(std::uint64_t) + sizeof(std::uint32_t) + 2 <= kHeaderBytes);

constexpr std::size_t padded(std::size_t bytes) { return (bytes + 15) & ~std::size_t{15}; }

}  // namespace

ThreadRing::ThreadRing(std::size_t capacity)
    : capacity_(capacity), bytes_(new unsigned char[capacity]) {}

ThreadRing::~ThreadRing() { release(published()); }

ThreadRing::Push ThreadRing::push(std::uint64_t stamp, LogLevel level,
                                  std::string_view message) noexcept {
  const bool onHeap = message.size() > capacity_ / 4 - kHeaderBytes;
  const std::size_t need = kHeaderBytes + padded(onHeap ? sizeof(char*) : message.size());
  std::uint64_t pos = head_.load(std::memory_order_relaxed);
  const std::size_t toEnd = capacity_ - index(pos);
  const std::size_t skip = toEnd < need ? toEnd : 0;  // A record never straddles the end.
  if (pos + skip + need - cachedTail_ > capacity_) {
    cachedTail_ = tail_.load(std::memory_order_acquire);
    if (pos + skip + need - cachedTail_ > capacity_) return Push::Full;
  }
  char* copy = nullptr;
  if (onHeap) {
    copy = new (std::nothrow) char[message.size()];
    if (copy == nullptr) return Push::NoMemory;
    std::memcpy(copy, message.data(), message.size());
    heapCopies_.fetch_add(1, std::memory_order_relaxed);
  }
  if (skip > 0) {
    const Header wrap{0, 0, level, Header::kWrap};
    std::memcpy(&bytes_[index(pos)], &wrap, sizeof wrap);
    pos += skip;
  }
  unsigned char* const at = &bytes_[index(pos)];
  const Header header{stamp, static_cast<std::uint32_t>(message.size()), level,
                      onHeap ? Header::kHeap : Header::kInline};
  std::memcpy(at, &header, sizeof header);
  if (onHeap) {
    std::memcpy(at + kHeaderBytes, &copy, sizeof copy);
  } else if (!message.empty()) {
    std::memcpy(at + kHeaderBytes, message.data(), message.size());
  }
  head_.store(pos + need, std::memory_order_release);
  return Push::Done;
}

ThreadRing::Header ThreadRing::headerAt(std::uint64_t& pos) const noexcept {
  Header header;
  std::memcpy(&header, &bytes_[index(pos)], sizeof header);
  if (header.kind == Header::kWrap) {
    pos += capacity_ - index(pos);
    std::memcpy(&header, &bytes_[index(pos)], sizeof header);
  }
  return header;
}

ThreadRing::Item ThreadRing::next(std::uint64_t& pos) const noexcept {
  const Header header = headerAt(pos);
  const unsigned char* const body = &bytes_[index(pos)] + kHeaderBytes;
  const char* text = reinterpret_cast<const char*>(body);
  if (header.kind == Header::kHeap) {
    std::memcpy(&text, body, sizeof text);
    pos += kHeaderBytes + padded(sizeof(char*));
  } else {
    pos += kHeaderBytes + padded(header.size);
  }
  return Item{header.stamp, header.level, std::string_view(text, header.size)};
}

std::uint64_t ThreadRing::stampAt(std::uint64_t pos) const noexcept { return headerAt(pos).stamp; }

void ThreadRing::release(std::uint64_t upTo) noexcept {
  std::uint64_t pos = tail_.load(std::memory_order_relaxed);
  if (upTo <= pos) return;
  if (heapCopies_.load(std::memory_order_relaxed) > 0) {
    for (std::uint64_t at = pos; at < upTo;) {
      std::uint64_t start = at;
      const Header header = headerAt(start);
      const Item item = next(at);
      if (header.kind == Header::kHeap) {
        delete[] item.message.data();
        heapCopies_.fetch_sub(1, std::memory_order_relaxed);
      }
    }
  }
  tail_.store(upTo, std::memory_order_seq_cst);
}

}  // namespace velmor::common::internal
