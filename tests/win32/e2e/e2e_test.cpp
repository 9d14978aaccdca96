// Both executables under Wine, started as the operator starts them and driven
// from outside: clicks on the window's buttons, the open dialog and the
// message boxes of the other process, and the simulated card's bytes.
// clang-format off
#include <windows.h>  // before the headers that build on it
// clang-format on

#include <commctrl.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "tests/win32/ui/window_test_support.h"
#include "ui/Unit1.h"

using namespace ui_test;
using namespace std::chrono_literals;

namespace {

constexpr const wchar_t* kDemoCaption = L"QuenvoryV1.0 - simulated cards";
constexpr const wchar_t* kProductCaption = L"QuenvoryV1.0";

// A path as the build gives it, in the form Windows opens (under Wine, the
// root of the Linux file system is drive Z:).
std::wstring windowsPath(const char* built) {
  std::wstring path = utf16(built);
  std::replace(path.begin(), path.end(), L'/', L'\\');
  if (!path.empty() && path[0] == L'\\') path = L"Z:" + path;
  return path;
}

// One run of an executable; stopped if a test leaves it running.
class Launched {
 public:
  // `caption` empty: no window is waited for.
  Launched(const std::wstring& exe, const std::wstring& caption, const std::wstring& drives = L"") {
    SetEnvironmentVariableW(L"QUENVORY_SIMULATED_DRIVES",
                            drives.empty() ? nullptr : drives.c_str());
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    std::wstring commandLine = L"\"" + exe + L"\"";
    started_ = CreateProcessW(exe.c_str(), &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr,
                              nullptr, &startup, &process_) != FALSE;
    SetEnvironmentVariableW(L"QUENVORY_SIMULATED_DRIVES", nullptr);
    if (!started_ || caption.empty()) return;
    waitFor(
        [&] { return (form_ = findTopLevel(process_.dwProcessId, L"TForm1", caption)) != nullptr; },
        20s);
  }
  ~Launched() {
    if (!started_) return;
    if (WaitForSingleObject(process_.hProcess, 0) == WAIT_TIMEOUT) {
      if (form_ != nullptr) PostMessageW(form_, WM_CLOSE, 0, 0);
      if (WaitForSingleObject(process_.hProcess, 5000) == WAIT_TIMEOUT)
        TerminateProcess(process_.hProcess, 1);
    }
    CloseHandle(process_.hThread);
    CloseHandle(process_.hProcess);
  }

  DWORD id() const { return process_.dwProcessId; }
  HWND form() const { return form_; }
  HWND control(int id) const {
    if (id == quenvory::kProgressBar1) return GetDlgItem(control(quenvory::kPanel1), id);
    return GetDlgItem(form_, id);
  }
  void click(int id) const { PostMessageW(control(id), BM_CLICK, 0, 0); }
  // Asks the window to close, as its close box does, and waits for the
  // program to end: its exit code, or -1.
  int close(std::chrono::milliseconds timeout) const {
    PostMessageW(form_, WM_CLOSE, 0, 0);
    return exitCode(timeout);
  }
  // Waits for the program to end by itself; its exit code, or -1.
  int exitCode(std::chrono::milliseconds timeout) const {
    if (WaitForSingleObject(process_.hProcess, DWORD(timeout.count())) != WAIT_OBJECT_0) return -1;
    DWORD code = 0;
    GetExitCodeProcess(process_.hProcess, &code);
    return int(code);
  }

