// The main window: where the operator picks the card image file, names the
// card's drive letter, starts the write and follows its progress. It provides
// the operations the write calls on the window.
#pragma once

#include <windows.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "card/disk_services.h"
#include "card/operator_ui.h"
#include "card/outcome.h"
#include "ui/drive_field.h"
#include "ui/file_dialogs.h"
#include "ui/win32_helpers.h"
#include "ui/window_description.h"

namespace quenvory {

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
  // True while an operation on the card (a write, a backup, a comparison) runs.
  bool running() const { return running_; }
  // For the message loop: keyboard navigation between the controls.
  bool preTranslate(MSG& message);

  // Event handlers.
  void btStartClick();
  void btPickFileClick();
  void cbDriveChange(bool fromList);
  void OpenDialog1SelectionChange(HWND dialog);
  // The system menu's items: back up the card into a file, compare it with
  // the chosen image file.
  void miReadCardClick();
  void miCompareCardClick();

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
  void passStarted(std::int64_t bytes, std::int64_t bytesAfter) override;
  void passFinished() override;
  bool stopRequested() override;

 private:
  static LRESULT CALLBACK windowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
  static LRESULT CALLBACK panelProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
  static UINT_PTR CALLBACK openDialogHook(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);

  LRESULT onMessage(UINT message, WPARAM wParam, LPARAM lParam);
  void onCreate();
  HWND createControl(const ControlSpec& row, HINSTANCE instance);
  LRESULT onColor(UINT message, HDC dc, HWND control);
  void onClose();
  // A close asked for while a run is under way: a stop request, asked once.
  void closeDuringRun();
  void onEndSession(bool ending);
  void onPanelPaint(HWND panel);

  HFONT font(FontRole role) const;
  // Sets a label's caption and sizes the label to it.
  void setLabelText(ControlId id, const std::wstring& text);
  void sizeLabel(HWND label);
  // Shows OpenDialog1; true when the operator confirmed a file.
  bool executeOpenDialog();
  // Asks where the backup of the card `cardName` goes; empty when the
  // operator cancelled.
  std::wstring executeSaveDialog(const std::wstring& cardName);
  // Runs one operation on the card, never two at once (see RunGuard), the
  // session held for its length with `sessionReason` given to the system.
  void runOperation(const wchar_t* sessionReason, const std::function<void()>& operation);
  void runEnded(const card::Outcome& outcome);

  card::DiskServices& disk_;
  std::wstring caption_;
  bool endsApplication_;
  HWND hwnd_ = nullptr;
  std::vector<std::pair<ControlId, HWND>> controls_;
  GdiObject<HFONT> windowFont_, windowChineseFont_, largeBoldFont_;
  GdiObject<HBRUSH> silver_;
  std::wstring fileName_;  // OpenDialog1's file name
  bool running_ = false;
  bool closeRequested_ = false;
  // Where the run stands, for what a close during it does.
  enum class RunStage {
    BeforeTheBlocks,  // checks, and waits for the card: no block has moved yet
    Passes,           // blocks move between the card and a file
    Ending,           // the last pass is through: the closing message and the release
  };
  RunStage stage_ = RunStage::BeforeTheBlocks;
  bool lastPass_ = false;
  bool stopRequested_ = false;
  bool askingToStop_ = false;
};

}  // namespace quenvory
