// velmor-log: brings lines from standard input, or from a COMMAND's output,
// into a rotating log file written by FileLogSink.
#include <atomic>
#include <cstdint>
#include <exception>
#include <filesystem>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include "line_writer.h"
#include "logging/file_log_sink.h"
#include "options.h"
#include "process.h"

namespace {

using velmor::tool::describe;
using velmor::tool::writeStream;

// The exit statuses of velmor-log's own making (see usage()).
constexpr int kLinesLost = 3;
constexpr int kReadFailed = 4;

int usageError(const std::string& problem) {
  writeStream(2, "velmor-log: " + problem + "\nTry 'velmor-log --help' for more information.\n");
  return 2;
}

// Brings standard input, or COMMAND's output, into `sink` as `options` say;
// returns the exit status.
int logLines(const velmor::tool::Options& options, velmor::common::FileLogSink& sink) {
  namespace tool = velmor::tool;
  std::atomic<std::uint64_t> dropped{0};
  tool::LineWriter::Settings settings;
  settings.level = options.level;
  settings.prefixLevels = options.prefixLevels;
  settings.maxLine = options.maxLine;
  settings.tee = options.tee ? 1 : 0;
  settings.waitWhenFull = !options.dropWhenFull;
  settings.file = options.file;
  tool::LineWriter out(sink, settings, dropped);
  int status = 0;
  std::string problem;
  if (options.command.empty()) {
    tool::pumpStandardInput(out, problem);
  } else {
    settings.level = options.stderrLevel;
    settings.tee = options.tee ? 2 : 0;
    tool::LineWriter err(sink, settings, dropped);
    status = tool::runCommand(options.command, out, err, problem);
  }
  if (!problem.empty()) writeStream(2, "velmor-log: " + problem + "\n");
  if (dropped > 0) {
    writeStream(2, "velmor-log: " + std::to_string(dropped.load()) +
                       " lines could not be written to " + options.file + "\n");
  }
  // COMMAND's own failure is told first; then lost lines, then a failed
  // read (what was read was written).
  if (status == 0 && dropped > 0) status = kLinesLost;
  if (status == 0 && !problem.empty()) status = kReadFailed;
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  namespace tool = velmor::tool;
  tool::prepareProcess();
  std::string problem;
  std::optional<tool::Options> options;
  std::filesystem::path file;
  try {
    options = tool::parseOptions(tool::programArguments(argc, argv), problem);
    if (options) file = tool::pathFromUtf8(options->file);
  } catch (const std::system_error&) {
    return usageError("an argument is not a valid name in Unicode");
  }
  if (!options) return usageError(problem);
  if (options->help) {
    writeStream(1, tool::usage());
    return 0;
  }
  if (options->version) {
    writeStream(1, "velmor-log " VELMOR_VERSION "\n");
    return 0;
  }

  // Made only now that the arguments are known to be good: the sink creates
  // missing directories, and the probe creates FILE.
  velmor::common::RotationPolicy policy = options->policy;
  if (!options->onRotate.empty()) {
    policy.onRotated = [command = options->onRotate](const std::filesystem::path& newest) {
      tool::startHook(command, newest.u8string());
    };
  }
  velmor::common::FileLogSink sink(file, policy);
  if (const std::error_code cannot = sink.probe()) {
    writeStream(2, "velmor-log: cannot open " + options->file + ": " + describe(cannot) + "\n");
    return 1;
  }

  return logLines(*options, sink);
}
