// Failures that no step of the write handles, and how the operator is told of
// them: the application's exception report.
#pragma once

#include <windows.h>

#include <stdexcept>
#include <string>

namespace quenvory {

// The root kind of failure: carries a message for the operator (UTF-8).
class AppError : public std::runtime_error {
 public:
  explicit AppError(const std::string& message) : std::runtime_error(message) {}
};

// A failure that has already been dealt with: ends the handler, is never
// reported.
class SilentAbort : public AppError {
 public:
  SilentAbort() : AppError("") {}
};

// The report's text: a period is appended unless the text is empty or ends in
// a character whose byte is at most that of ".", so "abc" becomes "abc." and
// "abc!" or "abc " stay as they are. A multi-byte character always gets one.
std::string withPeriod(const std::string& text);

// The executable's file name without its folder, cut at its first "." and
// lower-cased after its first character (WRITER.EXE gives Writer).
std::wstring titleFromPath(const std::wstring& path);
// The title of this process's executable; the caption of every report.
const std::wstring& applicationTitle();

// Shows the report for the exception being handled: silent aborts are
// ignored, the root kind shows its message, anything else a generic one.
// Call only from inside a catch block.
void reportCurrentException() noexcept;

// Shows `message` in the report: the period rule, the application title as
// caption, the error icon, and every window of the application disabled
// until the operator closes it.
void showExceptionReport(const std::string& message) noexcept;

// The generic message for a failure of another kind than the root kind.
std::string genericFailureMessage(const char* detail);

// Runs `body`, reporting whatever it throws: the guard at every boundary where
// the system calls back into the application (window procedures, dialog
// hooks), so that no exception unwinds through a system frame.
template <typename Result, typename Body>
Result guarded(Result onFailure, Body&& body) noexcept {
  try {
    return body();
  } catch (...) {
    reportCurrentException();
    return onFailure;
  }
}

}  // namespace quenvory
