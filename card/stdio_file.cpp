#include "stdio_file.h"

#include <cwchar>

namespace card {

std::u16string utf8ToUtf16(const std::string& text) {
  std::u16string out;
  std::size_t i = 0;
  const std::size_t n = text.size();
  while (i < n) {
    const unsigned char lead = static_cast<unsigned char>(text[i]);
    std::size_t length = lead < 0x80           ? 1
                         : (lead >> 5) == 0x6  ? 2
                         : (lead >> 4) == 0xE  ? 3
                         : (lead >> 3) == 0x1E ? 4
                                               : 0;
    char32_t code = length == 1   ? lead
                    : length == 2 ? lead & 0x1F
                    : length == 3 ? lead & 0x0F
                                  : lead & 0x07;
    bool valid = length != 0 && i + length <= n;
    for (std::size_t k = 1; valid && k < length; ++k) {
      const unsigned char next = static_cast<unsigned char>(text[i + k]);
      valid = (next & 0xC0) == 0x80;
      code = code << 6 | (next & 0x3F);
    }
    static const char32_t kMinimum[] = {0, 0, 0x80, 0x800, 0x10000};
    if (valid && (code < kMinimum[length] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)))
      valid = false;
    if (!valid) {
      out.push_back(u'\uFFFD');
      ++i;
      continue;
    }
    if (code >= 0x10000) {
      code -= 0x10000;
      out.push_back(static_cast<char16_t>(0xD800 + (code >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + (code & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(code));
    }
    i += length;
  }
  return out;
}

bool seekTo(std::FILE* file, long long offset) {
#ifdef _WIN32
  return _fseeki64(file, offset, SEEK_SET) == 0;
#else
  return fseeko(file, static_cast<off_t>(offset), SEEK_SET) == 0;
#endif
}

std::FILE* openUtf8(const std::string& path, const char* mode) {
#ifdef _WIN32
  const std::u16string widePath = utf8ToUtf16(path);
  std::wstring wideMode;
  for (const char* c = mode; *c != '\0'; ++c) wideMode.push_back(static_cast<wchar_t>(*c));
  return _wfopen(reinterpret_cast<const wchar_t*>(widePath.c_str()), wideMode.c_str());
#else
  return std::fopen(path.c_str(), mode);
#endif
}

}  // namespace card
