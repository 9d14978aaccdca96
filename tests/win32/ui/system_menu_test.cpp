// The window's system menu: its two items, what each runs (the backup through
// a save dialog, the comparison with the chosen image), and the guard they
// share with the write. Menus of another process cannot be read under Wine,
// so the window lives in this process.
// clang-format off
#include <windows.h>  // before the headers that build on it
// clang-format on

#include <commdlg.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>

#include "disks/simulated_disk_services.h"
#include "tests/win32/ui/window_test_support.h"
#include "ui/Unit1.h"

using namespace ui_test;
using namespace std::chrono_literals;
using quenvory::TForm1;

namespace {

using Messages = std::vector<std::pair<std::wstring, std::wstring>>;

// The save dialog's title before the card's letter: read the MMC card into a
// file.
const std::wstring kSaveTitle = L"\u8BFB\u53D6MMC\u5361\u5230\u6587\u4EF6 ";

// The window, with a hook into the events an operation processes.
class HookedForm : public TForm1 {
 public:
  using TForm1::TForm1;
  std::function<void()> duringRun;
  void processEvents() override {
    if (duringRun) std::exchange(duringRun, nullptr)();
    TForm1::processEvents();
  }
};

class SystemMenuTest : public ::testing::Test {
 protected:
  void SetUp() override {
    form = std::make_unique<HookedForm>(disk, L"QuenvoryV1.0", false);
    form->create(GetModuleHandleW(nullptr));
    ShowWindow(form->handle(), SW_SHOWNORMAL);
    pumpMessages();
    watcher.watchMainWindow(form->handle());
    disks::SimulatedDrive drive;
    drive.file = utf8(cardFile);
    drive.blocks = 250;
    disk.addDrive("G", drive);
    writeFile(cardFile, cardBytes);
  }
  void TearDown() override {
    form.reset();
    pumpMessages();
  }

  void choose(UINT command) { SendMessageW(form->handle(), WM_SYSCOMMAND, command, 0); }
  // Confirms `path` in the next file dialog, answering its question about an
  // existing file with yes; `question` receives that question's text.
  void confirmInDialog(const std::wstring& path, std::wstring* dialogTitle = nullptr,
                       std::wstring* question = nullptr) {
    watcher.onFileDialog([=](HWND dialog) {
      if (dialogTitle != nullptr) *dialogTitle = windowText(dialog);
      SendMessageW(dialog, CDM_SETCONTROLTEXT, 0x47C, reinterpret_cast<LPARAM>(path.c_str()));
      PostMessageW(dialog, WM_COMMAND, IDOK, 0);
      HWND box = nullptr;
      waitFor([&] { return !IsWindow(dialog) || (box = ownedWindow(dialog)) != nullptr; }, 5s);
      if (box != nullptr) {
        std::this_thread::sleep_for(100ms);
        if (question != nullptr) *question = windowText(GetDlgItem(box, 0xFFFF));
        PostMessageW(box, WM_COMMAND, IDYES, 0);
      }
      waitFor([&] { return !IsWindow(dialog); }, 5s);
    });
  }
  Messages messages() {
    Messages shown;
    for (const SeenBox& box : watcher.boxes()) shown.emplace_back(box.text, box.caption);
    return shown;
  }
  bool nothingOpen() {
    return disk.openDevices() == 0 && disk.openImages() == 0 && disk.liveBuffers() == 0 &&
           disk.openBackups() == 0 && disk.openVolumes() == 0;
  }

