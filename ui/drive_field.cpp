// The drive field: what the operator types or picks there becomes the drive
// text of the card's letter by one rule.
#include "ui/drive_field.h"

#include <vector>

#include "ui/Unit1.h"

namespace quenvory {

std::wstring normaliseDriveText(const std::wstring& text, UINT codePage) {
  std::wstring result = text;
  if (!result.empty()) CharUpperBuffW(&result[0], DWORD(result.size()));
  // Each character with the number of bytes it takes in the code page; a
  // character the code page cannot hold stands in as one byte.
  struct Character {
    std::size_t at, units;
    int bytes;
  };
  std::vector<Character> characters;
  int totalBytes = 0;
  for (std::size_t at = 0; at < result.size();) {
    const std::size_t units = IS_HIGH_SURROGATE(result[at]) && at + 1 < result.size() ? 2 : 1;
    int bytes =
        WideCharToMultiByte(codePage, 0, &result[at], int(units), nullptr, 0, nullptr, nullptr);
    if (bytes < 1) bytes = 1;
    characters.push_back({at, units, bytes});
    totalBytes += bytes;
    at += units;
  }
  if (totalBytes < 2) return result;
  // The character that holds the second byte goes; when that byte is the
  // second half of a double-byte character, the whole character goes with it.
  int byte = 0;
  for (const Character& character : characters) {
    if (byte + character.bytes > 1) {
      result.erase(character.at, character.units);
      break;
    }
    byte += character.bytes;
  }
  return result;
}

void TForm1::cbDriveChange(bool fromList) {
  const HWND combo = control(kCbDrive);
  std::wstring text;
  if (fromList) {
    // The field shows the chosen item only after this notification.
    const LRESULT item = SendMessageW(combo, CB_GETCURSEL, 0, 0);
    if (item == CB_ERR) return;
    const LRESULT length = SendMessageW(combo, CB_GETLBTEXTLEN, item, 0);
    if (length == CB_ERR) return;
    text.assign(std::size_t(length) + 1, L'\0');
    SendMessageW(combo, CB_GETLBTEXT, item, reinterpret_cast<LPARAM>(&text[0]));
    text.resize(std::size_t(length));
  } else {
    text = windowText(combo);
  }
  const std::wstring normal = normaliseDriveText(text, CP_ACP);
  if (normal == windowText(combo)) return;
  SetWindowTextW(combo, normal.c_str());
  const WORD end = WORD(normal.size());
  SendMessageW(combo, CB_SETEDITSEL, 0, MAKELPARAM(end, end));
}

std::string TForm1::driveText() { return toUtf8(windowText(control(kCbDrive))); }

}  // namespace quenvory
