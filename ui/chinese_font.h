// The font for the window's Chinese captions.
#pragma once

#include <windows.h>

namespace quenvory {

// A font at the size and weight of `face` that draws Chinese. A bitmap face
// such as "MS Sans Serif" has no Chinese glyphs and the system does not fall
// back from it, so the Chinese character set is asked for, which makes the
// system pick a Chinese face; where the face it picks still lacks the glyphs,
// the first face of that character set that has them is taken. nullptr when
// no font can be made; the caller deletes the font.
HFONT chineseFont(LOGFONTW face);

}  // namespace quenvory
