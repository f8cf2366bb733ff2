#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "cli/console.h"

namespace varnok {
namespace {

// What `write` writes to the standard handle `which` when that is a pipe.
template <typename Write>
std::string BytesWritten(DWORD which, Write write) {
  HANDLE read_end = nullptr, write_end = nullptr;
  if (!CreatePipe(&read_end, &write_end, nullptr, 0)) return "no pipe";
  HANDLE saved = GetStdHandle(which);
  SetStdHandle(which, write_end);
  write();
  SetStdHandle(which, saved);
  CloseHandle(write_end);
  std::string bytes;
  char buffer[256];
  DWORD got = 0;
  while (ReadFile(read_end, buffer, sizeof buffer, &got, nullptr) && got > 0) bytes.append(buffer, got);
  CloseHandle(read_end);
  return bytes;
}

std::string ErrorTextBytes(const std::string& text) {
  return BytesWritten(STD_ERROR_HANDLE, [&] { WriteErrorText(text); });
}

std::string OutputLineBytes(const std::string& line) {
  return BytesWritten(STD_OUTPUT_HANDLE, [&] { WriteOutputLine(line); });
}

// Standard error here is a pipe, not a console: the report goes out in the
// OEM code page.
TEST(WriteErrorText, ConvertsFromUtf8ToTheOemCodePageOutsideAConsole) {
  if (GetOEMCP() != 437) GTEST_SKIP() << "needs the OEM code page 437";
  // e acute and u umlaut: C3 A9 and C3 BC in UTF-8, 82 and 81 in 437.
  EXPECT_EQ(ErrorTextBytes("C:\\Caf\xC3\xA9\\\xC3\xBC.ini\r\n"), "C:\\Caf\x82\\\x81.ini\r\n");
  // A character 437 lacks becomes its default character, not stray bytes.
  EXPECT_EQ(ErrorTextBytes("\xCE\xA9\xE8\xA1\xA8"), "\xEA?");
  EXPECT_EQ(ErrorTextBytes(""), "");
}

// The usage screen echoes the arguments as given: converted as the report
// is, a character the code page lacks shown as "?", never as a look-alike
// (the fullwidth quotation mark is no '"'), and an unpaired surrogate too.
TEST(WriteOutputLine, ConvertsFromUtf8ToTheOemCodePageOutsideAConsole) {
  if (GetOEMCP() != 437) GTEST_SKIP() << "needs the OEM code page 437";
  EXPECT_EQ(OutputLineBytes("-P:Caf\xC3\xA9 \xCE\xA9"), "-P:Caf\x82 \xEA\r\n");
  EXPECT_EQ(OutputLineBytes("\"x\xEF\xBC\x82 \xED\xA0\x80\""), "\"x? ?\"\r\n");
  EXPECT_EQ(OutputLineBytes(""), "\r\n");
}

}  // namespace
}  // namespace varnok
