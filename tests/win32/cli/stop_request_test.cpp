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

// Each case on a console of its own, so that its events reach no other
// process (ctest, the shell). Under Wine this is also the only console on
// which a test can raise an event: the one a test starts with has no window,
// and Wine refuses events on it.
class StopRequest : public ::testing::Test {
 protected:
  void SetUp() override {
    FreeConsole();
    ASSERT_TRUE(AllocConsole()) << GetLastError();
    cli::installStopHandlers();
    cli::clearStopRequest();
  }
  void TearDown() override { cli::clearStopRequest(); }
};

TEST_F(StopRequest, CtrlCNotesAStop) {
  ASSERT_TRUE(GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0)) << GetLastError();
  EXPECT_TRUE(stopSeenWithin(std::chrono::seconds(3)));
  // The handler stays for a second Ctrl-C: it notes that one too, and the
  // process lives on.
  cli::clearStopRequest();
  ASSERT_TRUE(GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0)) << GetLastError();
  EXPECT_TRUE(stopSeenWithin(std::chrono::seconds(3)));
}

// Wine raises Ctrl-C alone: there this case says so and skips, and Ctrl-Break
// is shown on a real Windows console.
TEST_F(StopRequest, CtrlBreakNotesAStop_WineRaisesNoCtrlBreak) {
  if (!GenerateConsoleCtrlEvent(CTRL_BREAK_EVENT, 0))
    GTEST_SKIP() << "no Ctrl-Break can be raised here (error " << GetLastError() << ")";
  EXPECT_TRUE(stopSeenWithin(std::chrono::seconds(3)));
}

}  // namespace
