// Parsing of velmor-log's command line. Nothing here touches the disk, so a
// usage error leaves nothing behind.
#include "options.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <charconv>
#include <cstdint>
#include <map>
#include <stdexcept>
#include <system_error>

#include "logging/internal/build_config.h"

namespace velmor::tool {
namespace {

using common::LogLevel;

// A value refused by its option's own check, with the line that says why.
struct Refused : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// "bad <what> '<value>' for <option> (<expected>)".
std::string badValue(const char* what, const std::string& value, const std::string& option,
                     const std::string& expected) {
  return std::string("bad ") + what + " '" + value + "' for " + option + " (" + expected + ")";
}

// Whether CLI11's `check` takes `value`, which it may rewrite (a transform:
// "5M" becomes "5242880"). Its own words are not shown: ours name the option.
bool passes(const CLI::Validator& check, std::string& value) {
  try {
    return check(value).empty();
  } catch (const CLI::Error&) {
    return false;
  }
}

// A whole decimal number of at least 1 and at most `max`, all of `text`.
bool positive(const std::string& text, std::uint64_t max, std::uint64_t& out) {
  std::uint64_t value = 0;
  const char* end = text.data() + text.size();
  const auto parsed = std::from_chars(text.data(), end, value);
  if (parsed.ec != std::errc() || parsed.ptr != end || value == 0 || value > max) return false;
  out = value;
  return true;
}

// Declares the valued options of `app`: `parse` converts the text, or the
// option is refused as "bad <what> '<value>' for <name> (<expected>)".
class ValuedOptions {
 public:
  explicit ValuedOptions(CLI::App& app) : app_(app) {}

  template <typename Parse>
  void add(const std::string& names, const std::string& name, const char* what,
           const std::string& expected, Parse parse) {
    app_.add_option_function<std::string>(names, [=](const std::string& given) {
      std::string value = given;
      if (!parse(value)) throw Refused(badValue(what, given, name, expected));
    });
  }

