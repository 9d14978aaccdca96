#include "ui/app_error.h"

#include <exception>

#include "ui/win32_helpers.h"

namespace quenvory {

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
  static const std::wstring title = titleFromPath(executablePath());
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
