// The console on Windows: the standard handles written and read with
// WriteFile and ReadFile. The usage screen and the failure report are UTF-8
// inside the program (they echo arguments and name paths the ANSI code page
// may not spell) and go out converted to the code page their reader expects.
#include "cli/console.h"

#include <windows.h>

#include <string>

#include "base/failure.h"
#include "os/win32_text.h"

namespace varnok {

namespace {

constexpr char kCtrlZ = 26;
constexpr int kStdinClosedCode = 104;
constexpr int kStdoutClosedCode = 105;
constexpr int kDiskFullCode = 101;
constexpr DWORD kMaxWrite = 1 << 30;

bool g_input_closed = false;
bool g_output_closed = false;

bool IsClosed(HANDLE handle) { return handle == nullptr || handle == INVALID_HANDLE_VALUE; }

// The console error code of a failed write to standard output. A handle
// that cannot be written is standard output not open; a pipe whose reader
// is gone is one failure, however the pipe reports it.
int WriteErrorCode(DWORD error) {
  switch (error) {
    case ERROR_INVALID_HANDLE:
    case ERROR_INVALID_FUNCTION: return kStdoutClosedCode;
    case ERROR_HANDLE_DISK_FULL:
    case ERROR_DISK_FULL: return kDiskFullCode;
    case ERROR_NO_DATA:
    case ERROR_PIPE_NOT_CONNECTED: return ERROR_BROKEN_PIPE;
    default: return static_cast<int>(error);
  }
}

// The console error code of a failed read: a handle that cannot be read is
// standard input not open.
int ReadErrorCode(DWORD error) {
  if (error == ERROR_INVALID_HANDLE || error == ERROR_INVALID_FUNCTION) return kStdinClosedCode;
  return static_cast<int>(error);
}

// Writes every byte of `text`; 0 or the error of the write that failed.
DWORD WriteAll(HANDLE handle, std::string_view text) {
  while (!text.empty()) {
    const DWORD size = text.size() < kMaxWrite ? static_cast<DWORD>(text.size()) : kMaxWrite;
    DWORD written = 0;
    if (!WriteFile(handle, text.data(), size, &written, nullptr)) return GetLastError();
    if (written == 0) return ERROR_WRITE_FAULT;
    text.remove_prefix(written);
  }
  return 0;
}

// One read from standard input; 0 at the end of the input, a pipe whose
// writer has closed it included.
DWORD ReadInput(HANDLE input, char* buffer, DWORD size) {
  DWORD got = 0;
  if (ReadFile(input, buffer, size, &got, nullptr)) return got;
  const DWORD error = GetLastError();
  if (error == ERROR_BROKEN_PIPE || error == ERROR_HANDLE_EOF) return 0;
  RaiseInOutError(ReadErrorCode(error));
}

// Position of the byte that ends the wait in `buffer`, or `size` if none.
DWORD FindWaitEnd(const char* buffer, DWORD size) {
  for (DWORD i = 0; i < size; ++i) {
    if (buffer[i] == '\n' || buffer[i] == kCtrlZ) return i;
  }
  return size;
}

// From a file the wait reads in blocks and then moves back, so the rest of
// the input stays for whoever reads next. Pipes and consoles are read a
// byte at a time for the same reason.
void WaitInFile(HANDLE input) {
  char buffer[4096];
  while (DWORD got = ReadInput(input, buffer, sizeof buffer)) {
    const DWORD end = FindWaitEnd(buffer, got);
    if (end < got) {
      LARGE_INTEGER back;
      back.QuadPart = static_cast<LONGLONG>(end) + 1 - got;
      SetFilePointerEx(input, back, nullptr, FILE_CURRENT);
      return;
    }
  }
}

// The code page text written to `handle` goes out in: a console shows text
// in its output code page (which "chcp" changes); a file or pipe gets the
// OEM code page, as the console would have shown it.
UINT ShownCodePage(HANDLE handle) {
  DWORD mode = 0;
  if (GetConsoleMode(handle, &mode)) {
    if (const UINT console = GetConsoleOutputCP()) return console;
  }
  return CP_OEMCP;
}

// `text` as written to `handle`: in its code page, a character that page
// lacks as its default character ("?"), never as a look-alike that could
// pass for a quote; unconverted where it cannot be converted at all.
std::string ShownText(std::string_view text, HANDLE handle) {
  std::string converted = CodePageFromUtf8(text, ShownCodePage(handle));
  return converted.empty() ? std::string(text) : converted;
}

}  // namespace

void PrepareConsole() {
  // A drive without a medium fails the search quietly instead of asking;
  // the modes the parent chose stay.
  SetErrorMode(GetErrorMode() | SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
  g_input_closed = IsClosed(GetStdHandle(STD_INPUT_HANDLE));
  g_output_closed = IsClosed(GetStdHandle(STD_OUTPUT_HANDLE));
}

void WriteOutputLine(std::string_view line) {
  if (g_output_closed) RaiseInOutError(kStdoutClosedCode);
  HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
  std::string text = ShownText(line, output);
  text.append(kLineEnd);
  if (DWORD error = WriteAll(output, text)) {
    RaiseInOutError(WriteErrorCode(error));
  }
}

void WaitForEnter() {
  if (g_input_closed) RaiseInOutError(kStdinClosedCode);
  HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
  if (GetFileType(input) == FILE_TYPE_DISK) return WaitInFile(input);
  char c = 0;
  while (ReadInput(input, &c, 1) == 1) {
    if (c == '\n' || c == kCtrlZ) return;
  }
}

void WriteErrorText(std::string_view text) {
  HANDLE error = GetStdHandle(STD_ERROR_HANDLE);
  if (IsClosed(error)) return;
  WriteAll(error, ShownText(text, error));
}

}  // namespace varnok
