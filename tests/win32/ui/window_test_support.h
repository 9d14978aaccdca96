// Fixtures for the window's tests under Wine: scratch folders, image files,
// and a watcher thread that finds the dialogs and message boxes the window
// opens, records them and closes them, so that no test can hang on one.
#pragma once

#include <windows.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/test_support.h"

namespace ui_test {

// A folder of its own under the temporary folder, removed afterwards with
// everything in it.
class ScratchFolder {
 public:
  ScratchFolder();
  ~ScratchFolder();
  const std::wstring& path() const { return root_; }
  std::wstring file(const std::wstring& name) const { return root_ + L"\\" + name; }
  // A folder in it (a path of folders, made one by one), made when missing.
  std::wstring folder(const std::wstring& name) const;

 private:
  std::wstring root_;
};

// Image files are built as in the card writer's tests.
using testing_support::completeImage;
using testing_support::imageBytes;
using testing_support::patternByte;
void writeFile(const std::wstring& path, const std::vector<std::uint8_t>& bytes);
std::vector<std::uint8_t> readFile(const std::wstring& path);

std::wstring windowText(HWND window);
std::string utf8(const std::wstring& text);
std::wstring utf16(const std::string& text);

// A message box as the watcher found it.
struct SeenBox {
  std::wstring text;
  std::wstring caption;
  HWND owner = nullptr;
  bool anyIcon = false;
  bool errorIcon = false;
  bool mainEnabled = false;  // the watched main window, while the box was open
  bool yesNo = false;        // a question: Yes and No, no OK
};

// True for a message box, a question included (as opposed to the open-file
// dialog).
bool isMessageBox(HWND dialog);
SeenBox describeBox(HWND box, HWND mainWindow);

// Watches this process's (or another process's) top-level dialogs from its
// own thread. A message box is handed to the box callback, then counted among
// `boxes()`, then closed with OK (a question still open with No): once a box
// is counted, whatever its callback recorded is there to read. The open-file dialog is handed to
// the file-dialog callback, and cancelled if it is still open afterwards.
class Watcher {
 public:
  using BoxCallback = std::function<void(HWND box, const SeenBox& seen)>;
  using FileDialogCallback = std::function<void(HWND dialog)>;

  explicit Watcher(DWORD processId = GetCurrentProcessId());
  ~Watcher();

  void watchMainWindow(HWND window) { main_ = window; }
  // The callbacks run on the watcher's thread; setting one while the watcher
  // is inside the other is safe: the watcher calls its own copy.
  void onBox(BoxCallback callback);
  void onFileDialog(FileDialogCallback callback);

  std::vector<SeenBox> boxes() const;
  // Waits until `count` message boxes have been seen, or the timeout.
  bool waitForBoxes(std::size_t count, std::chrono::milliseconds timeout) const;

 private:
  void run();

  DWORD processId_;
  std::atomic<HWND> main_{nullptr};
  std::atomic<bool> stop_{false};
  mutable std::mutex mutex_;
  BoxCallback onBox_;
  FileDialogCallback onFileDialog_;
  std::vector<SeenBox> boxes_;
  std::thread thread_;
};

// Presses `button` (IDYES, IDNO) of a message box, as a click does; returns
// once the box has taken it.
void answer(HWND box, int button);

// A visible window that `owner` owns (a dialog's question), or nullptr.
HWND ownedWindow(HWND owner);

// Finds a top-level window of the process by class and caption.
HWND findTopLevel(DWORD processId, const wchar_t* windowClass, const std::wstring& caption);

// The open-file dialog's file list, and its item named `name`.
HWND fileList(HWND dialog);
int findListItem(HWND list, const std::wstring& name);
// Selects one item of the list as a click would (selection-change notices).
void selectListItem(HWND list, int item);

// Waits for `condition`, checking every few milliseconds.
bool waitFor(const std::function<bool()>& condition, std::chrono::milliseconds timeout);

// Handles every waiting message of this thread.
void pumpMessages();

}  // namespace ui_test
