// The drive field's rule, which turns what the operator typed or picked into
// the card's drive text.
#pragma once

#include <windows.h>

#include <string>

namespace quenvory {

// Upper-cased by the locale, then, when the text has two or more bytes in
// `codePage`, the character at byte position 2 is deleted, a double-byte
// character always as a whole.
std::wstring normaliseDriveText(const std::wstring& text, UINT codePage);

}  // namespace quenvory
