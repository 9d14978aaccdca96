// Closing the window while a run is under way: a stop request, asked once.
// Before any block has moved (a wait for the card included) the run stops at
// once; while blocks move the window asks first; once the last pass is
// through, the run ends as it is. The window closes after a stop.
#include <algorithm>
#include <atomic>

#include "tests/win32/ui/run_fixture.h"

using namespace ui_test;

namespace {

const std::pair<std::wstring, std::wstring> kStopQuestion{
    L"stop now? a card stopped mid-write holds only part of the image and must be written again",
    L"Quenvory"};
const std::pair<std::wstring, std::wstring> kDone{L"done", L"Quenvory"};
const std::wstring kWaiting = L"waiting for the card at >G to be free";

class WindowStopTest : public RunTest {
 protected:
  // Whether the card holds the first `blocks` blocks of `image` and nothing
  // beyond them.
  ::testing::AssertionResult cardHolds(const std::vector<std::uint8_t>& image, std::size_t blocks) {
    const std::vector<std::uint8_t> card = readFile(cardFile);
    const std::size_t bytes = std::min(blocks * 512, image.size() - 8);
    if (card.size() < bytes)
      return ::testing::AssertionFailure() << "the card holds " << card.size() << " bytes";
    if (!std::equal(image.begin() + 8, image.begin() + 8 + bytes, card.begin()))
      return ::testing::AssertionFailure() << "the card's first blocks are not the image's";
    // A short last block goes out completed to a whole one.
    const std::size_t end = std::min(card.size(), (bytes + 511) / 512 * 512);
    if (std::any_of(card.begin() + end, card.end(), [](std::uint8_t b) { return b != 0; }))
      return ::testing::AssertionFailure() << "the card holds more than " << blocks << " blocks";
    return ::testing::AssertionSuccess();
  }
};

TEST_F(WindowStopTest, CloseDuringAWriteStopsItOrAsksFirst) {
  enum class When {
    FirstLook,      // the header accepted, the card not yet locked
    Waiting,        // the card's volume busy, waited for
    MidWrite,       // the bar moving
    ShortWarning,   // while the short image's warning is open
    ClosingMessage  // while "done" is open
  };
  struct Case {
    const char* what;
    When when;
    int answer = 0;            // to the stop question, when one is asked
    bool secondClose = false;  // another close while the question is open
    bool shortImage = false;   // the image claims 1000 blocks, holds 600 and a half
    Messages expected = {};    // every box, in order
    std::size_t blocksOnCard = 0;
    bool windowStays = false;
  };
  const Case cases[] = {
      {.what = "before a block moves: stopped at once",
       .when = When::FirstLook,
       .expected = {{L"stopped at block 0, the card does not hold the image", L"MMC ERROR"}}},
      {.what = "while the card is waited for: the wait ends at once",
       .when = When::Waiting,
       .expected = {{L"stopped at block 0, nothing written", L"MMC ERROR"}}},
      {.what = "mid-write, answered no: the write goes on",
       .when = When::MidWrite,
       .answer = IDNO,
       .expected = {kStopQuestion, kDone},
       .blocksOnCard = 3000,
       .windowStays = true},
      {.what = "mid-write, answered yes: stopped after the batch in flight",
       .when = When::MidWrite,
       .answer = IDYES,
       .expected = {kStopQuestion,
                    {L"stopped at block 2048, the card does not hold the image", L"MMC ERROR"}},
       .blocksOnCard = 2048},
      {.what = "mid-write, closed again while asked: asked once",
       .when = When::MidWrite,
       .answer = IDYES,
       .secondClose = true,
       .expected = {kStopQuestion,
                    {L"stopped at block 2048, the card does not hold the image", L"MMC ERROR"}},
       .blocksOnCard = 2048},
      {.what = "over the short image's warning, answered no",
       .when = When::ShortWarning,
       .answer = IDNO,
       .shortImage = true,
       .expected = {{L"unexpected shortness of image file at block 600 , good luck", L"surprised"},
                    kStopQuestion,
                    kDone},
       .blocksOnCard = 601,
       .windowStays = true},
      {.what = "over the closing message: the run ends as it is, then the window",
       .when = When::ClosingMessage,
       .expected = {kDone},
       .blocksOnCard = 3000},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    if (form == nullptr) openWindow();
    DeleteFileW(cardFile.c_str());
    disks::SimulatedDrive drive;
    drive.kind = disks::SimulatedDrive::Kind::VolumeCard;
    drive.file = utf8(cardFile);
    if (c.when == When::Waiting) drive.lockRefusals = -1;  // busy for as long as it is asked
    disk.addDrive("G", drive);
    const std::vector<std::uint8_t> image =
        c.shortImage ? imageBytes(1000, 1000 - 1236, 600 * 512 + 256) : completeImage(3000);
    offerImage(L"stop.S7img", image);
    const HWND window = form->handle();
    const std::size_t before = watcher.boxes().size();
    const auto close = [window] { PostMessageW(window, WM_CLOSE, 0, 0); };

    int attemptsAtClose = -1;
    switch (c.when) {
      case When::FirstLook:
        form->duringRun = close;
        break;
      case When::Waiting:
        form->atSample([](const SamplingForm::Sample& s) { return s.status == kWaiting; },
                       [&] {
                         attemptsAtClose = disk.lockAttempts("\\\\.\\G:");
                         close();
                       });
        break;
      case When::MidWrite:
        form->atSample([](const SamplingForm::Sample& s) { return s.panelVisible; }, close);
        break;
      case When::ShortWarning:
      case When::ClosingMessage:
        break;  // from the box, below
    }
    std::atomic<int> questions{0};
    // The window is never torn down beneath the run: it is there for every
    // box the run shows, its closing message included.
    std::atomic<bool> windowThroughout{true};
    watcher.onBox([&](HWND box, const SeenBox& seen) {
      if (!IsWindow(window) || !IsWindowVisible(window)) windowThroughout = false;
      if (!seen.yesNo) {
        if ((c.when == When::ShortWarning && seen.caption == L"surprised") ||
            (c.when == When::ClosingMessage && seen.text == L"done"))
          close();
        return;
      }
      // Sent: it returns once the window has answered it, from inside the
      // question's own message loop; a second question would hold it there.
      if (++questions == 1 && c.secondClose) {
        DWORD_PTR ignored = 0;
        SendMessageTimeoutW(window, WM_CLOSE, 0, 0, SMTO_BLOCK, 5000, &ignored);
      }
      answer(box, c.answer);
    });

    click("btStart");
    pumpMessages();  // a close the run leaves behind is carried out here

    EXPECT_EQ(messagesSince(before), c.expected);
    EXPECT_EQ(questions.load(), c.answer == 0 ? 0 : 1);
    EXPECT_TRUE(windowThroughout);
    EXPECT_TRUE(cardHolds(image, c.blocksOnCard));
    if (attemptsAtClose >= 0) {
      EXPECT_EQ(disk.lockAttempts("\\\\.\\G:"), attemptsAtClose);
    }
    EXPECT_TRUE(nothingOpen());
    EXPECT_EQ(disk.lockedVolumes(), 0);
    EXPECT_EQ(disk.openVolumes(), 0);
    EXPECT_EQ(IsWindow(window) != FALSE, c.windowStays);
    EXPECT_EQ(form->handle() != nullptr, c.windowStays);
    if (c.windowStays) {
      EXPECT_FALSE(form->running());
      EXPECT_TRUE(IsWindowEnabled(form->control("btStart")));
    }
    watcher.onBox(nullptr);
    form->duringRun = nullptr;
    if (form->handle() == nullptr) form.reset();
  }
}

// A backup or a comparison stopped from the window: the same question, and on
// yes the run's own stop message after the batch in flight; a backup leaves
// no file behind.
TEST_F(WindowStopTest, CloseDuringABackupOrACompareAsksThenStops) {
  struct Case {
    const char* what;
    UINT command;
    std::pair<std::wstring, std::wstring> stopped;
  };
  const Case cases[] = {
      {"backup",
       quenvory::kMiReadCard,
       {L"stopped at block 2048, no backup was kept", L"MMC ERROR"}},
      {"compare", quenvory::kMiCompareCard, {L"stopped at block 2048", L"MMC ERROR"}},
  };
  const std::vector<std::uint8_t> image = completeImage(3000);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    if (form == nullptr) openWindow();
    writeFile(cardFile, std::vector<std::uint8_t>(image.begin() + 8, image.end()));
    disks::SimulatedDrive drive;
    drive.file = utf8(cardFile);
    drive.blocks = 3000;
    disk.addDrive("G", drive);
    // The backup's save dialog, or the compare's open dialog.
    const std::wstring file = c.command == quenvory::kMiReadCard
                                  ? scratch.file(L"backup.S7img")
                                  : offerImage(L"compare.S7img", image);
    confirmInDialog(file);
    const HWND window = form->handle();
    const std::size_t before = watcher.boxes().size();
    form->atSample([](const SamplingForm::Sample& s) { return s.panelVisible; },
                   [window] { PostMessageW(window, WM_CLOSE, 0, 0); });
    watcher.onBox([](HWND box, const SeenBox& seen) {
      if (seen.yesNo) answer(box, IDYES);
    });

    SendMessageW(window, WM_SYSCOMMAND, c.command, 0);
    pumpMessages();

    EXPECT_EQ(messagesSince(before), (Messages{kStopQuestion, c.stopped}));
    if (c.command == quenvory::kMiReadCard) {
      // Nothing under the backup's name, and nothing beside it.
      WIN32_FIND_DATAW found;
      const HANDLE search = FindFirstFileW(scratch.file(L"backup*").c_str(), &found);
      EXPECT_EQ(search, INVALID_HANDLE_VALUE);
      if (search != INVALID_HANDLE_VALUE) FindClose(search);
      EXPECT_EQ(disk.openBackups(), 0);
    }
    EXPECT_TRUE(nothingOpen());
    EXPECT_EQ(disk.openVolumes(), 0);
    EXPECT_FALSE(IsWindow(window));
    watcher.onBox(nullptr);
    form.reset();
  }
}

}  // namespace
