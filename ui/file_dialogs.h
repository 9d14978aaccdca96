// The window's file dialogs: what they propose.
#pragma once

#include <windows.h>

#include <string>

namespace quenvory {

// The name a backup of the card `cardName` is proposed under: the card, then
// the local date and time, G-20261210-130500.S7img, as the command line names
// the backups it makes into a folder.
std::wstring backupFileName(const std::wstring& cardName, const SYSTEMTIME& time);

}  // namespace quenvory
