// Writes started from the window: the open dialog, the messages the operator
// sees, the progress display, failures reported in the exception report, and
// what a click or a close does while a write is running.
// clang-format off
#include <windows.h>  // before the headers that build on it
// clang-format on

#include <commctrl.h>
#include <commdlg.h>
#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>

#include "disks/simulated_disk_services.h"
#include "tests/win32/ui/window_test_support.h"
#include "ui/Unit1.h"
#include "ui/app_error.h"

using namespace ui_test;
using namespace std::chrono_literals;
using quenvory::TForm1;

namespace {

// The window, sampling its progress display each time the write lets it
// process events.
class SamplingForm : public TForm1 {
 public:
  using TForm1::TForm1;
  struct Sample {
    bool panelVisible;
    int position;
    std::wstring status;
  };
  std::vector<Sample> samples;
  std::function<void()> duringRun;

  void processEvents() override {
    samples.push_back({IsWindowVisible(control("Panel1")) != FALSE,
                       int(SendMessageW(control("ProgressBar1"), PBM_GETPOS, 0, 0)),
                       windowText(control("Label3"))});
    if (duringRun) std::exchange(duringRun, nullptr)();
    TForm1::processEvents();
  }
};

// Disk services whose device lookup fails the way a test asks.
class FailingDisk : public disks::SimulatedDiskServices {
 public:
  using SimulatedDiskServices::SimulatedDiskServices;
  std::function<void()> failure;
  bool queryDosDevice(const std::string& name, std::string& target) override {
    if (failure) failure();
    return SimulatedDiskServices::queryDosDevice(name, target);
  }
};

class RunTest : public ::testing::Test {
 protected:
  void SetUp() override {
    form = std::make_unique<SamplingForm>(disk, L"QuenvoryV1.0", false);
    form->create(GetModuleHandleW(nullptr));
    ShowWindow(form->handle(), SW_SHOWNORMAL);
    pumpMessages();
    watcher.watchMainWindow(form->handle());
  }
  void TearDown() override {
    form.reset();
    pumpMessages();
  }

  void addCard(const std::string& letter, disks::SimulatedDrive::Kind kind,
               std::int64_t refuseBlock = -1) {
    disks::SimulatedDrive drive;
    drive.kind = kind;
    drive.file = utf8(cardFile);
    drive.refuseBlock = refuseBlock;
    drive.refuseError = 1117;
    disk.addDrive(letter, drive);
  }
  // Confirms `path` in the open dialog the next time it opens.
  void confirmInDialog(const std::wstring& path) {
    watcher.onFileDialog([path](HWND dialog) {
      SendMessageW(dialog, CDM_SETCONTROLTEXT, 0x47C, reinterpret_cast<LPARAM>(path.c_str()));
      PostMessageW(dialog, WM_COMMAND, IDOK, 0);
      waitFor([&] { return !IsWindow(dialog); }, 5s);
    });
  }
  void click(const char* name) { SendMessageW(form->control(name), BM_CLICK, 0, 0); }
  std::vector<std::pair<std::wstring, std::wstring>> messages() {
    std::vector<std::pair<std::wstring, std::wstring>> shown;
    for (const SeenBox& box : watcher.boxes()) shown.emplace_back(box.text, box.caption);
    return shown;
  }
  bool nothingOpen() {
    return disk.openDevices() == 0 && disk.openImages() == 0 && disk.liveBuffers() == 0;
  }

