// What a run asks of the system while it writes the card: no sleep, and no
// log-off or shut-down until it has ended, with the reason shown to the user
// who asks for one. A card cut off half-way says nothing of it.
#pragma once

#include <windows.h>

namespace quenvory {

class SessionGuard {
 public:
  // Keeps the system from sleeping for as long as the guard lives, and tells
  // the system why `window` holds back the end of the session meanwhile (the
  // window itself answers the system's query).
  SessionGuard(HWND window, const wchar_t* reason);
  ~SessionGuard();
  SessionGuard(const SessionGuard&) = delete;
  SessionGuard& operator=(const SessionGuard&) = delete;

 private:
  HWND window_;
  EXECUTION_STATE previous_;
  bool reasonGiven_;
};

}  // namespace quenvory
