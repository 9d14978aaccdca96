// The open dialog as a run's road to its image file: the label that follows
// the selection, a long path's ellipsis, what the dialog lists and refuses,
// and that the file confirmed there is the file the next write writes.
#include <atomic>
#include <memory>

#include "tests/win32/ui/run_fixture.h"

using namespace ui_test;

namespace {

class OpenDialogTest : public RunTest {};

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
TEST_F(OpenDialogTest, DialogLabelFollowsSelectedItemsOnly) {
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
TEST_F(OpenDialogTest, LongPathShowsItsFileNameWithAnEllipsisInTheMiddle) {
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

TEST_F(OpenDialogTest, ConfirmedFileIsWhatTheNextWriteWrites) {
  addCard("G", disks::SimulatedDrive::Kind::RemovableCard);
  const std::vector<std::uint8_t> image = completeImage(250);
  offerImage(L"picked.S7img", image);
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
TEST_F(OpenDialogTest, OpenDialogListsImagesOnlyAndRefusesMissingFiles) {
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
TEST_F(OpenDialogTest, OpenDialogGivesATypedNameTheImageExtension_WineRefusesItAsMissing) {
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
TEST_F(OpenDialogTest, ChineseFileNameChosenInTheDialogIsWritten) {
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

}  // namespace