  ScratchFolder scratch;
  std::wstring cardFile = scratch.file(L"card.img");
  std::vector<std::string> journal;
  FailingDisk disk{&journal};
  std::unique_ptr<SamplingForm> form;
  Watcher watcher;
};

using Messages = std::vector<std::pair<std::wstring, std::wstring>>;

// A control's rectangle relative to its parent's client area.
RECT placeOf(HWND window) {
  RECT rect;
  GetWindowRect(window, &rect);
  MapWindowPoints(nullptr, GetParent(window), reinterpret_cast<POINT*>(&rect), 2);
  return rect;
}

// The label follows the items the operator selects in the open dialog, and
// only them: the dialog's opening, which selects nothing (Wine reports the
// folder then), leaves the label as it was, and cancelling keeps the last
// selected item's path while the file the write uses stays what it was. The
// process's current folder never follows the dialog (it would hold the
// browsed drive open, and the card's volume could not be locked).
TEST_F(RunTest, DialogLabelFollowsSelectedItemsOnly) {
  for (const wchar_t* name : {L"a.S7img", L"b.S7img", L"c.S7img", L"chosen.S7img"})
    writeFile(scratch.file(name), completeImage(1));
  const HWND label = form->control("lbFileName");
  const std::wstring initial = windowText(label);
  const auto currentFolder = [] {
    wchar_t folder[MAX_PATH] = L"";
    GetCurrentDirectoryW(MAX_PATH, folder);
    return std::wstring(folder);
  };
  const std::wstring startedIn = currentFolder();

  struct Case {
    const char* what;
    const wchar_t* confirmedBefore;  // confirmed in an earlier opening, or nullptr
    std::vector<const wchar_t*> selected;
    std::wstring labelAtOpening;
    std::string chosenAfter;
  };
  const Case cases[] = {
      // Wherever the dialog opens, it reports its folder.
      {"first opening, nothing chosen yet", nullptr, {}, initial, ""},
      // The dialog opens in the confirmed file's folder.
      {"after a confirmed file",
       L"chosen.S7img",
       {L"a.S7img", L"b.S7img", L"c.S7img"},
       scratch.file(L"chosen.S7img"),
       utf8(scratch.file(L"chosen.S7img"))},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    if (c.confirmedBefore != nullptr) {
      confirmInDialog(scratch.file(c.confirmedBefore));
      click("btPickFile");
      ASSERT_EQ(windowText(label), scratch.file(c.confirmedBefore));
      EXPECT_EQ(currentFolder(), startedIn);
    }
    std::wstring atOpening;
    std::vector<std::wstring> labels;
    watcher.onFileDialog([&](HWND dialog) {
      HWND list = nullptr;
      waitFor(
          [&] {
            return (list = fileList(dialog)) != nullptr &&
                   (c.selected.empty() || findListItem(list, c.selected.back()) >= 0);
          },
          5s);
      // Once the dialog answers, it has done all it does on opening.
      SendMessageTimeoutW(dialog, WM_NULL, 0, 0, SMTO_BLOCK, 5000, nullptr);
      atOpening = windowText(label);
      for (const wchar_t* name : c.selected) {
        const std::wstring path = scratch.file(name);
        selectListItem(list, findListItem(list, name));
        waitFor([&] { return windowText(label) == path; }, 3s);
        labels.push_back(windowText(label));
      }
    });  // then the watcher cancels the dialog
    click("btPickFile");

    EXPECT_EQ(atOpening, c.labelAtOpening);
    std::vector<std::wstring> expected;
    for (const wchar_t* name : c.selected) expected.push_back(scratch.file(name));
    EXPECT_EQ(labels, expected);
    EXPECT_EQ(windowText(label), expected.empty() ? c.labelAtOpening : expected.back());
    EXPECT_EQ(form->chosenFileName(), c.chosenAfter);
    EXPECT_EQ(currentFolder(), startedIn);
  }
  EXPECT_TRUE(messages().empty());
}

// The label's picture: what it draws into a bitmap of its own size, as the
// window asks it to paint.
std::vector<COLORREF> picture(HWND label, const std::function<void(HDC, const RECT&)>& paint) {
  RECT area;
  GetClientRect(label, &area);
  const HDC screen = GetDC(label);
  const HDC dc = CreateCompatibleDC(screen);
  const HBITMAP bitmap = CreateCompatibleBitmap(screen, area.right, area.bottom);
  const HGDIOBJ previous = SelectObject(dc, bitmap);
  paint(dc, area);
  std::vector<COLORREF> pixels;
  for (int y = 0; y < area.bottom; ++y)
    for (int x = 0; x < area.right; ++x) pixels.push_back(GetPixel(dc, x, y));
  SelectObject(dc, previous);
  DeleteObject(bitmap);
  DeleteDC(dc);
  ReleaseDC(label, screen);
  return pixels;
}

// A path too long for the window: the label ends at the window's edge and
// draws the path with an ellipsis in the middle, keeping its drive, its first
// folder and its whole file name; it still holds the whole path. (A caption
// that fits is drawn whole at its own width: the labels' sizing test.)
TEST_F(RunTest, LongPathShowsItsFileNameWithAnEllipsisInTheMiddle) {
  const std::wstring deep =
      scratch.folder(L"machine line 4\\station 12\\images kept for the year 2026\\current");
  const std::wstring longPath = deep + L"\\controller-firmware.S7img";
  writeFile(longPath, completeImage(1));
  const HWND label = form->control("lbFileName");
  const RECT initial = placeOf(label);
  RECT client;
  GetClientRect(form->handle(), &client);

  confirmInDialog(longPath);
  click("btPickFile");
  ASSERT_EQ(windowText(label), longPath);
  const RECT place = placeOf(label);
  EXPECT_EQ(place.left, initial.left);
  EXPECT_EQ(place.top, initial.top);
  EXPECT_EQ(place.bottom, initial.bottom);
  EXPECT_EQ(place.right, client.right);

  // The text the system's path rule makes of it for the label's rectangle
  // and font: the drive and first folder, an ellipsis, the file name.
  const HFONT font = reinterpret_cast<HFONT>(SendMessageW(label, WM_GETFONT, 0, 0));
  std::wstring shown = longPath + std::wstring(8, L'\0');
  {
    const HDC dc = GetDC(label);
    const HGDIOBJ previous = SelectObject(dc, font);
    RECT area;
    GetClientRect(label, &area);
    DrawTextW(dc, &shown[0], int(longPath.size()), &area,
              DT_CALCRECT | DT_SINGLELINE | DT_NOPREFIX | DT_PATH_ELLIPSIS | DT_MODIFYSTRING);
    SelectObject(dc, previous);
    ReleaseDC(label, dc);
  }
  shown.resize(wcslen(shown.c_str()));
  const std::wstring tail = L"...\\controller-firmware.S7img";
  EXPECT_EQ(shown.rfind(tail), shown.size() - tail.size()) << utf8(shown);
  EXPECT_EQ(shown.find(scratch.path().substr(0, scratch.path().find(L'\\', 3) + 1)), 0u)
      << utf8(shown);

  // What the label draws is that text, pixel for pixel.
  const std::vector<COLORREF> drawn = picture(label, [&](HDC dc, const RECT&) {
    SendMessageW(label, WM_PRINTCLIENT, WPARAM(dc), PRF_CLIENT | PRF_ERASEBKGND);
  });
  const std::vector<COLORREF> expected = picture(label, [&](HDC dc, const RECT& area) {
    FillRect(dc, &area, GetSysColorBrush(COLOR_BTNSHADOW));
    const HGDIOBJ previous = SelectObject(dc, font);
    SetBkMode(dc, TRANSPARENT);
    SetTextColor(dc, GetSysColor(COLOR_WINDOWTEXT));
    RECT text = area;
    DrawTextW(dc, shown.c_str(), int(shown.size()), &text, DT_SINGLELINE | DT_NOPREFIX);
    SelectObject(dc, previous);
  });
  EXPECT_TRUE(drawn == expected) << "the label draws something else than " << utf8(shown);
}

TEST_F(RunTest, ConfirmedFileIsWhatTheNextWriteWrites) {
  addCard("G", disks::SimulatedDrive::Kind::RemovableCard);
  const std::vector<std::uint8_t> image = completeImage(250);
  writeFile(scratch.file(L"picked.S7img"), image);
  confirmInDialog(scratch.file(L"picked.S7img"));
  click("btPickFile");
  watcher.onFileDialog(nullptr);

  click("btStart");
  ASSERT_TRUE(watcher.waitForBoxes(1, 10s));
  EXPECT_EQ(messages(), (Messages{{L"done", L"Quenvory"}}));
  const std::vector<std::uint8_t> card = readFile(cardFile);
  ASSERT_GE(card.size(), image.size() - 8);
  EXPECT_TRUE(std::equal(image.begin() + 8, image.end(), card.begin()));
  EXPECT_EQ(windowText(form->control("Label3")), L"250 block image");
  EXPECT_TRUE(nothingOpen());
}

TEST_F(RunTest, ProgressShowsDuringTheRunAndStaysAtEighty) {
  addCard("G", disks::SimulatedDrive::Kind::RemovableCard);
  writeFile(scratch.file(L"image.S7img"), completeImage(250));
  confirmInDialog(scratch.file(L"image.S7img"));
  click("btStart");  // no file chosen yet: the dialog opens after the drive checks

  ASSERT_TRUE(watcher.waitForBoxes(1, 10s));
  EXPECT_EQ(messages(), (Messages{{L"done", L"Quenvory"}}));
  std::vector<int> shownAt;
  for (const auto& sample : form->samples)
    if (sample.panelVisible) shownAt.push_back(sample.position);
  // The write moves the bar at blocks 100 and 200 (a read-back may follow).
  ASSERT_GE(shownAt.size(), 2u);
  EXPECT_EQ(std::vector<int>(shownAt.begin(), shownAt.begin() + 2), (std::vector<int>{40, 80}));
  EXPECT_FALSE(IsWindowVisible(form->control("Panel1")));
  EXPECT_EQ(SendMessageW(form->control("ProgressBar1"), PBM_GETPOS, 0, 0), 80);
}

// The message box a dialog of this process shows over `dialog`, or nullptr.
HWND boxOwnedBy(HWND dialog) {
  struct Search {
    HWND owner;
    HWND found;
  } search{dialog, nullptr};
  EnumThreadWindows(
      GetWindowThreadProcessId(dialog, nullptr),
      [](HWND window, LPARAM lParam) -> BOOL {
        auto* search = reinterpret_cast<Search*>(lParam);
        wchar_t name[16] = L"";
        GetClassNameW(window, name, 16);
        if (std::wstring(name) != L"#32770" || GetWindow(window, GW_OWNER) != search->owner ||
            !IsWindowVisible(window) || !isMessageBox(window))
          return TRUE;
        search->found = window;
        return FALSE;
      },
      reinterpret_cast<LPARAM>(&search));
  return search.found;
}

// Takes the open dialog to `folder`, as typing the folder and OK does: where
// the dialog starts is the system's choice (the last folder used, kept from
// run to run), not the test's.
bool showFolder(HWND dialog, const std::wstring& folder) {
  SendMessageW(dialog, CDM_SETCONTROLTEXT, 0x47C, reinterpret_cast<LPARAM>(folder.c_str()));
  PostMessageW(dialog, WM_COMMAND, IDOK, 0);
  return waitFor(
      [&] {
        wchar_t shown[MAX_PATH] = L"";
        SendMessageW(dialog, CDM_GETFOLDERPATH, MAX_PATH, reinterpret_cast<LPARAM>(shown));
        return _wcsicmp(shown, folder.c_str()) == 0;
      },
      5s);
}

// Every name the open dialog's file list shows, once it shows `expected`.
std::vector<std::wstring> listedFiles(HWND dialog, const std::wstring& expected) {
  HWND list = nullptr;
  waitFor([&] { return (list = fileList(dialog)) != nullptr && findListItem(list, expected) >= 0; },
          5s);
  std::vector<std::wstring> names;
  const int count = list == nullptr ? 0 : int(SendMessageW(list, LVM_GETITEMCOUNT, 0, 0));
  for (int item = 0; item < count; ++item) {
    wchar_t text[MAX_PATH] = L"";
    LVITEMW request{};
    request.pszText = text;
    request.cchTextMax = MAX_PATH;
    SendMessageW(list, LVM_GETITEMTEXTW, item, reinterpret_cast<LPARAM>(&request));
    names.push_back(text);
  }
  return names;
}

// True when the program runs under Wine rather than Windows.
bool underWine() {
  const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

// The open dialog as the window sets it up: it lists image files only and
// refuses a file that is not there, keeping the choice made before.
TEST_F(RunTest, OpenDialogListsImagesOnlyAndRefusesMissingFiles) {
  writeFile(scratch.file(L"card.S7img"), completeImage(1));
  writeFile(scratch.file(L"card.txt"), completeImage(1));  // the same name, another kind
  writeFile(scratch.file(L"notes.bin"), completeImage(1));

  // What the watcher's thread finds; shared, so that it outlives a test that
  // ends early.
  struct Found {
    std::atomic<bool> done{false};
    std::vector<std::wstring> listed;
    bool refused = false, stayedOpen = false;
  };
  auto found = std::make_shared<Found>();
  const std::wstring folder = scratch.path();
  watcher.onFileDialog([found, folder](HWND dialog) {
    if (showFolder(dialog, folder)) found->listed = listedFiles(dialog, L"card.S7img");
    found->done = true;
  });  // then cancelled
  click("btPickFile");
  ASSERT_TRUE(waitFor([&] { return found->done.load(); }, 10s));
  EXPECT_EQ(found->listed, std::vector<std::wstring>{L"card.S7img"});
  EXPECT_EQ(form->chosenFileName(), "");

  confirmInDialog(scratch.file(L"card.S7img"));
  click("btPickFile");
  EXPECT_EQ(form->chosenFileName(), utf8(scratch.file(L"card.S7img")));

  found->done = false;
  const std::wstring missing = scratch.file(L"missing.S7img");
  watcher.onFileDialog([found, missing](HWND dialog) {
    SendMessageW(dialog, CDM_SETCONTROLTEXT, 0x47C, reinterpret_cast<LPARAM>(missing.c_str()));
    PostMessageW(dialog, WM_COMMAND, IDOK, 0);
    // The dialog says so in a box of its own, and stays open.
    HWND box = nullptr;
    found->refused = waitFor([&] { return (box = boxOwnedBy(dialog)) != nullptr; }, 5s);
    if (box != nullptr) {
      PostMessageW(box, WM_COMMAND, IDOK, 0);
      waitFor([&] { return !IsWindow(box); }, 5s);
    }
    found->stayedOpen = IsWindow(dialog) != FALSE;
    found->done = true;
  });  // then cancelled
  click("btPickFile");
  ASSERT_TRUE(waitFor([&] { return found->done.load(); }, 10s));
  EXPECT_TRUE(found->refused);
  EXPECT_TRUE(found->stayedOpen);
  EXPECT_EQ(form->chosenFileName(), utf8(scratch.file(L"card.S7img")));
  EXPECT_TRUE(messages().empty());
}

// A name typed without extension is the image of that name. Wine's dialog
// checks that a typed name exists before it adds the default extension, and
// refuses "card" as missing: this shows only on Windows.
TEST_F(RunTest, OpenDialogGivesATypedNameTheImageExtension_WineRefusesItAsMissing) {
  if (underWine())
    GTEST_SKIP() << "Wine's open dialog refuses a name without extension before adding the "
                    "default one";
  writeFile(scratch.file(L"card.S7img"), completeImage(1));
  const std::wstring folder = scratch.path();
  watcher.onFileDialog([folder](HWND dialog) {
    if (!showFolder(dialog, folder)) return;
    SendMessageW(dialog, CDM_SETCONTROLTEXT, 0x47C, reinterpret_cast<LPARAM>(L"card"));
    PostMessageW(dialog, WM_COMMAND, IDOK, 0);
    waitFor([&] { return !IsWindow(dialog); }, 5s);
  });
  click("btPickFile");
  EXPECT_EQ(form->chosenFileName(), utf8(scratch.file(L"card.S7img")));
  EXPECT_TRUE(messages().empty());
}

// A file named outside the ANSI code page, chosen in the dialog, is the file
// written: its name reaches the card writer whole.
TEST_F(RunTest, ChineseFileNameChosenInTheDialogIsWritten) {
  const std::wstring name = L"\u5361\u7247\u955C\u50CF.S7img";  // "card image"
  BOOL lost = FALSE;
  WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, name.c_str(), -1, nullptr, 0, nullptr, &lost);
  ASSERT_TRUE(lost) << "the ANSI code page holds these characters: the test shows nothing here";

  addCard("G", disks::SimulatedDrive::Kind::RemovableCard);
  const std::vector<std::uint8_t> image = completeImage(120);
  const std::wstring path = scratch.file(name);
  writeFile(path, image);
  const std::wstring folder = scratch.path();
  const HWND label = form->control("lbFileName");
  watcher.onFileDialog([name, path, folder, label](HWND dialog) {
    if (!showFolder(dialog, folder)) return;
    HWND list = nullptr;
    waitFor([&] { return (list = fileList(dialog)) != nullptr && findListItem(list, name) >= 0; },
            5s);
    if (list == nullptr) return;
    selectListItem(list, findListItem(list, name));
    waitFor([&] { return windowText(label) == path; }, 3s);
    PostMessageW(dialog, WM_COMMAND, IDOK, 0);
    waitFor([&] { return !IsWindow(dialog); }, 5s);
  });
  click("btStart");  // no file chosen yet: the dialog opens after the drive checks

  ASSERT_TRUE(watcher.waitForBoxes(1, 10s));
  EXPECT_EQ(messages(), (Messages{{L"done", L"Quenvory"}}));
  EXPECT_EQ(form->chosenFileName(), utf8(path));
  EXPECT_EQ(windowText(label), path);
  const std::vector<std::uint8_t> card = readFile(cardFile);
  ASSERT_GE(card.size(), image.size() - 8);
  EXPECT_TRUE(std::equal(image.begin() + 8, image.end(), card.begin()));
}

// A run that fails leaves the status text and the bar where the last accepted
// header and the blocks written under it put them; the run after it starts
// from an empty bar and shows its own block count.
TEST_F(RunTest, FailedRunLeavesTheLastHeadersStateAndTheNextRunStartsClean) {
  struct Step {
    const char* what;
    std::vector<std::uint8_t> image;
    std::int64_t refuseBlock;
    Messages expected;
    const wchar_t* status;  // the status text afterwards
    int position;           // the bar's position afterwards
    // Whether the window processes events during the run: only from an
    // accepted header on.
    bool looked;
  };
  const Step steps[] = {
      {"refused block",
       completeImage(250),
       237,
       {{L"error 1117 writing to MMC card.", L"MMC ERROR"}},
       L"250 block image",
       80,
       true},
      // The bar is emptied before the header is read; the status text is
      // only ever set from an accepted header.
      {"header refused",
       imageBytes(100, -1134, 512),
       -1,
       {{L"this is V0.9 Image File, use with V0.9", L"ERROR"}},
       L"250 block image",
       0,
       false},
      {"written", completeImage(150), -1, {{L"done", L"Quenvory"}}, L"150 block image", 66, true},
  };
  confirmInDialog(scratch.file(L"step.S7img"));  // asked for by the first run only
  for (const Step& step : steps) {
    SCOPED_TRACE(step.what);
    addCard("G", disks::SimulatedDrive::Kind::RemovableCard, step.refuseBlock);
    writeFile(scratch.file(L"step.S7img"), step.image);
    form->samples.clear();
    const std::size_t before = watcher.boxes().size();
    click("btStart");
    const std::vector<SeenBox> all = watcher.boxes();
    ASSERT_EQ(all.size(), before + step.expected.size());
    Messages shown;
    for (std::size_t k = before; k < all.size(); ++k)
      shown.emplace_back(all[k].text, all[k].caption);
    EXPECT_EQ(shown, step.expected);
    EXPECT_EQ(windowText(form->control("Label3")), step.status);
    EXPECT_EQ(SendMessageW(form->control("ProgressBar1"), PBM_GETPOS, 0, 0), step.position);
    EXPECT_FALSE(IsWindowVisible(form->control("Panel1")));
    EXPECT_EQ(!form->samples.empty(), step.looked);
    if (step.looked && !form->samples.empty()) {
      // The first look at the window, right after this run's header was
      // accepted: its own count, an empty bar, no panel yet.
      EXPECT_FALSE(form->samples[0].panelVisible);
      EXPECT_EQ(form->samples[0].position, 0);
      EXPECT_EQ(form->samples[0].status, step.status);
    }
    EXPECT_TRUE(nothingOpen());
  }
}

// The card writer's messages: the text and caption it gives, an OK button,
// no icon, owned by the window, which takes no clicks meanwhile.
TEST_F(RunTest, CardWriterMessagesHaveNoIconAndAreOwnedByTheWindow) {
  struct Case {
    const char* what;
    disks::SimulatedDrive::Kind kind;
    std::vector<std::uint8_t> image;
    std::int64_t refuseBlock;
    Messages expected;
  };
  const Case cases[] = {
      {"complete image",
       disks::SimulatedDrive::Kind::RemovableCard,
       completeImage(3),
       -1,
       {{L"done", L"Quenvory"}}},
      {"fixed disk",
       disks::SimulatedDrive::Kind::FixedDisk,
       completeImage(3),
       -1,
       {{L"your system does not recognize a removable media at >G", L"ERROR"}}},
      {"old format",
       disks::SimulatedDrive::Kind::RemovableCard,
       imageBytes(100, -1134, 512),
       -1,
       {{L"this is V0.9 Image File, use with V0.9", L"ERROR"}}},
      {"refused block",
       disks::SimulatedDrive::Kind::RemovableCard,
       completeImage(250),
       37,
       {{L"error 1117 writing to MMC card.", L"MMC ERROR"}}},
  };
  confirmInDialog(scratch.file(L"case.S7img"));  // asked for by the first run only
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    addCard("G", c.kind, c.refuseBlock);
    writeFile(scratch.file(L"case.S7img"), c.image);
    const std::size_t before = watcher.boxes().size();
    click("btStart");
    ASSERT_TRUE(watcher.waitForBoxes(before + c.expected.size(), 10s));
    const std::vector<SeenBox> all = watcher.boxes();
    const std::vector<SeenBox> seen(all.begin() + before, all.end());
    ASSERT_EQ(seen.size(), c.expected.size());
    for (std::size_t k = 0; k < seen.size(); ++k) {
      EXPECT_EQ(seen[k].text, c.expected[k].first);
      EXPECT_EQ(seen[k].caption, c.expected[k].second);
      EXPECT_FALSE(seen[k].anyIcon);
      EXPECT_EQ(seen[k].owner, form->handle());
      EXPECT_FALSE(seen[k].mainEnabled);
    }
    EXPECT_TRUE(nothingOpen());
  }
}

