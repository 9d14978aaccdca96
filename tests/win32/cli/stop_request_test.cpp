// The console's stop events reach the command line's handler: Ctrl-C and
// Ctrl-Break note a stop and let the process go on, so that its runs can end
// the normal way.
#include "cli/stop_request.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <chrono>
#include <thread>

namespace {

bool stopSeenWithin(std::chrono::milliseconds limit) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < end) {
    if (cli::stopRequested()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return cli::stopRequested();
}

// Wine without a console window (the tests' null graphics driver) cannot
// raise a console event at all; there the case says so and skips, and the
// handler is shown on a real Windows console.
TEST(StopRequest, CtrlCAndCtrlBreakNoteAStop_WineRaisesNoEventWithoutAConsole) {
  if (GetConsoleWindow() == nullptr) AllocConsole();
  cli::installStopHandlers();
  if (!GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0))
    GTEST_SKIP() << "no console event can be raised here (error " << GetLastError() << ")";
  EXPECT_TRUE(stopSeenWithin(std::chrono::seconds(3)));
  for (const DWORD event : {DWORD{CTRL_C_EVENT}, DWORD{CTRL_BREAK_EVENT}}) {
    SCOPED_TRACE(event);
    cli::clearStopRequest();
    ASSERT_TRUE(GenerateConsoleCtrlEvent(event, 0)) << GetLastError();
    EXPECT_TRUE(stopSeenWithin(std::chrono::seconds(3)));
  }
  // A second request while the first is handled changes nothing.
  ASSERT_TRUE(GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0));
  EXPECT_TRUE(stopSeenWithin(std::chrono::seconds(3)));
  cli::clearStopRequest();
}

}  // namespace
