// Parsing of velmor-log's command line. Nothing here touches the disk, so a
// usage error leaves nothing behind.
#include "options.h"

#include <cctype>
#include <limits>

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

std::optional<Options> parseOptions(const std::vector<std::string>& given, std::string& error) {
  std::vector<std::string> args = given;
  Options options;
  bool haveFile = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    std::string arg = args[i];
    if (arg == "--") {
      options.command.assign(args.begin() + static_cast<std::ptrdiff_t>(i) + 1, args.end());
      if (options.command.empty()) {
        error = "no COMMAND after '--'";
        return std::nullopt;
      }
      break;
    }
    if (arg.size() < 2 || arg[0] != '-') {
      if (haveFile) {
        error = "unexpected argument '" + arg + "' (a COMMAND goes after '--')";
        return std::nullopt;
      }
      options.file = arg;
      haveFile = true;
      continue;
    }
    // Short flags may come together ("-pt"), a valued one last ("-ps 5M").
    if (arg[1] != '-' && arg.size() > 2 && (arg[1] == 'p' || arg[1] == 't' || arg[1] == 'h')) {
      const std::string rest = "-" + arg.substr(2);
      arg = arg.substr(0, 2);
      args.insert(args.begin() + static_cast<std::ptrdiff_t>(i) + 1, rest);
    }
    // "--name=value", "--name value", "-x value" and "-xvalue".
    std::string name = arg;
    std::optional<std::string> inlineValue;
    if (arg[1] == '-') {
      const std::size_t equals = arg.find('=');
      if (equals != std::string::npos) {
        name = arg.substr(0, equals);
        inlineValue = arg.substr(equals + 1);
      }
    } else if (arg.size() > 2) {
      name = arg.substr(0, 2);
      inlineValue = arg.substr(2);
    }
    const auto is = [&](const char* shortName, const char* longName) {
      return name == shortName || name == longName;
    };
    const bool flag = is("-p", "--prefix-levels") || is("-t", "--tee") || is("-h", "--help") ||
                      name == "--version";
    if (flag) {
      if (inlineValue) {
        error = "option '" + name + "' takes no value";
        return std::nullopt;
      }
      if (is("-p", "--prefix-levels")) options.prefixLevels = true;
      if (is("-t", "--tee")) options.tee = true;
      if (is("-h", "--help")) options.help = true;
      if (name == "--version") options.version = true;
      continue;
    }
    const bool known = is("-s", "--max-size") || is("-n", "--backups") || is("-l", "--level") ||
                       is("-e", "--stderr-level") || is("-m", "--max-line");
    if (!known) {
      error = "unknown option '" + arg + "'";
      return std::nullopt;
    }
    if (!inlineValue && i + 1 == args.size()) {
      error = "option '" + name + "' needs a value";
      return std::nullopt;
    }
    const std::string value = inlineValue ? *inlineValue : args[++i];
    std::uint64_t number = 0;
    if (is("-s", "--max-size")) {
      if (!parseSize(value, number)) {
        error = badValue("size", value, name, "bytes of at least 1, or with K, M or G");
        return std::nullopt;
      }
      options.policy.maxFileBytes = number;
    } else if (is("-m", "--max-line")) {
      if (!parseSize(value, number) || number > (std::uint64_t{1} << 30)) {
        error = badValue("length", value, name, "1 byte to 1G");
        return std::nullopt;
      }
      options.maxLine = static_cast<std::size_t>(number);
    } else if (is("-n", "--backups")) {
      const bool digits = !value.empty() && value.size() <= 4 &&
                          value.find_first_not_of("0123456789") == std::string::npos;
      const int count = digits ? std::stoi(value) : 0;
      if (count < 1 || count > common::kMaxBackupsLimit) {
        error = badValue("count", value, name, "1 to " + std::to_string(common::kMaxBackupsLimit));
        return std::nullopt;
      }
      options.policy.maxBackups = count;
    } else {
      LogLevel& level = is("-l", "--level") ? options.level : options.stderrLevel;
      if (!parseLevel(value, level)) {
        error = badValue("level", value, name, "one of TRACE DEBUG INFO WARN ERROR FATAL");
        return std::nullopt;
      }
    }
  }
  if (!haveFile && !options.help && !options.version) {
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
         "  -h, --help               show this text\n"
         "      --version            show the version\n"
         "\n"
         "Exit status: 0 at the end of input (or on SIGTERM, SIGINT or SIGHUP, after writing\n"
         "what was read); COMMAND's own status with COMMAND (128+N if killed by signal N, 127\n"
         "if it cannot be started); 1 if FILE cannot be opened; 2 for a usage error.\n";
}

}  // namespace velmor::tool