// A failure that escapes the write reaches the exception report: the period
// rule, the application title as caption, the error icon, every window of
// the application disabled while it is open; and the window goes on.
TEST_F(RunTest, ExceptionReportInAHandler) {
  struct Case {
    const char* what;
    std::function<void()> failure;
    const wchar_t* shown;  // nullptr: nothing is shown
  };
  const Case cases[] = {
      {"letter", [] { throw quenvory::AppError("abc"); }, L"abc."},
      {"digit", [] { throw quenvory::AppError("disk 7"); }, L"disk 7."},
      {"period", [] { throw quenvory::AppError("abc."); }, L"abc."},
      {"exclamation mark", [] { throw quenvory::AppError("abc!"); }, L"abc!"},
      {"parenthesis", [] { throw quenvory::AppError("abc)"); }, L"abc)"},
      {"space", [] { throw quenvory::AppError("abc "); }, L"abc "},
      {"empty", [] { throw quenvory::AppError(""); }, L""},
      {"Chinese", [] { throw quenvory::AppError("\xE8\xB7\xAF\xE5\xBE\x84"); }, L"\u8DEF\u5F84."},
      {"silent abort", [] { throw quenvory::SilentAbort(); }, nullptr},
      {"other kind", [] { throw std::runtime_error("bad thing"); },
       L"unexpected failure inside the program: bad thing."},
      {"not an exception class", [] { throw 42; }, L"unexpected failure inside the program."},
  };
  // The title this test's own executable, quenvory_ui_tests.exe, gives.
  const std::wstring title = L"quenvory_ui_tests";

  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::size_t before = watcher.boxes().size();
    disk.failure = c.failure;
    click("btStart");
    disk.failure = nullptr;
    if (c.shown == nullptr) {
      // A report is shown, and closed by the watcher, inside the click: by
      // now it would have been counted.
      EXPECT_EQ(watcher.boxes().size(), before);
    } else {
      ASSERT_TRUE(watcher.waitForBoxes(before + 1, 5s));
      const SeenBox box = watcher.boxes().back();
      EXPECT_EQ(box.text, c.shown);
      EXPECT_EQ(box.caption, title);
      EXPECT_TRUE(box.errorIcon);
      EXPECT_FALSE(box.mainEnabled);
    }
    // The window goes on, ready for the next write.
    EXPECT_TRUE(IsWindow(form->handle()));
    EXPECT_TRUE(IsWindowEnabled(form->handle()));
    EXPECT_TRUE(IsWindowEnabled(form->control("btStart")));
    EXPECT_FALSE(form->running());
  }
  // And a write after them all works.
  addCard("G", disks::SimulatedDrive::Kind::RemovableCard);
  writeFile(scratch.file(L"after.S7img"), completeImage(2));
  confirmInDialog(scratch.file(L"after.S7img"));
  const std::size_t before = watcher.boxes().size();
  click("btStart");
  ASSERT_TRUE(watcher.waitForBoxes(before + 1, 5s));
  EXPECT_EQ(watcher.boxes().back().text, L"done");
}

