#include "win32_helpers.h"

#include <vector>

#include "app_error.h"

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

}  // namespace quenvory
