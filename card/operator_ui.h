// What the write operation needs from the window. Texts are UTF-8.
#pragma once

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
  // Whether the operator has asked the run to stop (a front end that cannot
  // ask never does).
  virtual bool stopRequested() { return false; }
};

}  // namespace card