TEST(ApplicationTitle, FromTheExecutableName) {
  struct Case {
    const wchar_t* path;
    const wchar_t* title;
  };
  const Case cases[] = {
      {L"C:\\Tools\\WRITER.EXE", L"Writer"},
      {L"C:\\Tools\\quenvory.exe", L"quenvory"},
      {L"C:\\Program Files\\Card.Writer.v2.exe", L"Card"},
      {L"C:\\dir.with.dots\\MMC", L"Mmc"},
      {L"quenvory-demo.exe", L"quenvory-demo"},
  };
  for (const Case& c : cases) EXPECT_EQ(quenvory::titleFromPath(c.path), c.title);
}

TEST(ExceptionReport, PeriodRule) {
  struct Case {
    const char* text;
    const char* shown;
  };
  const Case cases[] = {
      {"abc", "abc."}, {"abc.", "abc."}, {"abc!", "abc!"}, {"abc)", "abc)"}, {"abc ", "abc "},
      {"", ""},        {"1", "1."},      {"a,", "a,"},     {"a/", "a/."},  // "/" comes after "." in
                                                                           // byte order
  };
  for (const Case& c : cases) EXPECT_EQ(quenvory::withPeriod(c.text), c.shown) << c.text;
}

// A second click while a write runs, whether during its event processing or
// while one of its message boxes is open, never starts a second write.
TEST_F(RunTest, SecondClickDuringARunStartsNothing) {
  addCard("G", disks::SimulatedDrive::Kind::RemovableCard);
  // Claims 1000 blocks, holds 600 and a half: the run stops at a message box.
  writeFile(scratch.file(L"short.S7img"), imageBytes(1000, 1000 - 1236, 600 * 512 + 256));
  confirmInDialog(scratch.file(L"short.S7img"));
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

// Closing the window during a write lets the write finish and release the
// card and the file; the window closes right after.
TEST_F(RunTest, CloseDuringARunWaitsForItsEnd) {
  struct Case {
    const char* what;
    bool whileBoxIsOpen;
  };
  for (const Case& c :
       {Case{"while events are processed", false}, Case{"while a box is open", true}}) {
    SCOPED_TRACE(c.what);
    if (form == nullptr) SetUp();
    addCard("G", disks::SimulatedDrive::Kind::RemovableCard);
    writeFile(scratch.file(L"short.S7img"), imageBytes(1000, 1000 - 1236, 600 * 512 + 256));
    confirmInDialog(scratch.file(L"short.S7img"));
    const HWND window = form->handle();
    std::atomic<bool> aliveAfterClose{false};
    const std::size_t before = watcher.boxes().size();
    if (c.whileBoxIsOpen) {
      watcher.onBox([&](HWND, const SeenBox& box) {
        if (box.caption != L"surprised") return;
        // Sent, not posted: it returns once the window has answered the
        // close, from inside the box's own message loop.
        DWORD_PTR ignored = 0;
        SendMessageTimeoutW(window, WM_CLOSE, 0, 0, SMTO_BLOCK, 5000, &ignored);
        aliveAfterClose = IsWindow(window) && IsWindowVisible(window);
      });
    } else {
      form->duringRun = [&] {
        SendMessageW(window, WM_CLOSE, 0, 0);
        aliveAfterClose = IsWindow(window) && IsWindowVisible(window);
      };
    }
    click("btStart");
    EXPECT_TRUE(aliveAfterClose);
    ASSERT_TRUE(watcher.waitForBoxes(before + 2, 10s));
    EXPECT_EQ(watcher.boxes().back().text, L"done");
    EXPECT_TRUE(nothingOpen());
    EXPECT_TRUE(waitFor([&] { return !IsWindow(window); }, 5s));
    EXPECT_EQ(form->handle(), nullptr);
    watcher.onBox(nullptr);
    form.reset();
  }
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
TEST_F(RunTest, SessionIsHeldBackAndTheSystemKeptAwakeDuringARunOnly) {
  addCard("G", disks::SimulatedDrive::Kind::RemovableCard);
  // Claims 1000 blocks, holds 600 and a half: the run stops at a message box.
  writeFile(scratch.file(L"short.S7img"), imageBytes(1000, 1000 - 1236, 600 * 512 + 256));
  confirmInDialog(scratch.file(L"short.S7img"));
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
TEST_F(RunTest, SessionEndDuringARunNeverCutsTheRunShort) {
  struct Case {
    const char* what;
    bool ending;
    bool windowAfter;
  };
  for (const Case& c :
       {Case{"the session goes on", false, true}, Case{"the session ends anyway", true, false}}) {
    SCOPED_TRACE(c.what);
    if (form == nullptr) SetUp();
    addCard("G", disks::SimulatedDrive::Kind::RemovableCard);
    writeFile(scratch.file(L"image.S7img"), completeImage(250));
    confirmInDialog(scratch.file(L"image.S7img"));
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
