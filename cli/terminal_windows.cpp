#include <windows.h>

#include <memory>

#include "cli/stop_request.h"
#include "cli/stop_request_wait.h"
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

std::string toUtf8(const std::wstring& wide) {
  if (wide.empty()) return {};
  const int size = WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()),
                                       nullptr, 0, nullptr, nullptr);
  std::string text(static_cast<std::size_t>(size), '\0');
  WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), text.data(), size,
                      nullptr, nullptr);
  return text;
}

// A line of standard input as its reading thread leaves it; the thread and
// the question share it, so that a question that stops waiting leaves the
// thread nothing freed under it.
struct PendingLine {
  std::string text;
  bool complete = false;
};

// Reads one line into the PendingLine that `param` shares. A console gives
// the line as typed, in UTF-16; a pipe or a file gives bytes, read one at a
// time so that the next question finds the next line still there.
DWORD WINAPI readLine(void* param) {
  const std::unique_ptr<std::shared_ptr<PendingLine>> shared(
      static_cast<std::shared_ptr<PendingLine>*>(param));
  PendingLine& pending = **shared;
  const HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
  DWORD mode = 0;
  DWORD got = 0;
  if (GetConsoleMode(input, &mode)) {
    std::wstring wide;
    wchar_t chunk[256];
    // Ctrl-C ends the read with nothing.
    while (wide.find(L'\n') == std::wstring::npos &&
           ReadConsoleW(input, chunk, 256, &got, nullptr) && got > 0)
      wide.append(chunk, got);
    const std::size_t end = wide.find(L'\n');
    if (end == std::wstring::npos) return 0;
    wide.resize(end);
    if (!wide.empty() && wide.back() == L'\r') wide.pop_back();
    pending.text = toUtf8(wide);
    pending.complete = true;
    return 0;
  }
  char byte = 0;
  while (ReadFile(input, &byte, 1, &got, nullptr) && got == 1) {
    if (byte == '\n') {
      pending.complete = true;
      return 0;
    }
    pending.text += byte;
  }
  // The input's end: its last line may lack its end.
  pending.complete = !pending.text.empty();
  return 0;
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

// The line is read on a thread of its own while the question waits for it
// or for the stop's event, whichever comes first: a Ctrl-C that lands just
// before the read began has already set the event.
bool readInputLine(std::string& line) {
  if (stopRequested()) return false;
  const auto pending = std::make_shared<PendingLine>();
  auto* shared = new std::shared_ptr<PendingLine>(pending);
  const HANDLE reader = CreateThread(nullptr, 0, readLine, shared, 0, nullptr);
  if (reader == nullptr) {
    delete shared;
    return false;
  }
  const HANDLE waits[2] = {reader, static_cast<HANDLE>(stopEvent())};
  const DWORD first = WaitForMultipleObjects(waits[1] != nullptr ? 2 : 1, waits, FALSE, INFINITE);
  if (first != WAIT_OBJECT_0) {
    // A stop: the read is called off where the system can, and otherwise
    // left to end with the process, which ends soon after.
    CancelSynchronousIo(reader);
    CloseHandle(reader);
    return false;
  }
  CloseHandle(reader);
  if (!pending->complete || stopRequested()) return false;
  line = pending->text;
  return true;
}

}  // namespace cli