 private:
  PROCESS_INFORMATION process_{};
  bool started_ = false;
  HWND form_ = nullptr;
};

// Confirms `path` in another process's open dialog: typed into the file name
// box, then OK.
void confirmFile(HWND dialog, const std::wstring& path) {
  HWND box = GetDlgItem(dialog, 0x47C);
  for (const wchar_t* inner : {L"ComboBox", L"Edit"}) {
    const HWND child = FindWindowExW(box, nullptr, inner, nullptr);
    if (child != nullptr) box = child;
  }
  SendMessageTimeoutW(box, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(path.c_str()), SMTO_BLOCK, 5000,
                      nullptr);
  PostMessageW(dialog, WM_COMMAND, IDOK, 0);
  waitFor([&] { return !IsWindow(dialog); }, 5s);
}

// Types `path` into another process's file dialog once it has set itself
// up: a dialog still listing its folder may put its own name back in the box,
// so the name is typed again until it reads back. False if it never does.
bool typeName(HWND dialog, const std::wstring& path) {
  waitFor([&] { return fileList(dialog) != nullptr; }, 10s);
  HWND box = GetDlgItem(dialog, 0x47C);
  for (const wchar_t* inner : {L"ComboBox", L"Edit"}) {
    const HWND child = FindWindowExW(box, nullptr, inner, nullptr);
    if (child != nullptr) box = child;
  }
  for (int attempt = 0; attempt < 10 && IsWindow(dialog); ++attempt) {
    std::this_thread::sleep_for(200ms);
    SendMessageTimeoutW(box, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(path.c_str()), SMTO_BLOCK,
                        5000, nullptr);
    wchar_t typed[MAX_PATH] = {};
    SendMessageTimeoutW(box, WM_GETTEXT, MAX_PATH, reinterpret_cast<LPARAM>(typed), SMTO_BLOCK,
                        5000, nullptr);
    if (path == typed) return true;
  }
  return false;
}

// Confirms `path` in another process's file dialog, typed again until the
// dialog takes it.
void confirmWhenReady(HWND dialog, const std::wstring& path) {
  for (int attempt = 0; attempt < 3 && IsWindow(dialog); ++attempt) {
    if (!typeName(dialog, path)) return;
    PostMessageW(dialog, WM_COMMAND, IDOK, 0);
    waitFor([&] { return !IsWindow(dialog); }, 3s);
  }
}

// Confirms `path` in another process's save dialog and answers yes when it
// asks whether to replace the file of that name.
void confirmReplacing(HWND dialog, const std::wstring& path) {
  if (!typeName(dialog, path)) return;
  PostMessageW(dialog, WM_COMMAND, IDOK, 0);
  HWND question = nullptr;
  waitFor([&] { return !IsWindow(dialog) || (question = ownedWindow(dialog)) != nullptr; }, 5s);
  if (question != nullptr) {
    // Answered once its Yes button takes an answer.
    waitFor(
        [&] {
          const HWND yes = GetDlgItem(question, IDYES);
          return yes != nullptr && IsWindowEnabled(yes);
        },
        5s);
    PostMessageW(question, WM_COMMAND, IDYES, 0);
  }
  waitFor([&] { return !IsWindow(dialog); }, 5s);
}

// The progress display, as the operator sees it while a message box is open.
struct Display {
  bool panelVisible;
  int position;
};

class DemoTest : public ::testing::Test {
 protected:
  // G: a card; K: a card that refuses block 237; J: another card; H: a
  // fixed disk; L: a card of 700 blocks; M: one whose block 300 reads
  // otherwise each time after the first. Each letter its own disk.
  std::wstring drives() {
    return L"G=card,file=" + cardFile + L",disk=1;K=card,file=" + scratch.file(L"k.img") +
           L",disk=4,refuse=237,error=1117;H=fixed,file=" + scratch.file(L"fixed.img") +
           L",disk=2;J=card,file=" + scratch.file(L"j.img") + L",disk=3;L=card,file=" +
           scratch.file(L"l.img") + L",disk=5,blocks=700;M=card,file=" + scratch.file(L"m.img") +
           L",disk=6,blocks=700,changing=300";
  }
  // Starts the demo, has it write `image` to the card behind `drive` from a
  // click on the write button, and records every message box with the
  // progress display at that moment.
  void run(const std::vector<std::uint8_t>& image, const wchar_t* drive) {
    writeFile(imageFile, image);
    demo = std::make_unique<Launched>(demoExe, kDemoCaption, drives());
    ASSERT_NE(demo->form(), nullptr) << "the demo's window did not appear";
    watcher = std::make_unique<Watcher>(demo->id());
    watcher->watchMainWindow(demo->form());
    watcher->onFileDialog([this](HWND dialog) { confirmFile(dialog, imageFile); });
    watcher->onBox([this](HWND box, const SeenBox& seen) {
      const Display display{
          IsWindowVisible(demo->control(quenvory::kPanel1)) != FALSE,
          int(SendMessageW(demo->control(quenvory::kProgressBar1), PBM_GETPOS, 0, 0))};
      {
        std::lock_guard<std::mutex> lock(displaysMutex);
        displays.push_back(display);
      }
      if (onBox) onBox(box, seen);
    });
    SendMessageTimeoutW(demo->control(quenvory::kCbDrive), WM_SETTEXT, 0,
                        reinterpret_cast<LPARAM>(drive), SMTO_BLOCK, 5000, nullptr);
    demo->click(quenvory::kBtStart);
  }
  // The progress display at each box so far; a box the watcher has counted
  // has its display here.
  std::vector<Display> shownDisplays() {
    std::lock_guard<std::mutex> lock(displaysMutex);
    return displays;
  }
  std::vector<std::pair<std::wstring, std::wstring>> messages() {
    std::vector<std::pair<std::wstring, std::wstring>> shown;
    for (const SeenBox& box : watcher->boxes()) shown.emplace_back(box.text, box.caption);
    return shown;
  }
  // Every box the program showed, asked once it has been closed and has
  // ended: the watcher counts a box before it closes it, so none can follow.
  std::vector<std::pair<std::wstring, std::wstring>> allMessages() {
    EXPECT_EQ(demo->close(10s), 0);
    return messages();
  }
  void TearDown() override {
    watcher.reset();
    demo.reset();
  }

