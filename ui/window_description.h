// The main window as described: its size and place, and one row per control
// with its kind, rectangle, caption, font, tab order, list items and the
// handler its notifications run. The window is built from this table alone.
#pragma once

#include <windows.h>

#include <vector>

namespace quenvory {

class TForm1;

// Control identifiers; 1 and 2 are left to the dialog keys (IDOK, IDCANCEL).
enum ControlId : int {
  kLabel1 = 1001,
  kLbFileName,
  kLabel2,
  kLabel3,
  kLabel4,
  kBtStart,
  kCbDrive,
  kPanel1,
  kProgressBar1,
  kBtPickFile,
};

enum class ControlKind { Label, Button, ComboBox, Panel, ProgressBar };
enum class FontRole {
  Window,         // the window's own font
  WindowChinese,  // the window's size and weight, for Chinese captions
  LargeBold,      // the large bold font, for Chinese captions
};

// Runs a control's handler for a notification code (BN_CLICKED, ...).
using CommandHandler = void (*)(TForm1& form, int code);

// One row of the window description.
struct ControlSpec {
  const char* name;
  ControlId id;
  ControlKind kind;
  ControlId parent;  // 0: the window's client area
  int left, top, width, height;
  const wchar_t* text;
  FontRole font;
  int tabOrder;  // -1: not in the tab order
  bool visible;
  CommandHandler onCommand = nullptr;
  std::vector<const wchar_t*> items = {};  // a list's items
  int itemHeight = 0;                      // a list's item height
  DWORD style = 0;                         // added to the kind's own style
};

// The items the window adds to its system menu (the caption's menu), below a
// separator. Their identifiers keep the four low bits clear, which the
// system uses for its own commands.
enum SystemCommand : UINT {
  kMiReadCard = 0x0100,
  kMiCompareCard = 0x0110,
};

struct SystemMenuItem {
  const char* name;
  SystemCommand id;
  const wchar_t* text;
  void (*onSelect)(TForm1& form);
};

const std::vector<SystemMenuItem>& systemMenuItems();
// The item of an identifier; nullptr for any other command.
const SystemMenuItem* systemMenuItem(UINT_PTR command);

// The window's controls, in the order in which the description lists them.
const std::vector<ControlSpec>& controlTable();
// The row of a control; nullptr for an identifier the table does not hold.
const ControlSpec* controlRow(int id);

constexpr int kClientWidth = 548;
constexpr int kClientHeight = 169;
constexpr int kWindowLeft = 202;
constexpr int kWindowTop = 136;
constexpr COLORREF kSilver = RGB(192, 192, 192);

}  // namespace quenvory
