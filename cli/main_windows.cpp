// The console program's entry: its arguments arrive in UTF-16 and go on in
// UTF-8, so that any file name works whatever the system's code page.
#include <windows.h>

#include "cli/commands.h"
#include "win32/dll_search.h"

namespace {

std::string toUtf8(const wchar_t* text) {
  const int size = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
  if (size <= 1) return {};
  std::string utf8(static_cast<std::size_t>(size), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text, -1, utf8.data(), size, nullptr, nullptr);
  utf8.pop_back();
  return utf8;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  win32::restrictDllSearch();
  std::vector<std::string> args;
  for (int k = 0; k < argc; ++k) args.push_back(toUtf8(argv[k]));
  return cli::run(args);
}
