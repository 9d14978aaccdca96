// Opening files by UTF-8 path with the C library, on every platform.
#pragma once

#include <cstdio>
#include <string>

namespace card {

// fopen() with a UTF-8 path; on Windows the path goes through the wide-char
// call so that names outside the ANSI code page open too.
std::FILE* openUtf8(const std::string& path, const char* mode);

// Seeks to a 64-bit byte offset from the start; false on failure.
bool seekTo(std::FILE* file, long long offset);

// UTF-8 to UTF-16; invalid sequences become U+FFFD.
std::u16string utf8ToUtf16(const std::string& text);

}  // namespace card
