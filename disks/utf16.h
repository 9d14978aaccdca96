// UTF-8 and UTF-16 on Windows, by the system's own conversion: the card
// writer's texts and paths are UTF-8, the system's wide-char calls want
// UTF-16.
#pragma once

#include <string>

namespace disks {

std::wstring toUtf16(const std::string& utf8);
std::string toUtf8(const std::wstring& utf16);

}  // namespace disks
