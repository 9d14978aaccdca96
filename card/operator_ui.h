// What a run needs from its front end (the window, a terminal). Texts are
// UTF-8.
#pragma once

#include <cstdint>
#include <string>

namespace card {

class OperatorUi {
 public:
  virtual ~OperatorUi() = default;

  virtual std::string driveText() = 0;
  // The file chosen in the open-file dialog; empty when none was chosen.
  virtual std::string chosenFileName() = 0;
  // Shows the open-file dialog; true when the operator confirmed a file.
  virtual bool askForFile() = 0;
  // A message box with an OK button only, no icon and no owner window;
  // returns when the operator has closed it.
  virtual void showMessage(const std::string& text, const std::string& caption) = 0;
  virtual void repaintWindow() = 0;
  // 0 to 100.
  virtual void setProgress(int position) = 0;
  virtual void showProgressPanel(bool visible) = 0;
  // Sets the status label and repaints it at once.
  virtual void setStatus(const std::string& text) = 0;
  virtual void repaintProgress() = 0;
  // Handles every waiting window message, then returns.
  virtual void processEvents() = 0;

  // The run waits for something outside it (a card in use by another
  // program) and says so in the status label; no pass is under way.
  virtual void showWaiting(const std::string& text) { setStatus(text); }

  // A pass over the blocks begins (writing, reading back, reading, comparing)
  // and will move `bytes` bytes; the passes the run still makes after it (a
  // write's read-back) will move `bytesAfter` more. The bar's positions that
  // follow are parts of this pass. For a front end that shows a speed and the
  // time left; the window has no use for it.
  virtual void passStarted(std::int64_t bytes, std::int64_t bytesAfter) {
    (void)bytes;
    (void)bytesAfter;
  }
  // The pass went through all its blocks. The bar itself may stop short of
  // its end (it moves once every 100 blocks); a stopped or failed pass never
  // finishes.
  virtual void passFinished() {}
  // Whether the operator has asked the run to stop. Asked between batches:
  // the batch in flight completes, then the run ends the normal way.
  virtual bool stopRequested() { return false; }
};

}  // namespace card
