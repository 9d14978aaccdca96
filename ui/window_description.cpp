#include "ui/window_description.h"

#include "ui/Unit1.h"

namespace quenvory {

const std::vector<ControlSpec>& controlTable() {
  using K = ControlKind;
  using F = FontRole;
  static const std::vector<ControlSpec> table = {
      {"Label1", kLabel1, K::Label, ControlId(0), 8, 16, 85, 20,
       L"\u6587\u4EF6\u8DEF\u5F84\uFF1A   ", F::LargeBold, -1, true},
      // A path too long for the window keeps its drive, its first folder and
      // its file name in sight, with an ellipsis in the middle.
      {"lbFileName",
       kLbFileName,
       K::Label,
       ControlId(0),
       100,
       16,
       123,
       20,
       L"\u5C1A\u672A\u9009\u62E9\u6587\u4EF6    ",
       F::LargeBold,
       -1,
       true,
       nullptr,
       {},
       0,
       SS_PATHELLIPSIS},
      {"Label2", kLabel2, K::Label, ControlId(0), 8, 56, 176, 20,
       L"\u9009\u62E9MMC\u5361\u6240\u5728\u76D8\uFF1A    ", F::LargeBold, -1, true},
      {"Label3", kLabel3, K::Label, ControlId(0), 264, 56, 6, 20, L"", F::LargeBold, -1, true},
      {"Label4", kLabel4, K::Label, ControlId(0), 280, 0, 155, 13,
       L"www.example.com/quenvory  Tel. 000-0000-0000", F::Window, -1, true},
      {"btStart", kBtStart, K::Button, ControlId(0), 328, 136, 75, 25, L"\u5199\u5165  ",
       F::WindowChinese, 0, true,
       [](TForm1& form, int code) {
         if (code == BN_CLICKED) form.btStartClick();
       }},
      {"cbDrive",
       kCbDrive,
       K::ComboBox,
       ControlId(0),
       190,
       48,
       49,
       28,
       L"G",
       F::LargeBold,
       1,
       true,
       // Every change of the text: typed into the field or chosen from the list.
       [](TForm1& form, int code) {
         if (code == CBN_EDITCHANGE) form.cbDriveChange(false);
         if (code == CBN_SELCHANGE) form.cbDriveChange(true);
       },
       {L"E", L"F", L"G", L"H", L"I", L"J", L"K"},
       20},
      {"Panel1", kPanel1, K::Panel, ControlId(0), 8, 88, 529, 41, L"Panel1", F::Window, 2, false},
      {"ProgressBar1", kProgressBar1, K::ProgressBar, kPanel1, 8, 9, 513, 24, L"", F::Window, 0,
       true},
      {"btPickFile", kBtPickFile, K::Button, ControlId(0), 144, 136, 75, 25,
       L"\u6253\u5F00\u6587\u4EF6", F::WindowChinese, 3, true,
       [](TForm1& form, int code) {
         if (code == BN_CLICKED) form.btPickFileClick();
       }},
  };
  return table;
}

const std::vector<SystemMenuItem>& systemMenuItems() {
  static const std::vector<SystemMenuItem> items = {
      // Read the card into a file.
      {"miReadCard", kMiReadCard, L"\u8BFB\u53D6MMC\u5361\u5230\u6587\u4EF6\u2026",
       [](TForm1& form) { form.miReadCardClick(); }},
      // Compare the card with a file.
      {"miCompareCard", kMiCompareCard, L"\u6BD4\u8F83MMC\u5361\u4E0E\u6587\u4EF6\u2026",
       [](TForm1& form) { form.miCompareCardClick(); }},
  };
  return items;
}

const SystemMenuItem* systemMenuItem(UINT_PTR command) {
  for (const SystemMenuItem& item : systemMenuItems())
    if (item.id == (command & 0xFFF0)) return &item;
  return nullptr;
}

const ControlSpec* controlRow(int id) {
  for (const ControlSpec& row : controlTable())
    if (row.id == id) return &row;
  return nullptr;
}

}  // namespace quenvory
