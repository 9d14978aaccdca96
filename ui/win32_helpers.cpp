#include "ui/win32_helpers.h"

#include <commctrl.h>
#include <shlobj.h>

#include <vector>

#include "ui/app_error.h"

namespace quenvory {

void registerWindowClass(HINSTANCE instance, const wchar_t* name, WNDPROC procedure,
                         HBRUSH background, HICON icon) {
  WNDCLASSEXW found{};
  found.cbSize = sizeof found;
  if (GetClassInfoExW(instance, name, &found)) return;
  WNDCLASSEXW type{};
  type.cbSize = sizeof type;
  type.lpfnWndProc = procedure;
  type.hInstance = instance;
  type.hIcon = icon;
  type.hCursor = LoadCursorW(nullptr, MAKEINTRESOURCEW(32512));  // the arrow
  type.hbrBackground = background;
  type.lpszClassName = name;
  if (!RegisterClassExW(&type))
    throw AppError("the window class " + toUtf8(name) + " cannot be registered");
}

std::wstring windowText(HWND window) {
  std::wstring text(std::size_t(GetWindowTextLengthW(window)) + 1, L'\0');
  text.resize(std::size_t(GetWindowTextW(window, &text[0], int(text.size()))));
  return text;
}

std::wstring executablePath() {
  std::vector<wchar_t> path(MAX_PATH);
  for (;;) {
    const DWORD length = GetModuleFileNameW(nullptr, path.data(), DWORD(path.size()));
    if (length == 0) return {};
    if (length < path.size()) return std::wstring(path.data(), length);
    path.resize(path.size() * 2);
  }
}

bool openDialogHasSelection(HWND dialog) {
  // The folder's list control, where the dialog's view has one.
  const HWND view = FindWindowExW(dialog, nullptr, L"SHELLDLL_DefView", nullptr);
  const HWND list = view == nullptr ? nullptr : FindWindowExW(view, nullptr, WC_LISTVIEWW, nullptr);
  if (list != nullptr) return SendMessageW(list, LVM_GETSELECTEDCOUNT, 0, 0) > 0;
  // Otherwise the view itself is asked, through the dialog's shell browser,
  // which the dialog gives for WM_USER + 7 and lends without a reference.
  constexpr UINT kGetShellBrowser = WM_USER + 7;
  auto* browser = reinterpret_cast<IShellBrowser*>(SendMessageW(dialog, kGetShellBrowser, 0, 0));
  IShellView* shellView = nullptr;
  if (browser == nullptr || FAILED(browser->QueryActiveShellView(&shellView)) ||
      shellView == nullptr)
    return true;
  IFolderView* folder = nullptr;
  const HRESULT found = shellView->QueryInterface(IID_PPV_ARGS(&folder));
  shellView->Release();
  if (FAILED(found) || folder == nullptr) return true;
  int selected = 0;
  const HRESULT counted = folder->ItemCount(SVGIO_SELECTION, &selected);
  folder->Release();
  return FAILED(counted) || selected > 0;
}

CurrentFolderKept::CurrentFolderKept() {
  const DWORD size = GetCurrentDirectoryW(0, nullptr);
  if (size == 0) return;
  folder_.assign(size, L'\0');
  const DWORD length = GetCurrentDirectoryW(size, &folder_[0]);
  folder_.resize(length < size ? length : 0);
}

CurrentFolderKept::~CurrentFolderKept() {
  if (!folder_.empty()) SetCurrentDirectoryW(folder_.c_str());
}

}  // namespace quenvory
