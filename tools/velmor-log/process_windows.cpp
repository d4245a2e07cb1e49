// Windows bodies of velmor-log's process layer: the wide command line,
// CreateProcessW with pipes, and one reading thread per pipe.
#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
// After windows.h, which it needs.
#include <shellapi.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <system_error>
#include <thread>

#include "process.h"

namespace velmor::tool {
namespace {

// The conversions between UTF-8 and native names are the standard
// library's: std::filesystem's u8path() and u8string().
std::wstring toWide(const std::string& utf8) { return std::filesystem::u8path(utf8).native(); }

std::string describe(DWORD error) {
  std::string text = std::system_category().message(static_cast<int>(error));
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) {
    text.pop_back();
  }
  return text;
}

// Appends `arg` quoted so that the Microsoft C runtime's parser gives it
// back unchanged: backslashes are literal unless they precede a quote, and
// then they and the quote are escaped.
void appendQuoted(std::wstring& line, const std::wstring& arg) {
  if (!arg.empty() && arg.find_first_of(L" \t\n\v\"") == std::wstring::npos) {
    line += arg;
    return;
  }
  line += L'"';
  std::size_t slashes = 0;
  for (const wchar_t c : arg) {
    if (c == L'\\') {
      ++slashes;
      continue;
    }
    if (c == L'"')
      line.append(slashes * 2 + 1, L'\\');
    else
      line.append(slashes, L'\\');
    slashes = 0;
    line += c;
  }
  line.append(slashes * 2, L'\\');
  line += L'"';
}

// Set by Ctrl-C or Ctrl-Break. This process keeps running (the console
// delivers the event to the wrapped COMMAND too) and stops reading its own
// standard input.
std::atomic<bool> interrupted{false};
HANDLE readingThread = nullptr;

BOOL WINAPI onControl(DWORD event) {
  if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT) return FALSE;
  interrupted = true;
  if (readingThread != nullptr) ::CancelSynchronousIo(readingThread);
  return TRUE;
}

// Reads `from` into `consumer` until the end of the stream, a failed read
// (`error` then says why) or an interrupt; a chunk read before the
// interrupt is still handed on. On a pipe a read of no bytes is the other
// end's write of none, not the end (that is ERROR_BROKEN_PIPE); on a file or
// console it is the end.
void pump(HANDLE from, StreamConsumer& consumer, bool stopOnInterrupt, std::string& error) {
  std::string buffer(1 << 16, '\0');
  const bool pipe = ::GetFileType(from) == FILE_TYPE_PIPE;
  for (;;) {
    DWORD got = 0;
    const BOOL ok =
        ::ReadFile(from, buffer.data(), static_cast<DWORD>(buffer.size()), &got, nullptr);
    const DWORD failed = ok ? ERROR_SUCCESS : ::GetLastError();
    if (got > 0) consumer.data(std::string_view(buffer.data(), got));
    if (stopOnInterrupt && interrupted) break;
    if (!ok && failed != ERROR_BROKEN_PIPE && failed != ERROR_HANDLE_EOF &&
        failed != ERROR_OPERATION_ABORTED) {
      error = describe(failed);
    }
    if (!ok || (got == 0 && !pipe)) break;
  }
  consumer.end();
}

}  // namespace

void prepareProcess() {}

std::vector<std::string> programArguments(int, char**) {
  int count = 0;
  LPWSTR* wide = ::CommandLineToArgvW(::GetCommandLineW(), &count);
  std::vector<std::string> args;
  for (int i = 1; wide != nullptr && i < count; ++i)
    args.push_back(std::filesystem::path(wide[i]).u8string());
  if (wide != nullptr) ::LocalFree(wide);
  return args;
}

std::filesystem::path pathFromUtf8(const std::string& utf8) {
  return std::filesystem::u8path(utf8);
}

void writeStream(int stream, std::string_view bytes) {
  const HANDLE handle = ::GetStdHandle(stream == 1 ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE);
  while (!bytes.empty()) {
    DWORD written = 0;
    if (!::WriteFile(handle, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) ||
        written == 0) {
      return;
    }
    bytes.remove_prefix(written);
  }
}

void pumpStandardInput(StreamConsumer& input, std::string& error) {
  ::DuplicateHandle(::GetCurrentProcess(), ::GetCurrentThread(), ::GetCurrentProcess(),
                    &readingThread, 0, FALSE, DUPLICATE_SAME_ACCESS);
  ::SetConsoleCtrlHandler(onControl, TRUE);
  // ReadFile on the handle itself: bytes unchanged, Ctrl-Z (0x1A) included.
  std::string failed;
  pump(::GetStdHandle(STD_INPUT_HANDLE), input, true, failed);
  if (!failed.empty()) error = "cannot read standard input: " + failed;
}

