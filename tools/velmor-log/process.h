// The operating-system side of velmor-log, behind one small interface:
// arguments, standard streams, signals and the wrapped COMMAND.
// process_posix.cpp and process_windows.cpp each hold the whole body for
// one OS; CMake compiles one of them.
#ifndef VELMOR_TOOLS_VELMOR_LOG_PROCESS_H_
#define VELMOR_TOOLS_VELMOR_LOG_PROCESS_H_

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace velmor::tool {

// Where the bytes of one stream go, as they arrive. data() is called with
// every chunk read, end() once at the end of the stream. One stream's calls
// come from one thread; two streams may be served by different threads.
class StreamConsumer {
 public:
  virtual ~StreamConsumer() = default;
  virtual void data(std::string_view bytes) = 0;
  virtual void end() = 0;
};

// Opens /dev/null on whichever of the standard streams (0, 1, 2) are closed
// at start; a no-op on Windows.
void openMissingStandardStreams();

// The program's arguments after its name, as UTF-8 (taken from the wide
// command line on Windows, so that any name survives). Throws
// std::system_error for an argument that is not valid UTF-16 there.
std::vector<std::string> programArguments(int argc, char** argv);

// The file name `utf8` as a path. Throws std::system_error if it is not
// valid UTF-8 where native names are wide.
std::filesystem::path pathFromUtf8(const std::string& utf8);

// Writes `bytes` whole to standard output (1) or standard error (2);
// failures are ignored (a closed terminal must not stop the logging).
void writeStream(int stream, std::string_view bytes);

// Reads standard input, in binary, until its end or until SIGTERM, SIGINT
// or SIGHUP (Ctrl-C or Ctrl-Break on Windows) arrives, handing every chunk
// read to `input`; then calls input.end(). Signals ignored at start stay
// ignored.
void pumpStandardInput(StreamConsumer& input);

// Runs `command` (searched in PATH) with the program's environment,
// standard input and working directory, and hands its standard output and
// standard error to `out` and `err` as they arrive, until both end, or,
// after SIGTERM or SIGINT, until it has exited and what its streams hold is
// read (a child of it that keeps them open is not waited for). On POSIX it
// runs in a process group of its own (unless this program is in the
// foreground of a terminal), and SIGINT, SIGTERM and SIGHUP are passed on
// to it, each once: a signal the terminal sent to the whole group is not
// passed on. Signals ignored at start stay ignored, in it too. A file
// without "#!" is run by /bin/sh. On Windows Ctrl-C and Ctrl-Break reach it
// from the console. Returns its exit status (128 plus the signal number if a
// signal ended it), or 127 with `error` set if it could not be started.
int runCommand(const std::vector<std::string>& command, StreamConsumer& out, StreamConsumer& err,
               std::string& error);

// Starts `command` through the shell (/bin/sh -c on POSIX, cmd /c on
// Windows) with `argument` as its last argument, its standard input closed
// (none on Windows) and its standard output and error going to this
// program's standard error; returns without waiting for it. It is reaped
// as soon as it ends (on POSIX it is nobody's child here: started through a
// process that exits at once). Failures are ignored.
void startHook(const std::string& command, const std::string& argument);

}  // namespace velmor::tool

#endif  // VELMOR_TOOLS_VELMOR_LOG_PROCESS_H_
