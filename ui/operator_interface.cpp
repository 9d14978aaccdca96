// What a run asks of the window, and the run's lifecycle: one operation on
// the card at a time, the session held for its length, and the window's
// handlers that start one.
// clang-format off
#include "ui/Unit1.h"  // brings <windows.h>, which <commctrl.h> builds on
// clang-format on

#include <commctrl.h>

#include <functional>

#include "card/backup_run.h"
#include "card/compare_run.h"
#include "card/write_run.h"
#include "ui/session_guard.h"

namespace quenvory {
namespace {

// Shown by the system to a user who asks for a log-off or shut-down during an
// operation on the card.
constexpr const wchar_t* kSessionReason =
    L"writing to the MMC card: ending the session now leaves the card half-written";
constexpr const wchar_t* kReadSessionReason =
    L"reading the MMC card into a file: ending the session now leaves no backup";
constexpr const wchar_t* kCompareSessionReason = L"comparing the MMC card with an image file";
// Asked when the window is closed while blocks move.
constexpr const wchar_t* kStopQuestion =
    L"stop now? a card stopped mid-write holds only part of the image and must be written again";
constexpr const wchar_t* kStopCaption = L"Quenvory";

// Marks that an operation on the card (a write, a backup, a comparison) is
// running for as long as it runs, whichever way it ends, and keeps the
// controls that would start a second one disabled.
class RunGuard {
 public:
  RunGuard(bool& running, HWND start, HWND pickFile)
      : running_(running), start_(start), pickFile_(pickFile) {
    running_ = true;
    EnableWindow(start_, FALSE);
    EnableWindow(pickFile_, FALSE);
  }
  ~RunGuard() {
    EnableWindow(start_, TRUE);
    EnableWindow(pickFile_, TRUE);
    running_ = false;
  }
  RunGuard(const RunGuard&) = delete;
  RunGuard& operator=(const RunGuard&) = delete;

 private:
  bool& running_;
  HWND start_;
  HWND pickFile_;
};

}  // namespace

void TForm1::btStartClick() {
  runOperation(kSessionReason, [this] { runEnded(card::runWrite(disk_, *this)); });
}

void TForm1::miReadCardClick() {
  runOperation(kReadSessionReason, [this] {
    // The card's checks come before the file's name is asked for, as a write
    // makes them before it asks for an image: a drive that is no card is
    // refused before the operator types anything. The card stays open while
    // the dialog is, so the card read is the card checked.
    card::Card card = card::openCard(disk_, *this);
    if (!card) return;
    const std::wstring backup = executeSaveDialog(toUtf16(card.name()));
    // Cancelled: the card is let go unused and nothing is said.
    if (backup.empty()) {
      card.closeUnused();
      return;
    }
    runEnded(card::runBackup(disk_, *this, std::move(card), toUtf8(backup)));
  });
}

void TForm1::miCompareCardClick() {
  runOperation(kCompareSessionReason, [this] { runEnded(card::runCompare(disk_, *this)); });
}

// However a run ended, the status label shows the count text of the last
// accepted header, never the text of a pass that is over. A run that
// accepted none leaves the label as the run before left it.
void TForm1::runEnded(const card::Outcome& outcome) {
  if (!outcome.status.empty()) setStatus(outcome.status);
}

void TForm1::runOperation(const wchar_t* sessionReason, const std::function<void()>& operation) {
  // A click or a menu choice that reaches here while an operation is under
  // way (its events are processed meanwhile) never starts a second one.
  if (running_) return;
  // A close asked for during the run is carried out once the run has ended
  // and released everything, however it ended.
  const ScopeExit closeWhenAsked([this] {
    if (closeRequested_ && hwnd_ != nullptr) PostMessageW(hwnd_, WM_CLOSE, 0, 0);
    closeRequested_ = false;
  });
  stage_ = RunStage::BeforeTheBlocks;
  stopRequested_ = false;
  const HWND focus = GetFocus();
  RunGuard guard(running_, control(kBtStart), control(kBtPickFile));
  const SessionGuard session(hwnd_, sessionReason);
  operation();
  // Disabling the buttons may have taken the focus away: give it back.
  if (hwnd_ != nullptr && focus != nullptr && IsWindow(focus) &&
      (GetFocus() == nullptr || GetFocus() == hwnd_))
    SetFocus(focus);
}

void TForm1::closeDuringRun() {
  // Asked once: a close while the question is open, or after the stop was
  // asked for, changes nothing.
  if (askingToStop_ || stopRequested_) return;
  switch (stage_) {
    case RunStage::BeforeTheBlocks:
      // Nothing has moved yet: the run stops at once, a wait for the card
      // included, and says so.
      break;
    case RunStage::Passes: {
      // The run stands still beneath the question, the batch in flight done.
      askingToStop_ = true;
      const int answer = MessageBoxW(hwnd_, kStopQuestion, kStopCaption, MB_YESNO | MB_DEFBUTTON2);
      askingToStop_ = false;
      if (answer != IDYES) return;
      break;
    }
    case RunStage::Ending:
      // The card holds all it will: the run ends as it is, the window after it.
      closeRequested_ = true;
      return;
  }
  // The run stops the normal way, between two batches, with its message;
  // the window closes once the card and the file are released.
  stopRequested_ = true;
  closeRequested_ = true;
}

bool TForm1::stopRequested() { return stopRequested_; }

void TForm1::passStarted(std::int64_t, std::int64_t bytesAfter) {
  stage_ = RunStage::Passes;
  lastPass_ = bytesAfter == 0;
}

void TForm1::passFinished() {
  if (lastPass_) stage_ = RunStage::Ending;
}

std::string TForm1::chosenFileName() { return toUtf8(fileName_); }

bool TForm1::askForFile() { return executeOpenDialog(); }

void TForm1::showMessage(const std::string& text, const std::string& caption) {
  // Owned by the window: it stays in front of it, shares its taskbar button,
  // and the window takes no clicks until it is closed.
  MessageBoxW(hwnd_, toUtf16(text).c_str(), toUtf16(caption).c_str(), MB_OK);
}

void TForm1::repaintWindow() {
  if (hwnd_ != nullptr)
    RedrawWindow(hwnd_, nullptr, nullptr,
                 RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN | RDW_UPDATENOW);
}

void TForm1::setProgress(int position) {
  SendMessageW(control(kProgressBar1), PBM_SETPOS, WPARAM(position), 0);
}

void TForm1::showProgressPanel(bool visible) {
  ShowWindow(control(kPanel1), visible ? SW_SHOWNA : SW_HIDE);
}

void TForm1::setStatus(const std::string& text) {
  setLabelText(kLabel3, toUtf16(text));
  if (hwnd_ != nullptr) UpdateWindow(hwnd_);
  UpdateWindow(control(kLabel3));
}

void TForm1::repaintProgress() {
  const HWND bar = control(kProgressBar1);
  if (bar != nullptr) RedrawWindow(bar, nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW);
}

void TForm1::processEvents() {
  MSG message;
  while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
    if (message.message == WM_QUIT) {
      // Leave the end of the application to the message loop.
      PostQuitMessage(int(message.wParam));
      return;
    }
    if (preTranslate(message)) continue;
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }
}

}  // namespace quenvory