  ScratchFolder scratch;
  std::wstring cardFile = scratch.file(L"card.img");
  std::vector<std::uint8_t> image = completeImage(250);
  std::vector<std::uint8_t> cardBytes{image.begin() + 8, image.end()};
  std::vector<std::string> journal;
  disks::SimulatedDiskServices disk{&journal};
  std::unique_ptr<HookedForm> form;
  Watcher watcher;
};

TEST_F(SystemMenuTest, HoldsBothItemsBelowASeparator) {
  const HMENU menu = GetSystemMenu(form->handle(), FALSE);
  ASSERT_NE(menu, nullptr);
  const int count = GetMenuItemCount(menu);
  ASSERT_GE(count, 3);
  EXPECT_TRUE(GetMenuState(menu, count - 3, MF_BYPOSITION) & MF_SEPARATOR);
  const std::pair<UINT, std::wstring> expected[] = {
      {quenvory::kMiReadCard, L"\u8BFB\u53D6MMC\u5361\u5230\u6587\u4EF6\u2026"},
      {quenvory::kMiCompareCard, L"\u6BD4\u8F83MMC\u5361\u4E0E\u6587\u4EF6\u2026"},
  };
  for (int k = 0; k < 2; ++k) {
    const int position = count - 2 + k;
    wchar_t text[64] = {};
    GetMenuStringW(menu, position, text, 64, MF_BYPOSITION);
    EXPECT_EQ(GetMenuItemID(menu, position), expected[k].first);
    EXPECT_EQ(text, expected[k].second);
    EXPECT_FALSE(GetMenuState(menu, position, MF_BYPOSITION) & (MF_GRAYED | MF_DISABLED));
  }
  // The caption's own commands are still there and still the system's.
  EXPECT_NE(GetMenuState(menu, SC_CLOSE, MF_BYCOMMAND), UINT(-1));
}

TEST_F(SystemMenuTest, ReadBacksUpTheCardIntoTheFileNamedInTheSaveDialog) {
  // Typed without its extension: the dialog adds it.
  std::wstring title;
  confirmInDialog(scratch.file(L"backup"), &title);
  choose(quenvory::kMiReadCard);
  ASSERT_TRUE(watcher.waitForBoxes(1, 10s));
  EXPECT_EQ(messages(), (Messages{{L"done", L"Quenvory"}}));
  EXPECT_EQ(title, kSaveTitle + L"G:");
  EXPECT_EQ(readFile(scratch.file(L"backup.S7img")), image);
  EXPECT_EQ(windowText(form->control("Label3")), L"250 block card");
  EXPECT_EQ(std::count(journal.begin(), journal.end(), "query G:"), 1);
  // The chosen image of the write is another matter.
  EXPECT_EQ(form->chosenFileName(), "");
  EXPECT_TRUE(nothingOpen());
}

TEST_F(SystemMenuTest, ReadAsksBeforeReplacingAFileAndCancelReadsNothing) {
  const std::wstring target = scratch.file(L"earlier.S7img");
  writeFile(target, {1, 2, 3});
  std::wstring question;
  confirmInDialog(target, nullptr, &question);
  choose(quenvory::kMiReadCard);
  ASSERT_TRUE(watcher.waitForBoxes(1, 10s));
  EXPECT_NE(question.find(L"exists"), std::wstring::npos) << utf8(question);
  EXPECT_EQ(messages(), (Messages{{L"done", L"Quenvory"}}));
  EXPECT_EQ(readFile(target), image);

  // Cancelled: the card, checked before the dialog, is released unread and
  // nothing is said.
  journal.clear();
  watcher.onFileDialog(nullptr);  // the watcher cancels it
  choose(quenvory::kMiReadCard);
  pumpMessages();
  EXPECT_EQ(watcher.boxes().size(), 1u);
  for (const std::string& entry : journal)
    for (const char* step : {"read", "seek", "lock", "create target"})
      EXPECT_NE(entry.rfind(step, 0), 0u) << entry;
  EXPECT_TRUE(nothingOpen());
}

// A dialog may leave the process's current folder where the operator browsed
// to; on the card, it would keep the card's volume from its lock. Whatever a
// dialog does with it, the folder is the window's own again afterwards.
TEST_F(SystemMenuTest, TheWorkingFolderIsTheWindowsOwnAfterEveryDialog) {
  const std::wstring home = scratch.file(L"home");
  const std::wstring elsewhere = scratch.file(L"elsewhere");
  ASSERT_TRUE(CreateDirectoryW(home.c_str(), nullptr));
  ASSERT_TRUE(CreateDirectoryW(elsewhere.c_str(), nullptr));
  const std::wstring imagePath = scratch.file(L"image.S7img");
  writeFile(imagePath, image);
  const auto currentFolder = [] {
    wchar_t folder[MAX_PATH + 1] = {};
    GetCurrentDirectoryW(MAX_PATH + 1, folder);
    return std::wstring(folder);
  };
  struct Case {
    const char* name;
    bool saveDialog;
    bool confirmed;
  };
  const std::wstring before = currentFolder();
  const Case cases[] = {
      {"open dialog, cancelled", false, false},
      {"open dialog, a file chosen", false, true},
      {"save dialog, cancelled", true, false},
      {"save dialog, a file named", true, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(SetCurrentDirectoryW(home.c_str()));
    const std::wstring path = c.saveDialog ? scratch.file(L"backup.S7img") : imagePath;
    const bool confirmed = c.confirmed;
    bool shown = false;
    watcher.onFileDialog([&, path, confirmed](HWND dialog) {
      shown = true;
      // As the dialog does when the operator browses to another folder.
      SetCurrentDirectoryW(elsewhere.c_str());
      if (!confirmed) return;  // the watcher cancels it
      SendMessageW(dialog, CDM_SETCONTROLTEXT, 0x47C, reinterpret_cast<LPARAM>(path.c_str()));
      PostMessageW(dialog, WM_COMMAND, IDOK, 0);
      waitFor([&] { return !IsWindow(dialog); }, 5s);
    });
    const std::size_t boxes = watcher.boxes().size();
    if (c.saveDialog)
      choose(quenvory::kMiReadCard);
    else
      SendMessageW(form->control("btPickFile"), BM_CLICK, 0, 0);
    if (c.saveDialog && c.confirmed) {
      ASSERT_TRUE(watcher.waitForBoxes(boxes + 1, 10s));
    }
    pumpMessages();
    EXPECT_TRUE(shown);
    EXPECT_EQ(currentFolder(), home);
  }
  SetCurrentDirectoryW(before.c_str());
}

// A drive that is no card, or holds none, is refused with the write's own
// message before the operator is asked for a file name.
TEST_F(SystemMenuTest, ReadChecksTheCardBeforeItsDialog) {
  struct Case {
    const char* what;
    std::function<void(disks::SimulatedDrive&)> drive;  // nullptr: the letter is not declared
    std::wstring message;
  };
  const Case cases[] = {
      {"fixed disk",
       [](disks::SimulatedDrive& d) { d.kind = disks::SimulatedDrive::Kind::FixedDisk; },
       L"your system does not recognize a removable media at >H"},
      {"empty reader",
       [](disks::SimulatedDrive& d) {
         d.kind = disks::SimulatedDrive::Kind::VolumeCard;
         d.notReady = true;
       },
       L"no card in the reader at >H"},
      {"4096-byte sectors", [](disks::SimulatedDrive& d) { d.sectorBytes = 4096; },
       L"card sectors of 4096 bytes are not supported"},
      {"cdrom", [](disks::SimulatedDrive& d) { d.kind = disks::SimulatedDrive::Kind::CdRom; },
       L"Query did not return expected dive number"},
      {"no such letter", nullptr, L"could not query device"},
  };
  bool dialogShown = false;
  watcher.onFileDialog([&](HWND) { dialogShown = true; });
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    // A declared drive is H; Q is declared nowhere.
    SetWindowTextW(form->control("cbDrive"), c.drive ? L"H" : L"Q");
    if (c.drive) {
      disks::SimulatedDrive drive;
      drive.file = utf8(scratch.file(L"h.img"));
      drive.diskNumber = "2";  // G, the fixture's card, is disk 1
      c.drive(drive);
      disk.addDrive("H", drive);
    }
    const std::size_t before = watcher.boxes().size();
    choose(quenvory::kMiReadCard);
    ASSERT_EQ(watcher.boxes().size(), before + 1);
    EXPECT_EQ(messages().back(), std::make_pair(c.message, std::wstring(L"ERROR")));
    EXPECT_FALSE(dialogShown);
    EXPECT_TRUE(nothingOpen());
    EXPECT_FALSE(form->running());
  }
}

// The names a backup of `card` is proposed under from `first` to `last`, one
// for each second.
std::vector<std::wstring> proposalsBetween(const std::wstring& card, const SYSTEMTIME& first,
                                           const SYSTEMTIME& last) {
  FILETIME at, end;
  SystemTimeToFileTime(&first, &at);
  SystemTimeToFileTime(&last, &end);
  ULARGE_INTEGER tick{}, stop{};
  tick.LowPart = at.dwLowDateTime;
  tick.HighPart = at.dwHighDateTime;
  stop.LowPart = end.dwLowDateTime;
  stop.HighPart = end.dwHighDateTime;
  std::vector<std::wstring> names;
  tick.QuadPart -= tick.QuadPart % 10000000;  // whole seconds
  for (; tick.QuadPart <= stop.QuadPart; tick.QuadPart += 10000000) {
    const FILETIME second{tick.LowPart, tick.HighPart};
    SYSTEMTIME time;
    FileTimeToSystemTime(&second, &time);
    names.push_back(quenvory::backupFileName(card, time));
  }
  return names;
}

// The save dialog says which card it saves, proposes a name after the card
// and the time, and opens in the chosen image's folder rather than in the
// folder used last.
TEST_F(SystemMenuTest, ReadsSaveDialogNamesTheCardAndProposesAFile) {
  struct Seen {
    std::wstring title, folder, name;
  };
  // Reads the dialog as it opens, then types `typed` and confirms, confirms
  // the proposal as it stands (empty), or cancels (nullptr).
  const auto look = [&](Seen& seen, const wchar_t* typed) {
    watcher.onFileDialog([&seen, typed](HWND dialog) {
      // Once the dialog answers, it has done all it does on opening.
      SendMessageTimeoutW(dialog, WM_NULL, 0, 0, SMTO_BLOCK, 5000, nullptr);
      seen.title = windowText(dialog);
      wchar_t text[MAX_PATH] = L"";
      SendMessageW(dialog, CDM_GETFOLDERPATH, MAX_PATH, reinterpret_cast<LPARAM>(text));
      seen.folder = text;
      text[0] = L'\0';
      SendMessageW(dialog, CDM_GETSPEC, MAX_PATH, reinterpret_cast<LPARAM>(text));
      seen.name = text;
      if (typed == nullptr) return;  // the watcher cancels it
      if (*typed != L'\0')
        SendMessageW(dialog, CDM_SETCONTROLTEXT, 0x47C, reinterpret_cast<LPARAM>(typed));
      PostMessageW(dialog, WM_COMMAND, IDOK, 0);
      waitFor([&] { return !IsWindow(dialog); }, 5s);
    });
  };
  SYSTEMTIME before, after;
  const auto readCard = [&](const wchar_t* letter) {
    SetWindowTextW(form->control("cbDrive"), letter);
    GetLocalTime(&before);
    choose(quenvory::kMiReadCard);
    GetLocalTime(&after);
  };
  const auto proposed = [&](const Seen& seen, const wchar_t* letter) {
    const std::vector<std::wstring> all = proposalsBetween(letter, before, after);
    return std::find(all.begin(), all.end(), seen.name) != all.end();
  };
  disks::SimulatedDrive k;
  k.file = utf8(cardFile);
  k.blocks = 250;
  k.diskNumber = "3";
  disk.addDrive("K", k);

  // No image chosen: only a name is proposed, wherever the system opens the
  // dialog.
  Seen bare;
  look(bare, nullptr);
  readCard(L"G");
  EXPECT_EQ(bare.title, kSaveTitle + L"G:");
  EXPECT_TRUE(proposed(bare, L"G")) << utf8(bare.name);
  EXPECT_TRUE(messages().empty());

  // An image chosen in its folder; then a backup kept elsewhere, the folder
  // the system remembers as used last.
  const std::wstring images = scratch.folder(L"images");
  const std::wstring elsewhere = scratch.folder(L"elsewhere");
  const std::wstring chosen = images + L"\\machine.S7img";
  writeFile(chosen, image);
  watcher.onFileDialog([&](HWND dialog) {
    SendMessageW(dialog, CDM_SETCONTROLTEXT, 0x47C, reinterpret_cast<LPARAM>(chosen.c_str()));
    PostMessageW(dialog, WM_COMMAND, IDOK, 0);
    waitFor([&] { return !IsWindow(dialog); }, 5s);
  });
  SendMessageW(form->control("btPickFile"), BM_CLICK, 0, 0);
  ASSERT_EQ(form->chosenFileName(), utf8(chosen));
  Seen kept;
  const std::wstring keptPath = elsewhere + L"\\kept.S7img";
  look(kept, keptPath.c_str());
  readCard(L"K");
  EXPECT_EQ(kept.title, kSaveTitle + L"K:");
  EXPECT_EQ(readFile(keptPath), image);

  // The next backup's dialog opens in the image's folder all the same, and
  // its proposal, confirmed as it stands, is where the backup goes.
  Seen next;
  look(next, L"");
  readCard(L"G");
  EXPECT_EQ(next.title, kSaveTitle + L"G:");
  EXPECT_EQ(_wcsicmp(next.folder.c_str(), images.c_str()), 0) << utf8(next.folder);
  EXPECT_TRUE(proposed(next, L"G")) << utf8(next.name);
  EXPECT_EQ(readFile(images + L"\\" + next.name), image);
  EXPECT_EQ(messages(), (Messages{{L"done", L"Quenvory"}, {L"done", L"Quenvory"}}));

  // The image's folder gone since: the dialog still opens, with the name.
  DeleteFileW(chosen.c_str());
  DeleteFileW((images + L"\\" + next.name).c_str());
  ASSERT_TRUE(RemoveDirectoryW(images.c_str()));
  Seen gone;
  look(gone, nullptr);
  readCard(L"G");
  EXPECT_EQ(gone.title, kSaveTitle + L"G:");
  EXPECT_TRUE(proposed(gone, L"G")) << utf8(gone.name);
  EXPECT_EQ(messages().size(), 2u);
  EXPECT_TRUE(nothingOpen());
}

// The proposed name: the card, the date and the time, each number at its
// full width; a character no file name may hold is replaced.
TEST(BackupFileName, CardDateAndTime) {
  struct Case {
    const wchar_t* card;
    SYSTEMTIME time;
    const wchar_t* name;
  };
  const Case cases[] = {
      {L"G", {2026, 12, 4, 10, 13, 5, 0, 0}, L"G-20261210-130500.S7img"},
      {L"K", {2027, 1, 6, 2, 3, 4, 5, 999}, L"K-20270102-030405.S7img"},
      {L"A?:\\", {2026, 12, 4, 10, 13, 5, 0, 0}, L"A___-20261210-130500.S7img"},
  };
  for (const Case& c : cases) EXPECT_EQ(quenvory::backupFileName(c.card, c.time), c.name);
}

TEST_F(SystemMenuTest, CompareUsesTheChosenImageOrAsksForOne) {
  // No image chosen: the open dialog is shown, and cancelling it ends the
  // comparison as it ends a write.
  choose(quenvory::kMiCompareCard);
  ASSERT_TRUE(watcher.waitForBoxes(1, 10s));
  EXPECT_EQ(messages(), (Messages{{L"no image file selected", L"ERROR"}}));

  const std::wstring imageFile = scratch.file(L"image.S7img");
  writeFile(imageFile, image);
  confirmInDialog(imageFile);
  choose(quenvory::kMiCompareCard);
  ASSERT_TRUE(watcher.waitForBoxes(2, 10s));
  EXPECT_EQ(messages().back(),
            std::make_pair(std::wstring(L"card matches image"), std::wstring(L"Quenvory")));
  EXPECT_EQ(form->chosenFileName(), utf8(imageFile));

  // Chosen now: no dialog; a card that differs is named at its block.
  watcher.onFileDialog([](HWND) { ADD_FAILURE() << "a dialog opened"; });
  cardBytes[512 * 123 + 5] ^= 0xFF;
  writeFile(cardFile, cardBytes);
  choose(quenvory::kMiCompareCard);
  ASSERT_TRUE(watcher.waitForBoxes(3, 10s));
  EXPECT_EQ(messages().back(), std::make_pair(std::wstring(L"card differs from image at block 123"),
                                              std::wstring(L"MMC ERROR")));
  EXPECT_EQ(std::count_if(journal.begin(), journal.end(),
                          [](const std::string& e) { return e.rfind("write ", 0) == 0; }),
            0);
  EXPECT_TRUE(nothingOpen());
}

// While one operation runs, neither a menu choice nor the write button starts
// another, and a close before any block has moved stops it at once, the
// window staying until the run has ended.
TEST_F(SystemMenuTest, OperationsAreGuardedLikeTheWrite) {
  const std::wstring imageFile = scratch.file(L"image.S7img");
  writeFile(imageFile, image);
  confirmInDialog(imageFile);
  SendMessageW(form->control("btPickFile"), BM_CLICK, 0, 0);

  struct Case {
    const char* name;
    UINT command;
    const wchar_t* file;  // confirmed in the dialog the operation opens
    const wchar_t* closing;
  };
  for (const Case& c :
       {Case{"backup", quenvory::kMiReadCard, L"backup.S7img",
             L"stopped at block 0, no backup was kept"},
        Case{"comparison", quenvory::kMiCompareCard, L"image.S7img", L"stopped at block 0"}}) {
    SCOPED_TRACE(c.name);
    if (form == nullptr) SetUp();
    confirmInDialog(scratch.file(c.file));
    journal.clear();
    const HWND window = form->handle();
    bool startEnabled = true, aliveAfterClose = false;
    form->duringRun = [&] {
      startEnabled = IsWindowEnabled(form->control("btStart"));
      choose(quenvory::kMiReadCard);
      choose(quenvory::kMiCompareCard);
      SendMessageW(window, WM_COMMAND, MAKEWPARAM(quenvory::kBtStart, BN_CLICKED),
                   reinterpret_cast<LPARAM>(form->control("btStart")));
      SendMessageW(window, WM_CLOSE, 0, 0);
      aliveAfterClose = IsWindow(window) && IsWindowVisible(window);
    };
    const std::size_t before = watcher.boxes().size();
    choose(c.command);
    // The menu's command runs inside the call: every box it showed has been
    // counted by now.
    ASSERT_EQ(watcher.boxes().size(), before + 1);
    EXPECT_EQ(watcher.boxes().back().text, c.closing);
    EXPECT_FALSE(startEnabled);
    EXPECT_TRUE(aliveAfterClose);
    EXPECT_EQ(std::count(journal.begin(), journal.end(), "query G:"), 1);
    EXPECT_TRUE(nothingOpen());
    EXPECT_TRUE(waitFor(
        [&] {
          pumpMessages();
          return !IsWindow(window);
        },
        5s));
    form.reset();
  }
}

}  // namespace
