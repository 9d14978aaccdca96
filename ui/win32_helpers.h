// Small helpers over the Win32 calls the window makes: scoped owners of a
// window's device context, a selected GDI object and a GDI object, a scope
// guard, class registration, window text and UTF-8 conversion.
#pragma once

#include <windows.h>

#include <memory>
#include <string>
#include <type_traits>
#include <utility>

#include "disks/utf16.h"
#include "win32/handles.h"

namespace quenvory {

using disks::toUtf16;
using disks::toUtf8;

// A window's device context, released on leaving the scope.
class WindowDC {
 public:
  explicit WindowDC(HWND window) : window_(window), dc_(GetDC(window)) {}
  ~WindowDC() {
    if (dc_ != nullptr) ReleaseDC(window_, dc_);
  }
  WindowDC(const WindowDC&) = delete;
  WindowDC& operator=(const WindowDC&) = delete;
  HDC get() const { return dc_; }

 private:
  HWND window_;
  HDC dc_;
};

// An object selected into a device context; the one before it is selected
// again on leaving the scope.
class SelectedObject {
 public:
  SelectedObject(HDC dc, HGDIOBJ object) : dc_(dc), previous_(SelectObject(dc, object)) {}
  ~SelectedObject() { SelectObject(dc_, previous_); }
  SelectedObject(const SelectedObject&) = delete;
  SelectedObject& operator=(const SelectedObject&) = delete;

 private:
  HDC dc_;
  HGDIOBJ previous_;
};

// A GDI object (font, brush) owned by the window; deleted with it.
using win32::GdiObject;

// Runs `action` on leaving the scope, however it is left.
template <typename Action>
class ScopeExit {
 public:
  explicit ScopeExit(Action action) : action_(std::move(action)) {}
  ~ScopeExit() { action_(); }
  ScopeExit(const ScopeExit&) = delete;
  ScopeExit& operator=(const ScopeExit&) = delete;

 private:
  Action action_;
};

// The process's current folder, put back as it was on leaving the scope.
// The open dialog can leave it in the folder the operator browsed to, even
// when asked not to; on a card, it would keep the card's volume from being
// locked.
class CurrentFolderKept {
 public:
  CurrentFolderKept();
  ~CurrentFolderKept();
  CurrentFolderKept(const CurrentFolderKept&) = delete;
  CurrentFolderKept& operator=(const CurrentFolderKept&) = delete;

 private:
  std::wstring folder_;
};

// Registers a window class of this module once; later calls find it
// registered. Throws AppError when the system refuses.
void registerWindowClass(HINSTANCE instance, const wchar_t* name, WNDPROC procedure,
                         HBRUSH background, HICON icon = nullptr);

std::wstring windowText(HWND window);

// This process's executable, with its folder.
std::wstring executablePath();

// Whether the open-file dialog `dialog` has an item of its folder selected.
// The dialog reports a change of the selection also when it shows a folder
// with nothing selected in it; when the dialog cannot tell, true.
bool openDialogHasSelection(HWND dialog);

}  // namespace quenvory