bool pauseUnlessStopped(std::chrono::milliseconds wait) {
  // Ctrl-C or Ctrl-Break is seen within a slice.
  const auto end = std::chrono::steady_clock::now() + wait;
  while (!interrupted && std::chrono::steady_clock::now() < end) ::Sleep(20);
  return !interrupted;
}

bool meansFullDisk(const std::error_code& error) {
  return error.category() == std::system_category() &&
         (error.value() == ERROR_DISK_FULL || error.value() == ERROR_HANDLE_DISK_FULL ||
          error.value() == 1295);  // ERROR_DISK_QUOTA_EXCEEDED, missing from some headers.
}

int runCommand(const std::vector<std::string>& command, StreamConsumer& out, StreamConsumer& err,
               std::string& error) {
  SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
  HANDLE reads[2] = {nullptr, nullptr};
  HANDLE writes[2] = {nullptr, nullptr};
  for (int i = 0; i < 2; ++i) {
    if (!::CreatePipe(&reads[i], &writes[i], &inherit, 0)) {
      error = "cannot make a pipe: " + describe(::GetLastError());
      return 127;
    }
    // Only the child's ends are inherited.
    ::SetHandleInformation(reads[i], HANDLE_FLAG_INHERIT, 0);
  }
  // Standard handles given to a child must be inheritable.
  HANDLE input = ::GetStdHandle(STD_INPUT_HANDLE);
  HANDLE inputCopy = nullptr;
  if (input != nullptr && input != INVALID_HANDLE_VALUE &&
      ::DuplicateHandle(::GetCurrentProcess(), input, ::GetCurrentProcess(), &inputCopy, 0, TRUE,
                        DUPLICATE_SAME_ACCESS)) {
    input = inputCopy;
  }
  std::wstring line;
  for (const std::string& arg : command) {
    if (!line.empty()) line += L' ';
    appendQuoted(line, toWide(arg));
  }
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = input;
  startup.hStdOutput = writes[0];
  startup.hStdError = writes[1];
  PROCESS_INFORMATION process{};
  ::SetConsoleCtrlHandler(onControl, TRUE);
  const BOOL started = ::CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE, 0, nullptr,
                                        nullptr, &startup, &process);
  const DWORD startError = ::GetLastError();
  for (HANDLE handle : writes) ::CloseHandle(handle);
  if (inputCopy != nullptr) ::CloseHandle(inputCopy);
  if (!started) {
    for (HANDLE handle : reads) ::CloseHandle(handle);
    error = "cannot run " + command[0] + ": " + describe(startError);
    return 127;
  }
  ::CloseHandle(process.hThread);
  // One thread per pipe: lines are written in the order they arrive.
  std::string outFailed;
  std::string errFailed;
  std::thread errors([&] { pump(reads[1], err, false, errFailed); });
  pump(reads[0], out, false, outFailed);
  errors.join();
  if (!outFailed.empty() || !errFailed.empty()) {
    error = "cannot read the output of " + command[0] + ": " +
            (outFailed.empty() ? errFailed : outFailed);
  }
  for (HANDLE handle : reads) ::CloseHandle(handle);
  ::WaitForSingleObject(process.hProcess, INFINITE);
  DWORD code = 1;
  ::GetExitCodeProcess(process.hProcess, &code);
  ::CloseHandle(process.hProcess);
  return static_cast<int>(code);
}

void startHook(const std::string& command, const std::string& argument) {
  // /s: cmd takes everything between the first and the last quote as the
  // command line, so the name, quoted, stays one argument.
  std::wstring line =
      L"cmd.exe /d /s /c \"" + toWide(command) + L" \"" + toWide(argument) + L"\"\"";
  HANDLE err = nullptr;
  if (!::DuplicateHandle(::GetCurrentProcess(), ::GetStdHandle(STD_ERROR_HANDLE),
                         ::GetCurrentProcess(), &err, 0, TRUE, DUPLICATE_SAME_ACCESS)) {
    err = nullptr;
  }
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdOutput = err;
  startup.hStdError = err;
  PROCESS_INFORMATION started{};
  if (::CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr,
                       nullptr, &startup, &started)) {
    // Nothing waits for it: its handles go at once, and with them the
    // process object once it ends.
    ::CloseHandle(started.hThread);
    ::CloseHandle(started.hProcess);
  }
  if (err != nullptr) ::CloseHandle(err);
}

}  // namespace velmor::tool
