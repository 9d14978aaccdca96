// UTF-8 and UTF-16 on Windows, by the system's own conversion: the card
// writer's texts and paths are UTF-8, the system's wide-char calls want
// UTF-16.
#pragma once

#include <string>

namespace disks {

std::wstring toUtf16(const std::string& utf8);
std::string toUtf8(const std::wstring& utf16);

// A file's UTF-8 path as the system's wide-char file calls take it. A path
// whose full form reaches the system's old limit of 260 characters goes to
// them whole, with the "\\?\" prefix (or "\\?\UNC\" for a share), so that
// it opens whatever the PC's long-path policy; a shorter one, or one already
// in the system's own form, stays as it is.
std::wstring systemPath(const std::string& utf8);

}  // namespace disks
