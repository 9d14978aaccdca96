// Ctrl-C and Ctrl-Break note a stop; so do the console window closed, the
// user logging off and the system shutting down, after which the system ends
// the process a few seconds later: for those the handler holds the process
// until the command has released the cards and written its record, or
// until its time is nearly up.
#include <windows.h>

#include <atomic>

#include "cli/stop_request.h"

namespace cli {
namespace {

std::atomic<bool> requested{false};
static_assert(std::atomic<bool>::is_always_lock_free);

// Set once the command is finished; manual reset, so that every waiting
// handler call sees it.
HANDLE finished = nullptr;

// The system waits about five seconds after a close before it ends the
// process; a run stops within one batch, well inside this.
constexpr DWORD kCloseGraceMs = 4000;

BOOL WINAPI noteStop(DWORD event) {
  requested.store(true);
  switch (event) {
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
      // Returning ends the process at once: not before the cards are free.
      if (finished != nullptr) WaitForSingleObject(finished, kCloseGraceMs);
      return TRUE;
    default:
      return TRUE;
  }
}

}  // namespace

void installStopHandlers() {
  if (finished == nullptr) finished = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  SetConsoleCtrlHandler(noteStop, TRUE);
}

bool stopRequested() { return requested.load(); }

void commandFinished() {
  if (finished != nullptr) SetEvent(finished);
}

void requestStop() { requested.store(true); }

void clearStopRequest() { requested.store(false); }

}  // namespace cli
