// LineWriter: line splitting, cutting of over-long lines and batching.
#include "line_writer.h"

#include <chrono>
#include <system_error>

namespace velmor::tool {
namespace {

using common::LogLevel;

// Beyond this many records a batch is written even within one chunk, so
// that the record list stays small.
constexpr std::size_t kMaxBatch = 4096;
// How often a full disk is tried again.
constexpr std::chrono::milliseconds kFullDiskRetry{250};

}  // namespace

std::string describe(const std::error_code& error) {
  std::string text = error.message();
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) {
    text.pop_back();
  }
  return text;
}

bool priorityPrefix(std::string_view message, LogLevel& level) {
  if (message.size() < 3 || message[0] != '<' || message[2] != '>') return false;
  if (message[1] < '0' || message[1] > '7') return false;
  static constexpr LogLevel kByPriority[] = {LogLevel::Fatal, LogLevel::Fatal, LogLevel::Fatal,
                                             LogLevel::Error, LogLevel::Warn,  LogLevel::Info,
                                             LogLevel::Info,  LogLevel::Debug};
  level = kByPriority[message[1] - '0'];
  return true;
}

LineWriter::LineWriter(common::FileLogSink& sink, const Settings& settings,
                       std::atomic<std::uint64_t>& dropped)
    : sink_(sink), settings_(settings), dropped_(dropped) {
  batch_.reserve(256);
}

void LineWriter::data(std::string_view bytes) {
  if (settings_.tee != 0) writeStream(settings_.tee, bytes);
  // A line begun in an earlier chunk is finished first, through a bounded
  // copy: at most its LF or a little more than one cut piece at a time.
  while (!pending_.empty() && !bytes.empty()) {
    const std::string_view piece = bytes.substr(0, settings_.maxLine + 2);
    const std::size_t lf = piece.find('\n');
    const std::size_t take = lf != std::string_view::npos ? lf + 1 : piece.size();
    pending_.append(bytes.data(), take);
    bytes.remove_prefix(take);
    if (lf != std::string_view::npos) {
      // Complete: it goes out with this chunk's lines, from `held_`, which
      // stays as it is until then.
      held_.swap(pending_);
      pending_.clear();
      split(held_, false);
      break;
    }
    const std::size_t used = split(pending_, false);
    flush();
    pending_.erase(0, used);
  }
  // The rest is read in place: its records point into `bytes`.
  const std::size_t used = split(bytes, false);
  flush();
  held_.clear();
  pending_.append(bytes.substr(used));
}

void LineWriter::end() {
  if (!pending_.empty()) {
    split(pending_, true);
    flush();
    pending_.clear();
  }
  midLine_ = false;  // Whatever it was in, the input's last line ends here.
}

std::size_t LineWriter::split(std::string_view text, bool last) {
  const std::size_t max = settings_.maxLine;
  std::size_t at = 0;
  for (;;) {
    const std::size_t lf = text.find('\n', at);
    if (lf == std::string_view::npos) {
      // Only what is known to be longer than a line may be cut off now; a
      // CR at the very end may still turn out to stand before a LF.
      std::size_t left = text.size() - at;
      while (left > max && (last || left > max + 1 || text.back() != '\r')) {
        emit(text.substr(at, max), false);
        at += max;
        left -= max;
      }
      if (last && left > 0) {
        emit(text.substr(at), true);
        at = text.size();
      }
      return at;
    }
    std::size_t end = lf;
    if (end > at && text[end - 1] == '\r') --end;
    while (end - at > max) {
      emit(text.substr(at, max), false);
      at += max;
    }
    emit(text.substr(at, end - at), true);
    at = lf + 1;
  }
}

void LineWriter::emit(std::string_view message, bool endsLine) {
  // The level is the line's: a "<N>" prefix counts at its start only, and
  // every piece of a cut line keeps what the first one had.
  if (!midLine_) {
    lineLevel_ = settings_.level;
    if (settings_.prefixLevels && priorityPrefix(message, lineLevel_)) message.remove_prefix(3);
  }
  midLine_ = !endsLine;
  if (message.empty() && !endsLine) return;
  batch_.emplace_back(lineLevel_, message);
  if (batch_.size() == kMaxBatch) flush();
}

void LineWriter::flush() {
  bool retried = false;
  for (std::size_t done = 0; done < batch_.size();) {
    std::error_code why;
    const std::size_t written = sink_.writeBatch(batch_.data() + done, batch_.size() - done, why);
    done += written;
    if (done == batch_.size()) break;
    if (written > 0) retried = false;
    if (waitForRoom(why)) continue;
    if (stopped_) {
      dropped_ += batch_.size() - done;  // A stop came while the disk was full.
      break;
    }
    if (!retried) {
      retried = true;
      continue;
    }
    ++dropped_;
    ++done;
    retried = false;
  }
  batch_.clear();
  if (paused_) {
    paused_ = false;
    writeStream(2, "velmor-log: " + settings_.file + ": room again, going on\n");
  }
}

bool LineWriter::waitForRoom(const std::error_code& why) {
  if (stopped_ || !settings_.waitWhenFull || !meansFullDisk(why)) return false;
  if (!pauseUnlessStopped(std::chrono::milliseconds(0))) {
    stopped_ = true;
    paused_ = false;
    return false;
  }
  if (!paused_) {
    paused_ = true;
    writeStream(2, "velmor-log: " + settings_.file + ": " + describe(why) +
                       ": pausing until there is room\n");
  }
  if (pauseUnlessStopped(kFullDiskRetry)) return true;
  stopped_ = true;  // The lines are dropped and counted.
  paused_ = false;
  return false;
}

}  // namespace velmor::tool
