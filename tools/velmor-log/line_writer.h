// Turns a stream of bytes into log lines and hands them to the sink in
// batches, as they arrive.
#ifndef VELMOR_TOOLS_VELMOR_LOG_LINE_WRITER_H_
#define VELMOR_TOOLS_VELMOR_LOG_LINE_WRITER_H_

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "logging/file_log_sink.h"
#include "process.h"

namespace velmor::tool {

// Splits what it is given at LF into messages (a CR just before the LF is
// removed; every other byte passes unchanged) and writes every complete
// line at once, holding nothing back. A line longer than `maxLine` becomes
// several lines of at most that length, so memory stays within about twice
// `maxLine` whatever the input. At end(), a last line without LF is written
// too.
//
// A line the sink refuses is not given up at once. While the disk is full
// (and `waitWhenFull`), the writer pauses: it says so on standard error
// once, tries again every quarter of a second, reading nothing meanwhile, so
// a writer to the pipe is held back, and goes on by itself once there is
// room; a stop asked for meanwhile (pauseUnlessStopped) ends the wait. Any
// other refusal (no descriptor left for a moment, say) is tried once more at
// once, then that line is lost and the next one tried. Lost lines are added
// to `dropped`. One stream per object; objects on one sink may be used from
// different threads.
class LineWriter : public StreamConsumer {
 public:
  struct Settings {
    common::LogLevel level = common::LogLevel::Info;
    bool prefixLevels = false;  // "<N>" at the start of a line gives its level.
    std::size_t maxLine = std::size_t{1} << 20;
    int tee = 0;               // Copy the bytes unchanged to this stream (1 or 2); 0: none.
    bool waitWhenFull = true;  // Pause on a full disk; false: drop the lines.
    std::string file;          // The log file's name as given, for messages.
  };

  LineWriter(common::FileLogSink& sink, const Settings& settings,
             std::atomic<std::uint64_t>& dropped);

  void data(std::string_view bytes) override;
  void end() override;

 private:
  // Turns the complete lines at the start of `text` into records and
  // returns how many bytes they took; what is left waits for its LF. With
  // `last`, what is left is a last line and is taken too.
  std::size_t split(std::string_view text, bool last);
  // Queues one message: a whole line or, with `endsLine` false, a piece of
  // a longer one.
  void emit(std::string_view message, bool endsLine);
  void flush();
  // Waits while the disk is full; false if the lines are to be dropped.
  bool waitForRoom(const std::error_code& why);

  common::FileLogSink& sink_;
  const Settings settings_;
  std::atomic<std::uint64_t>& dropped_;
  std::string pending_;  // The start of a line whose LF has not come yet.
  std::string held_;     // A line completed by this chunk, until it is written.
  std::vector<common::LogRecord> batch_;
  bool midLine_ = false;  // The last message queued was a piece, not a line's end.
  bool paused_ = false;   // Waiting for room on the disk.
  bool stopped_ = false;  // A stop came while the disk was full: no more waits.
  common::LogLevel lineLevel_ = common::LogLevel::Info;
};

// What the OS says of `error`, on one line.
std::string describe(const std::error_code& error);

// The level that a syslog priority prefix "<N>" names: 0-2 FATAL, 3 ERROR,
// 4 WARN, 5-6 INFO, 7 DEBUG. False if `message` does not start with one.
bool priorityPrefix(std::string_view message, common::LogLevel& level);

}  // namespace velmor::tool

#endif  // VELMOR_TOOLS_VELMOR_LOG_LINE_WRITER_H_
