#include "disks/utf16.h"

#include <windows.h>

namespace disks {

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

std::wstring systemPath(const std::string& utf8) {
  std::wstring path = toUtf16(utf8);
  static const std::wstring kLocal = L"\\\\?\\", kDevice = L"\\\\.\\", kShare = L"\\\\";
  if (path.empty() || path.compare(0, kLocal.size(), kLocal) == 0 ||
      path.compare(0, kDevice.size(), kDevice) == 0)
    return path;
  // The prefix turns the system's own clean-up of a path off (the current
  // folder, "." and "..", "/"), so the path is made whole here first.
  std::wstring full(path.size() + MAX_PATH, L'\0');
  for (;;) {
    const DWORD length =
        GetFullPathNameW(path.c_str(), static_cast<DWORD>(full.size()), &full[0], nullptr);
    if (length == 0) return path;
    if (length < full.size()) {
      full.resize(length);
      break;
    }
    full.resize(length);
  }
  if (full.size() < MAX_PATH || full.compare(0, kDevice.size(), kDevice) == 0) return path;
  if (full.compare(0, kShare.size(), kShare) == 0) return kLocal + L"UNC\\" + full.substr(2);
  return kLocal + full;
}

}  // namespace disks
