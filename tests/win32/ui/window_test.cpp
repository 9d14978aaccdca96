// The main window as built, its drive field and its labels.
// clang-format off
#include <windows.h>  // before the headers that build on it
// clang-format on

#include <commctrl.h>
#include <gtest/gtest.h>

#include <memory>

#include "disks/simulated_disk_services.h"
#include "tests/win32/ui/window_test_support.h"
#include "ui/Unit1.h"
#include "ui/application.h"

using namespace ui_test;
using quenvory::TForm1;

namespace {

class WindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // The caption the product's own start-up gives the window.
    form = std::make_unique<TForm1>(disk, quenvory::kProductCaption, false);
    form->create(GetModuleHandleW(nullptr));
    ShowWindow(form->handle(), SW_SHOWNORMAL);
    pumpMessages();
  }
  void TearDown() override {
    form.reset();
    pumpMessages();
  }

  HWND control(const char* name) { return form->control(name); }
  HWND driveEdit() {
    COMBOBOXINFO info{};
    info.cbSize = sizeof info;
    GetComboBoxInfo(control("cbDrive"), &info);
    return info.hwndItem;
  }

  disks::SimulatedDiskServices disk;
  std::unique_ptr<TForm1> form;
};

// A control's rectangle relative to its parent's client area.
RECT placeOf(HWND window) {
  RECT rect;
  GetWindowRect(window, &rect);
  MapWindowPoints(nullptr, GetParent(window), reinterpret_cast<POINT*>(&rect), 2);
  return rect;
}

std::wstring classOf(HWND window) {
  wchar_t name[64] = L"";
  GetClassNameW(window, name, 64);
  return name;
}

LOGFONTW fontOf(HWND window) {
  LOGFONTW font{};
  GetObjectW(reinterpret_cast<HFONT>(SendMessageW(window, WM_GETFONT, 0, 0)), sizeof font, &font);
  return font;
}

// Whether the control's font itself has a glyph for every character above
// ASCII in `text`: a face without them shows empty boxes.
bool drawsAll(HWND window, const std::wstring& text) {
  const HDC dc = GetDC(window);
  const HGDIOBJ previous =
      SelectObject(dc, reinterpret_cast<HFONT>(SendMessageW(window, WM_GETFONT, 0, 0)));
  bool all = true;
  for (wchar_t character : text) {
    if (character < 0x80) continue;
    WORD glyph = 0xFFFF;
    GetGlyphIndicesW(dc, &character, 1, &glyph, GGI_MARK_NONEXISTING_GLYPHS);
    if (glyph == 0xFFFF) all = false;
  }
  SelectObject(dc, previous);
  ReleaseDC(window, dc);
  return all;
}

// The size a label takes for its caption, measured here independently.
SIZE captionSize(HWND label) {
  std::wstring text = windowText(label);
  if (text.empty()) text = L" ";
  const HDC dc = GetDC(label);
  const HGDIOBJ previous =
      SelectObject(dc, reinterpret_cast<HFONT>(SendMessageW(label, WM_GETFONT, 0, 0)));
  SIZE size{};
  GetTextExtentPoint32W(dc, text.c_str(), int(text.size()), &size);
  TEXTMETRICW metrics{};
  GetTextMetricsW(dc, &metrics);
  SelectObject(dc, previous);
  ReleaseDC(label, dc);
  size.cy = metrics.tmHeight;
  return size;
}

TEST_F(WindowTest, FrameCaptionAndClientArea) {
  const HWND window = form->handle();
  EXPECT_EQ(windowText(window), L"QuenvoryV1.0");
  RECT client;
  GetClientRect(window, &client);
  EXPECT_EQ(client.right, 548);
  EXPECT_EQ(client.bottom, 169);
  RECT outer;
  GetWindowRect(window, &outer);
  EXPECT_EQ(outer.left, 202);
  EXPECT_EQ(outer.top, 136);
  const LONG_PTR style = GetWindowLongPtrW(window, GWL_STYLE);
  EXPECT_TRUE(style & WS_SYSMENU);
  EXPECT_EQ(style & WS_CAPTION, WS_CAPTION);
  EXPECT_FALSE(style & (WS_THICKFRAME | WS_MINIMIZEBOX | WS_MAXIMIZEBOX));
  EXPECT_TRUE(GetWindowLongPtrW(window, GWL_EXSTYLE) & WS_EX_DLGMODALFRAME);
  EXPECT_EQ(GetClassLongPtrW(window, GCLP_HBRBACKGROUND), LONG_PTR(COLOR_BTNSHADOW + 1));
  EXPECT_EQ(GetMenu(window), nullptr);
}

