// The operating-system side of velmor-log, behind one small interface:
// arguments, standard streams, signals and the wrapped COMMAND.
// process_posix.cpp and process_windows.cpp each hold the whole body for
// one OS; CMake compiles one of them.
#ifndef VELMOR_TOOLS_VELMOR_LOG_PROCESS_H_
#define VELMOR_TOOLS_VELMOR_LOG_PROCESS_H_

#include <chrono>
#include <filesystem>
#include <string>
#include <string_view>
#include <system_error>
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

// First of all: notes the signal dispositions the program was started
// with (COMMAND gets them back), ignores SIGPIPE, so that a reader of
// standard error or of the --tee copy that went away cannot end the
// program, and opens /dev/null on whichever of the standard streams (0, 1,
// 2) are closed. A no-op on Windows.
void prepareProcess();

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

// Reads standard input, in binary, until its end, a failed read, or until
// SIGTERM, SIGINT or SIGHUP (Ctrl-C or Ctrl-Break on Windows) arrives,
// handing every chunk read to `input`; then calls input.end(). Signals
// ignored at start stay ignored. A failed read sets `error` to a line that
// says why.
void pumpStandardInput(StreamConsumer& input, std::string& error);

// Waits `wait`, or less if a stop is asked for meanwhile (the signals that
// end pumpStandardInput, or SIGTERM, SIGINT or SIGQUIT for runCommand);
// signals for COMMAND are passed on meanwhile. False once a stop has been
// asked for. Called from a StreamConsumer, whose stream is not read
// meanwhile (so a writer to it is held back by the full pipe).
bool pauseUnlessStopped(std::chrono::milliseconds wait);

// Whether `error`, from FileLogSink::writeBatch, means that the file's disk
// (or the user's quota on it) is full.
bool meansFullDisk(const std::error_code& error);

// Runs `command` (searched in PATH) with the program's environment,
// standard input, working directory, signal mask and the dispositions it
// was started with, and hands its standard output and standard error to
// `out` and `err` as they arrive, until both end, or, after a stop (SIGTERM,
// SIGINT or SIGQUIT, unless ignored at start), until it has exited and what
// its streams hold is read (a child of it that keeps them open is not
// waited for). On POSIX it runs in a process group of its own (unless this
// program is in the foreground of a terminal), and SIGHUP, SIGINT, SIGQUIT,
// SIGTERM, SIGUSR1 and SIGUSR2 are passed on to it, each once, also those
// ignored at start (which stay ignored in it unless it changes that): a
// signal the terminal sent to the whole group is not passed on. On Linux it
// gets SIGTERM if this program dies first (killed by SIGKILL, say). A file
// without "#!" is run by /bin/sh. On Windows Ctrl-C and Ctrl-Break reach it
// from the console. Returns its exit status (128 plus the signal number if a
// signal ended it), or 127 with `error` set if it could not be started; a
// failed read of its streams sets `error` too.
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
