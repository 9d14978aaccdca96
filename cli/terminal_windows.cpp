#include <windows.h>

#include <iostream>

#include "cli/terminal.h"

namespace cli {
namespace {

bool isConsole(DWORD which) {
  DWORD mode = 0;
  return GetConsoleMode(GetStdHandle(which), &mode) != 0;
}

std::wstring toWide(const std::string& text) {
  if (text.empty()) return {};
  const int size =
      MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring wide(static_cast<std::size_t>(size), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(), size);
  return wide;
}

// A console is written in UTF-16, whatever its code page; a pipe or a file
// gets the UTF-8 bytes.
void writeTo(DWORD which, const std::string& text) {
  const HANDLE handle = GetStdHandle(which);
  if (handle == nullptr || handle == INVALID_HANDLE_VALUE || text.empty()) return;
  DWORD done = 0;
  if (isConsole(which)) {
    const std::wstring wide = toWide(text);
    WriteConsoleW(handle, wide.data(), static_cast<DWORD>(wide.size()), &done, nullptr);
    return;
  }
  const char* next = text.data();
  DWORD left = static_cast<DWORD>(text.size());
  while (left > 0 && WriteFile(handle, next, left, &done, nullptr) && done > 0) {
    next += done;
    left -= done;
  }
}

}  // namespace

bool inputIsTerminal() { return isConsole(STD_INPUT_HANDLE); }

bool errorsAreTerminal() {
  const HANDLE handle = GetStdHandle(STD_ERROR_HANDLE);
  DWORD mode = 0;
  if (!GetConsoleMode(handle, &mode)) return false;
  // Lines are redrawn in place with control sequences, which a console
  // follows only when asked to; a console that cannot gets no progress line.
  if (mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) return true;
  return SetConsoleMode(handle, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0;
}

void writeErrors(const std::string& text) { writeTo(STD_ERROR_HANDLE, text); }

void writeOutput(const std::string& text) { writeTo(STD_OUTPUT_HANDLE, text); }

bool readInputLine(std::string& line) { return static_cast<bool>(std::getline(std::cin, line)); }

}  // namespace cli
