// The command line of velmor-log: what it parses into, and the usage text.
#ifndef VELMOR_TOOLS_VELMOR_LOG_OPTIONS_H_
#define VELMOR_TOOLS_VELMOR_LOG_OPTIONS_H_

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "logging/file_log_sink.h"

namespace velmor::tool {

struct Options {
  std::string file;  // UTF-8.
  common::RotationPolicy policy;
  common::LogLevel level = common::LogLevel::Info;
  common::LogLevel stderrLevel = common::LogLevel::Error;
  bool prefixLevels = false;
  bool tee = false;
  bool dropWhenFull = false;  // --when-full drop: lines a full disk refuses are lost.
  std::size_t maxLine = std::size_t{1} << 20;
  std::vector<std::string> command;  // Empty: lines come from standard input.
  std::string onRotate;              // A shell command run after each rotation; empty: none.
  bool help = false;
  bool version = false;
};

// Parses the arguments after the program name. Returns the options, or
// nothing with `error` set to one line that names the problem.
std::optional<Options> parseOptions(const std::vector<std::string>& args, std::string& error);

// The text of --help.
std::string usage();

}  // namespace velmor::tool

#endif  // VELMOR_TOOLS_VELMOR_LOG_OPTIONS_H_
