// FileLogSink: one timestamped line per message, appended to a file that is
// opened and closed around every line.
#include "logging/file_log_sink.h"

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <mutex>
#include <string>
#include <system_error>
#include <utility>

#include "logging/line_format.h"
#include "logging/platform.h"

namespace velmor::common {
namespace {

namespace fs = std::filesystem;

// Serialises every FileLogSink in the process, including the rotation a write
// may trigger, so that lines never interleave and a rotation never overlaps a
// write. Constant-initialised, hence usable before any constructor runs, and
// shared by all sinks: two sinks on one file must exclude each other too.
std::mutex sinkMutex;

// A line buffer kept above this capacity after a very large message is
// released, so that one huge message does not pin its memory for good.
constexpr std::size_t kMaxRetainedLineBytes = std::size_t{1} << 20;

// The buffer in which each line is assembled, reused under sinkMutex so that
// steady-state writes make no heap allocation of their own. Never destroyed:
// sinks may still be written to from other objects' static destructors.
std::string& lineBuffer() {
  static std::string* const buffer = new std::string();
  return *buffer;
}

// Writes `value` in decimal at `out`, zero-padded on the left to at least
// `width` digits; returns the end of what it wrote.
char* putPadded(char* out, unsigned value, int width) {
  // Fast path for the fields of every line: a time field or milliseconds.
  if (width == 2 && value < 100) {
    *out++ = static_cast<char>('0' + value / 10);
    *out++ = static_cast<char>('0' + value % 10);
    return out;
  }
  if (width == 3 && value < 1000) {
    *out++ = static_cast<char>('0' + value / 100);
    *out++ = static_cast<char>('0' + value / 10 % 10);
    *out++ = static_cast<char>('0' + value % 10);
    return out;
  }
  char digits[10];
  int count = 0;
  do {
    digits[count++] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value != 0);
  for (int i = count; i < width; ++i) *out++ = '0';
  while (count > 0) *out++ = digits[--count];
  return out;
}

unsigned nonNegative(int value) { return value < 0 ? 0u : static_cast<unsigned>(value); }

}  // namespace

namespace detail {

void formatLogLine(std::string& line, const std::tm& local, unsigned ms, LogLevel level,
                   std::string_view message) {
  // The prefix is built on the stack, so the string grows at most once.
  char prefix[64];
  char* end = prefix;
  *end++ = '[';
  end = putPadded(end, nonNegative(local.tm_hour), 2);
  *end++ = ':';
  end = putPadded(end, nonNegative(local.tm_min), 2);
  *end++ = ':';
  end = putPadded(end, nonNegative(local.tm_sec), 2);
  *end++ = '.';
  end = putPadded(end, ms, 3);
  for (const char c : std::string_view("] [")) *end++ = c;
  for (const char* name = logLevelName(level); *name != '\0'; ++name) *end++ = *name;
  *end++ = ']';
  *end++ = ' ';

  const auto prefixSize = static_cast<std::size_t>(end - prefix);
  line.reserve(prefixSize + message.size() + 1);
  line.assign(prefix, prefixSize);
  line.append(message.data(), message.size());
  line.push_back('\n');
}

}  // namespace detail

FileLogSink::FileLogSink(std::filesystem::path path) : path_(std::move(path)) {
  std::error_code ec;
  if (!path_.parent_path().empty()) {
    // Failure is deliberately ignored: writes are dropped until it exists.
    fs::create_directories(path_.parent_path(), ec);
  }
}

FileLogSink::~FileLogSink() = default;

void FileLogSink::write(LogLevel level, std::string_view message) {
  const std::lock_guard<std::mutex> lock(sinkMutex);

  const auto now = std::chrono::system_clock::now();
  const std::time_t time = std::chrono::system_clock::to_time_t(now);
  std::int64_t ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
  if (ms < 0) ms += 1000;
  // Consecutive lines mostly fall in the same second: convert once per
  // second (the conversion costs as much as the rest of the formatting).
  static std::time_t cachedTime = -1;
  static std::tm cachedLocal{};
  if (time != cachedTime) {
    std::tm tm_buf{};
    platform::toLocalTime(time, tm_buf);
    cachedLocal = tm_buf;
    cachedTime = time;
  }

  std::string& line = lineBuffer();
  detail::formatLogLine(line, cachedLocal, static_cast<unsigned>(ms), level, message);

  bool written = false;
  {
    // The file is opened and closed around every line so that no handle is
    // held while idle: between two writes the file can be renamed (Windows
    // refuses to rename a file that is open without delete sharing), deleted
    // or read by others, and the size check below sees a closed file. The
    // stream buffer is used without an ostream around it: formatting is done
    // already, and an ostream's locale set-up would cost more than the rest.
    std::filebuf f;
    // Unbuffered, the assembled line reaches the OS in one write call, so an
    // append by another process never lands inside it.
    f.pubsetbuf(nullptr, 0);
    if (f.open(path_, std::ios::out | std::ios::app | std::ios::binary) != nullptr) {
      f.sputn(line.data(), static_cast<std::streamsize>(line.size()));
      f.pubsync();
      written = true;
    }
  }
  if (line.capacity() > kMaxRetainedLineBytes) std::string().swap(line);
  // Unopenable (no directory, a directory, locked): the line is dropped.
  if (!written) return;

  // The size always comes from the file system, so bytes appended by other
  // writers count too.
  std::error_code ec;
  const std::uintmax_t size = fs::file_size(path_, ec);
  if (!ec && size >= kRotateThresholdBytes) rotate();
}

void FileLogSink::rotate() noexcept {
  // Native name of file `n`: the active file for 0, "<path>.<n>" otherwise.
  const auto gen = [this](int n) {
    platform::NativeString name = path_.native();
    if (n > 0) {
      name += fs::path::value_type('.');
      for (const char digit : std::to_string(n)) {
        name += static_cast<fs::path::value_type>(digit);
      }
    }
    return name;
  };
  // Claims the sink's single warning line: true the first time only.
  const auto firstWarning = [this] {
    if (rotationWarned_) return false;
    rotationWarned_ = true;
    return true;
  };

  std::error_code ec;
  int first = kMaxBackups - 1;
  if (interruptedAt_ == kNoInterruptedRotation) {
    // A fresh rotation makes room by dropping the oldest backup.
    fs::remove(gen(kMaxBackups), ec);
  } else {
    // An earlier attempt stopped at a failed rename after moving the backups
    // above it. Resuming there, and deleting nothing, keeps every backup that
    // existed when it began and moves each one number up exactly once.
    first = interruptedAt_;
  }

  for (int i = first; i >= 1; --i) {
    const platform::NativeString src = gen(i);
    if (!fs::exists(src, ec)) continue;  // Absent or unknown: skip the gap.
    const platform::NativeString dst = gen(i + 1);
    // The rename must replace: after a failed deletion of the top backup,
    // or a retry, the destination may still exist.
    if (const unsigned long error = platform::replaceFile(src, dst)) {
      interruptedAt_ = i;
      if (firstWarning()) {
        std::fprintf(stderr,
                     "[velmor-log-rotation] MoveFileExW(%s -> %s) failed "
                     "(GetLastError=%lu); log will continue at oversize. "
                     "(one-shot warning)\n",
                     platform::displayPath(src).c_str(), platform::displayPath(dst).c_str(), error);
      }
      return;
    }
  }

  const platform::NativeString active = gen(0);
  const platform::NativeString dotone = gen(1);
  if (const unsigned long error = platform::replaceFile(active, dotone)) {
    interruptedAt_ = 0;
    if (firstWarning()) {
      std::fprintf(stderr,
                   "[velmor-log-rotation] MoveFileExW(active -> .1) failed "
                   "(GetLastError=%lu); log will continue at oversize. "
                   "(one-shot warning)\n",
                   error);
    }
    return;
  }
  interruptedAt_ = kNoInterruptedRotation;
}

std::shared_ptr<ILogSink> makeFileLogSink(std::filesystem::path path) {
  return std::make_shared<FileLogSink>(std::move(path));
}

}  // namespace velmor::common
