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

}  // namespace disks