TEST_F(WindowTest, EveryControlAsDescribed) {
  constexpr int kWindowFont = -11, kLargeFont = -16;
  struct Row {
    const char* name;
    const wchar_t* windowClass;
    RECT place;  // left, top, right, bottom; labels: only left and top
    const wchar_t* text;
    int fontHeight;
    int weight;
    bool visible;
  };
  const Row rows[] = {
      {"Label1",
       L"Static",
       {8, 16, 0, 0},
       L"\u6587\u4EF6\u8DEF\u5F84\uFF1A   ",
       kLargeFont,
       FW_BOLD,
       true},
      {"lbFileName",
       L"Static",
       {100, 16, 0, 0},
       L"\u5C1A\u672A\u9009\u62E9\u6587\u4EF6    ",
       kLargeFont,
       FW_BOLD,
       true},
      {"Label2",
       L"Static",
       {8, 56, 0, 0},
       L"\u9009\u62E9MMC\u5361\u6240\u5728\u76D8\uFF1A    ",
       kLargeFont,
       FW_BOLD,
       true},
      {"Label3", L"Static", {264, 56, 0, 0}, L"", kLargeFont, FW_BOLD, true},
      {"Label4", L"Static", {280, 0, 0, 0}, nullptr, kWindowFont, FW_NORMAL, true},
      {"btStart", L"Button", {328, 136, 403, 161}, L"\u5199\u5165  ", kWindowFont, FW_NORMAL, true},
      // The closed field's height follows from its font (Wine: 30 rather than 28).
      {"cbDrive", L"ComboBox", {190, 48, 239, 0}, L"G", kLargeFont, FW_BOLD, true},
      {"Panel1", nullptr, {8, 88, 537, 129}, L"Panel1", 0, 0, false},
      {"ProgressBar1", L"msctls_progress32", {8, 9, 521, 33}, L"", 0, 0, true},
      {"btPickFile",
       L"Button",
       {144, 136, 219, 161},
       L"\u6253\u5F00\u6587\u4EF6",
       kWindowFont,
       FW_NORMAL,
       true},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const HWND window = control(row.name);
    ASSERT_NE(window, nullptr);
    if (row.windowClass != nullptr) {
      EXPECT_EQ(classOf(window), row.windowClass);
    }
    const RECT place = placeOf(window);
    EXPECT_EQ(place.left, row.place.left);
    EXPECT_EQ(place.top, row.place.top);
    if (row.place.right != 0) {
      EXPECT_EQ(place.right, row.place.right);
    }
    if (row.place.bottom != 0) {
      EXPECT_EQ(place.bottom, row.place.bottom);
    }
    const std::wstring text = windowText(window);
    if (row.text != nullptr) {
      EXPECT_EQ(text, row.text);
    }
    if (row.fontHeight != 0) {
      const LOGFONTW font = fontOf(window);
      EXPECT_EQ(font.lfHeight, row.fontHeight);
      EXPECT_EQ(font.lfWeight, row.weight);
      EXPECT_TRUE(drawsAll(window, text)) << "the caption's Chinese has no glyphs in its font";
    }
    // Visible in itself: the panel's child counts as shown once the panel is.
    EXPECT_EQ((GetWindowLongPtrW(window, GWL_STYLE) & WS_VISIBLE) != 0, row.visible);
  }
  EXPECT_EQ(GetParent(control("ProgressBar1")), control("Panel1"));
  EXPECT_FALSE(IsWindowVisible(control("ProgressBar1")));
}

TEST_F(WindowTest, LabelsSizeToTheirCaptionAtLoadAndOnEveryChange) {
  for (const char* name : {"Label1", "lbFileName", "Label2", "Label3", "Label4"}) {
    SCOPED_TRACE(name);
    const RECT place = placeOf(control(name));
    const SIZE wanted = captionSize(control(name));
    EXPECT_EQ(place.right - place.left, wanted.cx);
    EXPECT_EQ(place.bottom - place.top, wanted.cy);
  }
  // The empty status label measures as one space and grows with its text.
  const HWND status = control("Label3");
  const LONG empty = placeOf(status).right - placeOf(status).left;
  form->setStatus("3446 block image 128k Eprom");
  EXPECT_EQ(windowText(status), L"3446 block image 128k Eprom");
  EXPECT_GT(placeOf(status).right - placeOf(status).left, 10 * empty);
  EXPECT_EQ(placeOf(status).right - placeOf(status).left, captionSize(status).cx);
  form->setStatus("");
  EXPECT_EQ(placeOf(status).right - placeOf(status).left, empty);
}

