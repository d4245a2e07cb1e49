// Parsing of velmor-log's command line. Nothing here touches the disk, so a
// usage error leaves nothing behind.
#include "options.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cctype>
#include <limits>
#include <stdexcept>

namespace velmor::tool {
namespace {

using common::LogLevel;

bool parseLevel(const std::string& text, LogLevel& out) {
  static constexpr LogLevel kLevels[] = {LogLevel::Trace, LogLevel::Debug, LogLevel::Info,
                                         LogLevel::Warn,  LogLevel::Error, LogLevel::Fatal};
  std::string upper;
  for (const char c : text) upper += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  for (const LogLevel level : kLevels) {
    if (upper == common::logLevelName(level)) {
      out = level;
      return true;
    }
  }
  return false;
}

// A value refused by its option's own check, with the line that says why.
struct Refused : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// "bad <what> '<value>' for <option> (<expected>)".
std::string badValue(const char* what, const std::string& value, const std::string& option,
                     const std::string& expected) {
  std::string text = "bad ";
  text += what;
  text += " '";
  text += value;
  text += "' for ";
  text += option;
  text += " (";
  text += expected;
  text += ")";
  return text;
}

}  // namespace

bool parseSize(const std::string& text, std::uint64_t& out) {
  std::size_t digits = 0;
  std::uint64_t value = 0;
  constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
  for (; digits < text.size() && std::isdigit(static_cast<unsigned char>(text[digits])); ++digits) {
    const auto digit = static_cast<std::uint64_t>(text[digits] - '0');
    if (value > (kMax - digit) / 10) return false;
    value = value * 10 + digit;
  }
  if (digits == 0 || text.size() > digits + 1) return false;
  int shift = 0;
  if (text.size() == digits + 1) {
    switch (std::toupper(static_cast<unsigned char>(text.back()))) {
      case 'K':
        shift = 10;
        break;
      case 'M':
        shift = 20;
        break;
      case 'G':
        shift = 30;
        break;
      default:
        return false;
    }
  }
  if (value == 0 || value > (kMax >> shift)) return false;
  out = value << shift;
  return true;
}

bool parseDuration(const std::string& text, std::chrono::seconds& out) {
  std::size_t digits = 0;
  std::int64_t value = 0;
  constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max() / 86400;
  for (; digits < text.size() && std::isdigit(static_cast<unsigned char>(text[digits])); ++digits) {
    value = value * 10 + (text[digits] - '0');
    if (value > kMax) return false;
  }
  if (digits == 0 || value == 0 || text.size() > digits + 1) return false;
  std::int64_t unit = 1;
  if (text.size() == digits + 1) {
    switch (text.back()) {
      case 's':
        break;
      case 'm':
        unit = 60;
        break;
      case 'h':
        unit = 3600;
        break;
      case 'd':
        unit = 86400;
        break;
      default:
        return false;
    }
  }
  out = std::chrono::seconds(value * unit);
  return true;
}

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
  common::RotationPolicy& policy = options.policy;
  CLI::App app("velmor-log");
  app.set_help_flag();                     // --help prints usage(), and only when asked for.
  app.allow_windows_style_options(false);  // "/logs/app.log" is a FILE.
  app.option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
  // A valued option: `parse` converts the text, or the option is refused
  // as "bad <what> '<value>' for <name> (<expected>)".
  const auto valued = [&](const std::string& names, const std::string& name, const char* what,
                          const std::string& expected, auto parse) {
    app.add_option_function<std::string>(names, [=](const std::string& value) {
      if (!parse(value)) throw Refused(badValue(what, value, name, expected));
    });
  };
  const std::string sizes = "bytes of at least 1, or with K, M or G";
  std::uint64_t number = 0;  // -m's, before its own limit is checked.
  valued("-s,--max-size", "--max-size", "size", sizes,
         [&](const std::string& value) { return parseSize(value, policy.maxFileBytes); });
  valued("-n,--backups", "--backups", "count", "1 to " + std::to_string(common::kMaxBackupsLimit),
         [&](const std::string& value) {
           const bool digits = !value.empty() && value.size() <= 4 &&
                               value.find_first_not_of("0123456789") == std::string::npos;
           const int count = digits ? std::stoi(value) : 0;
           policy.maxBackups = count;
           return count >= 1 && count <= common::kMaxBackupsLimit;
         });
  const std::string levels = "one of TRACE DEBUG INFO WARN ERROR FATAL";
  valued("-l,--level", "--level", "level", levels,
         [&](const std::string& value) { return parseLevel(value, options.level); });
  valued("-e,--stderr-level", "--stderr-level", "level", levels,
         [&](const std::string& value) { return parseLevel(value, options.stderrLevel); });
  valued("-m,--max-line", "--max-line", "length", "1 byte to 1G", [&](const std::string& value) {
    if (!parseSize(value, number) || number > (std::uint64_t{1} << 30)) return false;
    options.maxLine = static_cast<std::size_t>(number);
    return true;
  });
  valued("--every", "--every", "period", "hour or day", [&](const std::string& value) {
    if (value != "hour" && value != "day") return false;
    policy.period =
        value == "hour" ? common::RotationPeriod::Hourly : common::RotationPeriod::Daily;
    return true;
  });
  valued("--max-age", "--max-age", "duration", "at least 1, in s, m, h or d",
         [&](const std::string& value) { return parseDuration(value, policy.maxBackupAge); });
  valued("--max-total", "--max-total", "size", sizes,
         [&](const std::string& value) { return parseSize(value, policy.maxTotalBytes); });
  app.add_flag("-p,--prefix-levels", options.prefixLevels);
  app.add_flag("-t,--tee", options.tee);
  app.add_flag("--rotate-on-start", policy.rotateOnStart);
  app.add_flag("--copy-when-pinned", policy.copyWhenPinned);
  app.add_flag("--compress", policy.compressBackups);
  valued("--on-rotate", "--on-rotate", "command", "a command for the shell",
         [&](const std::string& value) {
           options.onRotate = value;
           return !value.empty();
         });
  app.add_flag("-h,--help", options.help);
  app.add_flag("--version", options.version);
  app.add_option("FILE", options.file);
  app.allow_extras();  // Refused below, with a line of ours.
  try {
    std::vector<std::string> args(given.begin(), dashes);
    std::reverse(args.begin(), args.end());  // The parser takes them last first.
    app.parse(args);
  } catch (const Refused& refused) {
    error = refused.what();
    return std::nullopt;
  } catch (const CLI::ParseError& refused) {
    error = refused.what();
    return std::nullopt;
  }
  for (const std::string& extra : app.remaining()) {
    error = extra.size() > 1 && extra[0] == '-'
                ? "unknown option '" + extra + "'"
                : "unexpected argument '" + extra + "' (a COMMAND goes after '--')";
    return std::nullopt;
  }
  if (options.file.empty() && !options.help && !options.version) {
    error = "missing FILE";
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
         "      --every hour|day     also rotate at the first line of a new local hour or day\n"
         "      --rotate-on-start    rotate a non-empty FILE before the first line\n"
         "      --max-age DURATION   delete backups older than DURATION (with s, m, h or d)\n"
         "      --max-total SIZE     delete the oldest backups while all exceed SIZE\n"
         "                           (FILE.1 is always kept)\n"
         "      --copy-when-pinned   Windows: copy FILE into FILE.1 and empty it when\n"
         "                           another program keeps it from being renamed\n"
         "      --compress           keep FILE.2 on gzip-compressed, as FILE.N.gz\n"
         "      --on-rotate CMD      after each rotation run CMD (by the shell) with FILE.1\n"
         "                           as its last argument; not waited for, its output to\n"
         "                           standard error\n"
         "  -h, --help               show this text\n"
         "      --version            show the version\n"
         "\n"
         "Exit status: 0 at the end of input (or on SIGTERM, SIGINT or SIGHUP, after writing\n"
         "what was read); COMMAND's own status with COMMAND (128+N if killed by signal N, 127\n"
         "if it cannot be started); 1 if FILE cannot be opened; 2 for a usage error.\n";
}

}  // namespace velmor::tool
