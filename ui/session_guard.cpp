#include "ui/session_guard.h"

namespace quenvory {

SessionGuard::SessionGuard(HWND window, const wchar_t* reason)
    : window_(window),
      previous_(SetThreadExecutionState(ES_CONTINUOUS | ES_SYSTEM_REQUIRED)),
      reasonGiven_(window != nullptr && ShutdownBlockReasonCreate(window, reason) != FALSE) {}

SessionGuard::~SessionGuard() {
  // The window may be gone by now: its reason went with it.
  if (reasonGiven_ && IsWindow(window_)) ShutdownBlockReasonDestroy(window_);
  // Back to what the thread asked for before; a state that asked for nothing
  // lasting becomes ES_CONTINUOUS alone, which clears the lasting request.
  if (previous_ != 0)
    SetThreadExecutionState((previous_ & ES_CONTINUOUS) != 0 ? previous_ : ES_CONTINUOUS);
}

}  // namespace quenvory