  const std::wstring demoExe = windowsPath(QUENVORY_DEMO_EXE);
  ScratchFolder scratch;
  const std::wstring cardFile = scratch.file(L"g.img");
  const std::wstring imageFile = scratch.file(L"image.S7img");
  std::unique_ptr<Launched> demo;
  std::unique_ptr<Watcher> watcher;
  std::mutex displaysMutex;
  std::vector<Display> displays;  // written by the watcher's thread
  std::function<void(HWND, const SeenBox&)> onBox;
};

using Messages = std::vector<std::pair<std::wstring, std::wstring>>;

bool sameBlocks(const std::vector<std::uint8_t>& card, const std::vector<std::uint8_t>& image,
                std::size_t firstBlock, std::size_t blocks) {
  const std::size_t begin = firstBlock * 512, end = (firstBlock + blocks) * 512;
  return card.size() >= end && image.size() >= 8 + end &&
         std::equal(image.begin() + 8 + begin, image.begin() + 8 + end, card.begin() + begin);
}

TEST_F(DemoTest, CompleteImageIsWrittenAndDone) {
  const std::vector<std::uint8_t> image = completeImage(250);
  run(image, L"G");
  ASSERT_TRUE(watcher->waitForBoxes(1, 20s));
  EXPECT_FALSE(watcher->boxes()[0].anyIcon);
  EXPECT_EQ(watcher->boxes()[0].owner, demo->form());
  // At "done" the panel is hidden again and the bar stays where it was.
  const std::vector<Display> atBoxes = shownDisplays();
  ASSERT_EQ(atBoxes.size(), 1u);
  EXPECT_FALSE(atBoxes[0].panelVisible);
  EXPECT_EQ(atBoxes[0].position, 80);
  EXPECT_EQ(windowText(demo->control(quenvory::kLabel3)), L"250 block image");
  EXPECT_TRUE(sameBlocks(readFile(cardFile), image, 0, 250));
  EXPECT_EQ(windowText(demo->control(quenvory::kLbFileName)), imageFile);
  EXPECT_EQ(allMessages(), (Messages{{L"done", L"Quenvory"}}));
}

TEST_F(DemoTest, RefusedBlockStopsTheWriteWithThePanelShown) {
  const std::vector<std::uint8_t> image = completeImage(250);
  run(image, L"K");  // the card refuses block 237
  ASSERT_TRUE(watcher->waitForBoxes(1, 20s));
  // The box comes before anything is put away: blocks 100 and 200 have moved
  // the bar to 40 and 80 and the panel still shows.
  const std::vector<Display> atBoxes = shownDisplays();
  ASSERT_GE(atBoxes.size(), 1u);
  EXPECT_TRUE(atBoxes[0].panelVisible);
  EXPECT_EQ(atBoxes[0].position, 80);
  EXPECT_TRUE(waitFor([&] { return !IsWindowVisible(demo->control(quenvory::kPanel1)); }, 5s));
  EXPECT_TRUE(sameBlocks(readFile(scratch.file(L"k.img")), image, 0, 237));
  // Every box the program showed was closed by the watcher, which counted it
  // first: once the program has ended, the count is complete.
  EXPECT_EQ(demo->close(10s), 0);
  EXPECT_EQ(messages(), (Messages{{L"error 1117 writing to MMC card.", L"MMC ERROR"}}));
}

TEST_F(DemoTest, ShortImageWarnsThenCompletes) {
  // Claims 1000 blocks, holds 600 and half of the next.
  const std::vector<std::uint8_t> image = imageBytes(1000, 1000 - 1236, 600 * 512 + 256);
  // What the card holds while the warning is open.
  std::size_t cardBytesAtWarning = 0;
  onBox = [&](HWND, const SeenBox& seen) {
    if (seen.caption == L"surprised") cardBytesAtWarning = readFile(scratch.file(L"j.img")).size();
  };
  run(image, L"J");
  ASSERT_TRUE(watcher->waitForBoxes(2, 20s));
  // The warning comes as with one block per write: blocks 0 to 599 are on
  // the card, the short block 600 not yet.
  EXPECT_EQ(cardBytesAtWarning, 600u * 512);
  EXPECT_EQ(
      messages(),
      (Messages{{L"unexpected shortness of image file at block 600 , good luck", L"surprised"},
                {L"done", L"Quenvory"}}));
  // The warning comes in the middle of the run: the bar has moved up to block
  // 500 of the claimed 1000.
  const std::vector<Display> atBoxes = shownDisplays();
  ASSERT_EQ(atBoxes.size(), 2u);
  EXPECT_TRUE(atBoxes[0].panelVisible);
  EXPECT_EQ(atBoxes[0].position, 50);
  EXPECT_FALSE(atBoxes[1].panelVisible);
  // The read-back went through the same positions as the write, up to 100.
  EXPECT_EQ(atBoxes[1].position, 100);
  const std::vector<std::uint8_t> card = readFile(scratch.file(L"j.img"));
  EXPECT_TRUE(sameBlocks(card, image, 0, 600));
  // Block 600: the half that arrived, then the rest of block 599.
  ASSERT_GE(card.size(), 601u * 512);
  EXPECT_TRUE(std::equal(image.begin() + 8 + 600 * 512, image.end(), card.begin() + 600 * 512));
  EXPECT_TRUE(std::equal(card.begin() + 600 * 512 + 256, card.begin() + 601 * 512,
                         image.begin() + 8 + 599 * 512 + 256));
  EXPECT_EQ(
      allMessages(),
      (Messages{{L"unexpected shortness of image file at block 600 , good luck", L"surprised"},
                {L"done", L"Quenvory"}}));
}

TEST_F(DemoTest, FixedDiskIsRefusedBeforeAnythingIsWritten) {
  run(completeImage(4), L"H");
  ASSERT_TRUE(watcher->waitForBoxes(1, 20s));
  EXPECT_EQ(allMessages(),
            (Messages{{L"your system does not recognize a removable media at >H", L"ERROR"}}));
  const std::vector<std::uint8_t> fixed = readFile(scratch.file(L"fixed.img"));
  EXPECT_TRUE(std::all_of(fixed.begin(), fixed.end(), [](std::uint8_t b) { return b == 0; }));
}

TEST_F(DemoTest, SecondClickDuringARunStartsNoSecondWrite) {
  onBox = [&](HWND, const SeenBox& seen) {
    if (seen.caption != L"surprised") return;
    // The run waits on this box; the window takes clicks meanwhile. Sent,
    // not posted: each click has been handled, while the box is still open,
    // when its call returns.
    SendMessageTimeoutW(demo->control(quenvory::kBtStart), BM_CLICK, 0, 0, SMTO_NORMAL, 5000,
                        nullptr);
    SendMessageTimeoutW(demo->form(), WM_COMMAND, MAKEWPARAM(quenvory::kBtStart, BN_CLICKED),
                        reinterpret_cast<LPARAM>(demo->control(quenvory::kBtStart)), SMTO_NORMAL,
                        5000, nullptr);
  };
  run(imageBytes(1000, 1000 - 1236, 600 * 512 + 256), L"J");
  ASSERT_TRUE(watcher->waitForBoxes(2, 20s));
  EXPECT_TRUE(
      waitFor([&] { return IsWindowEnabled(demo->control(quenvory::kBtStart)) != FALSE; }, 5s));
  // A second write would show its boxes before the program could end.
  EXPECT_EQ(demo->close(10s), 0);
  EXPECT_EQ(
      messages(),
      (Messages{{L"unexpected shortness of image file at block 600 , good luck", L"surprised"},
                {L"done", L"Quenvory"}}))
      << "a second write ran";
}

// A close while blocks move asks whether to stop; No lets the run go on to
// its end, and the window stays until it is closed again.
TEST_F(DemoTest, ClosingDuringARunAsksAndNoLetsTheRunFinish) {
  std::atomic<bool> openWhileAsked{false};
  onBox = [&](HWND, const SeenBox& seen) {
    // Posted: the question it raises must reach the watcher, which answers
    // it with No.
    if (seen.caption == L"surprised") PostMessageW(demo->form(), WM_CLOSE, 0, 0);
    if (seen.yesNo) openWhileAsked = IsWindowVisible(demo->form()) != FALSE;
  };
  const std::vector<std::uint8_t> image = imageBytes(1000, 1000 - 1236, 600 * 512 + 256);
  run(image, L"J");
  ASSERT_TRUE(watcher->waitForBoxes(3, 20s));
  EXPECT_TRUE(openWhileAsked);
  EXPECT_EQ(watcher->boxes().back().text, L"done");
  // No kept the window: it closes only when asked again, with no run left.
  EXPECT_TRUE(IsWindowVisible(demo->form()));
  PostMessageW(demo->form(), WM_CLOSE, 0, 0);
  EXPECT_EQ(demo->exitCode(10s), 0);
  // Ended by itself: every box it showed has been counted.
  EXPECT_EQ(
      messages(),
      (Messages{{L"unexpected shortness of image file at block 600 , good luck", L"surprised"},
                {L"stop now? a card stopped mid-write holds only part of the image and must be "
                 L"written again",
                 L"Quenvory"},
                {L"done", L"Quenvory"}}));
  EXPECT_TRUE(sameBlocks(readFile(scratch.file(L"j.img")), image, 0, 600));
}

// The operator's round trip through the system menu: an image written to a
// card, the card backed up into a new file, the card compared with the image
// and with its backup.
TEST_F(DemoTest, WrittenCardIsBackedUpAndComparedFromTheSystemMenu) {
  const std::vector<std::uint8_t> image = completeImage(650);
  run(image, L"L");
  ASSERT_TRUE(watcher->waitForBoxes(1, 20s));
  EXPECT_EQ(messages(), (Messages{{L"done", L"Quenvory"}}));

  const std::wstring backup = scratch.file(L"backup.S7img");
  watcher->onFileDialog([&](HWND dialog) { confirmWhenReady(dialog, backup); });
  PostMessageW(demo->form(), WM_SYSCOMMAND, quenvory::kMiReadCard, 0);
  ASSERT_TRUE(watcher->waitForBoxes(2, 20s));
  EXPECT_EQ(messages().back(), std::make_pair(std::wstring(L"done"), std::wstring(L"Quenvory")));
  EXPECT_EQ(windowText(demo->control(quenvory::kLabel3)), L"700 block card");
  // The whole card of 700 blocks: the image's 650, then what the card held
  // beyond them (nothing yet: zeros).
  std::vector<std::uint8_t> expected = imageBytes(700, 700 - 1236, 0);
  expected.insert(expected.end(), image.begin() + 8, image.end());
  expected.resize(8 + 700 * 512, 0);
  EXPECT_EQ(readFile(backup), expected);

  // The image chosen for the write; then the backup, chosen with the open
  // button.
  watcher->onFileDialog([](HWND) { ADD_FAILURE() << "a dialog opened"; });
  PostMessageW(demo->form(), WM_SYSCOMMAND, quenvory::kMiCompareCard, 0);
  ASSERT_TRUE(watcher->waitForBoxes(3, 20s));
  watcher->onFileDialog([&](HWND dialog) { confirmWhenReady(dialog, backup); });
  demo->click(quenvory::kBtPickFile);
  // Chosen once the dialog has closed and given the window back.
  EXPECT_TRUE(waitFor(
      [&] {
        return windowText(demo->control(quenvory::kLbFileName)) == backup &&
               IsWindowEnabled(demo->form());
      },
      30s));
  PostMessageW(demo->form(), WM_SYSCOMMAND, quenvory::kMiCompareCard, 0);
  ASSERT_TRUE(watcher->waitForBoxes(4, 20s));
  // Once the program has ended, every box it showed has been counted.
  EXPECT_EQ(demo->close(10s), 0);
  EXPECT_EQ(messages(), (Messages{{L"done", L"Quenvory"},
                                  {L"done", L"Quenvory"},
                                  {L"card matches image", L"Quenvory"},
                                  {L"card matches image", L"Quenvory"}}));
}

// A card that does not read the same twice is never kept as its backup: the
// file of that name from before stays as it was, and nothing else is left.
TEST_F(DemoTest, CardThatChangesWhileReadLeavesTheEarlierBackupAlone) {
  run(completeImage(650), L"M");
  ASSERT_TRUE(watcher->waitForBoxes(1, 20s));
  const std::wstring backup = scratch.file(L"backup.S7img");
  const std::vector<std::uint8_t> earlier(100, 0xAB);
  writeFile(backup, earlier);
  watcher->onFileDialog([&](HWND dialog) { confirmReplacing(dialog, backup); });
  PostMessageW(demo->form(), WM_SYSCOMMAND, quenvory::kMiReadCard, 0);
  ASSERT_TRUE(watcher->waitForBoxes(2, 30s));
  EXPECT_EQ(messages().back(),
            std::make_pair(std::wstring(L"card changed while it was read, at block 300"),
                           std::wstring(L"MMC ERROR")));
  // The box comes first; the temporary file goes once it is closed.
  EXPECT_TRUE(waitFor([&] { return !std::filesystem::exists(backup + L".partial"); }, 5s));
  EXPECT_EQ(readFile(backup), earlier);
  EXPECT_EQ(allMessages(),
            (Messages{{L"done", L"Quenvory"},
                      {L"card changed while it was read, at block 300", L"MMC ERROR"}}));
}

// A failure during start-up ends in the exception report, under the title
// taken from the executable's name, and the program still ends with 0.
TEST(StartUp, FailureIsReportedUnderTheApplicationTitle) {
  Launched demo(windowsPath(QUENVORY_DEMO_EXE), L"", L"G=floppy");
  Watcher watcher(demo.id());
  ASSERT_TRUE(watcher.waitForBoxes(1, 20s));
  const SeenBox box = watcher.boxes()[0];
  EXPECT_EQ(box.text, L"QUENVORY_SIMULATED_DRIVES cannot be read: unknown kind of drive: floppy.");
  EXPECT_EQ(box.caption, L"quenvory-demo");
  EXPECT_TRUE(box.anyIcon);
  EXPECT_EQ(demo.exitCode(10s), 0);
}

// The one message box that one start of `exe` shows when the write button is
// pressed with `drive` in the drive field and `declared` as the demonstration's
// drive declarations; the program is closed afterwards.
SeenBox onlyBox(const std::wstring& exe, const std::wstring& caption, const wchar_t* drive,
                const std::wstring& declared) {
  Launched program(exe, caption, declared);
  EXPECT_NE(program.form(), nullptr) << "the window did not appear";
  if (program.form() == nullptr) return {};
  Watcher watcher(program.id());  // cancels the open dialog if one opens
  SendMessageTimeoutW(program.control(quenvory::kCbDrive), WM_SETTEXT, 0,
                      reinterpret_cast<LPARAM>(drive), SMTO_BLOCK, 5000, nullptr);
  program.click(quenvory::kBtStart);
  EXPECT_TRUE(watcher.waitForBoxes(1, 20s));
  // Every box was counted before it was closed: once the program has ended,
  // the count is complete.
  EXPECT_EQ(program.close(10s), 0);
  const std::vector<SeenBox> boxes = watcher.boxes();
  EXPECT_EQ(boxes.size(), 1u);
  return boxes.empty() ? SeenBox{} : boxes[0];
}

bool fileExists(const std::wstring& path) {
  return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// The product over the real disk services: Wine's floppy-type drive G: is a
// physical disk with fixed media, and a letter with nothing behind it has no
// device. The demonstration's drive declarations change nothing: the product
// never reads them, and no declared card's file comes into being.
TEST(Product, RefusesDrivesThatHoldNoCardWhateverTheDemoDeclares) {
  ScratchFolder scratch;
  const std::wstring declared = L"G=card,file=" + scratch.file(L"g.img") + L",disk=1;Q=card,file=" +
                                scratch.file(L"q.img") + L",disk=2";
  struct Case {
    const wchar_t* drive;
    const wchar_t* message;
  };
  const Case cases[] = {
      {L"G", L"your system does not recognize a removable media at >G"},
      {L"Q", L"could not query device"},
  };
  for (const Case& c : cases) {
    for (const std::wstring& declarations : {std::wstring(), declared}) {
      SCOPED_TRACE(utf8(c.drive) + (declarations.empty() ? "" : ", cards declared"));
      const SeenBox box =
          onlyBox(windowsPath(QUENVORY_PRODUCT_EXE), kProductCaption, c.drive, declarations);
      EXPECT_EQ(box.text, c.message);
      EXPECT_EQ(box.caption, L"ERROR");
      EXPECT_FALSE(box.anyIcon);
    }
  }
  EXPECT_FALSE(fileExists(scratch.file(L"g.img")));
  EXPECT_FALSE(fileExists(scratch.file(L"q.img")));

  // The same declarations are ones the demonstration reads: its G is the
  // declared card, opened (its file made) before the image is asked for.
  const SeenBox demo = onlyBox(windowsPath(QUENVORY_DEMO_EXE), kDemoCaption, L"G", declared);
  EXPECT_EQ(demo.text, L"no image file selected");
  EXPECT_TRUE(fileExists(scratch.file(L"g.img")));
}

// The execution level each executable's embedded manifest asks for: the
// product starts as an administrator, who alone opens a physical drive for
// writing; the demonstration writes to files and starts as its invoker.
std::string requestedExecutionLevel(const std::wstring& exe) {
  const HMODULE module = LoadLibraryExW(exe.c_str(), nullptr,
                                        LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
  if (module == nullptr) return "(does not load)";
  std::string manifest;
  if (const HRSRC found = FindResourceW(module, MAKEINTRESOURCEW(1), RT_MANIFEST)) {
    const HGLOBAL loaded = LoadResource(module, found);
    const char* bytes =
        loaded == nullptr ? nullptr : static_cast<const char*>(LockResource(loaded));
    if (bytes != nullptr) manifest.assign(bytes, SizeofResource(module, found));
  }
  FreeLibrary(module);
  if (manifest.empty()) return "(no manifest)";
  const std::string element = "<requestedExecutionLevel ";
  const std::size_t at = manifest.find(element);
  if (at == std::string::npos) return "(no execution level)";
  if (manifest.find(element, at + 1) != std::string::npos) return "(two execution levels)";
  const std::string attribute = "level=\"";
  const std::size_t level = manifest.find(attribute, at);
  const std::size_t end = manifest.find_first_of("\"/>", level + attribute.size());
  if (level == std::string::npos || end == std::string::npos || manifest[end] != '"' ||
      manifest.find('>', at) < level)
    return "(no level in the element)";
  return manifest.substr(level + attribute.size(), end - level - attribute.size());
}

TEST(Manifest, TheProductAsksForAnAdministratorTheDemoAndTheCommandLineDoNot) {
  EXPECT_EQ(requestedExecutionLevel(windowsPath(QUENVORY_PRODUCT_EXE)), "requireAdministrator");
  EXPECT_EQ(requestedExecutionLevel(windowsPath(QUENVORY_DEMO_EXE)), "asInvoker");
  // A console program says when it lacks the rights, from the console it was
  // started in.
  EXPECT_EQ(requestedExecutionLevel(windowsPath(QUENVORY_CLI_EXE)), "asInvoker");
}

// A setting of the executable's manifest as the system reads it when the
// program starts; "(none)" when the manifest does not declare it, "(no
// manifest)" when the system does not accept the manifest at all (Windows
// then refuses to start the program).
std::wstring manifestSetting(const std::wstring& exe, const wchar_t* space, const wchar_t* name) {
  ACTCTXW request{};
  request.cbSize = sizeof request;
  request.dwFlags = ACTCTX_FLAG_RESOURCE_NAME_VALID;
  request.lpSource = exe.c_str();
  request.lpResourceName = MAKEINTRESOURCEW(1);
  const HANDLE context = CreateActCtxW(&request);
  if (context == INVALID_HANDLE_VALUE) return L"(no manifest)";
  wchar_t value[64] = L"";
  SIZE_T written = 0;
  const bool found =
      QueryActCtxSettingsW(0, context, space, name, value, std::size(value), &written) != FALSE;
  ReleaseActCtx(context);
  return found ? value : L"(none)";
}

// On a display scaled above 100 % both draw text and controls at the
// display's own resolution (GDI scaling), while the layout, fixed in pixels,
// is scaled as a whole: no DPI awareness is declared, which would leave the
// layout at its pixel size and its scaled text clipped.
TEST(Manifest, BothAskForGdiScalingAndDeclareNoDpiAwareness) {
  constexpr const wchar_t* k2005 = L"http://schemas.microsoft.com/SMI/2005/WindowsSettings";
  constexpr const wchar_t* k2016 = L"http://schemas.microsoft.com/SMI/2016/WindowsSettings";
  constexpr const wchar_t* k2017 = L"http://schemas.microsoft.com/SMI/2017/WindowsSettings";
  for (const char* exe : {QUENVORY_PRODUCT_EXE, QUENVORY_DEMO_EXE}) {
    SCOPED_TRACE(exe);
    EXPECT_EQ(manifestSetting(windowsPath(exe), k2017, L"gdiScaling"), L"true");
    EXPECT_EQ(manifestSetting(windowsPath(exe), k2005, L"dpiAware"), L"(none)");
    EXPECT_EQ(manifestSetting(windowsPath(exe), k2016, L"dpiAwareness"), L"(none)");
  }
}

// Every executable takes paths longer than 260 characters from the system
// where its policy allows them, and names the Windows versions it was made
// for, so that the system gives it their behaviour.
TEST(Manifest, AllDeclareLongPathsAndTheirWindowsVersions) {
  constexpr const wchar_t* k2016 = L"http://schemas.microsoft.com/SMI/2016/WindowsSettings";
  for (const char* exe : {QUENVORY_PRODUCT_EXE, QUENVORY_DEMO_EXE, QUENVORY_CLI_EXE}) {
    SCOPED_TRACE(exe);
    EXPECT_EQ(manifestSetting(windowsPath(exe), k2016, L"longPathAware"), L"true");
    const HMODULE module =
        LoadLibraryExW(windowsPath(exe).c_str(), nullptr,
                       LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    ASSERT_NE(module, nullptr);
    const HRSRC found = FindResourceW(module, MAKEINTRESOURCEW(1), RT_MANIFEST);
    ASSERT_NE(found, nullptr);
    const std::string manifest(static_cast<const char*>(LockResource(LoadResource(module, found))),
                               SizeofResource(module, found));
    FreeLibrary(module);
    // Windows 10 and 11, 8.1, 8, 7.
    for (const char* id :
         {"{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}", "{1f676c76-80e1-4239-95bb-83d0f6d0da78}",
          "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}", "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}"})
      EXPECT_NE(manifest.find(std::string("<supportedOS Id=\"") + id + "\"/>"), std::string::npos)
          << id;
  }
}

}  // namespace
