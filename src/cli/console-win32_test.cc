#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "cli/console.h"

namespace varnok {
namespace {

// What WriteErrorText writes to standard error for `text`.
std::string ErrorTextBytes(const std::string& text) {
  HANDLE read_end = nullptr, write_end = nullptr;
  if (!CreatePipe(&read_end, &write_end, nullptr, 0)) return "no pipe";
  HANDLE saved = GetStdHandle(STD_ERROR_HANDLE);
  SetStdHandle(STD_ERROR_HANDLE, write_end);
  WriteErrorText(text);
  SetStdHandle(STD_ERROR_HANDLE, saved);
  CloseHandle(write_end);
  std::string bytes;
  char buffer[256];
  DWORD got = 0;
  while (ReadFile(read_end, buffer, sizeof buffer, &got, nullptr) && got > 0) bytes.append(buffer, got);
  CloseHandle(read_end);
  return bytes;
}

TEST(WriteErrorText, ConvertsFromTheAnsiToTheOemCodePage) {
  if (GetACP() != 1252 || GetOEMCP() != 437) GTEST_SKIP() << "needs code pages 1252 and 437";
  // e acute and u umlaut: E9 and FC in 1252, 82 and 81 in 437.
  EXPECT_EQ(ErrorTextBytes("C:\\Caf\xE9\\\xFC.ini\r\n"), "C:\\Caf\x82\\\x81.ini\r\n");
  EXPECT_EQ(ErrorTextBytes(""), "");
}

}  // namespace
}  // namespace varnok
