// The console's stop events reach the command line's handler: Ctrl-C and
// Ctrl-Break note a stop and let the process go on, so that its runs can end
// the normal way. The question whether to write sees every stop, and the
// session's end reaches the command line through its hidden window.
#include "cli/stop_request.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <chrono>
#include <condition_variable>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "cli/record.h"
#include "cli/terminal.h"
#include "tests/support/test_support.h"

namespace {

std::string fileText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

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

// The operator's answer, read while the stop's event is watched beside it.
// Each read runs on a thread of its own, so that a read that never ends
// fails its case instead of hanging the test program.
struct ReadResult {
  bool ended = false;
  bool answered = false;
  std::string line;
};

ReadResult readWithin(std::chrono::milliseconds limit, const std::function<void()>& meanwhile) {
  struct Shared {
    std::mutex mutex;
    std::condition_variable ended;
    ReadResult result;
  };
  const auto shared = std::make_shared<Shared>();
  std::thread([shared] {
    std::string line;
    const bool answered = cli::readInputLine(line);
    const std::lock_guard<std::mutex> lock(shared->mutex);
    shared->result = {true, answered, line};
    shared->ended.notify_all();
  }).detach();
  meanwhile();
  std::unique_lock<std::mutex> lock(shared->mutex);
  shared->ended.wait_for(lock, limit, [&] { return shared->result.ended; });
  return shared->result;
}

void typeOnConsole(const std::wstring& keys) {
  std::vector<INPUT_RECORD> records;
  for (wchar_t key : keys) {
    for (const BOOL down : {TRUE, FALSE}) {
      INPUT_RECORD record = {};
      record.EventType = KEY_EVENT;
      record.Event.KeyEvent.bKeyDown = down;
      record.Event.KeyEvent.wRepeatCount = 1;
      record.Event.KeyEvent.wVirtualKeyCode = key == L'\r' ? VK_RETURN : VkKeyScanW(key) & 0xFF;
      record.Event.KeyEvent.uChar.UnicodeChar = key;
      records.push_back(record);
    }
  }
  DWORD written = 0;
  WriteConsoleInputW(GetStdHandle(STD_INPUT_HANDLE), records.data(),
                     static_cast<DWORD>(records.size()), &written);
}

// What is typed is the answer: the read that can be called off still reads.
TEST_F(StopRequest, TheAnswerTypedOnTheConsoleIsRead) {
  const ReadResult read = readWithin(std::chrono::seconds(10), [] { typeOnConsole(L"y\r"); });
  ASSERT_TRUE(read.ended) << "the typed line was never read";
  EXPECT_TRUE(read.answered);
  EXPECT_EQ(read.line, "y");
}

// A stop asked for just before the question waits, or a Ctrl-C at any
// moment while it waits, ends the wait at once with no answer.
TEST_F(StopRequest, AStopBeforeOrWhileTheQuestionWaitsEndsTheWait) {
  {
    SCOPED_TRACE("asked before the wait");
    cli::requestStop();
    const ReadResult read = readWithin(std::chrono::seconds(10), [] {});
    ASSERT_TRUE(read.ended) << "the wait never saw the stop";
    EXPECT_FALSE(read.answered);
  }
  for (int round = 0; round < 20; ++round) {
    SCOPED_TRACE("Ctrl-C after " + std::to_string(round * 50) + " yields");
    cli::clearStopRequest();
    const ReadResult read = readWithin(std::chrono::seconds(10), [round] {
      for (int k = 0; k < round * 50; ++k) std::this_thread::yield();
      ASSERT_TRUE(GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0)) << GetLastError();
    });
    ASSERT_TRUE(read.ended) << "the wait never saw the stop";
    EXPECT_FALSE(read.answered);
  }
}

// The hidden window that hears of the session's end, as the system finds
// it: a top-level window of this process, by its class.
HWND findSessionWindow() {
  struct Search {
    HWND found = nullptr;
  } search;
  EnumWindows(
      [](HWND window, LPARAM param) -> BOOL {
        wchar_t name[64] = {};
        DWORD process = 0;
        GetWindowThreadProcessId(window, &process);
        if (process != GetCurrentProcessId() || !GetClassNameW(window, name, 64) ||
            std::wstring(name) != L"QuenvoryCliSession")
          return TRUE;
        reinterpret_cast<Search*>(param)->found = window;
        return FALSE;
      },
      reinterpret_cast<LPARAM>(&search));
  return search.found;
}

// The hidden window, once its thread has made it (the command does not
// wait for that); null when none comes.
HWND sessionWindow() {
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  HWND window = findSessionWindow();
  while (window == nullptr && std::chrono::steady_clock::now() < end) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    window = findSessionWindow();
  }
  return window;
}

// What the system's message to the window answers; -1 when it was not taken.
LRESULT tellSession(UINT message, WPARAM wParam) {
  DWORD_PTR answer = 0;
  if (!SendMessageTimeoutW(sessionWindow(), message, wParam, ENDSESSION_LOGOFF, SMTO_NORMAL, 30000,
                           &answer))
    return -1;
  return static_cast<LRESULT>(answer);
}

// A log-off: the query stops the run and is held back while it ends; the
// session's end waits until the run has written its record line and the
// command is finished, then lets the process go.
TEST_F(StopRequest, TheSessionsEndStopsTheRunAndWaitsForItsRecordLine) {
  ASSERT_NE(sessionWindow(), nullptr) << "no window hears of the session's end";
  testing_support::ScratchDir scratch;
  const std::string recordPath = scratch.path("record.csv");
  // A run as the command runs it, here without a card: batch after batch
  // until the stop, then its release, its record line and the command's end.
  std::thread run([&] {
    while (!cli::stopRequested()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    // The card's release takes its time.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    cli::Record record(recordPath);
    cli::RecordLine line;
    line.result = "stopped";
    std::string error;
    record.append(line, error);
    cli::commandFinished();
  });
  EXPECT_EQ(tellSession(WM_QUERYENDSESSION, 0), FALSE) << "the session's end was not held back";
  EXPECT_TRUE(cli::stopRequested());
  EXPECT_EQ(tellSession(WM_ENDSESSION, TRUE), 0);
  // Back from the session's end: the process may be gone from here on.
  const std::string record = fileText(recordPath);
  run.join();
  EXPECT_NE(record.find("stopped"), std::string::npos) << record;
  // The command finished: nothing holds the next session's end back.
  EXPECT_EQ(tellSession(WM_QUERYENDSESSION, 0), TRUE);
}

// A run that never finishes keeps the session's end no longer than the
// system waits for it before it ends the process anyway.
TEST_F(StopRequest, ARunThatNeverFinishesHoldsTheSessionsEndOnlyWhileTheSystemWaits) {
  ASSERT_NE(sessionWindow(), nullptr) << "no window hears of the session's end";
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(tellSession(WM_ENDSESSION, TRUE), 0);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  EXPECT_TRUE(cli::stopRequested());
}

// Asked to close as a window is (taskkill without /F): a stop, and the
// window stays to hear the session's end.
TEST_F(StopRequest, AskedToCloseItsWindowNotesAStopAndKeepsListening) {
  const HWND window = sessionWindow();
  ASSERT_NE(window, nullptr) << "no window hears of the session's end";
  DWORD_PTR answer = 0;
  ASSERT_TRUE(SendMessageTimeoutW(window, WM_CLOSE, 0, 0, SMTO_NORMAL, 30000, &answer));
  EXPECT_TRUE(cli::stopRequested());
  EXPECT_TRUE(IsWindow(window));
}

}  // namespace