 private:
  CLI::App& app_;
};

const CLI::Validator& sizeUnits() {
  static const CLI::AsSizeValue units(false);  // K, M and G are powers of 1024.
  return units;
}

bool parseSize(std::string& text, std::uint64_t& out) {
  return passes(sizeUnits(), text) && positive(text, UINT64_MAX, out);
}

bool parseDuration(std::string& text, std::chrono::seconds& out) {
  static const CLI::AsNumberWithUnit units(
      std::map<std::string, std::uint64_t>{{"s", 1}, {"m", 60}, {"h", 3600}, {"d", 86400}},
      CLI::AsNumberWithUnit::CASE_SENSITIVE);
  std::uint64_t seconds = 0;
  if (!passes(units, text) || !positive(text, INT64_MAX, seconds)) return false;
  out = std::chrono::seconds(static_cast<std::int64_t>(seconds));
  return true;
}

bool parseLevel(std::string& text, LogLevel& out) {
  static const CLI::IsMember names({"TRACE", "DEBUG", "INFO", "WARN", "ERROR", "FATAL"},
                                   CLI::ignore_case);
  if (!passes(names, text)) return false;
  for (int level = 0; level <= static_cast<int>(LogLevel::Fatal); ++level) {
    if (text == common::logLevelName(static_cast<LogLevel>(level))) {
      out = static_cast<LogLevel>(level);
      return true;
    }
  }
  return false;
}

void addRotationOptions(ValuedOptions& valued, common::RotationPolicy& policy) {
  const std::string sizes = "bytes of at least 1, or with K, M or G";
  valued.add("-s,--max-size", "--max-size", "size", sizes,
             [&](std::string& value) { return parseSize(value, policy.maxFileBytes); });
  valued.add("-n,--backups", "--backups", "count",
             "1 to " + std::to_string(common::kMaxBackupsLimit), [&](std::string& value) {
               std::uint64_t count = 0;
               if (!passes(CLI::Range(1, common::kMaxBackupsLimit), value) ||
                   !positive(value, common::kMaxBackupsLimit, count)) {
                 return false;
               }
               policy.maxBackups = static_cast<int>(count);
               return true;
             });
  valued.add("--every", "--every", "period", "hour or day", [&](std::string& value) {
    if (!passes(CLI::IsMember({"hour", "day"}), value)) return false;
    policy.period =
        value == "hour" ? common::RotationPeriod::Hourly : common::RotationPeriod::Daily;
    return true;
  });
  valued.add("--codec", "--codec", "codec", "gzip or zstd", [&](std::string& value) {
    if (!passes(CLI::IsMember({"gzip", "zstd"}), value)) return false;
    policy.codec =
        value == "zstd" ? common::CompressionCodec::Zstd : common::CompressionCodec::Gzip;
    policy.compressBackups = true;
    return true;
  });
  // The codec's own range is checked once every option is known.
  valued.add("--compress-level", "--compress-level", "level", "1 to 9 for gzip, 1 to 22 for zstd",
             [&](std::string& value) {
               std::uint64_t level = 0;
               if (!positive(value, 22, level)) return false;
               policy.compressionLevel = static_cast<int>(level);
               policy.compressBackups = true;
               return true;
             });
  valued.add("--max-age", "--max-age", "duration", "at least 1, in s, m, h or d",
             [&](std::string& value) { return parseDuration(value, policy.maxBackupAge); });
  valued.add("--max-total", "--max-total", "size", sizes,
             [&](std::string& value) { return parseSize(value, policy.maxTotalBytes); });
  valued.add("--mode", "--mode", "mode", "octal permission bits, at most 7777",
             [&](std::string& value) {
               unsigned mode = 0;
               const char* end = value.data() + value.size();
               const auto parsed = std::from_chars(value.data(), end, mode, 8);
               if (value.empty() || parsed.ec != std::errc() || parsed.ptr != end || mode > 07777) {
                 return false;
               }
               policy.fileMode = mode;
               return true;
             });
}

void addLineOptions(ValuedOptions& valued, Options& options) {
  const std::string levels = "one of TRACE DEBUG INFO WARN ERROR FATAL";
  valued.add("-l,--level", "--level", "level", levels,
             [&](std::string& value) { return parseLevel(value, options.level); });
  valued.add("-e,--stderr-level", "--stderr-level", "level", levels,
             [&](std::string& value) { return parseLevel(value, options.stderrLevel); });
  valued.add("-m,--max-line", "--max-line", "length", "1 byte to 1G", [&](std::string& value) {
    std::uint64_t length = 0;
    if (!parseSize(value, length) || length > (std::uint64_t{1} << 30)) return false;
    options.maxLine = static_cast<std::size_t>(length);
    return true;
  });
  valued.add("--time", "--time", "time format", "clock, local or utc", [&](std::string& value) {
    if (!passes(CLI::IsMember({"clock", "local", "utc"}), value)) return false;
    options.policy.format.time = value == "clock"   ? common::TimeFormat::TimeOfDay
                                 : value == "local" ? common::TimeFormat::LocalIso8601
                                                    : common::TimeFormat::UtcIso8601;
    return true;
  });
  valued.add("--sync", "--sync", "level", levels + ", or all", [&](std::string& value) {
    LogLevel level = LogLevel::Trace;
    if (CLI::detail::to_lower(value) != "all" && !parseLevel(value, level)) return false;
    options.policy.syncFrom = level;
    return true;
  });
  valued.add("--when-full", "--when-full", "choice", "wait or drop", [&](std::string& value) {
    if (!passes(CLI::IsMember({"wait", "drop"}), value)) return false;
    options.dropWhenFull = value == "drop";
    return true;
  });
  valued.add("--on-rotate", "--on-rotate", "command", "a command for the shell",
             [&](std::string& value) {
               options.onRotate = value;
               return !value.empty();
             });
}

void addFlags(CLI::App& app, Options& options) {
  app.add_flag("-p,--prefix-levels", options.prefixLevels);
  app.add_flag("-t,--tee", options.tee);
  app.add_flag("--rotate-on-start", options.policy.rotateOnStart);
  app.add_flag("--copy-when-pinned", options.policy.copyWhenPinned);
  app.add_flag("--compress", options.policy.compressBackups);
  app.add_flag("--json", options.policy.format.json);
  app.add_flag("--escape", options.policy.format.escapeControls);
  app.add_flag("--sync-rotations", options.policy.syncRotations);
  app.add_flag("-h,--help", options.help);
  app.add_flag("--version", options.version);
  app.add_option("FILE", options.file);
}

// Runs `app` over `args`; false with `error` set if they are refused.
bool parseWith(CLI::App& app, std::vector<std::string> args, std::string& error) {
  try {
    std::reverse(args.begin(), args.end());  // The parser takes them last first.
    app.parse(args);
  } catch (const Refused& refused) {
    error = refused.what();
    return false;
  } catch (const CLI::ParseError& refused) {
    error = refused.what();
    return false;
  }
  for (const std::string& extra : app.remaining()) {
    error = extra.size() > 1 && extra[0] == '-'
                ? "unknown option '" + extra + "'"
                : "unexpected argument '" + extra + "' (a COMMAND goes after '--')";
    return false;
  }
  return true;
}

}  // namespace

std::optional<Options> parseOptions(const std::vector<std::string>& given, std::string& error) {
  Options options;
  // What follows the first "--" is COMMAND, untouched by the parser.
  const auto dashes = std::find(given.begin(), given.end(), "--");
  if (dashes != given.end()) {
    options.command.assign(dashes + 1, given.end());
    if (options.command.empty()) {
      error = "no COMMAND after '--'";
      return std::nullopt;
    }
  }
  CLI::App app("velmor-log");
  app.set_help_flag();                     // --help prints usage(), and only when asked for.
  app.allow_windows_style_options(false);  // "/logs/app.log" is a FILE.
  app.option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
  app.allow_extras();  // Refused by parseWith, with a line of ours.
  ValuedOptions valued(app);
  addRotationOptions(valued, options.policy);
  addLineOptions(valued, options);
  addFlags(app, options);
  if (!parseWith(app, std::vector<std::string>(given.begin(), dashes), error)) {
    return std::nullopt;
  }
  if (options.file.empty() && !options.help && !options.version) {
    error = "missing FILE";
    return std::nullopt;
  }
  const common::RotationPolicy& policy = options.policy;
  if (policy.codec == common::CompressionCodec::Gzip && policy.compressionLevel > 9) {
    error = "bad level '" + std::to_string(policy.compressionLevel) +
            "' for --compress-level (1 to 9 for gzip, 1 to 22 for zstd)";
    return std::nullopt;
  }
  if (policy.compressBackups && policy.codec == common::CompressionCodec::Zstd &&
      !VELMOR_HAVE_ZSTD) {
    error = "--codec zstd is not available: this build of velmor-log has no zstd";
    return std::nullopt;
  }
  return options;
}

std::string usage() {
  return "Usage: velmor-log [options] FILE                      lines from standard input\n"
         "       velmor-log [options] FILE -- COMMAND [ARG...]  COMMAND's output as lines\n"
         "\n"
         "Appends every line as \"[HH:MM:SS.mmm] [LEVEL] line\" to FILE, rotating it by size\n"
         "into FILE.1 (newest) to FILE.N (oldest). FILE may be shared with other writers.\n"
         "\n"
         "  -s, --max-size SIZE      rotate at SIZE bytes, or with K, M or G (default 5M)\n"
         "  -n, --backups N          keep N backups, 1 to 1000 (default 5)\n"
         "  -l, --level LEVEL        level of input lines, or of COMMAND's standard output\n"
         "                           (TRACE DEBUG INFO WARN ERROR FATAL; default INFO)\n"
         "  -e, --stderr-level LEVEL level of COMMAND's standard error (default ERROR)\n"
         "  -p, --prefix-levels      a line starting <0>..<7> takes its level from it:\n"
         "                           0-2 FATAL, 3 ERROR, 4 WARN, 5-6 INFO, 7 DEBUG\n"
         "  -t, --tee                also copy the input to standard output (COMMAND's\n"
         "                           standard error to standard error)\n"
         "  -m, --max-line BYTES     cut longer lines into pieces of BYTES (default 1M)\n"
         "      --time clock|local|utc  stamp lines with the local time of day (default),\n"
         "                           or the ISO 8601 local date and time with its offset,\n"
         "                           or the ISO 8601 UTC date and time\n"
         "      --json               write each line as a JSON object, one per line:\n"
         "                           {\"time\":...,\"level\":...,\"message\":...}\n"
         "      --escape             write \\ as \\\\, LF as \\n, CR as \\r, and other control\n"
         "                           bytes but TAB, and DEL, as \\xHH: a line stays one line\n"
         "      --sync LEVEL         a line at LEVEL or above is on disk, with every line\n"
         "                           before it, once written (all: every line; with -p\n"
         "                           the level is the line's, else every line is INFO)\n"
         "      --sync-rotations     put FILE and its directory on disk at each rotation\n"
         "      --every hour|day     also rotate at the first line of a new local hour or day\n"
         "      --rotate-on-start    rotate a non-empty FILE before the first line\n"
         "      --max-age DURATION   delete backups older than DURATION (with s, m, h or d)\n"
         "      --max-total SIZE     delete the oldest backups while all exceed SIZE\n"
         "                           (FILE.1 is always kept)\n"
         "      --copy-when-pinned   Windows: copy FILE into FILE.1 and empty it when\n"
         "                           another program keeps it from being renamed\n"
         "      --compress           keep FILE.2 on compressed, as FILE.N.gz (or .zst),\n"
         "                           beside the writing, in a thread of its own\n"
         "      --codec gzip|zstd    compress with gzip (default) or zstd; implies --compress\n"
         "      --compress-level N   the codec's level: gzip 1 to 9 (default 6), zstd 1 to\n"
         "                           22 (default 3); implies --compress\n"
         "      --mode OCTAL         create FILE with these permission bits, less the\n"
         "                           umask (POSIX; default 666)\n"
         "      --on-rotate CMD      after each rotation run CMD (by the shell) with FILE.1\n"
         "                           as its last argument; not waited for, its output to\n"
         "                           standard error\n"
         "      --when-full wait|drop  when FILE's disk is full, stop reading and try again\n"
         "                           until there is room (default), or drop the lines\n"
         "  -h, --help               show this text\n"
         "      --version            show the version\n"
         "\n"
         "Exit status: 0 once every line read was written, at the end of input or on\n"
         "SIGTERM, SIGINT or SIGHUP; with COMMAND, COMMAND's own status (128+N if signal N\n"
         "ended it, 127 if it cannot be started), or else as follows; 1 if FILE cannot be\n"
         "opened; 2 for a usage error; 3 if lines were lost (dropped on a full disk, or\n"
         "not written when a stop came during a pause; standard error says how many);\n"
         "4 if reading failed (what was read was written).\n";
}

}  // namespace velmor::tool
