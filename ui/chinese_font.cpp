#include "ui/chinese_font.h"

#include <cwchar>
#include <string>
#include <vector>

#include "ui/win32_helpers.h"

namespace quenvory {
namespace {

// Whether the font draws the character itself (without borrowing it).
bool hasGlyph(HDC dc, HFONT font, wchar_t character) {
  const SelectedObject selected(dc, font);
  WORD glyph = 0xFFFF;
  return GetGlyphIndicesW(dc, &character, 1, &glyph, GGI_MARK_NONEXISTING_GLYPHS) == 1 &&
         glyph != 0xFFFF;
}

int CALLBACK collectFace(const LOGFONTW* font, const TEXTMETRICW*, DWORD, LPARAM faces) {
  // Faces whose name begins with @ are the same faces for vertical writing.
  if (font->lfFaceName[0] != L'@')
    reinterpret_cast<std::vector<std::wstring>*>(faces)->push_back(font->lfFaceName);
  return 1;
}

}  // namespace

HFONT chineseFont(LOGFONTW face) {
  constexpr wchar_t kSample = L'\u6587';
  face.lfCharSet = GB2312_CHARSET;
  GdiObject<HFONT> font(CreateFontIndirectW(&face));
  const WindowDC screen(nullptr);
  if (!font || hasGlyph(screen.get(), font.get(), kSample)) return font.release();
  std::vector<std::wstring> faces;
  LOGFONTW wanted{};
  wanted.lfCharSet = GB2312_CHARSET;
  EnumFontFamiliesExW(screen.get(), &wanted, collectFace, reinterpret_cast<LPARAM>(&faces), 0);
  for (const std::wstring& name : faces) {
    if (name.size() >= LF_FACESIZE) continue;
    LOGFONTW candidate = face;
    wcscpy(candidate.lfFaceName, name.c_str());
    GdiObject<HFONT> other(CreateFontIndirectW(&candidate));
    if (other && hasGlyph(screen.get(), other.get(), kSample)) return other.release();
  }
  return font.release();
}

}  // namespace quenvory