TEST_F(WindowTest, DriveFieldListAndDecorations) {
  const HWND combo = control("cbDrive");
  ASSERT_EQ(SendMessageW(combo, CB_GETCOUNT, 0, 0), 7);
  const wchar_t* letters[] = {L"E", L"F", L"G", L"H", L"I", L"J", L"K"};
  for (int item = 0; item < 7; ++item) {
    wchar_t text[8] = L"";
    SendMessageW(combo, CB_GETLBTEXT, item, reinterpret_cast<LPARAM>(text));
    EXPECT_STREQ(text, letters[item]);
  }
  EXPECT_EQ(GetWindowLongPtrW(combo, GWL_STYLE) & 3, CBS_DROPDOWN);
  // Silver behind the field's text.
  const HDC dc = GetDC(driveEdit());
  const auto brush = reinterpret_cast<HBRUSH>(
      SendMessageW(form->handle(), WM_CTLCOLOREDIT, WPARAM(dc), LPARAM(driveEdit())));
  ReleaseDC(driveEdit(), dc);
  LOGBRUSH colour{};
  GetObjectW(brush, sizeof colour, &colour);
  EXPECT_EQ(colour.lbColor, RGB(192, 192, 192));

  const HWND bar = control("ProgressBar1");
  PBRANGE range{};
  SendMessageW(bar, PBM_GETRANGE, FALSE, reinterpret_cast<LPARAM>(&range));
  EXPECT_EQ(range.iLow, 0);
  EXPECT_EQ(range.iHigh, 100);
  EXPECT_TRUE(GetWindowLongPtrW(bar, GWL_STYLE) & PBS_SMOOTH);
}

TEST_F(WindowTest, TabOrderRunsWriteDriveFieldOpenFile) {
  // The dialog manager walks the tab stops in z-order.
  std::vector<std::string> order;
  for (HWND child = GetWindow(form->handle(), GW_CHILD); child != nullptr;
       child = GetWindow(child, GW_HWNDNEXT))
    for (const char* name : {"btStart", "cbDrive", "Panel1", "btPickFile"})
      if (child == control(name)) order.push_back(name);
  EXPECT_EQ(order, (std::vector<std::string>{"btStart", "cbDrive", "Panel1", "btPickFile"}));
  EXPECT_EQ(GetNextDlgTabItem(form->handle(), control("btStart"), FALSE), control("cbDrive"));
}

// What the operator does to the drive field, and what it then holds.
TEST_F(WindowTest, DriveFieldKeepsOneUpperCaseCharacter) {
  struct Case {
    const char* what;
    const wchar_t* before;
    const wchar_t* typed;  // characters typed at the end of the field
    int chosenItem;        // or an item chosen from the list (-1: none)
    const wchar_t* after;
  };
  const Case cases[] = {
      {"lower-case h into an empty field", L"", L"h", -1, L"H"},
      {"a second character after G", L"G", L"x", -1, L"G"},
      {"a second letter after G", L"G", L"K", -1, L"G"},
      {"a digit into an empty field", L"", L"7", -1, L"7"},
      {"K chosen from the list", L"G", L"", 6, L"K"},
      {"E chosen from the list", L"h", L"", 0, L"E"},
  };
  const HWND combo = control("cbDrive");
  const HWND edit = driveEdit();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    SetWindowTextW(combo, c.before);
    SendMessageW(edit, EM_SETSEL, 100, 100);
    SetFocus(edit);
    for (const wchar_t* key = c.typed; *key != L'\0'; ++key) SendMessageW(edit, WM_CHAR, *key, 1);
    if (c.chosenItem >= 0) {
      // Chosen with the arrow keys, from the item next to it.
      const bool fromBelow = c.chosenItem == 0;
      SendMessageW(combo, CB_SETCURSEL, c.chosenItem + (fromBelow ? 1 : -1), 0);
      SetWindowTextW(combo, c.before);
      SendMessageW(edit, WM_KEYDOWN, fromBelow ? VK_UP : VK_DOWN, 1);
    }
    pumpMessages();
    EXPECT_EQ(windowText(combo), c.after);
    EXPECT_EQ(form->driveText(), utf8(c.after));
  }
}

// The rule itself, on the bytes of an ANSI code page: single-byte (1252) and
// double-byte (936, where each Chinese character takes two bytes).
TEST(DriveTextRule, CountsCodePageBytesAndNeverSplitsACharacter) {
  struct Case {
    UINT codePage;
    const wchar_t* text;
    const wchar_t* result;
  };
  const Case cases[] = {
      {1252, L"", L""},
      {1252, L"h", L"H"},
      {1252, L"gx", L"G"},
      {1252, L"abc", L"AC"},         // one character per change, no more
      {1252, L"\u00e4", L"\u00c4"},  // upper-cased by the locale, not only ASCII
      {936, L"g\u5b57", L"G"},       // the double-byte character goes whole
      {936, L"\u5b57", L""},         // its second byte is byte 2: the whole character goes
      {936, L"\u5b57h", L"H"},
      {936, L"gh", L"G"},
      {1252, L"\u5b57h", L"\u5b57"},  // not in the code page: one byte, as "?" would be
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(utf8(c.text) + " in code page " + std::to_string(c.codePage));
    EXPECT_EQ(quenvory::normaliseDriveText(c.text, c.codePage), c.result);
  }
}

}  // namespace
