// What a click, a close or the end of the session does while a run is under
// way: never a second run, never a run cut short beneath the window.
#include <atomic>
#include <thread>

#include "tests/win32/ui/run_fixture.h"

using namespace ui_test;

namespace {

class RunLifecycleTest : public RunTest {};

// A second click while a write runs, whether during its event processing or
// while one of its message boxes is open, never starts a second write.
TEST_F(RunLifecycleTest, SecondClickDuringARunStartsNothing) {
  addCard("G", disks::SimulatedDrive::Kind::RemovableCard);
  // Claims 1000 blocks, holds 600 and a half: the run stops at a message box.
  offerImage(L"short.S7img", imageBytes(1000, 1000 - 1236, 600 * 512 + 256));
  click("btPickFile");
  watcher.onFileDialog(nullptr);

  const HWND form1 = form->handle();
  const auto clickStart = [&] {
    SendMessageW(form1, WM_COMMAND, MAKEWPARAM(quenvory::kBtStart, BN_CLICKED),
                 reinterpret_cast<LPARAM>(form->control("btStart")));
  };
  bool startEnabled = true, pickEnabled = true, driveEnabled = false;
  form->duringRun = [&] {
    startEnabled = IsWindowEnabled(form->control("btStart"));
    pickEnabled = IsWindowEnabled(form->control("btPickFile"));
    driveEnabled = IsWindowEnabled(form->control("cbDrive"));
    clickStart();
  };
  watcher.onBox([&](HWND, const SeenBox& box) {
    if (box.caption != L"surprised") return;
    // A click that reaches the window all the same (the box disables it).
    PostMessageW(form1, WM_COMMAND, MAKEWPARAM(quenvory::kBtStart, BN_CLICKED),
                 reinterpret_cast<LPARAM>(form->control("btStart")));
    std::this_thread::sleep_for(200ms);
  });
  click("btStart");
  ASSERT_TRUE(watcher.waitForBoxes(2, 10s));
  pumpMessages();

  EXPECT_EQ(
      messages(),
      (Messages{{L"unexpected shortness of image file at block 600 , good luck", L"surprised"},
                {L"done", L"Quenvory"}}));
  EXPECT_FALSE(startEnabled);
  EXPECT_FALSE(pickEnabled);
  EXPECT_TRUE(driveEnabled);
  EXPECT_EQ(std::count(journal.begin(), journal.end(), "query G:"), 1);
  EXPECT_TRUE(IsWindowEnabled(form->control("btStart")));
  EXPECT_TRUE(IsWindowEnabled(form->control("btPickFile")));
  EXPECT_TRUE(nothingOpen());
}

// The system's question whether the session may end, asked the way the
// system asks it: from another thread, waiting for the answer.
bool sessionMayEnd(HWND window) {
  DWORD_PTR answer = 0;
  SendMessageTimeoutW(window, WM_QUERYENDSESSION, 0, ENDSESSION_LOGOFF, SMTO_BLOCK, 5000, &answer);
  return answer != 0;
}

// What the thread has asked of the system's power management, read without
// changing it (a request without ES_CONTINUOUS does not replace a lasting
// one). Under Wine this is the request as Wine keeps it; that the machine
// then stays awake cannot be seen here, nor the reason the window gives for
// holding back a shut-down, which Wine does not keep.
EXECUTION_STATE executionState() { return SetThreadExecutionState(ES_SYSTEM_REQUIRED); }

// During a run the session is held back and the system kept awake, while
// events are processed and while one of the run's message boxes is open;
// before and after the run the session may end and nothing is asked.
TEST_F(RunLifecycleTest, SessionIsHeldBackAndTheSystemKeptAwakeDuringARunOnly) {
  addCard("G", disks::SimulatedDrive::Kind::RemovableCard);
  // Claims 1000 blocks, holds 600 and a half: the run stops at a message box.
  offerImage(L"short.S7img", imageBytes(1000, 1000 - 1236, 600 * 512 + 256));
  click("btPickFile");
  const HWND window = form->handle();

  EXPECT_EQ(SendMessageW(window, WM_QUERYENDSESSION, 0, 0), TRUE);
  bool duringEvents = true, whileBoxOpen = true;
  EXECUTION_STATE asked = 0;
  form->duringRun = [&] {
    asked = executionState();
    // The question reaches the window while the run processes its events.
    std::atomic<bool> answered{false};
    std::thread system([&] {
      duringEvents = sessionMayEnd(window);
      answered = true;
    });
    waitFor([&] { return answered.load(); }, 5s);
    system.join();
  };
  watcher.onBox([&](HWND, const SeenBox& box) {
    if (box.caption == L"surprised") whileBoxOpen = sessionMayEnd(window);
  });
  click("btStart");
  ASSERT_TRUE(watcher.waitForBoxes(2, 10s));
  EXPECT_EQ(watcher.boxes().back().text, L"done");
  EXPECT_FALSE(duringEvents);
  EXPECT_FALSE(whileBoxOpen);
  EXPECT_EQ(asked, EXECUTION_STATE(ES_CONTINUOUS | ES_SYSTEM_REQUIRED));

  EXPECT_TRUE(sessionMayEnd(window));
  EXPECT_EQ(executionState() & ES_SYSTEM_REQUIRED, 0u);
  EXPECT_TRUE(IsWindow(window));
}

// The end of the session, told to the window during a run: a session that
// goes on changes nothing; one that ends anyway lets the run finish and
// closes the window after it, never beneath it.
TEST_F(RunLifecycleTest, SessionEndDuringARunNeverCutsTheRunShort) {
  struct Case {
    const char* what;
    bool ending;
    bool windowAfter;
  };
  for (const Case& c :
       {Case{"the session goes on", false, true}, Case{"the session ends anyway", true, false}}) {
    SCOPED_TRACE(c.what);
    if (form == nullptr) openWindow();
    addCard("G", disks::SimulatedDrive::Kind::RemovableCard);
    offerImage(L"image.S7img", completeImage(250));
    const HWND window = form->handle();
    const std::size_t before = watcher.boxes().size();
    bool openAfterMessage = false;
    form->duringRun = [&] {
      SendMessageW(window, WM_ENDSESSION, c.ending, ENDSESSION_LOGOFF);
      openAfterMessage = IsWindow(window) && IsWindowVisible(window);
    };
    click("btStart");
    EXPECT_TRUE(openAfterMessage);
    ASSERT_TRUE(watcher.waitForBoxes(before + 1, 10s));
    EXPECT_EQ(watcher.boxes().back().text, L"done");
    const std::vector<std::uint8_t> image = completeImage(250), card = readFile(cardFile);
    ASSERT_GE(card.size(), image.size() - 8);
    EXPECT_TRUE(std::equal(image.begin() + 8, image.end(), card.begin()));
    EXPECT_TRUE(nothingOpen());
    pumpMessages();
    EXPECT_EQ(waitFor([&] { return !IsWindow(window); }, c.windowAfter ? 300ms : 5s),
              !c.windowAfter);
    watcher.onBox(nullptr);
    form.reset();
  }
}

}  // namespace
