#include "app_error.h"

#include <exception>
#include <vector>

namespace quenvory {

std::wstring toUtf16(const std::string& utf8) {
  if (utf8.empty()) return {};
  const int size = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), int(utf8.size()), nullptr, 0);
  std::wstring result(size, L'\0');
  MultiByteToWideChar(CP_UTF8, 0, utf8.data(), int(utf8.size()), &result[0], size);
  return result;
}

std::string toUtf8(const std::wstring& utf16) {
  if (utf16.empty()) return {};
  const int size = WideCharToMultiByte(CP_UTF8, 0, utf16.data(), int(utf16.size()), nullptr, 0,
                                       nullptr, nullptr);
  std::string result(size, '\0');
  WideCharToMultiByte(CP_UTF8, 0, utf16.data(), int(utf16.size()), &result[0], size, nullptr,
                      nullptr);
  return result;
}

std::string withPeriod(const std::string& text) {
  if (!text.empty() && static_cast<unsigned char>(text.back()) > '.') return text + ".";
  return text;
}

std::wstring titleFromPath(const std::wstring& path) {
  const std::size_t slash = path.find_last_of(L"\\/:");
  std::wstring name = slash == std::wstring::npos ? path : path.substr(slash + 1);
  name = name.substr(0, name.find(L'.'));
  if (name.size() > 1) CharLowerBuffW(&name[1], DWORD(name.size() - 1));
  return name;
}

const std::wstring& applicationTitle() {
  static const std::wstring title = [] {
    std::vector<wchar_t> path(MAX_PATH);
    for (;;) {
      const DWORD length = GetModuleFileNameW(nullptr, path.data(), DWORD(path.size()));
      if (length == 0) return std::wstring();
      if (length < path.size()) return titleFromPath(std::wstring(path.data(), length));
      path.resize(path.size() * 2);
    }
  }();
  return title;
}

std::string genericFailureMessage(const char* detail) {
  std::string message = "unexpected failure inside the program";
  if (detail != nullptr && *detail != '\0') message += ": " + std::string(detail);
  return message;
}

void showExceptionReport(const std::string& message) noexcept {
  try {
    const std::wstring text = toUtf16(withPeriod(message));
    const HWND active = GetActiveWindow();
    // No owner and task-modal: every window of the application is disabled
    // while the report is open, and enabled again afterwards.
    MessageBoxW(nullptr, text.c_str(), applicationTitle().c_str(),
                MB_OK | MB_ICONERROR | MB_TASKMODAL);
    if (active != nullptr && IsWindow(active)) SetActiveWindow(active);
  } catch (...) {
    // Out of memory while building the report: nothing more can be shown.
  }
}

void reportCurrentException() noexcept {
  try {
    throw;
  } catch (const SilentAbort&) {
  } catch (const AppError& error) {
    showExceptionReport(error.what());
  } catch (const std::exception& error) {
    showExceptionReport(genericFailureMessage(error.what()));
  } catch (...) {
    showExceptionReport(genericFailureMessage(nullptr));
  }
}

}  // namespace quenvory
