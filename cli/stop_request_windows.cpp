// Ctrl-C and Ctrl-Break note a stop; so do the console window closed, the
// user logging off and the system shutting down, after which the system ends
// the process a few seconds later: for those the handler holds the process
// until the command has released the cards and written its record, or
// until its time is nearly up.
//
// A console program that has user32 loaded is never told of a log-off or a
// shut-down through its console handler, and this one has it loaded whatever
// it does: SetupAPI, which finds a card's removal policy, brings it in. So
// the session's end reaches it the way it reaches a window program: a hidden
// top-level window on a thread of its own answers WM_QUERYENDSESSION and
// WM_ENDSESSION with the same stop, and holds the session's end back, with a
// reason the system shows, while the runs end.
#include <windows.h>

#include <atomic>

#include "cli/stop_request.h"
#include "cli/stop_request_wait.h"

namespace cli {
namespace {

std::atomic<bool> requested{false};
static_assert(std::atomic<bool>::is_always_lock_free);

// Set once the command is finished; manual reset, so that every waiting
// handler call sees it.
HANDLE finished = nullptr;
// Set by every stop, for the waits on the operator's answer; manual reset.
HANDLE stopped = nullptr;

// The system waits about five seconds after a close, a log-off or a
// shut-down before it ends the process; a run stops within one batch, and
// its record is one line, well inside this.
constexpr DWORD kCloseGraceMs = 4000;

// The hidden window that hears of the session's end, found by its class.
constexpr const wchar_t* kSessionClass = L"QuenvoryCliSession";
// Shown by the system to a user who asks for a log-off or shut-down while a
// command works on a card.
constexpr const wchar_t* kSessionReason =
    L"quenvory-cli is stopping its work on the MMC card and releasing it";
// Posted by the command's end: the session need not wait for it any more.
constexpr UINT kSessionFree = WM_APP + 1;
std::atomic<HWND> sessionWindow{nullptr};

void note() {
  requested.store(true);
  if (stopped != nullptr) SetEvent(stopped);
}

bool isFinished() {
  return finished != nullptr && WaitForSingleObject(finished, 0) == WAIT_OBJECT_0;
}

// Returning from these lets the system end the process at once: not before
// the cards are free and the record written, and not past the system's
// patience either, or the record's line is lost in a process ended mid-way.
void holdUntilFinished() {
  if (finished != nullptr) WaitForSingleObject(finished, kCloseGraceMs);
}

BOOL WINAPI noteStop(DWORD event) {
  note();
  switch (event) {
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
      holdUntilFinished();
      return TRUE;
    default:
      return TRUE;
  }
}

LRESULT CALLBACK sessionProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_QUERYENDSESSION:
      // The session is to end: the runs stop now, and the end waits for
      // them, the reason shown, until the cards are free.
      note();
      return isFinished() ? TRUE : FALSE;
    case WM_ENDSESSION:
      // Ending after all (a forced end, or the user chose to): the process
      // may be ended as soon as this returns.
      if (wParam != FALSE) {
        note();
        holdUntilFinished();
      }
      return 0;
    case WM_CLOSE:
      // Asked to end as a program with a window is (taskkill without /F):
      // a stop, as a terminate signal is elsewhere; the window stays, so
      // that the session's end is still heard.
      note();
      return 0;
    case kSessionFree:
      ShutdownBlockReasonDestroy(window);
      return 0;
    default:
      return DefWindowProcW(window, message, wParam, lParam);
  }
}

DWORD WINAPI sessionThread(void*) {
  const HINSTANCE instance = GetModuleHandleW(nullptr);
  WNDCLASSEXW type = {};
  type.cbSize = sizeof type;
  type.lpfnWndProc = sessionProc;
  type.hInstance = instance;
  type.lpszClassName = kSessionClass;
  RegisterClassExW(&type);
  // Top-level, never shown: a message-only window hears no session's end.
  const HWND window = CreateWindowExW(0, kSessionClass, L"quenvory-cli", WS_POPUP, 0, 0, 0, 0,
                                      nullptr, nullptr, instance, nullptr);
  if (window == nullptr) return 0;
  ShutdownBlockReasonCreate(window, kSessionReason);
  sessionWindow.store(window);
  MSG message;
  while (GetMessageW(&message, nullptr, 0, 0) > 0) DispatchMessageW(&message);
  return 0;
}

// The hidden window, once per process, on a thread that lives as long as the
// process. The command does not wait for it: it is there long before a run
// has begun to write.
void listenForSessionEnd() {
  static bool started = false;
  if (started) return;
  started = true;
  if (const HANDLE thread = CreateThread(nullptr, 0, sessionThread, nullptr, 0, nullptr))
    CloseHandle(thread);
}

}  // namespace

void installStopHandlers() {
  if (finished == nullptr) finished = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (stopped == nullptr) stopped = CreateEventW(nullptr, TRUE, requested.load(), nullptr);
  SetConsoleCtrlHandler(noteStop, TRUE);
  listenForSessionEnd();
}

bool stopRequested() { return requested.load(); }

void commandFinished() {
  if (finished != nullptr) SetEvent(finished);
  if (const HWND window = sessionWindow.load()) PostMessageW(window, kSessionFree, 0, 0);
}

void requestStop() { note(); }

void clearStopRequest() {
  requested.store(false);
  if (stopped != nullptr) ResetEvent(stopped);
  if (finished != nullptr) ResetEvent(finished);
}

void* stopEvent() { return stopped; }

}  // namespace cli
