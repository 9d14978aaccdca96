// The main window: where the operator picks the card image file, names the
// card's drive letter, starts the write and follows its progress. It provides
// the operations the write calls on the window.
#pragma once

#include <windows.h>

#include <memory>
#include <string>
#include <vector>

#include "disk_services.h"
#include "operator_ui.h"

namespace quenvory {

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
};

// The window's controls, in the order in which the description lists them.
const std::vector<ControlSpec>& controlTable();

constexpr int kClientWidth = 548;
constexpr int kClientHeight = 169;
constexpr int kWindowLeft = 202;
constexpr int kWindowTop = 136;
constexpr COLORREF kSilver = RGB(192, 192, 192);

// The drive field's rule: upper-cased by the locale, then, when the text has
// two or more bytes in `codePage`, the character at byte position 2 is
// deleted, a double-byte character always as a whole.
std::wstring normalizeDriveText(const std::wstring& text, UINT codePage);

class TForm1 : public card::OperatorUi {
 public:
  // `endsApplication`: destroying the window ends the message loop.
  TForm1(card::DiskServices& disk, std::wstring caption, bool endsApplication = true);
  ~TForm1() override;
  TForm1(const TForm1&) = delete;
  TForm1& operator=(const TForm1&) = delete;

  // Builds the window and its controls from the description; throws AppError
  // when the system refuses.
  void create(HINSTANCE instance);
  HWND handle() const { return hwnd_; }
  HWND control(ControlId id) const;
  HWND control(const char* name) const;
  // True while a write runs.
  bool running() const { return running_; }
  // For the message loop: keyboard navigation between the controls.
  bool preTranslate(MSG& message);

  // Event handlers.
  void btStartClick();
  void btPickFileClick();
  void cbDriveChange(bool fromList);
  void OpenDialog1SelectionChange(HWND dialog);

  // What the write operation asks of the window.
  std::string driveText() override;
  std::string chosenFileName() override;
  bool askForFile() override;
  void showMessage(const std::string& text, const std::string& caption) override;
  void repaintWindow() override;
  void setProgress(int position) override;
  void showProgressPanel(bool visible) override;
  void setStatus(const std::string& text) override;
  void repaintProgress() override;
  void processEvents() override;

 private:
  struct FontDeleter {
    void operator()(HFONT font) const { DeleteObject(font); }
  };
  using Font = std::unique_ptr<std::remove_pointer<HFONT>::type, FontDeleter>;
  struct BrushDeleter {
    void operator()(HBRUSH brush) const { DeleteObject(brush); }
  };
  using Brush = std::unique_ptr<std::remove_pointer<HBRUSH>::type, BrushDeleter>;

  static LRESULT CALLBACK windowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
  static LRESULT CALLBACK panelProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
  static UINT_PTR CALLBACK openDialogHook(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
  static void registerClasses(HINSTANCE instance);

  LRESULT onMessage(UINT message, WPARAM wParam, LPARAM lParam);
  void onCreate();
  void onCommand(int id, int code);
  LRESULT onColor(UINT message, HDC dc, HWND control);
  void onClose();
  void onPanelPaint(HWND panel);

  HFONT font(FontRole role) const;
  // Sets a label's caption and sizes the label to it.
  void setLabelText(ControlId id, const std::wstring& text);
  void sizeLabel(HWND label);
  // Shows OpenDialog1; true when the operator confirmed a file.
  bool executeOpenDialog();

  card::DiskServices& disk_;
  std::wstring caption_;
  bool endsApplication_;
  HWND hwnd_ = nullptr;
  std::vector<std::pair<ControlId, HWND>> controls_;
  Font windowFont_, windowChineseFont_, largeBoldFont_;
  Brush silver_;
  std::wstring fileName_;  // OpenDialog1's file name
  bool running_ = false;
  bool closeRequested_ = false;
};

}  // namespace quenvory
